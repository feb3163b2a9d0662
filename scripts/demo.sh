#!/usr/bin/env bash
# The main job: builds varnel and runs the adaptive-experiment demo.
# Extra arguments go to the demo (--trials, --seed, --out).
set -euo pipefail
source "$(dirname "$0")/common.sh"
cd "$VARNEL_ROOT"

ensure_main_venv
build_wheel
install_wheel .venv
log "adaptive experiment"
.venv/bin/python examples/adaptive_experiment.py "$@"
