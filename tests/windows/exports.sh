#!/usr/bin/env bash
# The export table of a Windows DLL holds exactly OPENTILL, SIGNRECEIPT,
# CLOSETILL and XREPORT at ordinals 2 to 5, undecorated, and the DLL imports
# only system DLLs (no mingw runtime beside it), and of them only functions
# that Windows 7 SP1 exports (the list WINDOWS7): a function newer than that is
# looked up at run time, or the DLL would not load there.
#   exports.sh OBJDUMP DLL WINDOWS7
set -euo pipefail
objdump=$1
dll=$2
windows7=$3
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
# "DLL Name: KERNEL32.dll", then one "vma hint name" line per function.
functions=$(awk '/DLL Name:/ { dll = tolower($3); next }
  dll != "" && /^[[:space:]]*[0-9a-f]+[[:space:]]+[0-9]+[[:space:]]+[A-Za-z_]/ { print dll " " $3 }' \
  <<<"$table" | sort -u)
[ -n "$functions" ] || { echo "no imported functions found in $dll"; status=1; }
unknown=$(comm -23 <(echo "$functions") <(grep -v '^#' "$windows7" | sort -u))
if [ -n "$unknown" ]; then
  echo "$dll imports functions not in Windows 7's list:"; echo "$unknown"
  status=1
fi
[ "$status" -eq 0 ] && echo "$dll: exports and imports as expected"
exit "$status"
