"""The interpreter exits while a daemon thread is inside a long call with the
interpreter lock released: the process ends cleanly (CPython ends such a
thread with a forced unwind when it asks for the lock back)."""

import subprocess
import sys
import textwrap

import pytest

SETUP = """
    import threading, time
    import numpy as np
    import varnel
    model = varnel.models.TwoParameterPsychometricModel(1.0, 1.0, 0.0, 1.0)
    design = np.linspace(-2, 2, 30).reshape(-1, 1)
"""

CALLS = {
    # Wakes every 100 ms to look for signals, so it asks for the lock while the interpreter ends.
    "sampling": """
        estimator = varnel.posterior.NUTSEstimator(num_tune=1000, num_draws=10**8, num_chains=2, timeout=60.0, seed=1)
        call = lambda: estimator.estimate(model, design, design[:, 0] > 0)
    """,
    "scoring": """
        estimator = varnel.eig.EnumeratedMonteCarloEstimator([False, True], 20000)
        candidates = np.linspace(-3, 3, 200).reshape(-1, 1)
        call = lambda: [estimator.estimate(model, [], candidates) for _ in range(1000)]
    """,
}


@pytest.mark.parametrize("name", sorted(CALLS))
def test_exit_while_a_daemon_thread_is_inside_a_call(name):
    script = textwrap.dedent(SETUP) + textwrap.dedent(CALLS[name]) + textwrap.dedent("""
        threading.Thread(target=call, daemon=True).start()
        time.sleep(0.3)
        print("exiting", flush=True)
    """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert done.stdout == "exiting\n"
    assert done.returncode == 0, done.stderr[-3000:]
    assert "terminate called" not in done.stderr
