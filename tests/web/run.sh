#!/usr/bin/env bash
# Runs the browser test: installs playwright-core from the lock file when missing, skips (77)
# when chromium is not there. Usage: run.sh RIG ARTIFACTS [SLOWDOWN [--rows FILE]]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
chromium="${KALVIX3_CHROMIUM:-/usr/bin/chromium}"
if [ ! -x "$chromium" ]; then
  echo "SKIP: $chromium is not installed (scripts/deps.sh web installs it)"
  exit 77
fi
if [ ! -d "$here/node_modules/playwright-core" ]; then
  (cd "$here" && npm ci --no-audit --no-fund --silent)
fi
exec node "$here/web_test.mjs" --rig "$1" --artifacts "$2" --slowdown "${3:-1}" --chromium "$chromium" "${@:4}"
