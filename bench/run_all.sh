#!/usr/bin/env bash
# The one benchmark command: installs the peers (RStan from Debian, NumPyro from
# PyPI into bench/.peers/venv, never into the product's environments), builds
# and installs varnel into .venv, then runs every benchmark of bench/ and
# prints one Markdown table. Not part of the test suite.
# Usage: bash bench/run_all.sh [--repeats N] [--sizes 20 100 1000] [--skip rstan ...] [--out FILE]
set -euo pipefail
source "$(dirname "$0")/../scripts/common.sh"
cd "$VARNEL_ROOT"

log "peers"
bash bench/peers/setup.sh
ensure_main_venv
build_wheel >/dev/null
install_wheel .venv
log "running the benchmarks"
.venv/bin/python bench/run_all.py "$@"
