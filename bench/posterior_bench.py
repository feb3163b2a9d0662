"""Posterior sampling: varnel's NUTSEstimator against RStan and NumPyro.

Every sampler gets the same model, priors, simulated data sets (N trials,
fixed seeds), chains and draws; effective sample sizes of the post-warm-up
draws come from one routine (bench/ess.py) for all. Per sampler and N: wall
time per call and process CPU time per call (medians over the repeats), the
minimum bulk ESS over (k, m) (median over the repeats), and the worst R-hat.
NumPyro's JIT compilation and RStan's model compilation are reported apart.
The peers run in their own processes: NumPyro from the peers' virtual
environment, RStan through Rscript (see bench/peers/setup.sh).

Run alone: .venv/bin/python bench/posterior_bench.py [--sizes 20 100 1000] [--repeats 5]
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import ess  # noqa: E402

TRUE_K, TRUE_M = 2.5, 0.6
PRIOR = (1.0, 2.0, 0.0, 1.5)  # mu_k, sigma_k, mu_m, sigma_m; also in bench/peers/*
CHAINS, WARMUP, DRAWS = 6, 400, 1000
DEFAULT_PEERS_PYTHON = HERE / ".peers" / "venv" / "bin" / "python"


def simulate(n: int) -> tuple[np.ndarray, np.ndarray]:
    """N trials of the simulated observer, stimuli uniform on [-3, 3]; seeded by N."""
    rng = np.random.default_rng(1000 + n)
    x = rng.uniform(-3.0, 3.0, n)
    y = rng.random(n) < 1.0 / (1.0 + np.exp(-TRUE_K * (x - TRUE_M)))
    return x, y


def write_data(workdir: Path, sizes: list[int]) -> None:
    for n in sizes:
        x, y = simulate(n)
        np.savetxt(workdir / f"data_{n}.txt", np.column_stack([x, y.astype(float)]), fmt="%.17g")


def summarise(sampler: str, n: int, walls: list[float], cpus: list[float], draws: list[np.ndarray],
              **extra) -> dict:
    min_ess = [ess.min_bulk_ess(d) for d in draws]
    rhats = [ess.max_rhat(d) for d in draws]
    wall, cpu, e = statistics.median(walls), statistics.median(cpus), statistics.median(min_ess)
    return {"bench": "posterior", "sampler": sampler, "n": n, "repeats": len(walls), "wall_s": wall,
            "cpu_s": cpu, "min_bulk_ess": e, "ess_per_cpu_s": e / cpu, "ess_per_wall_s": e / wall,
            "max_rhat": max(rhats), **extra}


def unavailable(sampler: str, n: int | None, why: str) -> dict:
    return {"bench": "posterior", "sampler": sampler, "n": n, "unavailable": why}


def run_varnel(sizes: list[int], repeats: int, seed: int) -> list[dict]:
    try:
        import varnel
    except ImportError as e:
        return [unavailable("varnel", None, f"import failed: {e}")]
    model = varnel.models.TwoParameterPsychometricModel(*PRIOR)
    records = []
    for n in sizes:
        x, y = simulate(n)
        design = x.reshape(-1, 1).astype(np.float64)
        walls, cpus, draws = [], [], []
        try:
            for rep in range(repeats + 1):  # call 0 warms caches and the thread pool, not counted
                est = varnel.posterior.NUTSEstimator(num_tune=WARMUP, num_draws=DRAWS, num_chains=CHAINS,
                                                     seed=seed + rep)
                w0, c0 = time.perf_counter(), time.process_time()
                chains = est.estimate(model, design, y)
                wall, cpu = time.perf_counter() - w0, time.process_time() - c0
                if rep:
                    walls.append(wall)
                    cpus.append(cpu)
                    draws.append(np.stack([c[WARMUP:] for c in chains]))
        except BaseException as e:  # PanicException is a BaseException
            if isinstance(e, KeyboardInterrupt):
                raise
            records.append(unavailable("varnel", n, f"estimate raised {type(e).__name__}: {e}"))
            continue
        records.append(summarise("varnel", n, walls, cpus, draws))
    return records


def run_varnel_core(workdir: Path, sizes: list[int]) -> list[dict]:
    """The sampler core in C++ (bench/sampler_bench.sh): chains one after another, overhead per evaluation."""
    files = [str(workdir / f"data_{n}.txt") for n in sizes]
    env = {**os.environ, "PYTHON": sys.executable}
    proc = subprocess.run(["bash", str(HERE / "sampler_bench.sh"), *files], capture_output=True, text=True, env=env)
    if proc.returncode != 0:
        tail = (proc.stderr.strip().splitlines() or ["no output"])[-1]
        return [{"bench": "core", "n": None, "unavailable": f"sampler_bench.sh failed: {tail}"}]
    rounds = [line.split() for line in proc.stdout.splitlines()]
    rounds = [c for c in rounds if len(c) == 7 and c[0].isdigit()]
    records = []
    for n in sizes:
        mine = [c for c in rounds if int(c[0]) == n]
        draws = [np.fromfile(workdir / f"data_{n}.txt.draws.{c[1]}.f64").reshape(CHAINS, DRAWS, 2) for c in mine]
        # Per evaluation: the least disturbed round of each (the machine is
        # shared); per call: medians, as for the estimator.
        sampler_ns = min(float(c[3]) for c in mine)
        density_ns = min(float(c[4]) for c in mine)
        evals = int(statistics.median(int(c[2]) for c in mine))
        rec = summarise("varnel NutsChain (bench/sampler_bench.cpp)", n,
                        [float(c[3]) * int(c[2]) * 1e-9 for c in mine], [float(c[6]) for c in mine], draws)
        rec.update(bench="core", evaluations=evals, sampler_ns=sampler_ns, density_ns=density_ns,
                   overhead_ns=sampler_ns - density_ns)
        records.append(rec)
    return records


def run_numpyro(python: Path, workdir: Path, sizes: list[int], repeats: int, seed: int,
                chain_method: str) -> list[dict]:
    if not python.exists():
        return [unavailable("NumPyro", None, f"peers environment missing ({python}); run bench/peers/setup.sh")]
    cmd = [str(python), str(HERE / "peers" / "numpyro_bench.py"), str(workdir), str(CHAINS), str(WARMUP),
           str(DRAWS), str(repeats), str(seed), chain_method, *map(str, sizes)]
    proc = subprocess.run(cmd, capture_output=True, text=True)
    lines = [json.loads(s) for s in proc.stdout.splitlines() if s.startswith("{")]
    if proc.returncode != 0:
        tail = (proc.stderr.strip().splitlines() or ["no output"])[-1]
        return [unavailable("NumPyro", None, f"exit status {proc.returncode}: {tail}")]
    versions = next((v["versions"] for v in lines if "versions" in v), {})
    label = f"NumPyro {versions.get('numpyro', '?')} (jax {versions.get('jax', '?')}), {chain_method} chains"
    records = []
    for n in sizes:
        calls = [c for c in lines if c.get("n") == n]
        first = next(c for c in calls if c["rep"] == 0)
        later = [c for c in calls if c["rep"] > 0]
        draws = [np.fromfile(workdir / f"numpyro_{chain_method}_{n}_{c['rep']}.f64", dtype="<f8")
                 .reshape(CHAINS, DRAWS, 2) for c in later]
        walls, cpus = [c["wall"] for c in later], [c["cpu"] for c in later]
        records.append(summarise(label, n, walls, cpus, draws,
                                 compile_wall_s=first["wall"] - statistics.median(walls),
                                 compile_cpu_s=first["cpu"] - statistics.median(cpus)))
    return records


def run_rstan(rscript: str | None, workdir: Path, sizes: list[int], repeats: int, seed: int) -> list[dict]:
    rscript = rscript or shutil.which("Rscript")
    if not rscript:
        return [unavailable("RStan", None, "Rscript not found; run bench/peers/setup.sh as root")]
    version = subprocess.run([rscript, "-e", "cat(as.character(packageVersion('rstan')))"],
                             capture_output=True, text=True)
    if version.returncode != 0:
        return [unavailable("RStan", None, "R package rstan missing (apt-get install r-cran-rstan)")]
    cmd = [rscript, str(HERE / "peers" / "rstan_bench.R"), str(HERE / "peers" / "psychometric.stan"),
           str(workdir), str(CHAINS), str(WARMUP), str(DRAWS), str(repeats), str(seed), *map(str, sizes)]
    proc = subprocess.run(cmd, capture_output=True, text=True)
    if proc.returncode != 0:
        tail = (proc.stderr.strip().splitlines() or ["no output"])[-1]
        return [unavailable("RStan", None, f"exit status {proc.returncode}: {tail}")]
    compile_line = next(s.split() for s in proc.stdout.splitlines() if s.startswith("COMPILE"))
    calls = [s.split() for s in proc.stdout.splitlines() if s.startswith("CALL")]
    label = f"RStan {version.stdout.strip()}"
    records = [{"bench": "compile", "sampler": label, "wall_s": float(compile_line[1]),
                "cpu_s": float(compile_line[2])}]
    for n in sizes:
        mine = [c for c in calls if int(c[1]) == n]
        draws = [np.fromfile(workdir / f"rstan_{n}_{c[2]}.f64", dtype="<f8").reshape(CHAINS, DRAWS, 2)
                 for c in mine]
        records.append(summarise(label, n, [float(c[3]) for c in mine], [float(c[4]) for c in mine], draws,
                                 sampler_s=statistics.median(float(c[5]) for c in mine)))
    return records


def measure(sizes: list[int], repeats: int, seed: int = 1, peers_python: Path = DEFAULT_PEERS_PYTHON,
            rscript: str | None = None, skip: tuple[str, ...] = ()) -> list[dict]:
    with tempfile.TemporaryDirectory(prefix="varnel-bench-") as tmp:
        workdir = Path(tmp)
        write_data(workdir, sizes)
        records = []
        if "varnel" not in skip:
            records += run_varnel(sizes, repeats, seed)
            records += run_varnel_core(workdir, sizes)
        if "numpyro" not in skip:
            for chain_method in ("vectorized", "sequential"):
                records += run_numpyro(peers_python, workdir, sizes, repeats, seed, chain_method)
        if "rstan" not in skip:
            records += run_rstan(rscript, workdir, sizes, repeats, seed)
        return records


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--sizes", type=int, nargs="+", default=[20, 100, 1000])
    ap.add_argument("--repeats", type=int, default=5)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--peers-python", type=Path, default=DEFAULT_PEERS_PYTHON)
    ap.add_argument("--skip", nargs="*", default=[], choices=["varnel", "numpyro", "rstan"])
    args = ap.parse_args()
    for r in measure(args.sizes, args.repeats, args.seed, args.peers_python, skip=tuple(args.skip)):
        print(json.dumps(r))


if __name__ == "__main__":
    main()
