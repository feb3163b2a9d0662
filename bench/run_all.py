"""Runs every benchmark of bench/ and prints one Markdown table.

Called by bench/run_all.sh, which first installs the peers (bench/peers/setup.sh)
and builds and installs varnel into .venv. Every ratio compares figures
measured in this run, written as varnel's advantage: a peer's time over
varnel's, or varnel's ESS rate over the peer's (above 1: varnel ahead).
"""

from __future__ import annotations

import argparse
import os
import platform
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import adaptive_bench  # noqa: E402
import posterior_bench  # noqa: E402

DASH = "–"


def machine() -> str:
    model, cores, siblings = "unknown CPU", None, None
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            key, _, value = line.partition(":")
            key, value = key.strip(), value.strip()
            if key == "model name" and model == "unknown CPU":
                model = value
            elif key == "cpu cores" and cores is None:
                cores = value
            elif key == "siblings" and siblings is None:
                siblings = value
    except OSError:
        pass
    mem = ""
    try:
        kb = int(next(s for s in Path("/proc/meminfo").read_text().splitlines() if s.startswith("MemTotal")).split()[1])
        mem = f", {kb / 2**20:.1f} GiB RAM"
    except (OSError, StopIteration, ValueError):
        pass
    load = os.getloadavg()[0]
    return (f"{model}, {os.cpu_count()} logical CPUs (cpu cores {cores or '?'}, siblings {siblings or '?'}){mem}; "
            f"Linux {platform.release()}, Python {platform.python_version()}; load average at start {load:.2f}")


def fmt_s(s: float | None) -> str:
    if s is None:
        return DASH
    if s >= 1.0:
        return f"{s:.2f} s"
    if s >= 1e-3:
        return f"{s * 1e3:.1f} ms"
    return f"{s * 1e6:.0f} us"


def fmt_n(v: float | None) -> str:
    return DASH if v is None else f"{v:,.0f}"


def ratio(v: float | None) -> str:
    return DASH if v is None else f"{v:.2f}x"


class Table:
    HEADER = ["benchmark", "case", "implementation", "wall / call", "CPU / call", "min bulk ESS",
              "ESS / CPU s", "ESS / wall s", "max R-hat", "varnel's advantage (this run)"]

    def __init__(self) -> None:
        self.rows: list[list[str]] = []

    def add(self, *cells: str) -> None:
        cells = list(cells) + [DASH] * (len(self.HEADER) - len(cells))
        self.rows.append(cells)

    def markdown(self) -> str:
        lines = ["| " + " | ".join(self.HEADER) + " |", "|" + "---|" * len(self.HEADER)]
        lines += ["| " + " | ".join(r) + " |" for r in self.rows]
        return "\n".join(lines)


def posterior_rows(table: Table, records: list[dict], sizes: list[int]) -> None:
    ok = [r for r in records if r["bench"] == "posterior" and "unavailable" not in r]
    for r in records:
        if "unavailable" in r:
            case = f"N = {r['n']}" if r.get("n") else "all N"
            table.add("posterior (6 x 400+1000)", case, r.get("sampler", "varnel NutsChain (bench/sampler_bench.cpp)"), f"not available: {r['unavailable']}")
    for n in sizes:
        ours = next((r for r in ok if r["n"] == n and r["sampler"] == "varnel"), None)
        for r in sorted((r for r in ok if r["n"] == n), key=lambda r: r["sampler"] != "varnel"):
            adv = DASH
            if ours is not None and r is not ours:
                adv = (f"ESS/CPU s {ratio(ours['ess_per_cpu_s'] / r['ess_per_cpu_s'])}, "
                       f"ESS/wall s {ratio(ours['ess_per_wall_s'] / r['ess_per_wall_s'])}, "
                       f"wall {ratio(r['wall_s'] / ours['wall_s'])}")
            name = r["sampler"]
            if "sampler_s" in r:
                name += f" (sampler alone {fmt_s(r['sampler_s'])} CPU)"
            table.add("posterior (6 x 400+1000)", f"N = {n}", name, fmt_s(r["wall_s"]), fmt_s(r["cpu_s"]),
                      fmt_n(r["min_bulk_ess"]), fmt_n(r["ess_per_cpu_s"]), fmt_n(r["ess_per_wall_s"]),
                      f"{r['max_rhat']:.3f}", adv)
    rstan = {r["n"]: r for r in ok if r["sampler"].startswith("RStan")}
    for r in records:
        if r["bench"] != "core" or "unavailable" in r:
            continue
        adv = DASH
        if r["n"] in rstan:
            peer = rstan[r["n"]]
            adv = (f"CPU {ratio(peer['sampler_s'] / r['cpu_s'])} vs RStan's sampler alone; ESS/CPU s "
                   f"{ratio(r['ess_per_cpu_s'] / (peer['min_bulk_ess'] / peer['sampler_s']))} vs the same")
        table.add("sampler core, C++ (6 chains one after another)",
                  f"N = {r['n']}: {r['evaluations']:,} gradient evaluations (median); fastest round {r['sampler_ns']:.0f} ns each = fastest "
                  f"density {r['density_ns']:.0f} + overhead {r['overhead_ns']:.0f}",
                  "varnel NutsChain (bench/sampler_bench.cpp)", fmt_s(r["wall_s"]), fmt_s(r["cpu_s"]),
                  fmt_n(r["min_bulk_ess"]), fmt_n(r["ess_per_cpu_s"]), fmt_n(r["ess_per_wall_s"]), f"{r['max_rhat']:.3f}", adv)
    for r in records:
        if r["bench"] == "compile":
            table.add("compilation", "Stan model (once)", r["sampler"], fmt_s(r["wall_s"]), fmt_s(r["cpu_s"]))
    for r in ok:
        if "compile_wall_s" in r:
            table.add("compilation", f"JIT, first call at N = {r['n']} minus a later call", r["sampler"],
                      fmt_s(r["compile_wall_s"]), fmt_s(r["compile_cpu_s"]))


def adaptive_rows(table: Table, records: list[dict]) -> None:
    for r in records:
        if r["bench"] == "adaptive-models":
            table.add(f"adaptive update by model, {r['trials']} trials", r["model"], "varnel", fmt_s(r["update_s"]),
                      DASH, DASH, DASH, DASH, DASH, f"time {ratio(r['ratio_to_two_parameter'])} of two-parameter")
    records = [r for r in records if r["bench"] == "adaptive"]
    ours = {r["trials"]: r for r in records if r["sampler"] == "varnel" and "unavailable" not in r}
    for r in records:
        label = (f"adaptive update ({adaptive_bench.NUM_CHAINS} x {adaptive_bench.NUM_TUNE}+{adaptive_bench.NUM_DRAWS}, "
                 f"EIG {len(adaptive_bench.GRID)} x {adaptive_bench.EIG_SAMPLES})")
        if "unavailable" in r:
            case = f"{r['trials']} trials" if r.get("trials") else "all"
            table.add(label, case, r["sampler"], f"not available: {r['unavailable']}")
            continue
        wall = f"{fmt_s(r['update_s'])} (posterior {fmt_s(r['posterior_s'])} + EIG {fmt_s(r['eig_s'])})"
        adv, name = DASH, r["sampler"]
        if "compile_s" in r:
            name += f" (+ {fmt_s(r['compile_s'])} JIT for each new trial count)"
        if r["sampler"] != "varnel" and r["trials"] in ours:
            adv = f"update {ratio(r['update_s'] / ours[r['trials']]['update_s'])}"
        table.add(label, f"{r['trials']} trials", name, wall, DASH, DASH, DASH, DASH, DASH, adv)


def eig_rows(table: Table, r: dict) -> None:
    case = f"{r['designs']} designs x {r['rows']} rows x {r['outcomes']} outcomes (best of repeats)"
    table.add("EIG scoring", case, "varnel", fmt_s(r["varnel_best_s"]))
    table.add("EIG scoring", case, "NumPy (vectorised, same formulas)", fmt_s(r["numpy_best_s"]),
              DASH, DASH, DASH, DASH, DASH, f"time {ratio(r['numpy_best_s'] / r['varnel_best_s'])}")
    table.add("EIG scoring", case, f"C library floor (its 5 exp/log calls per pair, {r['threads']} threads)",
              fmt_s(r["libm_floor_best_s"]), DASH, DASH, DASH, DASH, DASH,
              f"time {ratio(r['libm_floor_best_s'] / r['varnel_best_s'])}")


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--repeats", type=int, default=5, help="timed calls per case (after one untimed call)")
    ap.add_argument("--sizes", type=int, nargs="+", default=[20, 100, 1000])
    ap.add_argument("--peers-python", type=Path, default=posterior_bench.DEFAULT_PEERS_PYTHON)
    ap.add_argument("--skip", nargs="*", default=[], choices=["varnel", "numpyro", "rstan"])
    ap.add_argument("--out", type=Path, help="also write the report to this file")
    args = ap.parse_args()
    skip = tuple(args.skip)
    started = time.time()

    def step(msg: str) -> None:
        print(f"== {msg} ({time.time() - started:.0f} s)", file=sys.stderr, flush=True)

    mach = machine()
    notes = []
    if args.peers_python.exists():
        step("checking bench/ess.py against ArviZ")
        proc = subprocess.run([str(args.peers_python), str(HERE / "check_ess.py")], capture_output=True, text=True)
        notes.append((proc.stdout.strip().splitlines() or [f"ESS check failed: {proc.stderr.strip()[-300:]}"])[-1])
    else:
        notes.append("ESS check against ArviZ not run: peers environment missing")
    notes.append("Same model, priors N(1, 2) for k and N(0, 1.5) for m, simulated data (true k = 2.5, m = 0.6, "
                 "stimuli uniform on [-3, 3], seeded by N), 6 chains x (400 warm-up + 1000 draws), max tree depth 10, "
                 "target acceptance 0.8, diagonal mass matrix, float64 everywhere.")
    notes.append("varnel: NUTSEstimator with its defaults (4 chains at once). RStan: sampling(cores = 1), chains one "
                 "after another in the R process; 'sampler alone' is the sum of its per-chain elapsed times. NumPyro: "
                 "its functional NUTS kernel under one jax.jit on the CPU backend, the 6 chains either vectorised "
                 "(vmap, in lock step) or one after another (lax.map), both shown; MCMC.run re-traces its loop on "
                 "every call, which would put compilation into every call. The adaptive update uses NumPyro's "
                 "vectorised chains, the faster form at that size.")

    table = Table()
    step("posterior sampling: varnel, NumPyro, RStan")
    posterior_rows(table, posterior_bench.measure(args.sizes, args.repeats, peers_python=args.peers_python,
                                                  skip=skip), args.sizes)
    step("adaptive update")
    adaptive_rows(table, adaptive_bench.measure(args.repeats, peers_python=args.peers_python,
                                                skip=skip + (("models",) if "varnel" in skip else ())))
    step("EIG against NumPy")
    try:
        import eig_bench

        eig_rows(table, eig_bench.measure())
    except Exception as e:  # keep the rest of the report
        table.add("EIG scoring", DASH, "varnel", f"failed: {type(e).__name__}: {e}")

    kernels = ""
    if (HERE / "kernels_bench.sh").exists():
        step("C++ kernel micro-benchmarks")
        proc = subprocess.run(["bash", str(HERE / "kernels_bench.sh")], capture_output=True, text=True)
        kernels = proc.stdout.strip() if proc.returncode == 0 else f"failed: {proc.stderr.strip()[-500:]}"

    report = [f"Machine: {mach}", "",
              f"All figures from one run of bench/run_all.sh ({time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}, "
              f"{time.time() - started:.0f} s). Times are medians over {args.repeats} calls after one untimed call; "
              "CPU is process CPU time (all threads); min bulk ESS is the smaller rank-normalised bulk ESS of k and m "
              "over the post-warm-up draws (bench/ess.py, the same routine for every sampler), median over the calls; "
              "max R-hat is the worst rank-normalised split R-hat seen. Advantage: a peer's time over varnel's, or "
              "varnel's ESS rate over the peer's; above 1 means varnel is ahead.", "", table.markdown(), ""]
    report += [f"- {n}" for n in notes]
    if kernels:
        report += ["", "C++ kernel and generator micro-benchmarks (bench/kernels_bench.sh):", "", "```", kernels, "```"]
    text = "\n".join(report)
    print(text)
    if args.out:
        args.out.write_text(text + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
