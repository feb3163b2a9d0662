#!/usr/bin/env bash
# Builds and runs the sampler-overhead benchmark (not part of the test suite).
# Usage: bash bench/sampler_bench.sh DATA_FILE... (lines "x y"; bench/run_all.py writes them)
set -euo pipefail
source "$(dirname "$0")/cpp_bench.sh"
compile_bench sampler_bench "$root"/sampler/*.cpp "$root/src/model/two_param_psychometric.cpp" \
  "$root/src/model/debug_text.cpp" "$root/sampler/storage.cpp" "$root/src/model/bernoulli_logit.cpp"
"$out/sampler_bench" "$@"
