#!/usr/bin/env bash
# Runs every test of the project on a fresh machine: installs what is missing,
# then the C++ tests (plain and sanitized), the Python tests on CPython 3.12 and
# 3.13 against one stable-ABI wheel, the Python tests against a sanitized build
# of the module, and the format and type checks. Exits non-zero on any failure.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "${PROJECT_ROOT}"

JOBS="$(nproc)"
ensure_system_packages
PY312="$(ensure_venv 3.12)"
PY313="$(ensure_venv 3.13)"
# cmake and ninja come from the 3.12 environment, whatever else is on PATH.
export PATH="$(dirname "${PY312}"):${PATH}"
export_rotel_agent "${PY312}"

cmake_build() {  # cmake_build <dir> <extra cmake args...>
  local dir="$1"; shift
  cmake -S . -B "${dir}" -G Ninja -DPELNORIX_WERROR=ON "$@" >/dev/null
  cmake --build "${dir}" -j "${JOBS}"
}

log "C++ tests (plain)"
cmake_build build/ctest -DPELNORIX_BUILD_PYTHON=OFF -DPELNORIX_BUILD_BENCHMARKS=ON
ctest --test-dir build/ctest --output-on-failure -j "${JOBS}"

log "C++ tests (address and undefined-behaviour sanitizers)"
cmake_build build/ctest-asan -DPELNORIX_BUILD_PYTHON=OFF -DPELNORIX_SANITIZE=ON
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build/ctest-asan --output-on-failure -j "${JOBS}"

log "building the stable-ABI wheel with CPython 3.12"
rm -rf dist
"${PY312}" -m pip wheel -q --no-deps --no-build-isolation -w dist \
  -Ccmake.define.PELNORIX_WERROR=ON . >&2
WHEEL="$(ls dist/pelnorix-*.whl)"
case "${WHEEL}" in
  *-cp312-abi3-*.whl) ;;
  *) die "wheel ${WHEEL} is not tagged cp312-abi3" ;;
esac
"${PY312}" scripts/check_wheel.py "${WHEEL}"

for py in "${PY312}" "${PY313}"; do
  log "Python tests on $("${py}" -c 'import sys; print(sys.version.split()[0])') with ${WHEEL##*/}"
  "${py}" -m pip install -q --disable-pip-version-check --force-reinstall --no-deps "${WHEEL}"
  # The same binary on every interpreter: show which file was imported.
  (cd /tmp && "${py}" -c 'import hashlib, pelnorix
with open(pelnorix.__file__, "rb") as f:
    print(pelnorix.__file__, hashlib.sha256(f.read()).hexdigest()[:16])')
  (cd tests && "${py}" -m pytest -q -p no:cacheprovider --import-mode=importlib --ignore=otel .)
  log "companion (pelnorix_otel) tests on $("${py}" -c 'import sys; print(sys.version.split()[0])')"
  (cd tests/otel && "${py}" -m pytest -q -p no:cacheprovider --import-mode=importlib .)
done

log "Python tests against the sanitized module (CPython 3.12)"
cmake_build build/py-asan -DPELNORIX_BUILD_TESTS=OFF -DPELNORIX_SANITIZE=ON \
  -DPython_EXECUTABLE="${PY312}"
ASAN_LIB="$(g++ -print-file-name=libasan.so)"
UBSAN_LIB="$(g++ -print-file-name=libubsan.so)"
(cd tests && PYTHONPATH="${PROJECT_ROOT}/build/py-asan/python" \
  LD_PRELOAD="${ASAN_LIB} ${UBSAN_LIB}" PYTHONMALLOC=malloc \
  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  PELNORIX_EXPECT_MODULE="${PROJECT_ROOT}/build/py-asan/python" \
  "${PY312}" -m pytest -q -p no:cacheprovider --import-mode=importlib --ignore=otel .)

log "format check"
git ls-files '*.cpp' '*.hpp' | xargs clang-format --dry-run -Werror

if [[ -f examples/quickstart.py ]]; then
  log "type check (mypy --strict)"
  "${PY312}" -m pip install -q --disable-pip-version-check --force-reinstall --no-deps "${WHEEL}"
  "${PY312}" -m mypy --strict examples/quickstart.py tests/test_typed_usage.py
  # The companion: its sources (the typed wrapper against the stub of its native
  # module), the exporter's tests and the export example, against the installed
  # module's stubs. Test helpers they import are read, not checked.
  "${PY312}" -m mypy --strict --follow-imports=silent otel/pelnorix_otel \
    tests/otel/fault_server.py tests/otel/test_export_*.py examples/export_agent_run.py
fi

log "all tests passed"
