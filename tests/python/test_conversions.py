"""Argument parsing and conversion at the Python boundary."""

import math

import numpy as np
import pytest

import varnel

Model = varnel.models.TwoParameterPsychometricModel
NUTSEstimator = varnel.posterior.NUTSEstimator
EIGEstimator = varnel.eig.EnumeratedMonteCarloEstimator

ARRAY = "PyArray<T, D>"


def model():
    return Model(0.0, 1.0, 0.0, 1.0)


def type_error(call):
    with pytest.raises(TypeError) as info:
        call()
    return info.value


# Python functions with the same parameter lists: CPython's own wording is the
# reference for every parsing error.
def _reference(name, params):
    source = f"def f({params}): pass"
    scope = {}
    exec(source, scope)
    f = scope["f"]
    f.__qualname__ = name
    return f


REF_MODEL_NEW = _reference("TwoParameterPsychometricModel.__new__", "mu_k, sigma_k, mu_m, sigma_m")
REF_NUTS_NEW = _reference(
    "NUTSEstimator.__new__",
    "num_tune=None, num_draws=None, num_chains=None, maxdepth=None, timeout=None, "
    "max_energy_error=None, seed=None",
)
REF_LOG_LIKELIHOOD = _reference(
    "TwoParameterPsychometricModel.log_likelihood", "params, design, observations"
)
REF_PRIOR_PREDICTIVE = _reference("TwoParameterPsychometricModel.sample_prior_predictive", "design")
REF_EIG_NEW = _reference("EnumeratedMonteCarloEstimator.__new__", "outcomes, n_samples")

D = np.zeros((1, 1))
O = np.ones(1, bool)

PARSE_CASES = [
    ("model-none", Model, REF_MODEL_NEW, (), {}),
    ("model-three", Model, REF_MODEL_NEW, (1, 2, 3), {}),
    ("model-two", Model, REF_MODEL_NEW, (1, 2), {}),
    ("model-one", Model, REF_MODEL_NEW, (1,), {}),
    ("model-gap", Model, REF_MODEL_NEW, (), {"sigma_k": 1, "mu_m": 0}),
    ("model-five", Model, REF_MODEL_NEW, (1, 2, 3, 4, 5), {}),
    ("model-twice", Model, REF_MODEL_NEW, (1, 2, 3, 4), {"mu_k": 1}),
    ("model-unexpected", Model, REF_MODEL_NEW, (1, 2, 3, 4), {"x": 1}),
    ("model-twice-and-too-many", Model, REF_MODEL_NEW, (1, 2, 3, 4, 5), {"sigma_m": 1}),
    ("nuts-eight", NUTSEstimator, REF_NUTS_NEW, tuple(range(8)), {}),
    ("nuts-unexpected", NUTSEstimator, REF_NUTS_NEW, (), {"num_warmup": 3}),
    ("nuts-twice", NUTSEstimator, REF_NUTS_NEW, (1,), {"num_tune": 3}),
    ("eig-none", EIGEstimator, REF_EIG_NEW, (), {}),
    ("eig-three", EIGEstimator, REF_EIG_NEW, ([True], 1, 2), {}),
    ("loglik-none", lambda *a, **k: model().log_likelihood(*a, **k), REF_LOG_LIKELIHOOD, (), {}),
    ("loglik-four", lambda *a, **k: model().log_likelihood(*a, **k), REF_LOG_LIKELIHOOD, ([1, 0], D, O, 1), {}),
    ("predictive-two", lambda *a, **k: model().sample_prior_predictive(*a, **k), REF_PRIOR_PREDICTIVE, (D, D), {}),
    ("predictive-none", lambda *a, **k: model().sample_prior_predictive(*a, **k), REF_PRIOR_PREDICTIVE, (), {}),
]


@pytest.mark.parametrize("call, reference, args, kwargs", [c[1:] for c in PARSE_CASES], ids=[c[0] for c in PARSE_CASES])
def test_parsing_errors_use_cpythons_wording(call, reference, args, kwargs):
    with pytest.raises(TypeError) as expected:
        reference(*args, **kwargs)
    assert str(type_error(lambda: call(*args, **kwargs))) == str(expected.value)


def test_missing_sigma_m_message():
    assert str(type_error(lambda: Model(1, 2, 3))) == (
        "TwoParameterPsychometricModel.__new__() missing 1 required positional argument: 'sigma_m'"
    )


def test_keywords_are_accepted():
    m = Model(sigma_m=2.0, mu_m=0.5, sigma_k=1.0, mu_k=0.0)
    assert str(m) == str(Model(0.0, 1.0, 0.5, 2.0))
    assert m.log_likelihood(observations=O, design=D, params=[1.0, 0.0]) == m.log_likelihood([1.0, 0.0], D, O)


class Indexable:
    def __index__(self):
        return 7


class Floaty:
    def __float__(self):
        return 0.25


@pytest.mark.parametrize("value, expected", [(1, 1.0), (True, 1.0), (np.float32(0.5), 0.5), (Indexable(), 7.0), (Floaty(), 0.25)])
def test_float_kind_accepts_numbers(value, expected):
    assert str(Model(value, 1, 0, 1)) == str(Model(expected, 1, 0, 1))


def test_float_kind_refuses_str_naming_the_argument():
    assert str(type_error(lambda: Model(0, 1, "a", 1))) == "argument 'mu_m': must be real number, not str"


def test_type_error_cause_is_kept():
    class Bad:
        def __float__(self):
            try:
                raise ValueError("inner")
            except ValueError as e:
                raise TypeError("outer") from e

    err = type_error(lambda: Model(0, Bad(), 0, 1))
    assert str(err) == "argument 'sigma_k': outer"
    assert isinstance(err.__cause__, ValueError)
    assert str(err.__cause__) == "inner"


def test_other_conversion_errors_pass_unchanged():
    class Boom:
        def __float__(self):
            raise ZeroDivisionError("boom")

    with pytest.raises(ZeroDivisionError, match="^boom$"):
        Model(Boom(), 1, 0, 1)


@pytest.mark.parametrize(
    "kwargs, exc, message",
    [
        ({"num_tune": -1}, OverflowError, "can't convert negative int to unsigned"),
        ({"seed": 2**64}, OverflowError, None),
        ({"num_tune": "5"}, TypeError, "argument 'num_tune': 'str' object cannot be interpreted as an integer"),
        ({"num_draws": 1.5}, TypeError, "argument 'num_draws': 'float' object cannot be interpreted as an integer"),
        ({"timeout": "x"}, TypeError, "argument 'timeout': must be real number, not str"),
    ],
    ids=["negative", "too-big", "str", "float", "timeout-str"],
)
def test_unsigned_and_optional_kinds(kwargs, exc, message):
    with pytest.raises(exc) as info:
        NUTSEstimator(**kwargs)
    assert type(info.value) is exc
    if message is not None:
        assert str(info.value) == message
    if exc is OverflowError:  # raised as it comes, without the argument's name
        assert not str(info.value).startswith("argument")


def test_unsigned_accepts_index_objects_and_full_range():
    NUTSEstimator(num_tune=Indexable(), seed=2**64 - 1)
    NUTSEstimator(None, None, None, None, None, None, None)


def test_arguments_convert_in_order_first_failure_wins():
    # design before observations, both before the model.
    err = type_error(lambda: model().log_likelihood("params?", [[1.0]], [True]))
    assert str(err) == "argument 'params': Can't extract `str` to `Vec`"
    err = type_error(lambda: model().log_likelihood([1, 0], [[1.0]], [True]))
    assert str(err) == f"argument 'design': 'list' object cannot be converted to '{ARRAY}'"
    err = type_error(lambda: NUTSEstimator(seed=1).estimate("not a model", D, [True]))
    assert str(err) == f"argument 'observations': 'list' object cannot be converted to '{ARRAY}'"
    err = type_error(lambda: EIGEstimator([True], 1).estimate("not a model", [[1.0]], D.astype(np.float32)))
    assert str(err) == f"argument 'candidate_designs': 'ndarray' object cannot be converted to '{ARRAY}'"


@pytest.mark.parametrize(
    "design, type_name",
    [
        ([[0.5]], "list"),
        (np.zeros((2, 1), dtype=np.float32), "ndarray"),
        (np.zeros((2, 1), dtype=np.int64), "ndarray"),
        (np.zeros(2), "ndarray"),
        (np.zeros((2, 1, 1)), "ndarray"),
        (np.zeros((2, 1), dtype=">f8"), "ndarray"),
        (np.float64(1.0), "float64"),
        (None, "NoneType"),
    ],
    ids=["list", "float32", "int64", "1-d", "3-d", "big-endian", "scalar", "none"],
)
def test_matrix_kind_refuses_non_float64_2d_arrays(design, type_name):
    err = type_error(lambda: model().log_likelihood([1, 0], design, O))
    assert str(err) == f"argument 'design': '{type_name}' object cannot be converted to '{ARRAY}'"


@pytest.mark.parametrize(
    "design",
    [np.zeros((3, 1)), np.zeros(3, dtype=np.float32), [0.0], np.zeros(3, dtype=">f8")],
    ids=["2-d", "float32", "list", "big-endian"],
)
def test_vector_kind_refuses(design):
    err = type_error(lambda: model().sample_prior_predictive(design))
    assert str(err).startswith("argument 'design': '")
    assert str(err).endswith(f"' object cannot be converted to '{ARRAY}'")


@pytest.mark.parametrize(
    "observations", [[True], np.ones(1, dtype=np.uint8), np.ones((1, 1), bool)], ids=["list", "uint8", "2-d"]
)
def test_bool_vector_kind_refuses(observations):
    err = type_error(lambda: model().log_likelihood([1, 0], D, observations))
    assert str(err).startswith("argument 'observations': '")
    assert str(err).endswith(f"' object cannot be converted to '{ARRAY}'")


def test_array_subclasses_and_readonly_arrays_are_accepted():
    design = np.arange(4.0).reshape(2, 2)
    design.flags.writeable = False
    obs = np.array([True, False])
    want = model().log_likelihood([1.2, 0.1], design.copy(), obs)
    assert model().log_likelihood([1.2, 0.1], design, obs) == want

    class Tagged(np.ndarray):
        pass

    assert model().log_likelihood([1.2, 0.1], design.view(Tagged), obs) == want


@pytest.mark.parametrize(
    "params, message",
    [
        ("ab", "argument 'params': Can't extract `str` to `Vec`"),
        (3, "argument 'params': 'int' object cannot be converted to 'Sequence'"),
        ({"k": 1}, "argument 'params': 'dict' object cannot be converted to 'Sequence'"),
        ([1, "a"], "argument 'params': must be real number, not str"),
    ],
    ids=["str", "int", "dict", "str-item"],
)
def test_list_of_float_kind(params, message):
    assert str(type_error(lambda: model().log_likelihood(params, D, O))) == message


@pytest.mark.parametrize("params", [(1.0, 0.0), np.array([1.0, 0.0]), range(1, -1, -1), [1, 0, 99]], ids=["tuple", "array", "range", "longer"])
def test_list_of_float_accepts_sequences(params):
    assert model().log_likelihood(params, D, O) == model().log_likelihood([1.0, 0.0], D, O)


@pytest.mark.parametrize(
    "params, message",
    [
        ("ab", "argument 'params': Can't extract `str` to `Vec`"),
        ([[1.0, 2.0], "ab"], "argument 'params': Can't extract `str` to `Vec`"),
        ([1.0, 2.0], "argument 'params': 'float' object cannot be converted to 'Sequence'"),
        (None, "argument 'params': 'NoneType' object cannot be converted to 'Sequence'"),
    ],
    ids=["str", "str-row", "flat", "none"],
)
def test_list_of_list_of_float_kind(params, message):
    err = type_error(lambda: EIGEstimator([True], 1).estimate(model(), params, D))
    assert str(err) == message


class FakeNumpyBool:
    """A scalar type that presents itself under NumPy's bool names."""

    def __init__(self, value, result=None):
        self.value = value
        self.result = value if result is None else result

    def __bool__(self):
        return self.result


def fake_bool_type(qualname):
    return type("FakeBool", (FakeNumpyBool,), {"__module__": "numpy", "__qualname__": qualname})


@pytest.mark.parametrize("qualname", ["bool_", "bool"])
def test_bool_list_accepts_both_numpy_bool_names(qualname):
    cls = fake_bool_type(qualname)
    EIGEstimator([cls(True), cls(False), True], 3)


def test_bool_list_accepts_real_numpy_bools():
    EIGEstimator([np.True_, np.False_, np.bool_(1), True], 1)
    EIGEstimator(np.array([True, False]), 1)
    EIGEstimator((True,), 0)
    EIGEstimator([], 0)


@pytest.mark.parametrize(
    "outcomes, message",
    [
        ("tf", "argument 'outcomes': Can't extract `str` to `Vec`"),
        ([1, 0], "argument 'outcomes': 'int' object cannot be converted to 'PyBool'"),
        ([True, None], "argument 'outcomes': 'NoneType' object cannot be converted to 'PyBool'"),
        (True, "argument 'outcomes': 'bool' object cannot be converted to 'Sequence'"),
        ([fake_bool_type("bool8")(True)], "argument 'outcomes': 'FakeBool' object cannot be converted to 'PyBool'"),
        ([fake_bool_type("bool")(True, result=1)], "argument 'outcomes': 'int' object cannot be converted to 'PyBool'"),
    ],
    ids=["str", "ints", "none-item", "scalar", "other-numpy-name", "bool-returns-int"],
)
def test_bool_list_refusals(outcomes, message):
    assert str(type_error(lambda: EIGEstimator(outcomes, 1))) == message


def test_n_samples_negative_is_overflow_error():
    with pytest.raises(OverflowError):
        EIGEstimator([True], -1)


def test_objects_stay_usable_after_errors():
    m = model()
    e = NUTSEstimator(seed=5)
    for _ in range(3):
        with pytest.raises(TypeError):
            m.log_likelihood([1, 0], [[1.0]], O)
        with pytest.raises(varnel.PanicException):
            m.log_posterior([], np.zeros((0, 1)), np.zeros(0, bool))
        with pytest.raises(varnel.PanicException, match="^Invalid model$"):
            e.estimate(e, D, O)
    assert m.log_likelihood([1.0, 0.0], np.zeros((1, 1)), O) == np.log(0.5)


@pytest.mark.parametrize(
    "timeout, message",
    [
        (-1.0, "cannot convert float seconds to Duration: value is negative"),
        (-1e-300, "cannot convert float seconds to Duration: value is negative"),
        (math.nan, "cannot convert float seconds to Duration: value is either too big or NaN"),
        (math.inf, "cannot convert float seconds to Duration: value is either too big or NaN"),
        (2.0**64, "cannot convert float seconds to Duration: value is either too big or NaN"),
    ],
    ids=["negative", "tiny-negative", "nan", "inf", "2**64"],
)
def test_timeout_conversion_failures(timeout, message):
    with pytest.raises(varnel.PanicException) as info:
        NUTSEstimator(timeout=timeout)
    assert info.value.args == (message,)


def test_timeout_and_counts_accept_edge_values():
    NUTSEstimator(num_tune=0, num_draws=0, num_chains=0, timeout=0.0, max_energy_error=math.nan)
    NUTSEstimator(timeout=2.0**64 - 2048, seed=0)
    NUTSEstimator(timeout=-0.0)


def test_sequences_with_odd_lengths_are_iterated():
    class Liar:
        """Claims a huge length, yields two items."""

        def __len__(self):
            return 2**62

        def __getitem__(self, i):
            if i < 2:
                return [1.0, 0.0][i]
            raise IndexError(i)

    class Broken(Liar):
        def __len__(self):
            raise RuntimeError("no length")

    m = Model(0, 1, 0, 1)
    want = m.log_likelihood([1.0, 0.0], D, O)
    assert m.log_likelihood(Liar(), D, O) == want
    assert m.log_likelihood(Broken(), D, O) == want


def test_error_while_iterating_passes_unchanged():
    class Failing:
        def __len__(self):
            return 3

        def __getitem__(self, i):
            raise KeyError("item")

    with pytest.raises(KeyError):
        model().log_likelihood(Failing(), D, O)
