#!/usr/bin/env bash
# Builds and runs the sampler step benchmark (not part of the test suite).
set -euo pipefail
source "$(dirname "$0")/cpp_bench.sh"
compile_bench nuts_bench "$root"/sampler/*.cpp "$root/src/model/two_param_psychometric.cpp" \
  "$root/src/model/debug_text.cpp" "$root/src/model/bernoulli_logit.cpp"
"$out/nuts_bench"
