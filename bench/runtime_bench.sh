#!/usr/bin/env bash
# Builds and runs the multi-chain runtime benchmark (not part of the test
# suite). Needs the C++ build of build/cpp (its static libraries) and the
# pyarrow of .venv or $PYTHON (its libarrow).
set -euo pipefail
source "$(dirname "$0")/cpp_bench.sh"
compile_bench runtime_bench "$root/build/cpp/src/model/libvarnel_model.a" "$root/build/cpp/sampler/libvarnel_sampler.a"
"$out/runtime_bench"
