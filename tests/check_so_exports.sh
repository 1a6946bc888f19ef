#!/usr/bin/env bash
# The shared library exports exactly the public entry points and nothing else.
set -euo pipefail
expected="CloseCommLine CloseCommLineEx GetHistory GetHistoryEx GetKalvix3Version GetKinds2 Kalvix3GetLastOpenError Kalvix3SetDialHost KalvixDial KalvixDialEx OpenCommLine OpenCommLineEx _DialForm"
actual=$(nm -D --defined-only "$1" | awk '{print $3}' | grep -v '^$' | sort | tr '\n' ' ' | sed 's/ $//')
if [ "$actual" != "$expected" ]; then
  echo "exports differ"; echo "expected: $expected"; echo "actual:   $actual"; exit 1
fi
echo "exports ok"
