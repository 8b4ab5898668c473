#!/usr/bin/env bash
# End to end into a real LLM-observability backend, on demand (not part of
# scripts/test.sh): installs Arize Phoenix into build/venv-phoenix (about
# 800 MB, once), serves it offline on loopback, sends the small agent run of
# examples/export_agent_run.py to it over OTLP/HTTP protobuf, reads the spans
# back through Phoenix's REST API and checks them (scripts/phoenix_check.py),
# then takes a headless-browser screenshot of the trace in Phoenix's UI into
# build/phoenix-trace.png (Debian's chromium, installed when missing).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "${PROJECT_ROOT}"

PHOENIX_VENV="${BUILD_ROOT}/venv-phoenix"
if [[ ! -x "${PHOENIX_VENV}/bin/phoenix" ]]; then
  log "installing arize-phoenix into ${PHOENIX_VENV}"
  "$(find_python 3.12)" -m venv "${PHOENIX_VENV}"
  "${PHOENIX_VENV}/bin/python" -m pip install -q --disable-pip-version-check arize-phoenix >&2
fi
if ! command -v chromium >/dev/null; then
  log "installing chromium"
  [[ "$(id -u)" == 0 ]] || die "chromium is missing; run as root or install it"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends chromium fonts-dejavu-core >/dev/null
fi

log "building pelnorix"
eval "$(scripts/dev-build.sh)"

free_port() { "${PELNORIX_PY}" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
PORT="$(free_port)"
WORKDIR="${BUILD_ROOT}/phoenix-work"
rm -rf "${WORKDIR}"
mkdir -p "${WORKDIR}"
log "phoenix serve on 127.0.0.1:${PORT} (log: ${WORKDIR}/phoenix.log)"
PHOENIX_WORKING_DIR="${WORKDIR}" PHOENIX_HOST=127.0.0.1 PHOENIX_PORT="${PORT}" \
  PHOENIX_GRPC_PORT="$(free_port)" PHOENIX_TELEMETRY_ENABLED=false \
  "${PHOENIX_VENV}/bin/phoenix" serve >"${WORKDIR}/phoenix.log" 2>&1 &
PHOENIX_PID=$!
trap 'kill "${PHOENIX_PID}" 2>/dev/null; wait "${PHOENIX_PID}" 2>/dev/null || true' EXIT
BASE="http://127.0.0.1:${PORT}"
for _ in $(seq 300); do
  curl -sf "${BASE}/healthz" >/dev/null && break
  kill -0 "${PHOENIX_PID}" 2>/dev/null || { tail -20 "${WORKDIR}/phoenix.log" >&2; die "phoenix did not start"; }
  sleep 1
done
curl -sf "${BASE}/healthz" >/dev/null || die "phoenix did not answer within 300 s"

PROJECT=pelnorix-check
log "examples/export_agent_run.py -> ${BASE}/v1/traces (http/protobuf)"
OTEL_EXPORTER_OTLP_ENDPOINT="${BASE}" OTEL_EXPORTER_OTLP_PROTOCOL=http/protobuf \
  OTEL_RESOURCE_ATTRIBUTES="openinference.project.name=${PROJECT}" \
  "${PELNORIX_PY}" examples/export_agent_run.py

log "reading the trace back through Phoenix's API"
"${PELNORIX_PY}" scripts/phoenix_check.py "${BASE}" "${PROJECT}" | tee "${WORKDIR}/check.txt"
TRACE_URL="$(tail -1 "${WORKDIR}/check.txt")"

SHOT="${BUILD_ROOT}/phoenix-trace.png"
log "screenshot of ${TRACE_URL} -> ${SHOT}"
chromium --headless --no-sandbox --disable-gpu --hide-scrollbars --window-size=1600,1000 \
  --virtual-time-budget=15000 --user-data-dir="${WORKDIR}/chromium" \
  --screenshot="${SHOT}" "${TRACE_URL}" >"${WORKDIR}/chromium.log" 2>&1 \
  || { tail -20 "${WORKDIR}/chromium.log" >&2; die "chromium failed"; }
log "done: the trace is in Phoenix and in ${SHOT}"
