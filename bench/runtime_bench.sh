#!/usr/bin/env bash
# Builds and runs the multi-chain runtime benchmark (not part of the test
# suite). Needs the C++ build of build/cpp (its static libraries) and the
# pyarrow of .venv or $PYTHON (its libarrow).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
python="${PYTHON:-$root/.venv/bin/python}"
out="$root/build/bench"
mkdir -p "$out"
arrow_include=$("$python" -c 'import pyarrow; print(pyarrow.get_include())')
arrow_dir=$("$python" -c 'import pyarrow; print(pyarrow.get_library_dirs()[0])')
arrow_lib=$(ls "$arrow_dir"/libarrow.so.[0-9]* | grep -E 'libarrow\.so\.[0-9]+$' | head -1)
"${CXX:-g++}" -std=c++23 -O3 -DNDEBUG -ffp-contract=off -fno-fast-math -Wall -Wextra \
  -I"$root/sampler" -I"$root/src" -isystem "$arrow_include" "$root/bench/runtime_bench.cpp" \
  "$root/build/cpp/libvarnel_native.a" "$root/build/cpp/libvarnel_sampler.a" \
  "$arrow_lib" -Wl,-rpath,"$arrow_dir" -pthread -o "$out/runtime_bench"
"$out/runtime_bench"
