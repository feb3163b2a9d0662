# Shared set-up steps for the project's commands; sourced, not run.
# Everything the project needs is installed from here: Debian's GoogleTest
# (when running as root), and Python packages into virtual environments
# inside the checkout.

VARNEL_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
PYTHON=${PYTHON:-python3}
JOBS=${JOBS:-$(nproc)}

log() { printf '\n== %s\n' "$*" >&2; }

ensure_gtest() {
  if [ -f /usr/include/gtest/gtest.h ] && [ -d /usr/lib/x86_64-linux-gnu/cmake/GTest ] || [ -d /usr/lib/cmake/GTest ]; then
    return 0
  fi
  if [ "$(id -u)" = 0 ]; then
    log "installing GoogleTest (libgtest-dev)"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev >/dev/null
  else
    echo "GoogleTest is missing: run 'apt-get install libgtest-dev' as root" >&2
    return 1
  fi
}

# ensure_venv DIR PACKAGE... : a virtual environment holding exactly these
# requirements, re-installed only when the list changes.
ensure_venv() {
  local dir=$1; shift
  local want="$*"
  if [ ! -x "$dir/bin/python" ]; then
    log "creating virtual environment $dir"
    "$PYTHON" -m venv "$dir"
  fi
  if [ "$(cat "$dir/.varnel-requirements" 2>/dev/null)" != "$want" ]; then
    log "installing into $dir: $want"
    "$dir/bin/python" -m pip install -q --disable-pip-version-check --upgrade pip >/dev/null
    "$dir/bin/python" -m pip install -q --disable-pip-version-check "$@"
    printf '%s' "$want" > "$dir/.varnel-requirements"
  fi
}

BUILD_REQUIREMENTS=("scikit-build-core>=0.10" "pyarrow==25.0.*" "cmake>=3.26" "ninja")
TEST_REQUIREMENTS=("pytest>=7" "hypothesis>=6" "mypy>=1.8")
# The optional extras the exports use, for the plain (not sanitizer) test environments.
EXTRA_REQUIREMENTS=("pandas" "arviz<1")

# The main environment: NumPy 2.x, build and test tools.
ensure_main_venv() {
  ensure_venv "$VARNEL_ROOT/.venv" "numpy>=2" "${BUILD_REQUIREMENTS[@]}" "${TEST_REQUIREMENTS[@]}" "${EXTRA_REQUIREMENTS[@]}" "matplotlib>=3.7"
}

# build_wheel [extra -C settings...]: the abi3 wheel into build/wheel, reusing
# the previous build tree.
build_wheel() {
  log "building the wheel"
  rm -rf "$VARNEL_ROOT/build/wheel"
  "$VARNEL_ROOT/.venv/bin/python" -m pip wheel "$VARNEL_ROOT" --no-build-isolation --no-deps \
    -q --disable-pip-version-check -w "$VARNEL_ROOT/build/wheel" \
    -Cbuild-dir="$VARNEL_ROOT/build/wheel-tree" -Ccmake.define.VARNEL_WERROR=ON "$@"
  ls "$VARNEL_ROOT"/build/wheel/varnel-*.whl
}

# install_wheel VENV_DIR: installs the freshly built wheel.
install_wheel() {
  "$1/bin/python" -m pip install -q --disable-pip-version-check --no-deps --force-reinstall \
    "$VARNEL_ROOT"/build/wheel/varnel-*.whl
}
