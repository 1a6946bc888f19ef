#!/usr/bin/env bash
# Builds Kalvix3 and runs the demo against the built-in device simulators; no hardware needed.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh demo
cmake --preset default -G Ninja >/dev/null
cmake --build --preset default -j "${KALVIX3_JOBS:-2}" >/dev/null
exec build/default/tools/kalvix3 demo "$@"
