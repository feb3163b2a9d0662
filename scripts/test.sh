#!/usr/bin/env bash
# Builds everything and runs every test: the C++ unit tests through CTest, the
# Python tests under NumPy 2.x and under NumPy 1.26, a type check of the demo,
# then the reliability checks.
set -euo pipefail
source "$(dirname "$0")/common.sh"
cd "$VARNEL_ROOT"

ensure_gtest
ensure_main_venv

log "C++ unit tests"
cmake -S . -B build/cpp -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DPython_EXECUTABLE="$VARNEL_ROOT/.venv/bin/python" \
  -DVARNEL_BUILD_MODULE=OFF -DVARNEL_BUILD_TESTS=ON -DVARNEL_WERROR=ON >/dev/null
cmake --build build/cpp -j "$JOBS"
ctest --test-dir build/cpp --output-on-failure -j "$JOBS"

build_wheel
install_wheel .venv
log "Python tests, NumPy $(.venv/bin/python -c 'import numpy; print(numpy.__version__)')"
.venv/bin/python -m pytest -q tests/python

log "type check of the demos against the installed stubs"
.venv/bin/python -m mypy --cache-dir build/mypy-cache examples/adaptive_experiment.py examples/contrast_sensitivity.py \
  examples/two_conditions.py

ensure_venv .venv-np126 "numpy==1.26.*" "pyarrow==25.0.*" "${TEST_REQUIREMENTS[@]}" "${EXTRA_REQUIREMENTS[@]}"
install_wheel .venv-np126
log "Python tests, NumPy $(.venv-np126/bin/python -c 'import numpy; print(numpy.__version__)')"
.venv-np126/bin/python -m pytest -q tests/python

# Sanitizers, fuzzing, leak and concurrency checks, stable-ABI audit (several
# minutes); VARNEL_SKIP_RELIABILITY=1 leaves them out of a quick local run.
if [ "${VARNEL_SKIP_RELIABILITY:-0}" != 1 ]; then
  log "reliability checks"
  bash scripts/check_reliability.sh
fi
