#!/usr/bin/env bash
# Fast inner loop: builds core, its tests and the module into build/dev
# (add -DPELNORIX_SANITIZE=ON for a sanitized tree in build/dev-asan) and
# prints the PYTHONPATH that picks up the freshly built module.
#   eval "$(scripts/dev-build.sh)"; python -m pytest tests
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "${PROJECT_ROOT}"
PY="$(ensure_venv 3.12)"
export PATH="$(dirname "${PY}"):${PATH}"
dir=build/dev
[[ " $* " == *" -DPELNORIX_SANITIZE=ON "* ]] && dir=build/dev-asan
cmake -S . -B "${dir}" -G Ninja -DPython_EXECUTABLE="${PY}" "$@" >&2
cmake --build "${dir}" -j "$(nproc)" >&2
printf 'export PYTHONPATH=%q\n' "${PROJECT_ROOT}/${dir}/python"
printf 'export PELNORIX_PY=%q\n' "${PY}"
