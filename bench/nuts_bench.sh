#!/usr/bin/env bash
# Builds and runs the sampler step benchmark (not part of the test suite).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
out="$root/build/bench"
mkdir -p "$out"
"${CXX:-g++}" -std=c++23 -O3 -DNDEBUG -ffp-contract=off -fno-fast-math -Wall -Wextra \
  -I"$root/sampler" -I"$root/src" "$root/bench/nuts_bench.cpp" \
  "$root"/sampler/*.cpp "$root/src/two_param_psychometric.cpp" "$root/src/debug_text.cpp" \
  "$root/src/dists/bernoulli_logit.cpp" -o "$out/nuts_bench"
"$out/nuts_bench"
