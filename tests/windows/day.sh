#!/usr/bin/env bash
# A fiscal day of a Windows host under Wine against the Linux RT server
# simulator: the DLL writes its store below C:\QX_SRT_DB in the Wine prefix,
# delivers every document, and the Linux verifier and the Windows qxtill prove
# the stored chain.
# The same receipts signed by the Linux library give the same queue texts
# apart from the date and the seal that depends on it.
#   day.sh WINDOWS_BUILD LINUX_BUILD SOURCE_DIR
set -euo pipefail
win=$1
linux=$2
source=$3
export WINEPREFIX=${WINEPREFIX:-$win/wineprefix} WINEDEBUG=${WINEDEBUG:--all}
unset QX_SRT_DB
export QX_PUSHER_PAUSE_MS=300 QX_QUEUE_WAIT_MS=1000
for tool in "$linux/rtsim" "$linux/qxtill"; do
  [ -x "$tool" ] || { echo "day.sh: $tool is missing (build the Linux tree first)"; exit 1; }
done

work=$(mktemp -d "$win/day.XXXXXX")
store="$WINEPREFIX/drive_c/QX_SRT_DB"
rm -rf "$store/T01"
source "$source/tests/windows/simulator.sh"
trap stop_simulators EXIT

start_simulator "$work/rtsim-windows.log" --log
windows_port=$port
receipts=("$source"/examples/receipts/*.xml)
# The pusher's log goes below the current directory.
(cd "$work" && wine "$win/win_host.exe" day http://127.0.0.1 "$port" demo demo T01 \
  'C:\QX_SRT_DB\T01\Queue' "${receipts[@]}") | tr -d '\r' | tee "$work/host.log"
"$linux/qxtill" verify "$store/T01"
# The same store through the Windows qxtill, which loads nothing to verify;
# its status report reads the pusher's log below the host's directory.
(cd "$work" && wine "$win/qxtill.exe" verify 'C:\QX_SRT_DB\T01') | tr -d '\r' >"$work/verify.log" ||
  { cat "$work/verify.log"; echo "day.sh: qxtill.exe verify failed"; exit 1; }
(cd "$work" && wine "$win/qxtill.exe" status 'C:\QX_SRT_DB\T01') | tr -d '\r' >"$work/status.log" ||
  { cat "$work/status.log"; echo "day.sh: qxtill.exe status is not OK"; exit 1; }
# The same store below a folder whose name the ANSI code page cannot hold.
rm -rf "$WINEPREFIX/drive_c/Ωstore"
mkdir -p "$WINEPREFIX/drive_c/Ωstore"
cp -r "$store/T01" "$WINEPREFIX/drive_c/Ωstore/"
for step in verify status; do
  (cd "$work" && LC_ALL=C.UTF-8 wine "$win/qxtill.exe" "$step" 'C:\Ωstore\T01') | tr -d '\r' \
    >"$work/unicode.log" || { cat "$work/unicode.log"; echo "day.sh: qxtill.exe $step fails below C:\Ωstore"; exit 1; }
done

# The Linux library's day with the same receipts, on a store and a server of
# its own.
start_simulator "$work/rtsim-linux.log" --log
export QX_SRT_DB="$work/linux-store"
(cd "$work" && "$linux/qxtill" open http://127.0.0.1 "$port" demo demo T01 sign "${receipts[@]}" \
  xreport close wait-queue 60) >"$work/linux.log"
# Every file of the store by its path and text, with the moments masked: ISO
# times, the seals and fingerprints that depend on them, and runs of eight or
# more digits (day folders, journal stamps).
masked() {
  (cd "$1" && find . -type f | sort | while read -r file; do
    echo "== $file"
    # The owner lock names the process that held the store: never the same.
    [ "${file##*/}" = QX_owner.lock ] || tr -d '\r' <"$file"
    echo
  done) | sed -E 's/[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9:.]*Z?/TIME/g; s/[0-9a-f]{64}/SEAL/g; s/[0-9A-Z]*[0-9]{8,}[0-9A-Z]*/NUMBER/g'
}
if ! diff <(masked "$store/T01") <(masked "$QX_SRT_DB/T01") >"$work/diff.txt"; then
  head -40 "$work/diff.txt"
  echo "day.sh: the Windows and the Linux store differ"
  exit 1
fi
grep -E '^(OPENTILL|SIGNRECEIPT|XREPORT|CLOSETILL)' "$work/host.log" | grep -v -- '-> 0$' && exit 1
# The store's folders are for the till's account alone; Wine keeps that as
# folder modes without rights for everyone else.
rights=$(wine "$win/win_host.exe" rights 'C:\QX_SRT_DB\T01\Queue' | tr -d '\r')
case "$rights" in
  D:* ) [[ "$rights" != *";;;WD)"* ]] || { echo "day.sh: the queue is open to everyone: $rights"; exit 1; } ;;
  * ) echo "day.sh: the queue's rights cannot be read: $rights"; exit 1 ;;
esac

# The Windows qxtill as the host of a second day: it loads the DLL beside it,
# passes and frees oleaut32's strings, and the chain then holds both days.
(cd "$work" && env -u QX_SRT_DB wine "$win/qxtill.exe" open http://127.0.0.1 "$windows_port" \
  demo demo T01 sign "${receipts[0]}" close wait-queue 60) | tr -d '\r' >"$work/qxtill-day.log" ||
  { cat "$work/qxtill-day.log"; echo "day.sh: qxtill.exe's day failed"; exit 1; }
"$linux/qxtill" verify "$store/T01" | grep -q 'VERIFIED: 5 receipts in 2 Z reports, 0 problems' ||
  { "$linux/qxtill" verify "$store/T01"; echo "day.sh: qxtill.exe's day does not verify"; exit 1; }
echo "day.sh: the Windows day verifies and matches the Linux one"

# Ids that Windows would take for the folder of till T01, or for no folder of
# their own, are refused at the opening and leave the store as it was.
for id in t01 'T01.' 'T01 ' 'CON' 'T01:x'; do
  if (cd "$work" && env -u QX_SRT_DB wine "$win/qxtill.exe" open http://127.0.0.1 "$windows_port" \
    demo demo "$id" sign "${receipts[0]}") 2>&1 | tr -d '\r' >"$work/refused.log"; then
    cat "$work/refused.log"; echo "day.sh: till id '$id' was accepted"; exit 1
  fi
  grep -q "Till id \"\?$id\"\? .*this system" "$work/refused.log" ||
    { cat "$work/refused.log"; echo "day.sh: till id '$id' refused without its reason"; exit 1; }
done
"$linux/qxtill" verify "$store/T01" | grep -q 'VERIFIED: 5 receipts in 2 Z reports, 0 problems' ||
  { "$linux/qxtill" verify "$store/T01"; echo "day.sh: a refused till id changed the store"; exit 1; }
echo "day.sh: ids Windows cannot keep apart are refused"
