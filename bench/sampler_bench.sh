#!/usr/bin/env bash
# Builds and runs the sampler-overhead benchmark (not part of the test suite).
# Usage: bash bench/sampler_bench.sh DATA_FILE... (lines "x y"; bench/run_all.py writes them)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
python="${PYTHON:-$root/.venv/bin/python}"
out="$root/build/bench"
mkdir -p "$out"
arrow_include=$("$python" -c "import pyarrow; print(pyarrow.get_include())")
arrow_dir=$("$python" -c "import pyarrow; print(pyarrow.get_library_dirs()[0])")
arrow_lib=$(ls "$arrow_dir"/libarrow.so.[0-9]* | grep -E 'libarrow\.so\.[0-9]+$' | head -1)
"${CXX:-g++}" -std=c++23 -O3 -DNDEBUG -ffp-contract=off -fno-fast-math -Wall -Wextra \
  -I"$root/sampler" -I"$root/src" -isystem "$arrow_include" \
  "$root/bench/sampler_bench.cpp" "$root"/sampler/*.cpp "$root/src/two_param_psychometric.cpp" \
  "$root/src/debug_text.cpp" "$root/src/storage.cpp" "$root"/src/dists/*.cpp "$arrow_lib" -Wl,-rpath,"$arrow_dir" -pthread \
  -o "$out/sampler_bench"
"$out/sampler_bench" "$@"
