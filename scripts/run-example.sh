#!/usr/bin/env bash
# Sets up a fresh machine, installs pelnorix into a CPython 3.12 virtual
# environment with `pip install .`, and runs the examples.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "${PROJECT_ROOT}"

ensure_system_packages
PY="$(ensure_venv 3.12)"
export PATH="$(dirname "${PY}"):${PATH}"
log "pip install . (CPython 3.12)"
"${PY}" -m pip install -q --disable-pip-version-check --no-build-isolation . >&2
log "examples/quickstart.py"
"${PY}" examples/quickstart.py
log "examples/export_agent_run.py"
exec "${PY}" examples/export_agent_run.py
