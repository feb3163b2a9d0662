"""Every entry point called thousands of times, failing paths included: the
resident memory stays flat after warm-up and the argument objects' reference
counts come back to where they were. Run through scripts/check_reliability.sh,
which quiets the allocators (Arrow on the system allocator, no stack cache,
one malloc arena) so that the runs that start threads measure steadily."""

import contextlib
import gc
import io
import os
import sys
import time

import numpy as np
import pytest
import varnel

from support import ALLOWED_ERRORS, EigEstimator, GeneralModel, Model, NUTSEstimator, PanicException, record_figure

CALLS = int(os.environ.get("VARNEL_LEAK_CALLS", "5000"))
PAGE_KIB = os.sysconf("SC_PAGE_SIZE") // 1024
# Two rounds of CALLS calls may move the resident set by this much (allocator
# noise); a leak of a few bytes per call exceeds it.
ALLOWED_GROWTH_KIB = 64
# Sampling runs start threads, whose stacks and allocator arenas move the
# resident set by a few hundred KiB at random even with Arrow on the system
# allocator (as the reliability command runs this file): a leak of about a
# hundred bytes per run exceeds this over two rounds of CALLS // 2 runs.
ALLOWED_GROWTH_THREADED_KIB = 512
THREADED_CALLS = CALLS // 2
GROWTH = {}


def thread_count():
    return len(os.listdir("/proc/self/task"))


def wait_for_threads(target, timeout=10.0):
    """The thread count once it is down to target, or after timeout seconds."""
    deadline = time.monotonic() + timeout
    while thread_count() > target and time.monotonic() < deadline:
        time.sleep(0.01)
    return thread_count()


BASELINE_THREADS = thread_count()  # the interpreter's and NumPy's own


def resident_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE_KIB


MODEL = Model(1.0, 1.0, 0.0, 1.0)
PARAMS = [1.2, 0.3]
DESIGN = np.linspace(-2, 2, 40).reshape(-1, 2)
DESIGN_F = np.asfortranarray(np.linspace(-2, 2, 40).reshape(-1, 2))
OBS = np.array([True, False] * 10)
VEC = np.array([0.5, 1.0])
EMPTY_VEC = np.zeros(0)
ROWS = np.column_stack([np.linspace(0.5, 2, 50), np.linspace(-1, 1, 50)])
ROW_LISTS = ROWS.tolist()
CANDIDATES = np.linspace(-2, 2, 7).reshape(-1, 1)
HUGE = np.broadcast_to(np.array([[0.5]]), (2**40, 1))
HUGE_ROWS = np.broadcast_to(np.array([[1.5, 0.2]]), (2**58, 2))
EIG = EigEstimator([False, True], 30)
EIG_EMPTY = EigEstimator([True], 0)
NUTS_FAST = NUTSEstimator(num_tune=30, num_draws=5, num_chains=2, timeout=0.5, seed=3)
NUTS_ZERO = NUTSEstimator(num_tune=30, num_draws=5, num_chains=2, timeout=0.0, seed=3)
NAN = float("nan")
GENERAL = GeneralModel(link="normal", guess_rate=(2.0, 8.0), lapse_rate=(1.0, 19.0))
GENERAL_PARAMS = [1.5, 0.2, 0.1, 0.02]
GENERAL_ROWS = np.column_stack([np.linspace(0.5, 2, 50), np.linspace(-1, 1, 50), np.full(50, 0.1), np.full(50, 0.02)])
BAND_X = np.linspace(-2, 2, 7)
CONDITIONS = varnel.models.ConditionsPsychometricModel(num_conditions=2, guess_rate=0.5)
CONDITIONS_ROWS = np.array([CONDITIONS.sample_prior() for _ in range(50)])
CSF = varnel.models.ContrastSensitivityModel()
CSF_ROWS = np.array([CSF.sample_prior() for _ in range(50)])


class SubModel(Model):
    pass


class SubEig(EigEstimator):
    def __init__(self, *args):
        self.extra = list(args)

# (label, callable, argument objects whose reference counts are watched, calls)
ENTRY_POINTS = [
    ("model-new", lambda: Model(1.0, 2.0, 0.0, 1.0), [], CALLS),
    ("submodel-new", lambda: SubModel(1.0, 2.0, 0.0, 1.0), [SubModel], CALLS),
    ("subeig-new-with-dict", lambda: SubEig([True], 3), [SubEig], CALLS),
    ("submodel-new-bad-variance", lambda: SubModel(1.0, NAN, 0.0, 1.0), [SubModel], CALLS),
    ("model-new-bad-variance", lambda: Model(1.0, NAN, 0.0, 1.0), [NAN], CALLS),
    ("model-new-type-error", lambda: Model(1.0, "x", 0.0, 1.0), [], CALLS),
    ("model-new-missing", lambda: Model(1.0, 2.0, 0.0), [], CALLS),
    ("model-new-keywords", lambda: Model(mu_k=1.0, sigma_k=2.0, mu_m=0.0, sigma_m=1.0, x=1), [], CALLS),
    ("sample-prior", lambda: MODEL.sample_prior(), [MODEL], CALLS),
    ("prior-predictive", lambda: MODEL.sample_prior_predictive(VEC), [MODEL, VEC], CALLS),
    ("prior-predictive-empty", lambda: MODEL.sample_prior_predictive(EMPTY_VEC), [EMPTY_VEC], CALLS),
    ("prior-predictive-list", lambda: MODEL.sample_prior_predictive([0.5]), [], CALLS),
    ("log-likelihood", lambda: MODEL.log_likelihood(PARAMS, DESIGN, OBS), [PARAMS, DESIGN, OBS], CALLS),
    ("log-likelihood-fortran", lambda: MODEL.log_likelihood(PARAMS, DESIGN_F, OBS), [DESIGN_F], CALLS),
    ("log-likelihood-short-params", lambda: MODEL.log_likelihood([1.0], DESIGN, OBS), [DESIGN, OBS], CALLS),
    ("log-posterior", lambda: MODEL.log_posterior(PARAMS, DESIGN, OBS), [PARAMS, DESIGN, OBS], CALLS),
    ("log-posterior-bad-design", lambda: MODEL.log_posterior(PARAMS, [[1.0]], OBS), [PARAMS, OBS], CALLS),
    ("model-str", lambda: str(MODEL), [MODEL], CALLS),
    ("eig-new", lambda: EigEstimator([False, True, np.True_], 10), [], CALLS),
    ("eig-new-str", lambda: EigEstimator("ab", 10), [], CALLS),
    ("eig-new-negative", lambda: EigEstimator([True], -1), [], CALLS),
    ("eig-estimate", lambda: EIG.estimate(MODEL, ROWS, CANDIDATES), [EIG, MODEL, ROWS, CANDIDATES], CALLS),
    ("eig-estimate-lists", lambda: EIG.estimate(MODEL, ROW_LISTS, CANDIDATES), [ROW_LISTS], CALLS),
    ("eig-estimate-prior", lambda: EIG.estimate(MODEL, [], CANDIDATES), [CANDIDATES], CALLS),
    ("eig-estimate-no-samples", lambda: EIG_EMPTY.estimate(MODEL, ROWS, CANDIDATES), [EIG_EMPTY, ROWS], CALLS),
    ("eig-estimate-invalid-model", lambda: EIG.estimate(EIG, ROWS, CANDIDATES), [EIG, ROWS], CALLS),
    ("eig-estimate-huge-params", lambda: EIG.estimate(MODEL, HUGE_ROWS, CANDIDATES), [HUGE_ROWS], CALLS),
    ("eig-estimate-huge", lambda: EIG.estimate(MODEL, ROWS, HUGE), [HUGE], CALLS),
    ("nuts-new", lambda: NUTSEstimator(num_draws=3, timeout=1.5, seed=2), [], CALLS),
    ("nuts-new-negative-timeout", lambda: NUTSEstimator(timeout=-1.0), [], CALLS),
    ("nuts-new-overflow", lambda: NUTSEstimator(num_tune=-1), [], CALLS),
    ("nuts-estimate", lambda: NUTS_FAST.estimate(MODEL, DESIGN, OBS), [NUTS_FAST, MODEL, DESIGN, OBS], THREADED_CALLS),
    ("nuts-estimate-with-stats", lambda: NUTS_FAST.estimate_with_stats(MODEL, DESIGN, OBS), [NUTS_FAST, DESIGN, OBS],
     THREADED_CALLS),
    ("nuts-estimate-timeout", lambda: NUTS_ZERO.estimate(MODEL, DESIGN, OBS), [NUTS_ZERO, DESIGN], THREADED_CALLS),
    ("nuts-estimate-invalid-model", lambda: NUTS_FAST.estimate(EIG, DESIGN, OBS), [EIG, OBS], CALLS),
    ("nuts-estimate-huge", lambda: NUTS_FAST.estimate(MODEL, HUGE, OBS), [HUGE], THREADED_CALLS),
    ("general-new", lambda: GeneralModel(link="gumbel", guess_rate=0.5, lapse_rate=(1.0, 19.0)), [], CALLS),
    ("general-new-bad-link", lambda: GeneralModel(link="probit"), [], CALLS),
    ("general-new-bad-rates", lambda: GeneralModel(guess_rate=0.6, lapse_rate=0.5), [], CALLS),
    ("general-attributes", lambda: (GENERAL.param_names, GENERAL.lapse_rate, str(GENERAL)), [GENERAL], CALLS),
    ("general-sample-prior", lambda: GENERAL.sample_prior(), [GENERAL], CALLS),
    ("general-log-posterior", lambda: GENERAL.log_posterior(GENERAL_PARAMS, DESIGN, OBS),
     [GENERAL, GENERAL_PARAMS, DESIGN, OBS], CALLS),
    ("general-log-likelihood-short", lambda: GENERAL.log_likelihood([1.0, 0.0], DESIGN, OBS), [DESIGN], CALLS),
    ("general-eig-estimate", lambda: EIG.estimate(GENERAL, GENERAL_ROWS, CANDIDATES), [GENERAL, GENERAL_ROWS], CALLS),
    ("general-eig-estimate-bad-rows", lambda: EIG.estimate(GENERAL, ROWS, CANDIDATES), [ROWS], CALLS),
    ("general-eig-estimate-prior", lambda: EIG.estimate(GENERAL, [], CANDIDATES), [CANDIDATES], CALLS),
    ("general-eig-estimate-merged", lambda: EIG.estimate_merged(GENERAL, GENERAL_ROWS, CANDIDATES),
     [GENERAL, GENERAL_ROWS], CALLS),
    ("general-nuts-estimate", lambda: NUTS_FAST.estimate(GENERAL, DESIGN, OBS), [GENERAL, DESIGN, OBS],
     THREADED_CALLS),
    ("log-likelihoods", lambda: NUTS_FAST.log_likelihoods(GENERAL, GENERAL_ROWS, DESIGN, OBS),
     [GENERAL, GENERAL_ROWS, DESIGN, OBS], CALLS),
    ("log-likelihoods-bad-rows", lambda: NUTS_FAST.log_likelihoods(GENERAL, ROWS, DESIGN, OBS), [ROWS], CALLS),
    ("maximise-over-box", lambda: EIG.maximise_over_box(GENERAL, GENERAL_ROWS, [-1.0], [1.0], 9, merge_repeats=True),
     [GENERAL, GENERAL_ROWS], CALLS // 5),
    ("maximise-over-box-bad-coarse", lambda: EIG.maximise_over_box(GENERAL, GENERAL_ROWS, [-1.0], [1.0], 1),
     [GENERAL_ROWS], CALLS),
    ("move", lambda: NUTS_FAST.move(MODEL, DESIGN, OBS, ROWS, 0.5, 1), [MODEL, DESIGN, OBS, ROWS], CALLS),
    ("move-timeout", lambda: NUTS_ZERO.move(GENERAL, DESIGN, OBS, GENERAL_ROWS, 0.5, 3), [GENERAL_ROWS], CALLS),
    ("band", lambda: GENERAL.psychometric_band(GENERAL_ROWS, BAND_X, [2.5, 97.5]), [GENERAL_ROWS], CALLS),
    ("band-bad-quantiles", lambda: GENERAL.psychometric_band(GENERAL_ROWS, BAND_X, [101.0]), [GENERAL_ROWS],
     CALLS),
    ("conditions-band", lambda: CONDITIONS.psychometric_band(CONDITIONS_ROWS, BAND_X, 1, [50.0]),
     [CONDITIONS_ROWS], CALLS),
    ("sensitivity-band", lambda: CSF.sensitivity_band(CSF_ROWS, BAND_X, [2.5, 97.5]), [CSF_ROWS], CALLS),
]


class Discard(io.TextIOBase):
    """A text stream that keeps nothing."""

    def write(self, text):
        return len(text)


def call_many(fn, n):
    for _ in range(n):
        try:
            fn()
        except ALLOWED_ERRORS + (ValueError,):  # ValueError: the general model's documented refusals
            pass


@pytest.fixture(scope="module", autouse=True)
def report_growth():
    yield
    record_figure("resident KiB growth per 1000 calls", GROWTH)


@pytest.mark.parametrize("label, fn, watched, calls", ENTRY_POINTS, ids=[e[0] for e in ENTRY_POINTS])
def test_no_growth(label, fn, watched, calls):
    types = [Model, GeneralModel, EigEstimator, NUTSEstimator, PanicException]
    # The diagnostics of internal failures go to sys.stderr; keep them out of the capture buffer.
    with contextlib.redirect_stderr(Discard()):
        call_many(fn, max(200, calls // 5))  # warm-up: caches, allocator pools, NumPy's API
        gc.collect()
        refs_before = [sys.getrefcount(obj) for obj in watched + types]
        threads_before = wait_for_threads(BASELINE_THREADS)
        rss_before = resident_kib()
        for _ in range(2):
            call_many(fn, calls)
        # Runs that timed out end in the background: measure once they are gone.
        threads_settled = wait_for_threads(threads_before)
        gc.collect()
        rss_after = resident_kib()
        refs_after = [sys.getrefcount(obj) for obj in watched + types]
    growth = rss_after - rss_before
    GROWTH[label] = round(growth * 1000 / (2 * calls), 2)  # KiB per 1000 calls
    assert threads_settled == threads_before, "threads outlived their runs"
    assert refs_after == refs_before
    allowed = ALLOWED_GROWTH_THREADED_KIB if calls == THREADED_CALLS else ALLOWED_GROWTH_KIB
    assert growth <= allowed, f"{label}: resident memory grew {growth} KiB over {2 * calls} calls"
