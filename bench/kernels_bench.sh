#!/usr/bin/env bash
# Builds and runs the kernel and generator benchmark (not part of the test suite).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
out="$root/build/bench"
mkdir -p "$out"
"${CXX:-g++}" -std=c++23 -O3 -DNDEBUG -ffp-contract=off -fno-fast-math -Wall -Wextra \
  -I"$root/sampler" "$root/bench/kernels_bench.cpp" "$root/sampler/math.cpp" \
  "$root/sampler/distributions.cpp" "$root/sampler/chacha.cpp" "$root/sampler/panic.cpp" \
  -o "$out/kernels_bench"
"$out/kernels_bench"
