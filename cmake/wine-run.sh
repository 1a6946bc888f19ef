#!/usr/bin/env bash
# Runs a 64-bit Windows test program under Wine: usage wine-run.sh WINE PROGRAM [ARGS...].
# - WINEPREFIX: as set, else a prefix in the build tree (the folder holding CMakeCache.txt above
#   the program); created once, under a lock, so parallel tests do not race to create it.
# - DISPLAY: as set, else an Xvfb of this run's own (windows need a display driver).
# - KALVIX3_WINE_LOCALE: when set, the Unix locale Wine derives its code pages from
#   (ja_JP.UTF-8 gives the Japanese ANSI code page 932).
set -euo pipefail
wine=$1
shift
program=$1
export WINEDEBUG="${WINEDEBUG:--all}"

if [ -z "${WINEPREFIX:-}" ]; then
  dir=$(cd "$(dirname "$program")" && pwd)
  while [ "$dir" != / ] && [ ! -f "$dir/CMakeCache.txt" ]; do dir=$(dirname "$dir"); done
  export WINEPREFIX="$dir/wine-prefix"
fi
wineserver="$(dirname "$wine")/wineserver"
[ -x "$wineserver" ] || wineserver=wineserver

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$(dirname "$WINEPREFIX")"
  (
    flock -w 300 9
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      DISPLAY= "$wine" wineboot --init >/dev/null 2>&1 || true
      "$wineserver" -w || true
    fi
  ) 9>"$WINEPREFIX.lock"
fi

run() {
  if [ -n "${KALVIX3_WINE_LOCALE:-}" ]; then
    LC_ALL="$KALVIX3_WINE_LOCALE" "$wine" "$@"
  else
    "$wine" "$@"
  fi
}

if [ -n "${DISPLAY:-}" ]; then
  run "$@"
  exit $?
fi

# A display of our own: Xvfb picks a free number and reports it on descriptor 3.
work=$(mktemp -d)
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$work/display" 2>/dev/null &
xvfb=$!
cleanup() {
  kill "$xvfb" 2>/dev/null || true
  wait "$xvfb" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 143' TERM INT
for _ in $(seq 200); do
  [ -s "$work/display" ] && break
  kill -0 "$xvfb" 2>/dev/null || { echo "wine-run: Xvfb did not start" >&2; exit 1; }
  sleep 0.05
done
export DISPLAY=":$(head -n1 "$work/display")"
status=0
run "$@" || status=$?
exit $status
