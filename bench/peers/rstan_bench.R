# RStan side of the posterior benchmark; driven by bench/posterior_bench.py.
# Usage: Rscript rstan_bench.R MODEL.stan WORKDIR CHAINS WARMUP DRAWS REPEATS SEED N...
# Reads WORKDIR/data_<N>.txt (columns x y), writes WORKDIR/rstan_<N>_<rep>.f64
# (float64, C order chains x draws x (k, m), post-warm-up draws) and prints one
# line per compile and per call: COMPILE wall cpu / CALL N rep wall cpu sampler.
args <- commandArgs(trailingOnly = TRUE)
model_file <- args[1]
workdir <- args[2]
chains <- as.integer(args[3])
warmup <- as.integer(args[4])
draws <- as.integer(args[5])
repeats <- as.integer(args[6])
seed <- as.integer(args[7])
sizes <- as.integer(args[8:length(args)])

suppressPackageStartupMessages(library(rstan))
rstan_options(auto_write = FALSE)

cpu_now <- function() {
  p <- proc.time()
  sum(p[c("user.self", "sys.self", "user.child", "sys.child")], na.rm = TRUE)
}

w0 <- proc.time()[["elapsed"]]; c0 <- cpu_now()
sm <- stan_model(model_file, boost_lib = "/usr/include")
cat(sprintf("COMPILE %.6f %.6f\n", proc.time()[["elapsed"]] - w0, cpu_now() - c0))

for (n in sizes) {
  d <- read.table(file.path(workdir, sprintf("data_%d.txt", n)), col.names = c("x", "y"))
  data <- list(N = nrow(d), x = d$x, y = as.integer(d$y),
               mu_k = 1.0, sigma_k = 2.0, mu_m = 0.0, sigma_m = 1.5)
  for (rep in seq_len(repeats)) {
    w0 <- proc.time()[["elapsed"]]; c0 <- cpu_now()
    fit <- sampling(sm, data = data, chains = chains, warmup = warmup, iter = warmup + draws,
                    cores = 1, seed = seed + rep, refresh = 0, open_progress = FALSE)
    wall <- proc.time()[["elapsed"]] - w0; cpu <- cpu_now() - c0
    sampler <- sum(get_elapsed_time(fit))
    a <- extract(fit, pars = c("k", "m"), permuted = FALSE, inc_warmup = FALSE)  # draws x chains x 2
    con <- file(file.path(workdir, sprintf("rstan_%d_%d.f64", n, rep)), "wb")
    writeBin(as.vector(aperm(a, c(3, 1, 2))), con, size = 8, endian = "little")
    close(con)
    cat(sprintf("CALL %d %d %.6f %.6f %.6f\n", n, rep, wall, cpu, sampler))
  }
}
