#!/usr/bin/env bash
# kalvix3.exe under wine64: the catalogue in UTF-8, `watch` on a USB line of the stand-in
# ITUSB.DLL until a console control event (Wine turns SIGINT into Ctrl-C), and `dial` on it.
# Usage: check_tool_windows.sh WINE-RUN WINE KALVIX3.EXE STAND-IN-ITUSB.DLL
set -uo pipefail
runner=$1 wine=$2 tool=$3 standin=$4
failures=0; passed=0
work=$(mktemp -d)
out=$work/out err=$work/err
ok() { passed=$((passed + 1)); }
fail() { echo "FAIL $*"; sed 's/^/  /' "$err" | head -5; failures=$((failures + 1)); }
# Windows text ends its lines with CR LF: the CRs go before the checks.
uncr() { sed -i 's/\r$//' "$@"; }
run() { local status=0; "$runner" "$wine" "$tool" "$@" >"$out" 2>"$err" || status=$?; uncr "$out" "$err"; return $status; }
has() { grep -Eq "$2" "$1"; }

run kinds && has "$out" '^   2  NTT ナンバーディスプレイアダプタ30 +30 +- +-$' &&
  has "$out" '^  36  NEC Aterm ITX70/D・ITX80/D \(USB\) +50 +1-3 +yes$' &&
  iconv -f UTF-8 -t UTF-8 "$out" >/dev/null && ok || fail "kinds: the catalogue in UTF-8"
run kinds --json && [ "$(wc -l <"$out")" -eq 46 ] &&
  has "$out" '^\{"kind":36,"name":"NEC Aterm ITX70/D・ITX80/D \(USB\)","historySize":50,"dialFlags":32775,"usbDriver":true\}$' &&
  ok || fail "kinds --json"
run watch --port 3; [ $? -eq 2 ] && grep -q -e '--kind is required' "$err" && ok || fail "watch without --kind"

# The stand-in where the library looks: the prefix's system directory (wine-run.sh has made
# the prefix by now: the build tree's unless WINEPREFIX is set).
prefix=${WINEPREFIX:-}
if [ -z "$prefix" ]; then
  dir=$(cd "$(dirname "$tool")" && pwd)
  while [ "$dir" != / ] && [ ! -f "$dir/CMakeCache.txt" ]; do dir=$(dirname "$dir"); done
  prefix=$dir/wine-prefix
fi
driver=$prefix/drive_c/windows/system32/ITUSB.DLL
cp "$standin" "$driver" || { echo "FAIL: no stand-in in $driver"; exit 1; }
trap 'rm -f "$driver"; rm -rf "$work"' EXIT

# watch: two calls arrive (one every two status polls, 1 s apart), then Ctrl-C closes the line
# and the program exits 0.
SIMUSB_CALLS=0312345678,P "$runner" "$wine" "$tool" watch --kind 32 >"$out" 2>"$err" &
wrapper=$!
for _ in $(seq 150); do [ "$(wc -l <"$out")" -ge 2 ] && break; sleep 0.1; done
program=$(pgrep -P "$wrapper" | head -n1)
[ -n "$program" ] && kill -INT "$program"
for _ in $(seq 100); do kill -0 "$wrapper" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$wrapper" 2>/dev/null; then kill "$wrapper"; fail "watch: still running 10 s after Ctrl-C"; fi
wait "$wrapper"; status=$?
uncr "$out" "$err"
[ $status -eq 0 ] && ok || fail "watch: exit $status after Ctrl-C, wanted 0"
sed -n 1p "$out" | grep -Eq '^[0-9-]{10} [0-9:]{8}  line 0  call  0312345678$' &&
  sed -n 2p "$out" | grep -Eq '^[0-9-]{10} [0-9:]{8}  line 0  call  P \(withheld\)$' &&
  ok || fail "watch: the two calls ($(head -c 300 "$out"))"
tail -n1 "$err" | grep -qx 'line 0 closed' && ok || fail "watch: the line was not closed"

# dial: the adapter receives 8, ten digits packed two a byte, port 1's bit in byte 30.
want="1 80000015 31 08 0a 03 12 34 56 78$(printf ' 00%.0s' $(seq 23)) 01"
SIMUSB_LOG=Z:${work//\//\\}\\log run dial --kind 32 --tel-port 1 03-1234-5678 &&
  uncr "$work/log" && grep -qx "$want" "$work/log" && ok || fail "dial: the request ($(grep 80000015 "$work/log"))"

echo "$passed passed, $failures failed"
[ "$failures" -eq 0 ]
