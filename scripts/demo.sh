#!/usr/bin/env bash
# The main job: builds varnel and runs the adaptive-experiment demo, then the
# contrast-sensitivity and two-condition demos. Extra arguments go to the
# first demo (--trials, --seed, --out).
set -euo pipefail
source "$(dirname "$0")/common.sh"
cd "$VARNEL_ROOT"

ensure_main_venv
build_wheel
install_wheel .venv
log "adaptive experiment"
.venv/bin/python examples/adaptive_experiment.py "$@"
log "contrast sensitivity, continuous frequency and contrast"
.venv/bin/python examples/contrast_sensitivity.py
log "two interleaved conditions"
.venv/bin/python examples/two_conditions.py
