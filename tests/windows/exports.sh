#!/usr/bin/env bash
# The export table of a Windows DLL holds exactly OPENTILL, SIGNRECEIPT,
# CLOSETILL and XREPORT at ordinals 2 to 5, undecorated, and the DLL imports
# only system DLLs (no mingw runtime beside it).
#   exports.sh OBJDUMP DLL
set -euo pipefail
objdump=$1
dll=$2
table=$("$objdump" -p "$dll")
base=$(sed -n 's/.*Ordinal Base \([0-9]*\).*/\1/p' <<<"$table")
# "[   2] CLOSETILL": the index into the address table, then the name.
found=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$table" |
  sed -n 's/^[[:space:]]*\[ *\([0-9]*\)\] \(.*\)$/\1 \2/p' |
  while read -r index name; do echo "$((index + base)) $name"; done | sort -n)
count=$(sed -n 's/^[[:space:]]*Export Address Table[[:space:]]*\([0-9a-fA-F]*\)$/\1/p' <<<"$table" | head -n 1)
expected=$'2 OPENTILL\n3 SIGNRECEIPT\n4 CLOSETILL\n5 XREPORT'
status=0
if [ "$found" != "$expected" ] || [ "$((16#$count))" -ne 4 ]; then
  echo "exports of $dll:"; echo "$found"; echo "address table entries: $count"
  status=1
fi
imports=$(sed -n 's/^[[:space:]]*DLL Name: \(.*\)$/\1/p' <<<"$table" | tr 'A-Z' 'a-z' | sort -u)
for name in $imports; do
  case "$name" in
    kernel32.dll|user32.dll|gdi32.dll|shell32.dll|oleaut32.dll|winhttp.dll|bcrypt.dll|crypt32.dll|msvcrt.dll|advapi32.dll|ws2_32.dll|api-ms-win-*) ;;
    *) echo "$dll imports $name, which is not a system DLL"; status=1 ;;
  esac
done
[ "$status" -eq 0 ] && echo "$dll: exports and imports as expected"
exit "$status"
