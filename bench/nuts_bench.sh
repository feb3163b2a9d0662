#!/usr/bin/env bash
# Builds and runs the sampler step benchmark (not part of the test suite).
set -euo pipefail
source "$(dirname "$0")/cpp_bench.sh"
compile_bench nuts_bench "$root"/sampler/*.cpp "$root/src/two_param_psychometric.cpp" \
  "$root/src/debug_text.cpp" "$root/src/dists/bernoulli_logit.cpp"
"$out/nuts_bench"
