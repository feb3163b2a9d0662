# Shared by the C++ benchmark scripts; sourced, not run. compile_bench NAME
# INPUT... builds build/bench/NAME from bench/NAME.cpp and the inputs (sources
# or static libraries) against the Arrow C++ of the pyarrow in .venv or
# $PYTHON, with the project's floating-point flags.
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
out="$root/build/bench"

compile_bench() {
  local name=$1; shift
  local python="${PYTHON:-$root/.venv/bin/python}"
  local arrow_include arrow_dir arrow_lib
  arrow_include=$("$python" -c 'import pyarrow; print(pyarrow.get_include())')
  arrow_dir=$("$python" -c 'import pyarrow; print(pyarrow.get_library_dirs()[0])')
  arrow_lib=$(ls "$arrow_dir"/libarrow.so.[0-9]* | grep -E 'libarrow\.so\.[0-9]+$' | head -1)
  mkdir -p "$out"
  "${CXX:-g++}" -std=c++23 -O3 -DNDEBUG -ffp-contract=off -fno-fast-math -Wall -Wextra \
    -I"$root" -I"$root/sampler" -I"$root/src" -isystem "$arrow_include" "$root/bench/$name.cpp" "$@" \
    "$arrow_lib" -Wl,-rpath,"$arrow_dir" -pthread -o "$out/$name"
}
