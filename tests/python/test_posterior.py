import gc
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import varnel

Model = varnel.models.TwoParameterPsychometricModel
NUTSEstimator = varnel.posterior.NUTSEstimator
PanicException = varnel.PanicException

TRUE_K, TRUE_M = 2.5, 0.6


def simulated(n, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.uniform(-3.0, 3.0, n)
    y = rng.random(n) < 1.0 / (1.0 + np.exp(-TRUE_K * (x - TRUE_M)))
    return x.reshape(-1, 1), y


@pytest.fixture
def model():
    return Model(1.0, 2.0, 0.0, 1.5)


@pytest.fixture
def data():
    return simulated(40)


def thread_count():
    return len(os.listdir("/proc/self/task"))


def settled_thread_count(seconds=5.0):
    """The thread count once runs that earlier tests dropped have ended."""
    deadline = time.monotonic() + seconds
    count = thread_count()
    while time.monotonic() < deadline:
        time.sleep(0.05)
        now = thread_count()
        if now == count:
            return now
        count = now
    return count


def wait_for_threads(baseline, seconds=5.0):
    deadline = time.monotonic() + seconds
    while thread_count() > baseline and time.monotonic() < deadline:
        time.sleep(0.01)
    return thread_count()


def test_default_run_returns_six_chains_with_warm_up(model, data):
    chains = NUTSEstimator(seed=3).estimate(model, *data)
    assert isinstance(chains, list) and len(chains) == 6
    for c in chains:
        assert c.dtype == np.float64 and c.shape == (1400, 2)
        assert c.flags.c_contiguous and c.flags.writeable and c.base is not None
        assert np.all(np.isfinite(c))


def test_same_seed_same_draws_across_estimators(model, data):
    kwargs = dict(num_tune=100, num_draws=50, num_chains=2, seed=1)
    first = NUTSEstimator(**kwargs).estimate(model, *data)
    second = NUTSEstimator(**kwargs).estimate(model, *data)
    assert [c.shape for c in first] == [(150, 2), (150, 2)]
    assert all(a.tobytes() == b.tobytes() for a, b in zip(first, second))
    assert first[0].tobytes() != first[1].tobytes()  # chains differ by stream
    other = NUTSEstimator(num_tune=100, num_draws=50, num_chains=2, seed=2).estimate(model, *data)
    assert other[0].tobytes() != first[0].tobytes()


def test_default_seed_is_drawn_once_per_estimator(model, data):
    est = NUTSEstimator(num_tune=50, num_draws=20, num_chains=1)
    a = est.estimate(model, *data)[0]
    b = est.estimate(model, *data)[0]
    c = NUTSEstimator(num_tune=50, num_draws=20, num_chains=1).estimate(model, *data)[0]
    assert a.tobytes() == b.tobytes()
    assert a.tobytes() != c.tobytes()


@pytest.mark.parametrize(
    "layout",
    [
        pytest.param(np.asfortranarray, id="fortran"),
        pytest.param(lambda d: np.hstack([d, d])[:, ::2], id="strided"),
        pytest.param(lambda d: np.column_stack([d, np.ones_like(d)])[::-1][::-1], id="wide-reversed-twice"),
    ],
)
def test_any_design_layout_gives_the_same_draws(model, data, layout):
    x, y = data
    est = NUTSEstimator(num_tune=60, num_draws=30, num_chains=2, seed=5)
    want = est.estimate(model, np.ascontiguousarray(x), y)
    got = est.estimate(model, layout(x), y)
    assert all(a.tobytes() == b.tobytes() for a, b in zip(want, got))


def test_only_paired_observations_enter(model, data):
    x, y = data
    est = NUTSEstimator(num_tune=60, num_draws=30, num_chains=1, seed=9)
    longer = np.concatenate([y, [True, False, True]])
    assert est.estimate(model, x, longer)[0].tobytes() == est.estimate(model, x, y)[0].tobytes()


def test_zero_timeout_is_timeout_and_threads_end(model, data):
    baseline = settled_thread_count()
    with pytest.raises(PanicException) as info:
        NUTSEstimator(timeout=0.0, seed=1).estimate(model, *data)
    assert info.value.args == ("Timeout",)
    assert wait_for_threads(baseline) <= baseline


def test_invalid_model_comes_after_the_arrays(data):
    est = NUTSEstimator(seed=1)
    with pytest.raises(PanicException) as info:
        est.estimate(varnel.eig.EnumeratedMonteCarloEstimator([True], 1), *data)
    assert info.value.args == ("Invalid model",)
    with pytest.raises(TypeError, match="^argument 'design': "):
        est.estimate("not a model", [[0.0]], data[1])


def test_no_warm_up_fails_every_chain(model, data):
    with pytest.raises(PanicException) as info:
        NUTSEstimator(num_tune=0, num_draws=5, seed=1).estimate(model, *data)
    assert info.value.args == ("assertion failed: early_end < num_tune",)


def test_chains_that_cannot_start_report_an_error(data):
    with pytest.raises(PanicException) as info:
        NUTSEstimator(num_tune=10, num_draws=5, seed=1).estimate(Model(1.0, 0.0, 0.0, 1.0), *data)
    (message,) = info.value.args
    assert message.startswith("Error: All initialization points failed")
    assert "bad initial gradient" in message


def test_estimator_stays_usable_after_failures(model, data):
    est = NUTSEstimator(num_tune=20, num_draws=10, num_chains=1, seed=4)
    with pytest.raises(PanicException):
        est.estimate(est, *data)
    assert est.estimate(model, *data)[0].shape == (30, 2)


def test_other_python_threads_run_during_sampling(model, data):
    ticks = []
    stop = threading.Event()

    def ticker():
        while not stop.is_set():
            ticks.append(time.monotonic())
            stop.wait(0.002)

    t = threading.Thread(target=ticker)
    t.start()
    try:
        start = time.monotonic()
        NUTSEstimator(num_tune=400, num_draws=3000, num_chains=4, seed=2).estimate(model, *simulated(300))
        elapsed = time.monotonic() - start
    finally:
        stop.set()
        t.join()
    during = [s for s in ticks if start <= s <= start + elapsed]
    assert len(during) >= 5


def test_thread_count_back_to_baseline_after_calls(model, data):
    baseline = settled_thread_count()
    est = NUTSEstimator(num_tune=30, num_draws=10, num_chains=3, seed=1)
    for _ in range(5):
        est.estimate(model, *data)
    assert wait_for_threads(baseline) <= baseline


def child_script(tmp_path, name, source):
    """A Python program for a subprocess test, written to tmp_path."""
    script = tmp_path / name
    script.write_text(textwrap.dedent(source))
    return script


def test_ctrl_c_stops_sampling_within_half_a_second(tmp_path):
    script = child_script(
        tmp_path,
        "sample.py",
        """
            import sys, time
            import numpy as np
            import varnel
            m = varnel.models.TwoParameterPsychometricModel(1.0, 2.0, 0.0, 1.5)
            x = np.linspace(-3, 3, 2000).reshape(-1, 1)
            y = np.random.default_rng(0).random(2000) < 0.5
            est = varnel.posterior.NUTSEstimator(num_draws=10**9, timeout=60.0, seed=1)
            print("ready", flush=True)
            try:
                est.estimate(m, x, y)
            except KeyboardInterrupt:
                print("interrupted", time.time(), flush=True)
                sys.exit(0)
            sys.exit(1)
            """,
    )
    proc = subprocess.Popen([sys.executable, str(script)], stdout=subprocess.PIPE, text=True)
    try:
        assert proc.stdout.readline().strip() == "ready"
        time.sleep(0.5)
        sent = time.time()
        proc.send_signal(signal.SIGINT)
        line = proc.stdout.readline().split()
        assert proc.wait(timeout=10) == 0
    finally:
        proc.kill()
    assert line[0] == "interrupted"
    assert float(line[1]) - sent < 0.5


def test_posterior_matches_grid_quadrature(model):
    x, y = simulated(30, seed=11)
    chains = NUTSEstimator(num_tune=400, num_draws=2000, num_chains=4, seed=7).estimate(model, x, y)
    draws = np.vstack([c[400:] for c in chains])

    # The exact posterior on a fine grid.
    k = np.linspace(-2.0, 12.0, 700)[:, None, None]
    m = np.linspace(-3.0, 3.0, 600)[None, :, None]
    l = k * (x[:, 0][None, None, :] - m)
    loglik = np.where(y[None, None, :], -np.logaddexp(0.0, -l), -np.logaddexp(0.0, l)).sum(axis=2)
    logpost = loglik - 0.5 * ((k[:, :, 0] - 1.0) / 2.0) ** 2 - 0.5 * (m[:, :, 0] / 1.5) ** 2
    w = np.exp(logpost - logpost.max())
    w /= w.sum()
    kk, mm = k[:, :, 0], m[:, :, 0]
    mean = np.array([(w * kk).sum(), (w * mm).sum()])
    sd = np.sqrt(np.array([(w * (kk - mean[0]) ** 2).sum(), (w * (mm - mean[1]) ** 2).sum()]))

    # Monte Carlo error with a conservative effective sample size.
    n_eff = 1000
    np.testing.assert_array_less(np.abs(draws.mean(axis=0) - mean), 5 * sd / np.sqrt(n_eff))
    np.testing.assert_array_less(np.abs(draws.std(axis=0) - sd), 5 * sd / np.sqrt(2 * n_eff))


STATS_COLUMNS = [
    ("depth", "uint64"),
    ("maxdepth_reached", "bool"),
    ("index_in_trajectory", "int64"),
    ("logp", "double"),
    ("energy", "double"),
    ("chain", "uint64"),
    ("draw", "uint64"),
    ("diverging", "bool"),
    ("energy_error", "double"),
    ("step_size", "double"),
    ("step_size_bar", "double"),
    ("mean_tree_accept", "double"),
    ("mean_tree_accept_sym", "double"),
    ("n_steps", "uint64"),
]


def test_estimate_with_stats_gives_the_same_draws_and_one_table_per_chain(model, data):
    kwargs = dict(num_tune=100, num_draws=200, num_chains=3, seed=12)
    draws, stats = NUTSEstimator(**kwargs).estimate_with_stats(model, *data)
    plain = NUTSEstimator(**kwargs).estimate(model, *data)
    assert all(a.tobytes() == b.tobytes() for a, b in zip(draws, plain))
    assert len(stats) == 3
    for chain, table in enumerate(stats):
        assert [(f.name, str(f.type)) for f in table.schema] == STATS_COLUMNS
        assert table.num_rows == 300
        cols = table.to_pydict()
        assert cols["draw"] == list(range(300))
        assert set(cols["chain"]) == {chain}
        logp = np.array(cols["logp"])
        assert np.isfinite(logp).all()
        # Leapfrog steps are reported one draw late: a trajectory of depth d
        # that ended without a divergence took 2^d - 1 steps, or up to
        # 2^(d+1) - 1 when a U-turn inside a new subtree was rejected.
        depth = np.array(cols["depth"])
        n_steps = np.array(cols["n_steps"])
        diverging = np.array(cols["diverging"])
        for i in range(1, 300):
            if not diverging[i - 1]:
                assert 2 ** depth[i - 1] - 1 <= n_steps[i] <= 2 ** (depth[i - 1] + 1) - 1


def test_statistics_outlive_estimator_and_model(data):
    model = Model(1.0, 2.0, 0.0, 1.5)
    est = NUTSEstimator(num_tune=50, num_draws=50, num_chains=2, seed=3)
    _, stats = est.estimate_with_stats(model, *data)
    expected = stats[1].column("energy").to_pylist()
    del est, model, _
    gc.collect()
    assert stats[1].column("energy").to_pylist() == expected
    stats[1].validate(full=True)


def test_interpreter_exits_cleanly_after_timed_out_runs(tmp_path):
    # Timed-out runs end in the background; the process must still exit
    # cleanly while they are winding down.
    script = child_script(
        tmp_path,
        "storm.py",
        """
            import numpy as np
            import varnel
            m = varnel.models.TwoParameterPsychometricModel(1.0, 2.0, 0.0, 1.5)
            x = np.linspace(-3, 3, 50).reshape(-1, 1)
            y = np.arange(50) % 3 == 0
            for i in range(40):
                try:
                    varnel.posterior.NUTSEstimator(timeout=0.0, seed=i).estimate(m, x, y)
                except varnel.PanicException:
                    pass
            print("done", flush=True)
            """,
    )
    # Freed blocks filled by the C library: a static object used by a run after
    # the exit destroyed it fails for certain, not by chance.
    env = dict(os.environ, GLIBC_TUNABLES="glibc.malloc.perturb=165")
    proc = subprocess.run(
        [sys.executable, str(script)], capture_output=True, text=True, timeout=60, env=env
    )
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert proc.stdout.strip() == "done"


@pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""),
    reason="the address sanitizer's allocator (GCC 12) is not fork-safe: a child forked while "
    "other threads allocate can block in it for good; the C++ fork test covers this case there",
)
def test_a_child_forked_while_timed_out_runs_end_exits_cleanly(tmp_path):
    # The child has none of the parent's threads: its exit must not wait for
    # the runs still ending in the parent, nor touch their threads' records.
    script = child_script(
        tmp_path,
        "fork.py",
        """
            import os, sys, time
            import numpy as np
            import varnel
            m = varnel.models.TwoParameterPsychometricModel(1.0, 2.0, 0.0, 1.5)
            x = np.linspace(-3, 3, 50).reshape(-1, 1)
            y = np.arange(50) % 3 == 0
            for i in range(10):
                try:
                    estimator = varnel.posterior.NUTSEstimator(timeout=0.0, seed=i, num_draws=10**6)
                    estimator.estimate(m, x, y)
                except varnel.PanicException:
                    pass
            pid = os.fork()
            if pid == 0:
                sys.exit(0)
            deadline = time.monotonic() + 20
            while time.monotonic() < deadline:
                done, status = os.waitpid(pid, os.WNOHANG)
                if done:
                    print("child", os.waitstatus_to_exitcode(status), flush=True)
                    break
                time.sleep(0.02)
            else:
                os.kill(pid, 9)
                print("child hung", flush=True)
            """,
    )
    proc = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert proc.stdout.strip() == "child 0"


GENERAL = varnel.models.PsychometricModel(link="normal", guess_rate=0.5, lapse_rate=(2.0, 50.0))
POINTS = np.array([[2.0, 0.1, 0.02], [1.0, -0.5, 0.05], [4.0, 0.3, 0.01]])


@pytest.mark.parametrize(
    "call, error, text",
    [
        (lambda e, d, y: e.move(GENERAL, d, y, POINTS[:, :2], 0.5), ValueError, "argument 'points': expected 3 columns"),
        (lambda e, d, y: e.move(GENERAL, d, y, POINTS * [[1, 1, 30]], 0.5), ValueError, "row 0 is outside"),
        (lambda e, d, y: e.move(GENERAL, d, y, POINTS, 0.0), ValueError, "argument 'step_size'"),
        (lambda e, d, y: e.move(GENERAL, d, y, POINTS, float("nan")), ValueError, "argument 'step_size'"),
        (lambda e, d, y: e.move("model", d, y, POINTS, 0.5), TypeError, "argument 'model'"),
        (lambda e, d, y: e.move(GENERAL, d, y, POINTS.tolist(), 0.5), TypeError, "argument 'points'"),
        (lambda e, d, y: e.log_likelihoods(GENERAL, POINTS[:, ::-1] * -1, d, y), ValueError, "row 0 is outside"),
        (lambda e, d, y: e.log_likelihoods(Model(1.0, 2.0, 0.0, 1.5), POINTS, d, y), ValueError, "expected 2 columns"),
        (lambda e, d, y: e.log_likelihoods(GENERAL, POINTS, d[:, :0], y), ValueError, "argument 'design': has no column"),
        (lambda e, d, y: e.move(GENERAL, d[:, :0], y, POINTS, 0.5), ValueError, "argument 'design': has no column"),
    ],
    ids=["columns", "support", "zero-step", "nan-step", "model", "list", "ll-support", "ll-columns", "ll-no-column",
         "no-column"],
)
def test_particle_methods_refuse_bad_arguments(data, call, error, text):
    with pytest.raises(error, match=text):
        call(NUTSEstimator(seed=1), *data)


def test_particle_methods_on_either_model(model, data):
    design, y = data
    estimator = NUTSEstimator(seed=4)
    points = np.array([[2.5, 0.6], [1.0, 0.0], [3.0, 1.0]])
    ll = estimator.log_likelihoods(model, points, design, y)
    assert ll.shape == (3,) and ll[0] == model.log_likelihood([2.5, 0.6], design, y)
    moved, step, accept, divergences = estimator.move(model, design, y, points, 0.5, 2)
    assert moved.shape == points.shape and step > 0.0 and 0.0 <= accept <= 1.0 and divergences >= 0
    np.testing.assert_array_equal(moved, estimator.move(model, design, y, points, 0.5, 2)[0])
    with pytest.raises(PanicException, match="Timeout"):
        NUTSEstimator(seed=4, timeout=0.0).move(model, design, y, np.tile(points, (200, 1)), 0.5, 50)


WIDE = np.column_stack([np.linspace(-1.0, 1.0, 4), np.arange(4.0), np.ones(4)])  # stimulus plus two columns
RESPONSES = np.array([True, False, True, True])


@pytest.mark.parametrize("call, argument", [
    (lambda: NUTSEstimator(seed=1, num_tune=10, num_draws=10).estimate(GENERAL, WIDE, RESPONSES), "design"),
    (lambda: NUTSEstimator(seed=1).move(GENERAL, WIDE, RESPONSES, POINTS, 0.5), "design"),
    (lambda: NUTSEstimator(seed=1).log_likelihoods(GENERAL, POINTS, WIDE[:, :2], RESPONSES), "design"),
    (lambda: varnel.eig.EnumeratedMonteCarloEstimator([False, True], 10).estimate(GENERAL, POINTS, WIDE),
     "candidate_designs"),
    (lambda: GENERAL.log_likelihood(POINTS[0].tolist(), WIDE, RESPONSES), "design"),
    (lambda: GENERAL.sample_prior_predictive(np.array([0.1, 2.0])), "design"),
    (lambda: varnel.experiment.AdaptiveExperiment(GENERAL, WIDE), "candidates"),
], ids=["estimate", "move", "log_likelihoods", "eig", "log_likelihood", "prior_predictive", "experiment"])
def test_psychometric_model_refuses_designs_of_other_widths(call, argument):
    with pytest.raises(ValueError, match=rf"argument '{argument}': has [23] columns, PsychometricModel reads 1"):
        call()


def test_two_parameter_model_still_reads_column_0_of_wider_designs():
    model = Model(1.0, 2.0, 0.0, 1.5)
    wide = NUTSEstimator(seed=3, num_tune=50, num_draws=50).estimate(model, WIDE, RESPONSES)
    narrow = NUTSEstimator(seed=3, num_tune=50, num_draws=50).estimate(model, WIDE[:, :1].copy(), RESPONSES)
    assert all(np.array_equal(a, b) for a, b in zip(wide, narrow))
