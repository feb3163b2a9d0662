import math

import numpy as np
import pytest

import varnel

Model = varnel.models.TwoParameterPsychometricModel
Estimator = varnel.eig.EnumeratedMonteCarloEstimator
PanicException = varnel.PanicException


def reference_eig(params, designs, outcomes, n_samples):
    """The estimator computed independently with NumPy, summing in order."""
    params = np.asarray(params, dtype=float)
    rows = params.shape[0]
    idx = [n * rows // n_samples for n in range(n_samples)]
    k = params[idx, 0]
    m = params[idx, 1]
    out = []
    for x in np.asarray(designs)[:, 0]:
        total = 0.0
        for y in outcomes:
            yf = 1.0 if y else 0.0
            h = np.exp((m - x) * k)
            lp = np.log(np.power(1.0 / (h + 1.0), yf) * np.power(h / (h + 1.0), 1.0 - yf))
            p = np.exp(lp)
            plp = lp * p
            p_hat = np.cumsum(p)[-1] / n_samples
            total += np.cumsum(plp)[-1] / n_samples - math.log(p_hat) * p_hat
        out.append(total)
    return np.array(out)


@pytest.fixture
def model():
    return Model(1.0, 1.0, 0.0, 1.0)


@pytest.fixture
def posterior_rows():
    rng = np.random.default_rng(5)
    return np.column_stack([rng.normal(2.0, 0.4, 300), rng.normal(0.3, 0.5, 300)])


@pytest.mark.parametrize("n_samples", [1, 7, 300, 1000])
@pytest.mark.parametrize("outcomes", [[False, True], [True], [True, False, True]])
def test_matches_independent_numpy_estimator(model, posterior_rows, n_samples, outcomes):
    designs = np.linspace(-2.5, 2.5, 21).reshape(-1, 1)
    got = Estimator(outcomes, n_samples).estimate(model, posterior_rows, designs)
    want = reference_eig(posterior_rows, designs, outcomes, n_samples)
    # One sample gives exactly 0; the reference may round to +-1e-16 there.
    np.testing.assert_allclose(got, want, rtol=1e-12, atol=1e-15)


def test_list_of_lists_and_array_agree_bit_for_bit(model, posterior_rows):
    designs = np.linspace(-1, 1, 9).reshape(-1, 1)
    est = Estimator([False, True], 500)
    from_array = est.estimate(model, posterior_rows, designs)
    from_lists = est.estimate(model, posterior_rows.tolist(), designs)
    from_fortran = est.estimate(model, np.asfortranarray(posterior_rows), designs)
    assert from_array.tobytes() == from_lists.tobytes() == from_fortran.tobytes()


@pytest.mark.parametrize(
    "layout",
    [
        pytest.param(lambda a: np.asfortranarray(a), id="fortran"),
        pytest.param(lambda a: np.hstack([a, a])[:, ::2], id="strided-columns"),
        pytest.param(lambda a: a[::-1][::-1], id="double-reversed"),
        pytest.param(lambda a: np.ascontiguousarray(a.T).T, id="transposed-view"),
    ],
)
def test_any_memory_layout_of_designs(model, posterior_rows, layout):
    designs = np.column_stack([np.linspace(-2, 2, 11), np.arange(11.0)])
    est = Estimator([False, True], 200)
    want = est.estimate(model, posterior_rows, np.ascontiguousarray(designs))
    got = est.estimate(model, posterior_rows, layout(designs))
    assert got.tobytes() == want.tobytes()


def test_reversed_designs_give_reversed_scores(model, posterior_rows):
    designs = np.linspace(-2, 2, 11).reshape(-1, 1)
    est = Estimator([False, True], 200)
    assert np.array_equal(est.estimate(model, posterior_rows, designs[::-1]), est.estimate(model, posterior_rows, designs)[::-1])


def test_extra_columns_and_extra_row_elements_are_ignored(model, posterior_rows):
    designs = np.linspace(-1, 1, 5).reshape(-1, 1)
    est = Estimator([False, True], 100)
    base = est.estimate(model, posterior_rows, designs)
    wide = est.estimate(model, posterior_rows, np.column_stack([designs, np.full((5, 3), 7.0)]))
    rows3 = est.estimate(model, np.column_stack([posterior_rows, np.ones(300)]), designs)
    assert base.tobytes() == wide.tobytes() == rows3.tobytes()


def test_deterministic_with_params_and_scores_are_mutual_information(model, posterior_rows):
    designs = np.linspace(-3, 3, 31).reshape(-1, 1)
    est = Estimator([False, True], 300)
    first = est.estimate(model, posterior_rows, designs)
    assert first.tobytes() == est.estimate(model, posterior_rows, designs).tobytes()
    assert np.all(first >= -1e-12)


def test_confident_posterior_prefers_designs_near_location(model):
    rng = np.random.default_rng(1)
    rows = np.column_stack([rng.normal(3.0, 0.2, 2000), rng.normal(0.8, 0.1, 2000)])
    designs = np.linspace(-3, 3, 61).reshape(-1, 1)
    scores = Estimator([False, True], 2000).estimate(model, rows, designs)
    best = designs[np.argmax(scores), 0]
    assert abs(best - 0.8) < 0.6
    assert scores[np.abs(designs[:, 0] - 0.8).argmin()] > 5 * scores[0]


def test_extreme_samples_give_finite_scores(model):
    rows = [[1e6, 0.0], [-1e6, 3.0], [50.0, -40.0], [1.0, 0.0], [800.0, 5.0]]
    designs = np.array([[-1e3], [-1.0], [0.0], [1.0], [1e3]])
    scores = Estimator([False, True], 5).estimate(model, rows, designs)
    assert np.all(np.isfinite(scores))
    assert np.all(scores >= -1e-12)


def test_empty_params_draw_from_the_prior(model):
    designs = np.linspace(-2, 2, 9).reshape(-1, 1)
    est = Estimator([False, True], 4000)
    scores = est.estimate(model, [], designs)
    again = est.estimate(model, np.empty((0, 2)), designs)
    assert np.all(np.isfinite(scores)) and np.all(scores > 0)
    assert scores.tobytes() != again.tobytes()  # fresh prior draws each call
    np.testing.assert_allclose(scores, again, atol=0.03)


@pytest.mark.parametrize(
    "outcomes, designs, expected",
    [
        ([], np.zeros((3, 1)), np.zeros(3)),
        ([False, True], np.zeros((0, 1)), np.zeros(0)),
        ([True], np.zeros((0, 0)), np.zeros(0)),
    ],
    ids=["no-outcomes", "no-designs", "empty-matrix"],
)
def test_empty_inputs(model, outcomes, designs, expected):
    got = Estimator(outcomes, 10).estimate(model, [[1.0, 0.0]], designs)
    assert got.dtype == np.float64 and got.shape == expected.shape
    assert np.array_equal(got, expected)


def test_repeated_outcome_counts_twice(model, posterior_rows):
    designs = np.array([[0.1], [1.5]])
    once = Estimator([True], 300).estimate(model, posterior_rows, designs)
    twice = Estimator([True, True], 300).estimate(model, posterior_rows, designs)
    assert np.array_equal(twice, once + once)


def test_result_array_owns_its_memory(model, posterior_rows):
    scores = Estimator([False, True], 50).estimate(model, posterior_rows, np.zeros((4, 1)))
    assert scores.flags.c_contiguous and scores.flags.writeable
    assert scores.base is not None
    scores[0] = 1.0  # writable without touching anything else


@pytest.mark.parametrize(
    "n_samples, params, designs, message",
    [
        (0, [[1.0, 0.0]], np.zeros((1, 1)), "called `Option::unwrap()` on a `None` value"),
        (0, [], np.zeros((1, 1)), "called `Option::unwrap()` on a `None` value"),
        (3, [[1.0, 0.0]], np.zeros((2, 0)), "index out of bounds: the len is 0 but the index is 0"),
        (3, [[1.0]], np.zeros((2, 1)), "index out of bounds: the len is 1 but the index is 1"),
        (3, np.ones((4, 1)), np.zeros((2, 1)), "index out of bounds: the len is 1 but the index is 1"),
    ],
    ids=["no-samples", "no-samples-prior", "no-columns", "short-row", "short-array-row"],
)
def test_internal_failures(model, n_samples, params, designs, message):
    est = Estimator([True], n_samples)
    with pytest.raises(PanicException) as info:
        est.estimate(model, params, designs)
    assert info.value.args == (message,)
    # The estimator stays usable.
    assert Estimator([True], 2).estimate(model, [[1.0, 0.0]], np.zeros((1, 1))).shape == (1,)


def test_invalid_model_after_argument_conversion(posterior_rows):
    est = Estimator([True], 3)
    with pytest.raises(PanicException, match="Invalid model"):
        est.estimate(est, posterior_rows, np.zeros((1, 1)))
    with pytest.raises(TypeError, match="argument 'candidate_designs'"):
        est.estimate(est, posterior_rows, [[0.0]])
    with pytest.raises(TypeError, match="argument 'params'"):
        est.estimate(est, "abc", [[0.0]])


@pytest.mark.parametrize(
    "params",
    [pytest.param(1.5, id="float"), pytest.param([1.0, 2.0], id="flat-list"), pytest.param([["a", "b"]], id="strings")],
)
def test_params_type_errors_name_the_argument(model, params):
    with pytest.raises(TypeError, match="^argument 'params': "):
        Estimator([True], 3).estimate(model, params, np.zeros((1, 1)))


def test_other_threads_run_while_scoring(model, posterior_rows):
    import threading

    est = Estimator([False, True], 20000)
    designs = np.linspace(-3, 3, 400).reshape(-1, 1)
    ticks = []
    stop = threading.Event()

    def ticker():
        while not stop.is_set():
            ticks.append(1)
            stop.wait(0.001)

    t = threading.Thread(target=ticker)
    t.start()
    try:
        est.estimate(model, posterior_rows, designs)
    finally:
        stop.set()
        t.join()
    assert len(ticks) > 1


@pytest.mark.parametrize("params", [[[1.0, 0.0]], []], ids=["posterior-rows", "prior-draws"])
def test_impossible_sample_count_is_a_memory_error(model, params):
    est = Estimator([False, True], 2**62)
    with pytest.raises(MemoryError):
        est.estimate(model, params, np.zeros((2, 1)))
    assert Estimator([True], 2).estimate(model, [[1.0, 0.0]], np.zeros((1, 1))).shape == (1,)
