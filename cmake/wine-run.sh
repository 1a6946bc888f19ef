#!/usr/bin/env bash
# Runs a 64-bit Windows test program under Wine: usage wine-run.sh WINE PROGRAM [ARGS...].
# - WINEPREFIX: as set, else a prefix in the build tree (the folder holding CMakeCache.txt above
#   the program); created once, under a lock, so parallel tests do not race to create it, with
#   the X11 driver's windows unmanaged, and Japanese fonts (see below).
# - DISPLAY: as set, else an Xvfb of this run's own (windows need a display driver).
# - KALVIX3_WINE_LOCALE: when set, the Unix locale Wine derives its code pages from
#   (ja_JP.UTF-8 gives the Japanese ANSI code page 932).
# - KALVIX3_SCREENSHOT: when set, a PNG path. The program is told a request file in
#   KALVIX3_SCREENSHOT_REQUEST; when it writes "x y width height" there, that part of the screen
#   is saved and "<request>.done" is created.
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

# Japanese text on the prefix's screen: Wine has no ＭＳ Ｐゴシック (the dial dialog's font) nor
# MS UI Gothic (what the caption font, MS Shell Dlg, stands for under code page 932), so each is
# replaced by Droid Sans Fallback (fonts-droid-fallback) and screenshots show the texts. With a
# new prefix, and once for a prefix made before this step.
fonts_done="$WINEPREFIX/.kalvix3-japanese-fonts"
japanese_fonts() {
  local file="$WINEPREFIX/drive_c/kalvix3-fonts.reg"
  {
    printf '\xff\xfe'
    {
      printf 'Windows Registry Editor Version 5.00\r\n\r\n'
      printf '[HKEY_CURRENT_USER\\Software\\Wine\\Fonts\\Replacements]\r\n'
      for face in 'ＭＳ Ｐゴシック' 'MS PGothic' 'ＭＳ ゴシック' 'MS Gothic' 'MS UI Gothic'; do
        printf '"%s"="Droid Sans Fallback"\r\n' "$face"
      done
    } | iconv -f UTF-8 -t UTF-16LE
  } >"$file"
  DISPLAY= "$wine" regedit /S 'C:\kalvix3-fonts.reg' >/dev/null 2>&1 && : >"$fonts_done"
  rm -f "$file"
}

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$(dirname "$WINEPREFIX")"
  (
    flock -w 300 9
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      DISPLAY= "$wine" wineboot --init >/dev/null 2>&1 || true
      # Unmanaged windows: with no window manager on the display, Wine would otherwise wait two
      # seconds for one whenever a visible window is hidden or destroyed.
      DISPLAY= "$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 || true
      japanese_fonts
      "$wineserver" -w || true
    fi
  ) 9>"$WINEPREFIX.lock"
fi
if [ ! -f "$fonts_done" ]; then
  (
    flock -w 300 9
    if [ ! -f "$fonts_done" ]; then
      japanese_fonts
      "$wineserver" -w || true # until the display-less processes it started have ended
    fi
  ) 9>"$WINEPREFIX.lock"
fi

work=$(mktemp -d)
xvfb=""
program_pid=""
cleanup() {
  [ -z "$program_pid" ] || kill "$program_pid" 2>/dev/null || true
  if [ -n "$xvfb" ]; then
    # Wine's desktop process, shared by every program of the prefix, may be on this display:
    # keep it until the prefix's server has ended (parallel tests may still be running).
    timeout 120 "$wineserver" -w 2>/dev/null || true
    kill "$xvfb" 2>/dev/null || true
    wait "$xvfb" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 143' TERM INT

if [ -z "${DISPLAY:-}" ]; then
  # A display of our own: Xvfb picks a free number and reports it on descriptor 3.
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$work/display" 2>/dev/null &
  xvfb=$!
  for _ in $(seq 200); do
    [ -s "$work/display" ] && break
    kill -0 "$xvfb" 2>/dev/null || { echo "wine-run: Xvfb did not start" >&2; exit 1; }
    sleep 0.05
  done
  export DISPLAY=":$(head -n1 "$work/display")"
fi

locale_env=()
[ -z "${KALVIX3_WINE_LOCALE:-}" ] || locale_env=("LC_ALL=$KALVIX3_WINE_LOCALE")

if [ -z "${KALVIX3_SCREENSHOT:-}" ]; then
  status=0
  env "${locale_env[@]}" "$wine" "$@" || status=$?
  exit $status
fi

request="$work/screenshot-request"
export KALVIX3_SCREENSHOT_REQUEST="Z:${request//\//\\}"
env "${locale_env[@]}" "$wine" "$@" &
program_pid=$!
shot_status=0
while kill -0 "$program_pid" 2>/dev/null; do
  if [ -f "$request" ]; then
    read -r x y width height <"$request" || true
    mkdir -p "$(dirname "$KALVIX3_SCREENSHOT")"
    if ! import -display "$DISPLAY" -window root -crop "${width}x${height}+${x}+${y}" +repage \
        "$KALVIX3_SCREENSHOT"; then
      echo "wine-run: the screenshot could not be taken" >&2
      shot_status=1
    fi
    rm -f "$request"
    : >"$request.done"
  fi
  sleep 0.1
done
status=0
wait "$program_pid" || status=$?
program_pid=""
[ $status -ne 0 ] || status=$shot_status
exit $status
