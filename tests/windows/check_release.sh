#!/usr/bin/env bash
# The Windows release archive: made by CPack from both MinGW build trees, it holds exactly what
# a Windows host developer needs, its 32-bit Kalvix3.dll passes the export checks, each folder's
# programs are of its architecture, and the 64-bit kalvix3.exe runs its demo as unpacked (the
# stand-in beside it) under wine64.
# Usage: check_release.sh SOURCE WIN32-TREE WIN64-TREE OBJDUMP32 NM32 WINE-RUN WINE
set -uo pipefail
source=$1 tree32=$2 tree64=$3 objdump32=$4 nm32=$5 runner=$6 wine=$7
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0; passed=0
ok() { passed=$((passed + 1)); }
fail() { echo "FAIL $*"; failures=$((failures + 1)); }

for tree in "$tree32" "$tree32/kalvix3.exe"; do
  [ -e "$tree" ] || { echo "FAIL: $tree is missing: build the mingw32 preset first (scripts/test.sh does)"; exit 1; }
done
cmake -S "$source/cmake/release-windows" -B "$work/build" -DKALVIX3_WIN32_BUILD="$tree32" \
  -DKALVIX3_WIN64_BUILD="$tree64" >"$work/log" 2>&1 &&
  cmake --build "$work/build" --target package >>"$work/log" 2>&1 ||
  { cat "$work/log"; echo "FAIL: no archive"; exit 1; }
zip=$(ls "$work"/build/Kalvix3-*-windows.zip)
top=$(basename "$zip" .zip)

expected="README.txt include/ include/kalvix3.h include/simusb.h"
for arch in x86 x64; do
  expected+=" $arch/ $arch/Kalvix3.dll $arch/kalvix3.exe $arch/libKalvix3.dll.a $arch/Kalvix3.def"
  expected+=" $arch/stand-in/ $arch/stand-in/ITUSB.DLL"
done
want=$(for f in $expected; do echo "$top/$f"; done)
got=$(unzip -Z1 "$zip")
[ "$(sort <<<"$want")" = "$(sort <<<"$got")" ] && ok ||
  fail "archive contents: $(diff <(sort <<<"$want") <(sort <<<"$got") | grep '^[<>]' | tr '\n' ' ')"

unzip -q "$zip" -d "$work/unpacked"
root=$work/unpacked/$top
bash "$source/cmake/check-exports.sh" "$objdump32" "$nm32" "$root/x86/Kalvix3.dll" \
  "$tree32/libkalvix3_static.a" && ok || fail "the 32-bit Kalvix3.dll's exports"
# The machine field of a PE file's header: 014c x86, 8664 x64.
machine() {
  local header
  header=$(od -An -tu4 -j60 -N4 "$1" | tr -d ' ')
  od -An -tx2 -j$((header + 4)) -N2 "$1" | tr -d ' '
}
for file in Kalvix3.dll kalvix3.exe stand-in/ITUSB.DLL; do
  [ "$(machine "$root/x86/$file")" = 014c ] && ok || fail "x86/$file is not 32-bit"
  [ "$(machine "$root/x64/$file")" = 8664 ] && ok || fail "x64/$file is not 64-bit"
done
grep -q 'GetKinds2@12' "$root/x86/Kalvix3.def" && grep -qx '    GetKinds2' "$root/x64/Kalvix3.def" &&
  ok || fail "the .def files"

# As unpacked: the demo finds stand-in\ITUSB.DLL beside the program and runs the USB adapters.
# The system directory must hold no ITUSB.DLL (the demo never replaces one); it is left so.
prefix=${WINEPREFIX:-$tree64/wine-prefix}
rm -f "$prefix/drive_c/windows/system32/ITUSB.DLL"
"$runner" "$wine" "$root/x64/kalvix3.exe" demo >"$work/demo" 2>&1 &&
  grep -Eq '^10 of 10 expected results arrived' <(tr -d '\r' <"$work/demo") && ok ||
  { fail "the unpacked x64 demo"; tail -5 "$work/demo"; }
[ ! -e "$prefix/drive_c/windows/system32/ITUSB.DLL" ] && ok || fail "the demo left its ITUSB.DLL behind"

echo "$passed passed, $failures failed"
[ "$failures" -eq 0 ]
