#!/usr/bin/env bash
# Checks the shipped 32-bit Kalvix3.dll: usage check-exports.sh OBJDUMP NM DLL ARCHIVE
# - the export table holds exactly the entry points and _DialForm, undecorated;
# - each entry point is code and _DialForm is data;
# - the stdcall argument sizes, read from the decorated names in the library's objects;
# - only system DLLs are imported (the C++ runtime, libgcc and winpthreads are linked in).
set -uo pipefail
objdump=$1 nm=$2 dll=$3 archive=$4

# name and stdcall argument bytes; _DialForm is the exported variable
expected=(
  "GetKalvix3Version 4"
  "GetKinds2 12"
  "OpenCommLine 12"
  "OpenCommLineEx 16"
  "CloseCommLine 0"
  "CloseCommLineEx 4"
  "GetHistory 12"
  "GetHistoryEx 12"
  "KalvixDial 8"
  "KalvixDialEx 12"
)
data_export=_DialForm
system_dlls="KERNEL32.dll USER32.dll GDI32.dll ADVAPI32.dll msvcrt.dll"

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

headers=$("$objdump" -p "$dll") || { echo "FAIL: cannot read $dll"; exit 1; }
sections=$("$objdump" -h "$dll") || { echo "FAIL: cannot read $dll"; exit 1; }

# Export names by ordinal index, and the address of each.
names=$(awk '/^\[Ordinal\/Name Pointer\] Table/ {on=1; next} on && /^$/ {exit}
             on && match($0, /\[ *[0-9]+\] /) {idx=substr($0, RSTART+1, RLENGTH-3)+0;
                                             print idx, substr($0, RSTART+RLENGTH)}' <<<"$headers")
rvas=$(awk '/^Export Address Table -- Ordinal Base/ {on=1; next} on && /^$/ {exit}
            on && /Export RVA/ {gsub(/[\[\]]/, " "); print $1+0, $4}' <<<"$headers")
image_base=$(awk '$1 == "ImageBase" {print $2}' <<<"$headers")
[ -n "$names" ] || fail "no export names found in $dll"

# Section name, start and size of each section (hex), for the address of each export.
section_rows=$(awk '$1 ~ /^[0-9]+$/ && NF >= 6 {print $2, $4, $3}' <<<"$sections")
section_of() { # the section holding an RVA
  local address=$(( 0x$image_base + 0x$1 )) name start size
  while read -r name start size; do
    if (( address >= 0x$start && address < 0x$start + 0x$size )); then
      echo "$name"
      return
    fi
  done <<<"$section_rows"
}

declare -A exported
while read -r index name; do
  [ -n "$name" ] || continue
  exported[$name]=$index
done <<<"$names"

wanted=("$data_export")
for entry in "${expected[@]}"; do wanted+=("${entry%% *}"); done
for name in "${wanted[@]}"; do
  [ -n "${exported[$name]+x}" ] || fail "missing export $name"
done
for name in "${!exported[@]}"; do
  case "$name" in *@*) fail "decorated export $name" ; continue ;; esac
  found=0
  for want in "${wanted[@]}"; do [ "$name" = "$want" ] && found=1; done
  [ $found -eq 1 ] || fail "unexpected export $name"
done

# Code or data: the section each export's address falls in.
for name in "${wanted[@]}"; do
  [ -n "${exported[$name]+x}" ] || continue
  rva=$(awk -v i="${exported[$name]}" '$1 == i {print $2}' <<<"$rvas")
  section=$(section_of "$rva")
  if [ "$name" = "$data_export" ]; then
    case "$section" in .data|.bss) ;; *) fail "$name is not data (section '$section')" ;; esac
  else
    [ "$section" = .text ] || fail "$name is not code (section '$section')"
  fi
done

# stdcall argument sizes: exactly one defined decoration per entry point.
symbols=$("$nm" -g --defined-only "$archive" 2>/dev/null)
for entry in "${expected[@]}"; do
  name=${entry%% *} bytes=${entry##* }
  decorated=$(awk -v n="_$name@" '$2 == "T" && index($3, n) == 1 {print $3}' <<<"$symbols" | sort -u)
  if [ "$decorated" != "_$name@$bytes" ]; then
    fail "$name: expected _$name@$bytes, found '${decorated//$'\n'/ }'"
  fi
done
awk -v n="_$data_export" '$3 == n && $2 ~ /^[BDbd]$/ {found=1} END {exit !found}' <<<"$symbols" ||
  fail "$data_export is not defined as data in $archive"

# Imports: system DLLs only.
while read -r imported; do
  [ -n "$imported" ] || continue
  ok=0
  for allowed in $system_dlls; do [ "${imported,,}" = "${allowed,,}" ] && ok=1; done
  [ $ok -eq 1 ] || fail "imports $imported (not a system DLL)"
done < <(awk '/DLL Name:/ {print $3}' <<<"$headers")

if [ $failures -ne 0 ]; then
  echo "$failures export check(s) failed for $dll"
  exit 1
fi
echo "Exports of $dll: ${#wanted[@]} names, stdcall sizes and imports as expected."
