#!/usr/bin/env bash
# Builds and runs the sampler-overhead benchmark (not part of the test suite).
# Usage: bash bench/sampler_bench.sh DATA_FILE... (lines "x y"; bench/run_all.py writes them)
set -euo pipefail
source "$(dirname "$0")/cpp_bench.sh"
compile_bench sampler_bench "$root"/sampler/*.cpp "$root/src/two_param_psychometric.cpp" \
  "$root/src/debug_text.cpp" "$root/src/storage.cpp" "$root"/src/dists/*.cpp
"$out/sampler_bench" "$@"
