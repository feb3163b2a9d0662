#!/usr/bin/env bash
# The heavy statistical checks left out of the default suite (pytest marker
# "slow"): posteriors against grid quadrature in more dimensions, and the
# incremental update of AdaptiveExperiment against quadrature and against
# the from-scratch update over simulated observers. Uses the
# environment and wheel that scripts/test.sh set up.
set -euo pipefail
source "$(dirname "$0")/common.sh"
cd "$VARNEL_ROOT"
ensure_main_venv
build_wheel
install_wheel .venv
.venv/bin/python -m pytest -q -m slow tests/python
