# Shared helpers for the project's scripts. Source it; do not run it.
# shellcheck shell=bash

PROJECT_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD_ROOT="${PROJECT_ROOT}/build"

log() { printf '\n==> %s\n' "$*" >&2; }
die() { printf 'error: %s\n' "$*" >&2; exit 1; }

# Prints the path of a CPython interpreter of the given minor version
# ("3.12"), searching the machine's usual places; fails when there is none.
find_python() {
  local version="$1" candidate
  for candidate in \
      "$(command -v "python${version}" 2>/dev/null || true)" \
      /usr/bin/python"${version}" /usr/local/bin/python"${version}" \
      /root/.pyenv/versions/"${version}".*/bin/python"${version}" \
      "${HOME}"/.pyenv/versions/"${version}".*/bin/python"${version}" \
      /opt/python/*/bin/python"${version}"; do
    [[ -n "${candidate}" && -x "${candidate}" ]] || continue
    if "${candidate}" -c "import sys, sysconfig, venv
assert sys.version_info[:2] == tuple(map(int, '${version}'.split('.')))
assert sysconfig.get_config_var('INCLUDEPY')" >/dev/null 2>&1; then
      printf '%s\n' "${candidate}"
      return 0
    fi
  done
  return 1
}

# Debian packages the build and the tests need; installs the missing ones
# when running as root.
ensure_system_packages() {
  # cmake and ninja come from PyPI into the virtual environments.
  local wanted=(g++ libgtest-dev libgmock-dev libbenchmark-dev clang-format valgrind binutils)
  local missing=() pkg
  for pkg in "${wanted[@]}"; do
    dpkg-query -W -f='${Status}' "${pkg}" 2>/dev/null | grep -q "ok installed" || missing+=("${pkg}")
  done
  local filtered=()
  for pkg in "${missing[@]}"; do
    if [[ "${pkg}" == g++ ]] && command -v g++ >/dev/null; then continue; fi
    filtered+=("${pkg}")
  done
  ((${#filtered[@]} == 0)) && return 0
  log "installing Debian packages: ${filtered[*]}"
  [[ "$(id -u)" == 0 ]] || die "missing packages ${filtered[*]}; run as root or install them"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${filtered[@]}" >/dev/null
}

# Creates (or reuses) build/venv-<version> with the Python packages the tests
# need, and prints its interpreter's path.
ensure_venv() {
  local version="$1" base venv
  base="$(find_python "${version}")" || die "no CPython ${version} with headers found"
  venv="${BUILD_ROOT}/venv-${version}"
  if [[ ! -x "${venv}/bin/python" ]]; then
    log "creating ${venv} from ${base}"
    "${base}" -m venv "${venv}" >&2
  fi
  local wanted="import pytest, numpy, scikit_build_core, mypy, cmake, ninja, google.protobuf"
  wanted+=", opentelemetry.proto"
  [[ "${version}" == 3.12 ]] && wanted+=", rotel"
  if ! "${venv}/bin/python" -c "${wanted}" >/dev/null 2>&1; then
    log "installing Python packages into ${venv}"
    "${venv}/bin/python" -m pip install -q --disable-pip-version-check --upgrade pip >&2
    "${venv}/bin/python" -m pip install -q --disable-pip-version-check \
      -r "${PROJECT_ROOT}/scripts/requirements-dev.txt" >&2
  fi
  printf '%s\n' "${venv}/bin/python"
}

# Exports where the companion's tests find the rotel collector. rotel ships
# only a cp312 wheel, so the runs on every interpreter use the binary of the
# 3.12 environment, with the folder of the libpython it links.
export_rotel_agent() {
  local py312="$1"
  PELNORIX_ROTEL_AGENT="$("${py312}" -c 'import os, rotel
print(os.path.join(os.path.dirname(rotel.__file__), "rotel-agent"))')"
  PELNORIX_ROTEL_LIBRARY_PATH="$("${py312}" -c 'import sysconfig
print(sysconfig.get_config_var("LIBDIR"))')"
  export PELNORIX_ROTEL_AGENT PELNORIX_ROTEL_LIBRARY_PATH
}
