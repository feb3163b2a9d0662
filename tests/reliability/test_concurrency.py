"""Concurrent calls give the same results as the same calls made one after
another; a storm of timed-out runs followed by interpreter exit neither
crashes nor hangs; Ctrl-C during sampling raises KeyboardInterrupt at once;
no thread outlives its run."""

import json
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

from support import EigEstimator, Model, NUTSEstimator, PanicException, record_figure

THREADS = 8
# How long the sampler's threads may take to be gone after a run ended.
SETTLE_SECS = 5.0
INTERRUPT_LIMIT_SECS = 0.5


def thread_count():
    return len(os.listdir("/proc/self/task"))


def settled_thread_count(baseline):
    deadline = time.monotonic() + SETTLE_SECS
    while thread_count() > baseline and time.monotonic() < deadline:
        time.sleep(0.01)
    return thread_count()


def outcome(fn):
    """A comparable record of a call: the result's bytes or the failure."""
    try:
        result = fn()
    except PanicException as failure:
        return ("panic", failure.args)
    if isinstance(result, list):
        return ("chains", [(a.shape, a.tobytes()) for a in result])
    return ("array", result.shape, result.tobytes())


def workloads():
    model = Model(1.0, 1.0, 0.0, 1.0)
    rng = np.random.default_rng(11)
    design = rng.normal(0.0, 1.5, 24).reshape(-1, 1)
    observations = design[:, 0] + rng.normal(0.0, 0.5, 24) > 0.2
    rows = np.column_stack([rng.normal(1.0, 0.3, 400), rng.normal(0.2, 0.4, 400)])
    candidates = np.linspace(-3, 3, 25).reshape(-1, 1)
    calls = []
    for i in range(THREADS):
        nuts = NUTSEstimator(num_tune=60, num_draws=20, num_chains=2, timeout=30.0, seed=100 + i)
        eig = EigEstimator([False, True], 200 + 50 * i)
        calls.append(lambda nuts=nuts: nuts.estimate(model, design, observations))
        calls.append(lambda eig=eig: eig.estimate(model, rows, candidates))
    return calls


def test_threads_give_the_sequential_results():
    calls = workloads()
    baseline = thread_count()
    expected = [outcome(fn) for fn in calls]
    got = [None] * len(calls)
    start = threading.Barrier(THREADS)
    errors = []

    def worker(t):
        try:
            start.wait()
            for _ in range(3):
                for i in range(t, len(calls), THREADS):
                    got[i] = outcome(calls[i])
                    assert got[i] == expected[i], f"call {i} differs when run concurrently"
        except BaseException as failure:  # noqa: BLE001 - reported below
            errors.append(failure)

    threads = [threading.Thread(target=worker, args=(t,)) for t in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=120)
    assert not any(thread.is_alive() for thread in threads), "a worker hung"
    assert errors == []
    assert got == expected
    assert settled_thread_count(baseline) == baseline


def run_script(body, timeout):
    script = textwrap.dedent(body)
    return subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=timeout)


STORM = """
    import json, os, sys, time
    import numpy as np
    import varnel
    model = varnel.models.TwoParameterPsychometricModel(1.0, 1.0, 0.0, 1.0)
    design = np.linspace(-2, 2, 30).reshape(-1, 1)
    observations = design[:, 0] > 0
    task = lambda: len(os.listdir("/proc/self/task"))
    baseline = task()
    failures = {}
    for i in range(200):
        estimator = varnel.posterior.NUTSEstimator(num_chains=1 + i % 6, timeout=0.0, seed=i)
        try:
            estimator.estimate(model, design, observations)
            failures["none"] = failures.get("none", 0) + 1
        except varnel.PanicException as failure:
            failures[failure.args[0]] = failures.get(failure.args[0], 0) + 1
    after = task()
    if WAIT:
        deadline = time.monotonic() + SETTLE
        while task() > baseline and time.monotonic() < deadline:
            time.sleep(0.01)
    print(json.dumps({"baseline": baseline, "after": after, "settled": task(), "failures": failures}))
    sys.stdout.flush()
"""


@pytest.mark.parametrize("wait", [False, True], ids=["exit-at-once", "threads-settle"])
def test_storm_of_timeouts_then_exit(wait):
    body = STORM.replace("WAIT", str(wait)).replace("SETTLE", str(SETTLE_SECS))
    done = run_script(body, timeout=120)
    assert done.returncode == 0, done.stderr[-3000:]
    report = json.loads(done.stdout.strip().splitlines()[-1])
    assert sum(report["failures"].values()) == 200
    assert set(report["failures"]) <= {"Timeout", "none"}, report["failures"]
    if wait:
        record_figure("threads after the storm (baseline, right after, settled)",
                      [report["baseline"], report["after"], report["settled"]])
        assert report["settled"] == report["baseline"]


INTERRUPTED = """
    import os, sys, time
    import numpy as np
    import varnel
    model = varnel.models.TwoParameterPsychometricModel(1.0, 1.0, 0.0, 1.0)
    design = np.linspace(-2, 2, 30).reshape(-1, 1)
    observations = design[:, 0] > 0
    estimator = varnel.posterior.NUTSEstimator(num_tune=1000, num_draws=10**8, num_chains=2,
                                               timeout=60.0, seed=5)
    task = lambda: len(os.listdir("/proc/self/task"))
    baseline = task()
    print("ready", flush=True)
    try:
        estimator.estimate(model, design, observations)
        print("returned", flush=True)
    except KeyboardInterrupt:
        print("interrupted", flush=True)
        deadline = time.monotonic() + SETTLE
        while task() > baseline and time.monotonic() < deadline:
            time.sleep(0.01)
        print("threads", baseline, task(), flush=True)
    except varnel.PanicException as failure:
        print("panic", failure.args, flush=True)
"""


def test_ctrl_c_during_sampling():
    body = textwrap.dedent(INTERRUPTED.replace("SETTLE", str(SETTLE_SECS)))
    child = subprocess.Popen([sys.executable, "-c", body], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True)
    try:
        assert child.stdout.readline().strip() == "ready"
        time.sleep(0.3)  # sampling is under way
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        line = child.stdout.readline().strip()
        elapsed = time.monotonic() - sent
        # Read on through the same buffered stream: communicate() reads the
        # pipe itself and would miss what readline() already buffered.
        threads = child.stdout.readline().strip()
        child.wait(timeout=30)
        errors = child.stderr.read()
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    assert line == "interrupted", (line, threads, errors[-3000:])
    assert elapsed < INTERRUPT_LIMIT_SECS, f"KeyboardInterrupt took {elapsed:.3f} s"
    _, baseline, after = threads.split()
    record_figure("Ctrl-C to KeyboardInterrupt (s)", round(elapsed, 3))
    record_figure("threads after Ctrl-C (baseline, settled)", [int(baseline), int(after)])
    assert after == baseline
    assert child.returncode == 0, errors[-3000:]
