#!/usr/bin/env bash
# Runs every test: the Linux build (a short soak among its tests, and once more under valgrind),
# the same tests under address and undefined-behaviour sanitizers and under the thread
# sanitizer, the fuzz targets for a bounded time, and the Windows builds (the 32-bit DLL's
# exports; the 64-bit tests under wine64). Installs what is missing first, and prints how long
# each step took.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs="${KALVIX3_JOBS:-2}"
# The Linux tests spend most of their time waiting on device timings (serial time-outs, dial
# pauses, a service coming up), using a fifth to a half of two cores at six at a time: running
# six at once takes half the time of two and leaves the machine as loaded as a build.
test_jobs="${KALVIX3_TEST_JOBS:-6}"
scripts/deps.sh build

# The packages of the later steps (chromium and node for the web page's browser test, the
# Windows cross-compilers and wine, valgrind, clang) download and install while the Linux build
# compiles; the tests wait for them.
deps_log=$(mktemp)
( for step in web windows tools fuzz; do scripts/deps.sh "$step"; done ) >"$deps_log" 2>&1 &
deps=$!
deps_ready() {
  [ -n "$deps" ] || return 0
  local status=0
  wait "$deps" || status=$?
  deps=""
  cat "$deps_log"
  rm -f "$deps_log"
  [ "$status" -eq 0 ] || { echo "installing the test steps' packages failed" >&2; exit 1; }
}

timings=()
run_preset() { # PRESET [PARALLEL [CMAKE-ARGUMENTS...]]
  local preset=$1 parallel=${2:-$test_jobs} start=$SECONDS
  shift $(($# < 2 ? $# : 2))
  echo "==== $preset"
  cmake --preset "$preset" -G Ninja "$@" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  deps_ready
  ctest --preset "$preset" -j "$parallel"
  timings+=("$(printf '%-8s %5d s' "$preset" $((SECONDS - start)))")
}

run_preset default

# The soak, short, under valgrind's memcheck: no error and no leak, nothing suppressed.
start=$SECONDS
echo "==== valgrind"
KALVIX3_SOAK_SECONDS=6 timeout 600 valgrind --quiet --error-exitcode=99 --leak-check=full \
  --errors-for-leak-kinds=definite,indirect,possible build/default/tests/soak/kalvix3_soak
timings+=("$(printf '%-8s %5d s' valgrind $((SECONDS - start)))")

run_preset asan
run_preset tsan
# The fuzz targets and the Windows test programs (each starts Wine) keep the cores busy: as many
# at once as there are build jobs.
run_preset fuzz "$jobs"
run_preset mingw32 "$jobs"

# The 64-bit Windows tests: a Wine prefix of this run in a temporary folder (created by the
# first test program, see cmake/wine-run.sh) and a virtual display of this run.
own_prefix=""
if [ -z "${WINEPREFIX:-}" ]; then
  WINEPREFIX=$(mktemp -d /tmp/kalvix3-wine.XXXXXX)
  own_prefix=$WINEPREFIX
fi
export WINEPREFIX WINEDEBUG=-all
display_file=$(mktemp)
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$display_file" 2>/dev/null &
xvfb=$!
finish() {
  timeout 120 /usr/lib/wine/wineserver -w 2>/dev/null || true
  kill "$xvfb" 2>/dev/null || true
  wait "$xvfb" 2>/dev/null || true
  rm -f "$display_file"
  [ -z "$own_prefix" ] || rm -rf "$own_prefix" "$own_prefix.lock"
}
trap finish EXIT
for _ in $(seq 200); do
  [ -s "$display_file" ] && break
  kill -0 "$xvfb" 2>/dev/null || { echo "Xvfb did not start" >&2; exit 1; }
  sleep 0.05
done
export DISPLAY=":$(head -n1 "$display_file")"
# SQLite for the 64-bit call log, built from Debian's source once and kept outside the checkout.
start=$SECONDS
echo "==== windows-deps"
windows_deps=$(scripts/windows-deps.sh)
timings+=("$(printf '%-8s %5d s' w-deps $((SECONDS - start)))")
run_preset mingw64 "$jobs" -DKALVIX3_WINDOWS_DEPS="$windows_deps"

echo "All test runs passed."
printf '%s\n' "${timings[@]}"
