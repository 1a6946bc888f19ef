#!/usr/bin/env bash
# `kalvix3 phonebook` and `kalvix3 log` on a database of their own: the CSV round trip in each
# encoding, broken rows, names code page 932 cannot hold, a read-only file, and the log's
# filters and formats on calls stored as the service stores them.
set -uo pipefail
tool=$1
failures=0; passed=0
dir=$(mktemp -d)
trap 'chmod -R u+w "$dir"; rm -rf "$dir"' EXIT
out=$dir/out; err=$dir/err
expect() { # expect NAME WANTED-STATUS COMMAND...
  local name=$1 want=$2; shift 2
  "$@" >"$out" 2>"$err"; local got=$?
  if [ "$got" -ne "$want" ]; then
    echo "FAIL $name: exit $got, wanted $want"; tail -5 "$out" | sed "s/^/  /"; sed "s/^/  /" "$err" | head -5
    failures=$((failures + 1))
  else passed=$((passed + 1)); fi
}
contains() { # contains NAME FILE PATTERN
  if grep -Eq "$3" "$2"; then passed=$((passed + 1)); else echo "FAIL $1: no /$3/ in $2"; sed "s/^/  /" "$2" | head -5; failures=$((failures + 1)); fi
}
lines() { # lines NAME FILE COUNT
  if [ "$(wc -l <"$2")" -eq "$3" ]; then passed=$((passed + 1)); else echo "FAIL $1: $(wc -l <"$2") lines, wanted $3"; failures=$((failures + 1)); fi
}
export KALVIX3D_DB=$dir/calls.db TZ=JST-9

expect "log without a database" 1 "$tool" log
contains "missing database explained" "$err" 'calls\.db does not exist'

# ---- the phonebook
printf '\xef\xbb\xbfnumber,name,prefix\r\n03-1234-5678,"山田, 商店",0\r\n0120,フリーダイヤル,1\r\n' >"$dir/book.csv"
expect "import UTF-8 with BOM" 0 "$tool" phonebook import "$dir/book.csv"
contains "import counted" "$out" '^imported 2 entries$'
# Code page 932 with two broken rows: nothing is imported unless --partial.
printf '0311111111,\x83\x5c\x83\x6a\x81\x5b\r\nabc,x\r\n0322222222\r\n' >"$dir/broken.csv"
expect "broken rows refused" 1 "$tool" phonebook import "$dir/broken.csv"
contains "broken row 2" "$err" "broken\.csv:2: the number \"abc\""
contains "broken row 3" "$err" 'broken\.csv:3: 1 field'
expect "list after the refusal" 0 "$tool" phonebook list --json
lines "nothing imported" "$out" 2
expect "broken rows, --partial" 0 "$tool" phonebook import --partial "$dir/broken.csv"
contains "partial counted" "$out" 'imported 1 entries, skipped 2 broken rows'
expect "list" 0 "$tool" phonebook --db "$KALVIX3D_DB" list
cp "$out" "$dir/book.list"
contains "code page 932 name" "$dir/book.list" '^exact   0311111111  ソニー$'
contains "prefix rule" "$dir/book.list" '^prefix  0120  フリーダイヤル$'
for encoding in utf8 utf8-bom cp932; do
  expect "export $encoding" 0 "$tool" phonebook export "$dir/$encoding.csv" --encoding "$encoding"
  expect "import $encoding elsewhere" 0 "$tool" phonebook --db "$dir/$encoding.db" import "$dir/$encoding.csv"
  expect "list $encoding" 0 "$tool" phonebook list --db "$dir/$encoding.db"
  if cmp -s "$out" "$dir/book.list"; then passed=$((passed + 1)); else
    echo "FAIL round trip $encoding:"; diff "$dir/book.list" "$out" | sed 's/^/  /'; failures=$((failures + 1)); fi
done
expect "a Hangul name" 0 "$tool" phonebook add 0333333333 김민준
expect "code page 932 cannot hold it" 1 "$tool" phonebook export "$dir/hangul.csv" --encoding cp932
contains "unwritable name reported" "$err" '0333333333 "김민준"'
[ ! -e "$dir/hangul.csv" ] && passed=$((passed + 1)) || { echo "FAIL: a refused export wrote a file"; failures=$((failures + 1)); }
expect "a name that is not UTF-8" 1 "$tool" phonebook add 0344444444 $'\xff\xfe'
contains "not UTF-8 explained" "$err" 'not valid UTF-8'
expect "a note" 0 "$tool" phonebook add 0466123456 藤沢商店 --note "常連・領収書必要"
expect "a note too long for a card" 1 "$tool" phonebook add 0466123456 藤沢商店 --note "$(printf 'x%.0s' $(seq 201))"
contains "too long explained" "$err" '201 characters; at most 200'
expect "the name replaced, the note kept" 0 "$tool" phonebook add 0466-12-3456 "藤沢商店 本店"
expect "list the note" 0 "$tool" phonebook list
contains "note listed" "$out" '^exact   0466123456  藤沢商店 本店  \(常連・領収書必要\)$'
expect "remove a prefix rule" 0 "$tool" phonebook remove 0120 --prefix
expect "remove it again" 1 "$tool" phonebook remove 0120 --prefix
expect "unknown action" 2 "$tool" phonebook frobnicate

# ---- the log: three calls as the service stores them (times: 09:30 and 18:00 on the 8th,
# 10:00 on the 9th, Japan time)
if command -v sqlite3 >/dev/null; then
  sqlite3 "$KALVIX3D_DB" "INSERT INTO calls(at, utc_offset, site, line_label, line_slot, kind, number,
      digits, reason, name, origin, formatted, number_kind, area, nth) VALUES
      (1796689800, 540, 'shop', '店舗', 0, 30, '0312345678', '0312345678', '', '山田, 商店', 0,
       '03-1234-5678', 'fixed-line', '東京', 1),
      (1796720400, 540, 'shop', '店舗', 0, 30, 'P', '', 'withheld', '', 0, 'P', 'unknown', '', 0),
      (1796778000, 540, 'shop', 'FAX', 1, 30, '0120444444', '0120444444', '', 'フリーダイヤル', 1,
       '0120-444-444', 'free-dial', '', 1)"
  expect "log" 0 "$tool" log
  lines "log lists all" "$out" 3
  contains "newest first" <(head -1 "$out") '^3  2026-12-09 10:00:00  FAX  0120-444-444  フリーダイヤル  \[imported\]$'
  contains "grouped, with its area" "$out" '^1  2026-12-08 09:30:00  店舗  03-1234-5678 東京  山田, 商店$'
  contains "reason in words" "$out" '^2  2026-12-08 18:00:00  店舗  P \(withheld\)$'
  expect "log by number" 0 "$tool" log --number 1234-56
  lines "one call has 123456" "$out" 1
  expect "log by letter" 0 "$tool" log --number P
  contains "withheld found" "$out" '^2 '
  expect "log of one local day" 0 "$tool" log --since 2026-12-08 --until 2026-12-08
  lines "two calls that day" "$out" 2
  expect "log since a local time" 0 "$tool" log --since "2026-12-08 12:00"
  lines "two calls since noon" "$out" 2
  expect "log json" 0 "$tool" log --json --limit 1
  contains "json object" "$out" '^\{"id":3,"time":"2026-12-09T01:00:00Z","localTime":"2026-12-09T10:00:00\+09:00","site":"shop","line":"FAX","slot":1,"kind":30,"number":"0120444444","reason":null,"name":"フリーダイヤル","origin":"imported","formatted":"0120-444-444","type":"free-dial","area":null,"nth":1\}$'
  expect "log csv" 0 "$tool" log --csv
  lines "csv header and rows" "$out" 4
  contains "csv quoting" "$out" '^1,2026-12-08T00:30:00Z,2026-12-08T09:30:00\+09:00,shop,店舗,0,30,0312345678,,"山田, 商店",live,03-1234-5678,fixed-line,東京,1$'
  expect "bad date" 2 "$tool" log --since 2026-12-32
else
  echo "sqlite3 is not installed: the log's listing is not checked (scripts/deps.sh build installs it)"
fi

# A database the service may not write: changes refused and said why, reading still works.
chmod 0444 "$KALVIX3D_DB"
expect "read-only database refused" 1 "$tool" phonebook add 0355555555 "田中"
contains "read-only explained" "$err" 'is read-only'
expect "read-only database read" 0 "$tool" phonebook list

echo "$passed passed, $failures failed"
[ "$failures" -eq 0 ]
