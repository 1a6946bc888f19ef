#!/usr/bin/env bash
# Runs every test: the Linux build, the same tests under address and undefined-behaviour
# sanitizers, under the thread sanitizer, the fuzz targets for a bounded time, and the Windows builds (the 32-bit DLL's exports; the 64-bit tests under wine64).
# Installs what is missing first.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs="${KALVIX3_JOBS:-2}"
scripts/deps.sh build
scripts/deps.sh windows

run_preset() {
  local preset=$1
  echo "==== $preset"
  cmake --preset "$preset" -G Ninja >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs"
}

run_preset default
run_preset asan
run_preset tsan
scripts/deps.sh fuzz
run_preset fuzz
run_preset mingw32
export WINEPREFIX="${WINEPREFIX:-$(mktemp -d /tmp/kalvix3-wine.XXXXXX)}"
export WINEDEBUG=-all
run_preset mingw64
echo "All test runs passed."
