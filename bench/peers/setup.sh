#!/usr/bin/env bash
# Installs the samplers the benchmarks compare against, never into the
# product's environments: RStan from Debian (r-cran-rstan, when run as root)
# and NumPyro with JAX (CPU) and ArviZ from PyPI into bench/.peers/venv.
# A peer that cannot be installed is reported on standard error and left out;
# the benchmarks then print "not available" for it. Always exits 0.
set -uo pipefail
source "$(dirname "$0")/../../scripts/common.sh"

PEERS_VENV="$VARNEL_ROOT/bench/.peers/venv"
PEERS_REQUIREMENTS=("numpyro==0.22.*" "jax[cpu]==0.10.*" "arviz==0.23.*")

ensure_rstan() {
  if Rscript -e 'suppressPackageStartupMessages(library(rstan))' >/dev/null 2>&1; then
    return 0
  fi
  if [ "$(id -u)" != 0 ]; then
    echo "RStan not available: r-cran-rstan is missing and installing it needs root" >&2
    return 1
  fi
  log "installing RStan (r-cran-rstan)"
  if ! { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
      r-cran-rstan >/dev/null; }; then
    echo "RStan not available: apt-get install r-cran-rstan failed" >&2
    return 1
  fi
}

ensure_numpyro() {
  if ! ensure_venv "$PEERS_VENV" "${PEERS_REQUIREMENTS[@]}"; then
    echo "NumPyro not available: pip install ${PEERS_REQUIREMENTS[*]} into $PEERS_VENV failed" >&2
    rm -f "$PEERS_VENV/.varnel-requirements"
    return 1
  fi
}

ensure_rstan
ensure_numpyro
exit 0
