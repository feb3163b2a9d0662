#!/usr/bin/env bash
# The contrast sensitivity experiment of AdaptiveExperiment over a continuous
# box against the grid QUEST+ of the questplus package with its csf function
# (a benchmark-only dependency, installed into a venv of its own with the
# freshly built varnel). Arguments go to bench/csf_bench.py. Not part of the
# test suite.
set -euo pipefail
source "$(dirname "$0")/../scripts/common.sh"
cd "$VARNEL_ROOT"
ensure_gtest
ensure_main_venv
build_wheel >/dev/null
venv="$VARNEL_ROOT/bench/.peers/questplus-venv"
ensure_venv "$venv" "numpy>=2" "pyarrow==25.0.*" "scipy" "questplus==2023.1"
install_wheel "$venv"
"$venv/bin/python" bench/csf_bench.py "$@"
