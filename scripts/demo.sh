#!/usr/bin/env bash
# Builds Kalvix3 and runs the demos against the built-in device simulators; no hardware needed:
# the library through the command-line host, then the caller-ID service kalvix3d with its web
# page. --keep: the service and its page stay up until Ctrl-C.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh demo
cmake --preset default -G Ninja >/dev/null
cmake --build --preset default -j "${KALVIX3_JOBS:-2}" >/dev/null
keep=()
args=()
for arg in "$@"; do
  if [ "$arg" = --keep ]; then keep=(--keep); else args+=("$arg"); fi
done
status=0
build/default/tools/kalvix3 demo "${args[@]}" || status=1
build/default/service/kalvix3d-demo "${keep[@]}" || status=1
exit $status
