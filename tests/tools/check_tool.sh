#!/usr/bin/env bash
# The command-line host: argument errors, the JSON schema of its output, failure explanations,
# and the demo's exit status.
set -uo pipefail
tool=$1
failures=0; passed=0
out=$(mktemp); err=$(mktemp)
expect() { # expect NAME WANTED-STATUS COMMAND...
  local name=$1 want=$2; shift 2
  "$@" >"$out" 2>"$err"; local got=$?
  if [ "$got" -ne "$want" ]; then
    echo "FAIL $name: exit $got, wanted $want"; tail -5 "$out" | sed "s/^/  /"; sed "s/^/  /" "$err" | head -5
    failures=$((failures + 1))
  else passed=$((passed + 1)); fi
}
contains() { # contains NAME FILE PATTERN
  if grep -Eq "$3" "$2"; then passed=$((passed + 1)); else echo "FAIL $1: no /$3/ in $2"; failures=$((failures + 1)); fi
}

expect "no command" 2 "$tool"
expect "unknown command" 2 "$tool" frobnicate
expect "unknown option" 2 "$tool" kinds --colour
expect "watch without kind" 2 "$tool" watch --port 3
expect "serial watch without port" 2 "$tool" watch --kind 2
expect "bad number" 2 "$tool" watch --kind two --port 3
contains "bad number named" "$err" '^kalvix3 watch: --kind: two is not a whole number'
expect "negative count" 2 "$tool" history --kind 2 --port 3 --count -1
expect "dial without number" 2 "$tool" dial --kind 15 --port 3 --tel-port 1
expect "help" 0 "$tool" --help
expect "command help" 0 "$tool" history --help
contains "command help lists its options" "$out" '^ +--count C'
expect "version" 0 "$tool" version
contains "version text" "$out" '^Kalvix3 2\.0\.0\.6$'

expect "kinds" 0 "$tool" kinds
contains "kinds table" "$out" 'NTT ナンバーディスプレイアダプタ30 +30'
expect "kinds json" 0 "$tool" kinds --json
[ "$(wc -l <"$out")" -eq 46 ] && passed=$((passed + 1)) || { echo "FAIL kinds json: not 46 lines"; failures=$((failures + 1)); }
if grep -Evq '^\{"kind":-?[0-9]+,"name":"[^"]+","historySize":[0-9]+,"dialFlags":[0-9]+,"usbDriver":(true|false)\}$' "$out"; then
  echo "FAIL kinds json schema"; failures=$((failures + 1)); else passed=$((passed + 1)); fi

empty=$(mktemp -d)
KALVIX3_COM_DIR=$empty expect "missing port" 1 "$tool" watch --kind 2 --port 3
contains "missing port explained" "$err" 'result 1: no such device: .*/COM3 \(No such file or directory\)'
KALVIX3_SYSTEM_DIR=$empty expect "missing USB driver" 1 "$tool" history --kind 32
contains "missing driver explained" "$err" 'result 31: a driver file'
expect "kind outside the catalogue" 1 "$tool" watch --kind 9 --port 3
contains "kind explained" "$err" 'result 10'
rmdir "$empty"

printf 'call 0312345678\nsent\nquit\n' >"$err.in"
expect "simulate" 0 bash -c "\"$tool\" simulate --kind 14 --port 5 <\"$err.in\""
contains "simulate says where" "$out" 'export KALVIX3_COM_DIR=.*kalvix3-sim'
rm -f "$err.in"
expect "simulate a USB kind" 2 "$tool" simulate --kind 32

# A stop while a USB dial waits for the handset (never lifted here) cancels it and closes the
# line; SIGTERM, since a background job of a script ignores SIGINT.
if [ -n "${2:-}" ]; then
  sys=$(mktemp -d); cp "$2" "$sys/ITUSB.DLL"
  KALVIX3_SYSTEM_DIR=$sys SIMUSB_LINE_STATE_ONES=-1 "$tool" dial --kind 32 --tel-port 1 0312345678 >"$out" 2>"$err" &
  dialler=$!
  for _ in $(seq 200); do grep -q 'Ctrl-C cancels' "$err" && break; sleep 0.1; done
  kill -TERM "$dialler"; wait "$dialler"; got=$?
  if [ "$got" -eq 130 ] && grep -q 'dial dialog closed' "$err" && grep -q 'interrupted: line 0 closed' "$err"; then
    passed=$((passed + 1))
  else echo "FAIL a stop cancels a USB dial: exit $got"; sed "s/^/  /" "$err" | head -8; failures=$((failures + 1)); fi
  rm -rf "$sys"
fi

if [ "${KALVIX3_TOOL_DEMO:-1}" = 1 ]; then
  expect "demo" 0 "$tool" demo
  contains "demo summary" "$out" 'expected results arrived'
fi
rm -f "$out" "$err"
echo "$passed passed, $failures failed"
[ "$failures" -eq 0 ]
