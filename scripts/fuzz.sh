#!/usr/bin/env bash
# On demand, not part of the test run: coverage-guided fuzzing of the module's calls
# (scripts/fuzz.py) with atheris. The module is built by clang into build/fuzz with the address
# and undefined-behaviour sanitizers and libFuzzer's coverage instrumentation, and runs under
# the sanitizer runtime that atheris ships. Arguments go to libFuzzer:
#   scripts/fuzz.sh -max_total_time=1200            # 20 minutes on build/fuzz/corpus
#   scripts/fuzz.sh build/fuzz/findings/crash-...   # replay one finding
# The corpus grows in build/fuzz/corpus; inputs that fail land in build/fuzz/findings.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "${PROJECT_ROOT}"

PY="$(ensure_venv 3.12)"
export PATH="$(dirname "${PY}"):${PATH}"
if ! "${PY}" -c "import atheris" >/dev/null 2>&1; then
  log "installing atheris into $(dirname "$(dirname "${PY}")")"
  "${PY}" -m pip install -q --disable-pip-version-check atheris >&2
fi

find_clang() {
  local candidate
  for candidate in clang++-{21,20,19,18,17,16,15,14} clang++; do
    if command -v "${candidate}" >/dev/null; then
      command -v "${candidate}"
      return 0
    fi
  done
  return 1
}
if ! CLANGXX="$(find_clang)"; then
  [[ "$(id -u)" == 0 ]] || die "no clang++ found; run as root or install clang"
  log "installing Debian package: clang"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends clang >/dev/null
  CLANGXX="$(find_clang)"
fi

log "building the fuzzing module with ${CLANGXX}"
# The sanitizers of PELNORIX_SANITIZE, spelled here so that the checks whose runtime part
# atheris does not ship (vptr, function) can be left out; the preloaded runtime is the only
# one, so none is linked in.
SANITIZE="-fsanitize=address,undefined,fuzzer-no-link -fno-sanitize=vptr,function"
SANITIZE+=" -fno-sanitize-recover=undefined -fno-omit-frame-pointer -fno-sanitize-link-runtime"
cmake -S . -B build/fuzz -G Ninja -DCMAKE_CXX_COMPILER="${CLANGXX}" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPELNORIX_SANITIZE=OFF -DPELNORIX_BUILD_TESTS=OFF \
  -DCMAKE_CXX_FLAGS="${SANITIZE}" -DPython_EXECUTABLE="${PY}" >/dev/null
cmake --build build/fuzz -j "$(nproc)" >&2

RUNTIME="$("${PY}" -c 'import atheris, os
print(os.path.join(os.path.dirname(os.path.dirname(atheris.__file__)), "asan_with_fuzzer.so"))')"
mkdir -p build/fuzz/corpus build/fuzz/findings
corpus=(build/fuzz/corpus)
for argument in "$@"; do
  [[ "${argument}" == -* ]] || corpus=()  # a file or folder given: libFuzzer runs that instead
done
log "fuzzing (libFuzzer arguments: $* ${corpus[*]})"
PYTHONPATH="${PROJECT_ROOT}/build/fuzz/python" LD_PRELOAD="${RUNTIME}" PYTHONMALLOC=malloc \
  ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  "${PY}" scripts/fuzz.py -artifact_prefix=build/fuzz/findings/ "$@" "${corpus[@]}"
