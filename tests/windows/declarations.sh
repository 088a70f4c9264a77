#!/usr/bin/env bash
# The Delphi and C# declarations of the examples agree with the C header:
# each entry point with the same number of arguments, the same output
# (pointer-to-BSTR) positions, stdcall; and the C host compiles against the
# header for x86 and x86-64 Windows without a warning.
#   declarations.sh SOURCE_DIR
set -euo pipefail
source=$1
header="$source/include/QXRS_VURUV90_20.h"
pas="$source/examples/QXRS_VURUV90_20.pas"
cs="$source/examples/QXRS_VURUV90_20.cs"
status=0

# One declaration as a line of argument kinds: "in" or "out" per argument.
c_kinds() {
  tr '\n' ' ' <"$header" | grep -o "QXRS_CALL $1([^)]*)" | sed 's/.*(//; s/)//' | tr ',' '\n' |
    sed -E 's/.*BSTR\*.*/out/; s/.*(BSTR|int32_t).*/in/' | tr '\n' ' '
}
pas_kinds() {
  tr '\n' ' ' <"$pas" | grep -o "function $1([^)]*)[^;]*; *stdcall" | sed 's/.*(//; s/).*//' |
    tr ';' '\n' | while read -r group; do
      names=${group%%:*}
      kind=in
      [[ $names == out* ]] && kind=out
      names=${names#out }
      for _ in $(tr ',' ' ' <<<"$names"); do printf '%s ' "$kind"; done
    done
}
cs_kinds() {
  tr '\n' ' ' <"$cs" | grep -o "StdCall[^]]*)\] *public static extern int $1([^;]*);" |
    sed 's/.*'"$1"'(//; s/);//' | tr ',' '\n' | sed -E 's/.* out .*/out/; s/^.*(string|int) a.*/in/' | tr '\n' ' '
}
for name in OPENTILL SIGNRECEIPT CLOSETILL XREPORT; do
  c=$(c_kinds "$name") p=$(pas_kinds "$name") s=$(cs_kinds "$name")
  if [ -z "$c" ] || [ "$c" != "$p" ] || [ "$c" != "$s" ]; then
    echo "$name: C [$c] Delphi [$p] C# [$s]"
    status=1
  fi
done
for compiler in x86_64-w64-mingw32-gcc-posix i686-w64-mingw32-gcc-posix; do
  "$compiler" -std=c11 -Wall -Wextra -Werror -I"$source/include" -c "$source/examples/host_example.c" \
    -o /dev/null || { echo "the C host does not compile with $compiler"; status=1; }
done
[ "$status" -eq 0 ] && echo "declarations agree with the header; the C host compiles for x86 and x86-64"
exit "$status"
