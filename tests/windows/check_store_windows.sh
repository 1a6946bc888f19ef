#!/usr/bin/env bash
# kalvix3.exe log and phonebook under wine64 on a call log that Linux reads and writes too: the
# same file format both ways, the phonebook's note, a Shift_JIS CSV, the default database.
# Usage: check_store_windows.sh WINE-RUN WINE KALVIX3.EXE
set -uo pipefail
runner=$1 wine=$2 tool=$3
failures=0; passed=0
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" # relative paths: a Windows program takes "/tmp/..." for an option
out=$work/out err=$work/err
ok() { passed=$((passed + 1)); }
fail() { echo "FAIL $*"; sed 's/^/  /' "$out" "$err" | head -8; failures=$((failures + 1)); }
run() { local status=0; "$runner" "$wine" "$tool" "$@" >"$out" 2>"$err" || status=$?; sed -i 's/\r$//' "$out" "$err"; return $status; }
has() { grep -Eq "$2" "$1"; }

# Shift_JIS as a Japanese spreadsheet writes it: 藤沢商店 with the note 常連, and a note over the
# bound (201 characters), which is refused with its row.
{ printf 'number,name,prefix,note\r\n0466-12-3456,\x93\xa1\x91\xf2\x8f\xa4\x93\x58,0,\x8f\xed\x98\x41\r\n'
  printf '0312345678,x,0,%s\r\n' "$(printf 'y%.0s' $(seq 201))"; } >book.csv
run phonebook import book.csv --db calls.db; [ $? -eq 1 ] && has "$err" '201 characters' && ok || fail "a note too long refuses the import"
run phonebook import book.csv --db calls.db --partial && has "$out" '^imported 1 entries, skipped 1' && ok || fail "import --partial"
run phonebook list --db calls.db && has "$out" '^exact   0466123456  藤沢商店  \(常連\)$' && ok || fail "the entry with its note"

if command -v sqlite3 >/dev/null; then
  # Linux reads what Windows wrote, and writes a call as the service stores it.
  [ "$(sqlite3 calls.db "SELECT name || '/' || note FROM phonebook")" = "藤沢商店/常連" ] && ok || fail "Linux reads the phonebook"
  sqlite3 calls.db "INSERT INTO calls(at, utc_offset, site, line_label, line_slot, kind, number, digits,
      reason, name, origin, formatted, number_kind, area, nth) VALUES (1796689800, 540, 'shop', '店舗', 0, 2,
      '0466123456', '0466123456', '', '藤沢商店', 0, '0466-12-3456', 'fixed-line', '藤沢', 1)"
  run log --db calls.db --json &&
    has "$out" '^\{"id":1,"time":"2026-12-08T00:30:00Z","localTime":"2026-12-08T09:30:00\+09:00","site":"shop","line":"店舗","slot":0,"kind":2,"number":"0466123456","reason":null,"name":"藤沢商店","origin":"live","formatted":"0466-12-3456","type":"fixed-line","area":"藤沢","nth":1\}$' &&
    ok || fail "log --json of a call Linux wrote"
  run log --db calls.db --csv && has "$out" '^1,2026-12-08T00:30:00Z,2026-12-08T09:30:00\+09:00,shop,店舗,0,2,0466123456,,藤沢商店,live,0466-12-3456,fixed-line,藤沢,1$' &&
    ok || fail "log --csv"
else
  echo "sqlite3 is not installed: the file shared with Linux is not checked (scripts/deps.sh build installs it)"
fi

# The phonebook exported in Shift_JIS gives the same bytes back.
run phonebook export back.csv --db calls.db --encoding cp932 && grep -q $'0466123456,\x93\xa1\x91\xf2\x8f\xa4\x93\x58,0,\x8f\xed\x98\x41\r' back.csv &&
  ok || fail "export in Shift_JIS"
# Without --db: the service's folder under %ProgramData%.
KALVIX3D_DB= run log; [ $? -eq 1 ] && has "$err" 'ProgramData\\Kalvix3\\calls\.db does not exist' && ok || fail "the default database"

echo "$passed passed, $failures failed"
[ "$failures" -eq 0 ]
