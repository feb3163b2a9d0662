"""Shared pieces of the reliability checks: the outcome rule every call must
obey and the count of fuzzed cases."""

import numpy as np

import varnel

Model = varnel.models.TwoParameterPsychometricModel
GeneralModel = varnel.models.PsychometricModel
NUTSEstimator = varnel.posterior.NUTSEstimator
EigEstimator = varnel.eig.EnumeratedMonteCarloEstimator
PanicException = varnel.PanicException


class HostileError(Exception):
    """Raised by the hostile argument objects themselves; passing it through
    unchanged is the right behaviour."""


# Everything a call may raise besides returning its documented result.
ALLOWED_ERRORS = (TypeError, OverflowError, MemoryError, PanicException, HostileError)

CASES = {"count": 0}


def _array_arguments(args, kwargs):
    found = []
    for value in list(args) + list(kwargs.values()):
        # Huge broadcast views are read-only and cannot be snapshotted.
        if isinstance(value, np.ndarray) and value.dtype != object and value.nbytes <= 1 << 20:
            found.append(value)
    return found


def call_checked(fn, args=(), kwargs=None, check_result=None, also_allowed=()):
    """Calls fn and asserts the outcome is allowed: a result that passes
    check_result, or one of ALLOWED_ERRORS (a PanicException with one
    non-empty string argument) or of also_allowed (ValueError, where an API
    documents it). Array arguments must be left unchanged."""
    kwargs = kwargs or {}
    CASES["count"] += 1
    arrays = _array_arguments(args, kwargs)
    before = [a.tobytes() for a in arrays]
    try:
        result = fn(*args, **kwargs)
    except PanicException as failure:
        assert len(failure.args) == 1, failure.args
        assert isinstance(failure.args[0], str) and failure.args[0], failure.args
        result = None
    except ALLOWED_ERRORS + tuple(also_allowed):
        result = None
    else:
        if check_result is not None:
            check_result(result)
    for array, data in zip(arrays, before):
        assert array.tobytes() == data, "an argument array was written"
    return result


def record_figure(name, value):
    """Adds a measured figure to $VARNEL_REPORT_DIR/figures.json (if set), for
    the reliability command's summary."""
    import json
    import os

    directory = os.environ.get("VARNEL_REPORT_DIR")
    if not directory:
        return
    path = os.path.join(directory, "figures.json")
    try:
        with open(path) as f:
            figures = json.load(f)
    except (OSError, ValueError):
        figures = {}
    figures[name] = value
    with open(path, "w") as f:
        json.dump(figures, f, indent=1, sort_keys=True)
