"""NumPyro side of the posterior benchmark; driven by bench/posterior_bench.py.

Runs in the peers' virtual environment (never the product's). Reads
WORKDIR/data_<N>.txt (columns x y), writes WORKDIR/numpyro_<METHOD>_<N>_<rep>.f64
(float64, C order chains x draws x (k, m), post-warm-up draws) and prints one
JSON line per call. Call 0 per N includes JIT compilation; later calls with
the same shapes reuse the compiled sampler.
Usage: python numpyro_bench.py WORKDIR CHAINS WARMUP DRAWS REPEATS SEED vectorized|sequential N...
"""

from __future__ import annotations

import json
import os
import sys
import time

os.environ.setdefault("JAX_PLATFORMS", "cpu")

import jax  # noqa: E402

jax.config.update("jax_enable_x64", True)  # float64 like the other samplers

import jax.numpy as jnp  # noqa: E402
import numpy as np  # noqa: E402
import numpyro  # noqa: E402
import numpyro.distributions as dist  # noqa: E402
from jax import lax  # noqa: E402
from numpyro.infer.hmc import hmc  # noqa: E402
from numpyro.infer.util import initialize_model  # noqa: E402

PRIOR = (1.0, 2.0, 0.0, 1.5)  # mu_k, sigma_k, mu_m, sigma_m


def model(x, y):
    k = numpyro.sample("k", dist.Normal(PRIOR[0], PRIOR[1]))
    m = numpyro.sample("m", dist.Normal(PRIOR[2], PRIOR[3]))
    numpyro.sample("y", dist.Bernoulli(logits=k * (x - m)), obs=y)


def make_sampler(chains: int, warmup: int, draws: int, chain_method: str):
    """One jitted function for the whole call: initialise, warm up and draw every chain.

    MCMC.run rebuilds its loop on every call, so its compiled code is not reused
    across calls; NumPyro's functional NUTS kernel under one jax.jit is. The
    chains run either vectorised ("vectorized": vmap, every chain in lock step
    with the longest trajectory) or one after another ("sequential": lax.map);
    the faster of the two depends on the data size.
    """

    def one_chain(key, x, y):
        key_init, key_run = jax.random.split(key)
        info = initialize_model(key_init, model, model_args=(x, y))  # uniform(-2, 2) start, as Stan
        init_kernel, sample_kernel = hmc(info.potential_fn, algo="NUTS")
        state = init_kernel(info.param_info, num_warmup=warmup, rng_key=key_run,
                            target_accept_prob=0.8, max_tree_depth=10)

        def step(s, _):
            s = sample_kernel(s)
            return s, jnp.stack([s.z["k"], s.z["m"]])

        _, zs = lax.scan(step, state, None, length=warmup + draws)
        return zs[warmup:]

    if chain_method == "vectorized":
        run = jax.jit(jax.vmap(one_chain, in_axes=(0, None, None)))
    elif chain_method == "sequential":
        run = jax.jit(lambda keys, x, y: lax.map(lambda key: one_chain(key, x, y), keys))
    else:
        raise SystemExit(f"unknown chain method {chain_method!r}")
    return lambda seed, x, y: run(jax.random.split(jax.random.PRNGKey(seed), chains), x, y)


def main() -> None:
    workdir = sys.argv[1]
    chains, warmup, draws, repeats, seed = (int(a) for a in sys.argv[2:7])
    chain_method = sys.argv[7]
    sizes = [int(a) for a in sys.argv[8:]]
    print(json.dumps({"versions": {"numpyro": numpyro.__version__, "jax": jax.__version__}}), flush=True)
    for n in sizes:
        data = np.loadtxt(os.path.join(workdir, f"data_{n}.txt"), ndmin=2)
        x = jnp.asarray(data[:, 0])
        y = jnp.asarray(data[:, 1].astype(np.int64))
        sample = make_sampler(chains, warmup, draws, chain_method)
        for rep in range(repeats + 1):  # call 0 compiles
            w0, c0 = time.perf_counter(), time.process_time()
            out = np.asarray(sample(seed + rep, x, y))  # blocks until ready
            wall, cpu = time.perf_counter() - w0, time.process_time() - c0
            out.astype("<f8").tofile(os.path.join(workdir, f"numpyro_{chain_method}_{n}_{rep}.f64"))
            print(json.dumps({"n": n, "rep": rep, "wall": wall, "cpu": cpu}), flush=True)


if __name__ == "__main__":
    main()
