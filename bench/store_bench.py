"""Timings of the researcher-facing layer (not part of the test suite):
a record's commit against one posterior update, opening a session in a big
store, the threshold and band computations, and planning on 1 and 2 worker
processes. Ratios within one run are what to compare; machines are noisy.

    .venv/bin/python bench/store_bench.py [--quick]
"""

from __future__ import annotations

import argparse
import json
import os
import sqlite3
import tempfile
import time
from concurrent.futures import ProcessPoolExecutor

import numpy as np

import varnel
from varnel.experiment import AdaptiveExperiment, SessionStore, simulate

GRID = np.linspace(-3.0, 3.0, 61)


def model():
    return varnel.models.PsychometricModel(link="normal", guess_rate=0.5, lapse_rate=(1.0, 19.0))


def median_ms(samples):
    return float(np.median(samples) * 1e3)


def fill(path: str, sessions: int, trials: int) -> None:
    """A store of `sessions` sessions of `trials` trials each, written in bulk."""
    with SessionStore(path) as store:
        store.session("seed-session", model=model(), candidates=GRID, seed=0)
    db = sqlite3.connect(path)
    row = db.execute("SELECT model, candidates, settings, seed, metadata, created_at, written_by FROM sessions").fetchone()
    db.executemany("INSERT INTO sessions (participant, condition, model, candidates, settings, seed, metadata, "
                   "created_at, written_by) VALUES (?, '', ?, ?, ?, ?, ?, ?, ?)",
                   [(f"P{i:05d}", *row) for i in range(sessions)])
    ids = [r[0] for r in db.execute("SELECT id FROM sessions WHERE participant != 'seed-session'")]
    rng = np.random.default_rng(0)
    for chunk in range(0, len(ids), 500):
        db.executemany("INSERT INTO trials (session_id, seq, x, response, off_grid, recorded_at) "
                       "VALUES (?, ?, ?, ?, 0, 0.0)",
                       [(i, k, float(GRID[rng.integers(61)]), int(rng.integers(2))) for i in ids[chunk:chunk + 500]
                        for k in range(trials)])
    db.commit()
    db.close()


def record_timings(path: str, participant: str, trials: int, durable: bool = True) -> dict[str, float]:
    with SessionStore(path, durable=durable) as store:
        experiment = store.session(participant, model=model(), candidates=GRID, seed=1)
        records, updates = [], []
        for _ in range(trials):
            x = experiment.next_stimulus()
            start = time.perf_counter()
            experiment.record(x, bool(x > 0.3))
            records.append(time.perf_counter() - start)
            start = time.perf_counter()
            experiment.next_stimulus()  # the posterior update and the scores this trial caused
            updates.append(time.perf_counter() - start)
    return {"record_ms": median_ms(records), "update_ms": median_ms(updates)}


def _busy(n: int) -> int:
    total = 0
    for i in range(n):
        total += i * i
    return total


def fsync_ms(path: str, count: int = 40) -> float:
    """The floor of a durable commit: one small write and its fsync."""
    samples = []
    with open(path, "wb") as f:
        for _ in range(count):
            start = time.perf_counter()
            f.write(b"x" * 100)
            f.flush()
            os.fsync(f.fileno())
            samples.append(time.perf_counter() - start)
    return median_ms(samples)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="1,000 sessions instead of 10,000")
    args = parser.parse_args()
    sessions = 1_000 if args.quick else 10_000
    out: dict[str, object] = {}
    with tempfile.TemporaryDirectory() as tmp:
        small, big = os.path.join(tmp, "small.db"), os.path.join(tmp, "big.db")
        out["1 session: record / update"] = record_timings(small, "P", 40)
        out["one fsync of a small write on this disk (ms)"] = fsync_ms(os.path.join(tmp, "probe"))
        out["1 session, durable=False: record / update"] = record_timings(small, "Q", 40, durable=False)
        start = time.perf_counter()
        fill(big, sessions, 200)
        out[f"filling {sessions} sessions x 200 trials (s)"] = time.perf_counter() - start
        out[f"{sessions} sessions: record / update"] = record_timings(big, "new", 40)
        # A session of 1,000 trials among them: open (load-or-create, with its trials) and release.
        with SessionStore(big) as store:
            experiment = store.session("thousand", model=model(), candidates=GRID, seed=2)
            for i in range(1000):
                experiment.record(float(GRID[i % 61]), i % 3 == 0)
            del experiment
        opens = []
        for _ in range(20):
            with SessionStore(big) as store:
                start = time.perf_counter()
                experiment = store.session("thousand")
                opens.append(time.perf_counter() - start)
                assert len(experiment.trials) == 1000
                del experiment
        out["open a 1,000-trial session (ms)"] = median_ms(opens)
    experiment = AdaptiveExperiment(model(), GRID, seed=3, update="from_scratch", num_draws=1000)
    posterior = experiment.posterior()  # 4 chains x 1000 draws
    xs = np.linspace(-3, 3, 200)
    t_band, t_threshold = [], []
    for _ in range(20):
        start = time.perf_counter()
        posterior.psychometric(xs)
        t_band.append(time.perf_counter() - start)
        start = time.perf_counter()
        posterior.threshold(0.75)
        t_threshold.append(time.perf_counter() - start)
    out["band over 4000 draws x 200 stimuli (ms)"] = median_ms(t_band)
    out["threshold over 4000 draws (ms)"] = median_ms(t_threshold)
    for threads in (1, None):
        times = {}
        for workers in (1, 2):
            start = time.perf_counter()
            with ProcessPoolExecutor(workers) as pool:
                simulate(model(), GRID, observers=32, trials=40, executor=pool, seed=1, threads=threads)
            times[workers] = time.perf_counter() - start
        out[f"simulate 32 x 40 on 1 / 2 processes, threads={threads} (s)"] = [times[1], times[2]]
        out[f"speed-up with 2 processes, threads={threads}"] = times[1] / times[2]
    times = {}
    for workers in (1, 2):  # the machine's own ceiling: pure Python on 1 and 2 processes
        start = time.perf_counter()
        with ProcessPoolExecutor(workers) as pool:
            list(pool.map(_busy, [1_000_000] * 32))
        times[workers] = time.perf_counter() - start
    out["speed-up of a pure-Python loop with 2 processes"] = times[1] / times[2]
    print(json.dumps(out, indent=1))


if __name__ == "__main__":
    main()
