#!/usr/bin/env bash
# Runs every reliability check and exits non-zero on any finding:
#   1. the stable ABI of the release wheel (abi3audit, exported symbols);
#   2. fuzzing, leak loops and concurrency tests against the release build;
#   3. the C++ unit tests under AddressSanitizer + UndefinedBehaviorSanitizer;
#   4. the Python test suite and the fuzzing against an ASan+UBSan build of
#      the extension;
#   5. the runtime's C++ tests under ThreadSanitizer.
# Every stage runs even when an earlier one failed; the summary at the end
# lists each stage's result and time.
#
# Knobs: VARNEL_FUZZ_EXAMPLES (Hypothesis examples per fuzz test, default
# 300), VARNEL_LEAK_CALLS (calls per leak round, default 5000),
# VARNEL_RELIABILITY_STAGES (a subset of: abi release asan-cpp asan-py tsan).
set -uo pipefail
source "$(dirname "$0")/common.sh"
cd "$VARNEL_ROOT"

STAGES=${VARNEL_RELIABILITY_STAGES:-"abi release asan-cpp asan-py tsan"}
export VARNEL_FUZZ_EXAMPLES=${VARNEL_FUZZ_EXAMPLES:-300}
export VARNEL_LEAK_CALLS=${VARNEL_LEAK_CALLS:-5000}
REPORT_DIR="$VARNEL_ROOT/build/reliability"
mkdir -p "$REPORT_DIR"
rm -f "$REPORT_DIR"/*/figures.json

# The runtime's test suites: the only ones with threads of their own. Death
# tests fork a multi-threaded process, which ThreadSanitizer does not support.
TSAN_FILTER='Channel*:PoisonMutex*:PoisonAwareMutex*:ThreadPool*:ChainProcess*:ChainProgress*:Sampler*:Runtime*:-*DeathTest*'

# Arrow's buffers from the C library's malloc, which the sanitizers see into
# (the bundled allocator is not instrumented: ASan cannot check its blocks and
# TSan reports its lock-free initialisation as races).
export ARROW_DEFAULT_MEMORY_POOL=system

UBSAN_OPTIONS_STRICT="halt_on_error=1:print_stacktrace=1"
LIBASAN=$(g++ -print-file-name=libasan.so)
LIBSTDCXX=$(g++ -print-file-name=libstdc++.so)

declare -a SUMMARY=()
FAILED=0

# stage NAME FUNCTION: runs the function, records pass/fail and its time.
stage() {
  local name=$1 fn=$2 start rc
  case " $STAGES " in *" $name "*) ;; *) return 0 ;; esac
  log "reliability: $name"
  start=$(date +%s)
  "$fn"
  rc=$?
  local took=$(( $(date +%s) - start ))
  if [ "$rc" -eq 0 ]; then
    SUMMARY+=("PASS  $name (${took}s)")
  else
    SUMMARY+=("FAIL  $name (${took}s, exit $rc)")
    FAILED=1
  fi
}

# fails when a sanitizer wrote a report into the log, whatever the exit code.
no_sanitizer_reports() {
  if grep -aE "ERROR: (Address|Leak|Thread)Sanitizer|WARNING: ThreadSanitizer|runtime error:" "$1" >/dev/null; then
    echo "sanitizer reports in $1:" >&2
    grep -aE -A12 "ERROR: (Address|Leak|Thread)Sanitizer|WARNING: ThreadSanitizer|runtime error:" "$1" | head -80 >&2
    return 1
  fi
}

abi_check() {
  ensure_venv .venv-audit "abi3audit" || return 1
  build_wheel >/dev/null || return 1
  local wheel
  wheel=$(ls "$VARNEL_ROOT"/build/wheel/varnel-*.whl)
  .venv-audit/bin/abi3audit --strict --assume-minimum-abi3 3.11 --verbose "$wheel" || return 1
  local tmp
  tmp=$(mktemp -d)
  (cd "$tmp" && "$VARNEL_ROOT/.venv/bin/python" -m zipfile -e "$wheel" .) || return 1
  local exports
  exports=$(nm -D --defined-only "$tmp"/varnel*.so | awk '{print $3}' | sort -u)
  rm -rf "$tmp"
  echo "exported symbols: $exports"
  [ "$exports" = "PyInit_varnel" ] || { echo "symbols other than PyInit_varnel are exported" >&2; return 1; }
}

release_checks() {
  install_wheel .venv || return 1
  mkdir -p "$REPORT_DIR/release" && rm -f "$REPORT_DIR/release/figures.json"
  local rc=0
  # Quiet memory for the leak loops: no cache of dead threads' stacks, one
  # malloc arena (with Arrow on the system allocator, exported above).
  GLIBC_TUNABLES=glibc.pthread.stack_cache_size=0:glibc.malloc.arena_max=1 \
    VARNEL_REPORT_DIR="$REPORT_DIR/release" .venv/bin/python -m pytest -q -p no:cacheprovider \
    -W ignore::hypothesis.errors.HypothesisWarning tests/reliability >"$REPORT_DIR/release.log" 2>&1 || rc=$?
  grep -aE "^(FAILED|ERROR)|passed|failed|fuzzed calls" "$REPORT_DIR/release.log" | tail -40
  return "$rc"
}

asan_cpp() {
  cmake -S . -B build/asan-cpp -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPython_EXECUTABLE="$VARNEL_ROOT/.venv/bin/python" \
    -DVARNEL_BUILD_MODULE=OFF -DVARNEL_BUILD_TESTS=ON -DVARNEL_SANITIZE=address,undefined >/dev/null || return 1
  cmake --build build/asan-cpp -j "$JOBS" || return 1
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=$UBSAN_OPTIONS_STRICT \
    ctest --test-dir build/asan-cpp --output-on-failure -j "$JOBS" >"$REPORT_DIR/asan-cpp.log" 2>&1
  local rc=$?
  tail -3 "$REPORT_DIR/asan-cpp.log"
  no_sanitizer_reports "$REPORT_DIR/asan-cpp.log" || rc=1
  return "$rc"
}

asan_python() {
  ensure_venv .venv-asan "numpy>=2" "pyarrow==25.0.*" "${TEST_REQUIREMENTS[@]}" || return 1
  rm -rf build/wheel-asan
  .venv/bin/python -m pip wheel . --no-build-isolation --no-deps -q --disable-pip-version-check \
    -w build/wheel-asan -Cbuild-dir=build/wheel-asan-tree -Ccmake.build-type=RelWithDebInfo \
    -Ccmake.define.VARNEL_SANITIZE=address,undefined || return 1
  .venv-asan/bin/python -m pip install -q --disable-pip-version-check --no-deps --force-reinstall \
    build/wheel-asan/varnel-*.whl || return 1
  # CPython's own allocations are not ours to judge: no leak detection here,
  # and no resident-memory loops (ASan's quarantine holds freed memory).
  # PYTHONMALLOC=malloc lets ASan see every Python object's memory. The
  # runtimes are preloaded because python itself is not instrumented, and
  # libstdc++ with them so that ASan finds the real __cxa_throw. Reports go to
  # files as well: pytest's capture would lose those of a process that died.
  local rc=0 out="$REPORT_DIR/asan-py"
  mkdir -p "$out" && rm -f "$out"/figures.json "$out"/sanitizer.*
  VARNEL_REPORT_DIR="$out" LD_PRELOAD="$LIBASAN $LIBSTDCXX" PYTHONMALLOC=malloc \
    ASAN_OPTIONS="detect_leaks=0:log_path=$out/sanitizer" \
    UBSAN_OPTIONS="$UBSAN_OPTIONS_STRICT:log_path=$out/sanitizer" \
    VARNEL_FUZZ_EXAMPLES=$(( VARNEL_FUZZ_EXAMPLES / 3 + 1 )) VARNEL_FUZZ_NO_HUGE_ALLOCATIONS=1 \
    .venv-asan/bin/python -m pytest -q -p no:cacheprovider -W ignore::hypothesis.errors.HypothesisWarning \
    tests/python tests/reliability/test_fuzz.py tests/reliability/test_concurrency.py >"$REPORT_DIR/asan-py.log" 2>&1 || rc=$?
  grep -aE "^(FAILED|ERROR)|passed|failed|fuzzed calls" "$REPORT_DIR/asan-py.log" | tail -40
  no_sanitizer_reports "$REPORT_DIR/asan-py.log" || rc=1
  for report in "$out"/sanitizer.*; do
    [ -f "$report" ] || continue
    echo "sanitizer report $report:" >&2
    head -60 "$report" >&2
    rc=1
  done
  return "$rc"
}

tsan_runtime() {
  cmake -S . -B build/tsan-cpp -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPython_EXECUTABLE="$VARNEL_ROOT/.venv/bin/python" \
    -DVARNEL_BUILD_MODULE=OFF -DVARNEL_BUILD_TESTS=ON -DVARNEL_SANITIZE=thread >/dev/null || return 1
  cmake --build build/tsan-cpp -j "$JOBS" --target sampler_tests || return 1
  local listed
  listed=$(build/tsan-cpp/tests/sampler/sampler_tests --gtest_list_tests --gtest_filter="$TSAN_FILTER" | grep -c '^  ')
  echo "runtime test cases under ThreadSanitizer: $listed"
  if [ "$listed" -eq 0 ]; then
    if [ -f sampler/sampler.hpp ]; then
      echo "the runtime is here but none of its tests matched $TSAN_FILTER" >&2
      return 1
    fi
    echo "no runtime in this tree yet: nothing to run under ThreadSanitizer"
    return 0
  fi
  # ThreadSanitizer of g++ 12 cannot map its shadow with the kernel's wide
  # address randomisation: run without it.
  local run=()
  if setarch "$(uname -m)" -R true 2>/dev/null; then run=(setarch "$(uname -m)" -R); fi
  TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1" \
    "${run[@]}" build/tsan-cpp/tests/sampler/sampler_tests --gtest_filter="$TSAN_FILTER" >"$REPORT_DIR/tsan.log" 2>&1
  local rc=$?
  tail -3 "$REPORT_DIR/tsan.log"
  no_sanitizer_reports "$REPORT_DIR/tsan.log" || rc=1
  return "$rc"
}

total_start=$(date +%s)
ensure_gtest || exit 1
ensure_main_venv || exit 1
stage abi abi_check
stage release release_checks
stage asan-cpp asan_cpp
stage asan-py asan_python
stage tsan tsan_runtime

log "reliability summary ($(( $(date +%s) - total_start ))s in all; logs in build/reliability)"
printf '%s\n' "${SUMMARY[@]}"
for figures in "$REPORT_DIR"/*/figures.json; do
  [ -f "$figures" ] || continue
  echo "figures, $(basename "$(dirname "$figures")") build:"
  cat "$figures"
done
exit "$FAILED"
