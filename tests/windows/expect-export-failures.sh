#!/usr/bin/env bash
# Runs the export check on a deliberately wrong DLL and requires it to fail with every fault
# named: usage expect-export-failures.sh CHECK OBJDUMP NM DLL ARCHIVE
set -uo pipefail
check=$1
shift
output=$(bash "$check" "$@" 2>&1)
status=$?
echo "$output"
if [ $status -eq 0 ]; then
  echo "SELF-TEST FAIL: the export check accepted a wrong DLL"
  exit 1
fi
missed=0
while read -r expected; do
  if ! grep -qE -- "$expected" <<<"$output"; then
    echo "SELF-TEST FAIL: not reported: $expected"
    missed=1
  fi
done <<'EXPECTED'
^FAIL: missing export KalvixDialEx$
^FAIL: decorated export GetKalvix3Version@4$
^FAIL: unexpected export KalvixExtra$
^FAIL: _DialForm is not data
^FAIL: GetKinds2: expected _GetKinds2@12, found '_GetKinds2@8'$
^FAIL: KalvixDialEx: expected _KalvixDialEx@12, found ''$
^FAIL: _DialForm is not defined as data
^FAIL: imports lib.*\.dll \(not a system DLL\)$
EXPECTED
exit $missed
