#!/usr/bin/env bash
# A Windows host killed at random moments while it signs receipts and closes
# days: after every kill the store verifies and holds every receipt the host
# was told was signed, and the next start goes on from there. At the end the
# queue drains to the server and the store still verifies.
#   crash.sh WINDOWS_BUILD LINUX_BUILD SOURCE_DIR [KILLS]
# QX_CRASH_SEED replays the kill moments of a run (the script prints its seed).
set -euo pipefail
win=$1
linux=$2
source=$3
kills=${4:-8}
export WINEPREFIX=${WINEPREFIX:-$win/wineprefix} WINEDEBUG=${WINEDEBUG:--all}
export QX_PUSHER_PAUSE_MS=200 QX_QUEUE_WAIT_MS=1000
export QX_SRT_DB='C:\QX_SRT_DB\crash'
store="$WINEPREFIX/drive_c/QX_SRT_DB/crash"
rm -rf "$store"
work=$(mktemp -d "$win/crash.XXXXXX")
source "$source/tests/windows/simulator.sh"
trap stop_simulators EXIT
start_simulator "$work/rtsim.log"
receipt="$source/examples/receipts/01-sale-discounts.xml"
seed=${QX_CRASH_SEED:-$$}
RANDOM=$seed
echo "crash.sh: seed $seed"

for round in $(seq 1 "$kills"); do
  (cd "$work" && exec wine "$win/win_host.exe" loop http://127.0.0.1 "$port" demo demo T01 \
    "$receipt") >"$work/host.log" 2>&1 &
  host=$!
  # Wine starts the process in about 0.2 s; the kill comes up to a second later.
  sleep "0.$((RANDOM % 10))$((RANDOM % 10))"
  sleep 0.2
  kill -9 "$host" 2>/dev/null || true
  wait "$host" 2>/dev/null || true
  told=$(tr -d '\r' <"$work/host.log" | grep -o '<Signature>[0-9a-f]\{64\}</Signature>' |
    sed 's/<[^>]*>//g' || true)
  for signature in $told; do
    grep -rqs --include='*.srtd*' "$signature" "$store/T01" ||
      { echo "crash.sh: round $round: receipt $signature was signed but is lost"; exit 1; }
  done
  : >"$work/verify.log"
  if [ -d "$store/T01" ]; then
    "$linux/qxtill" verify "$store/T01" >"$work/verify.log" ||
      { cat "$work/verify.log"; echo "crash.sh: round $round: the store does not verify"; exit 1; }
  fi
  # A kill inside a signing or a closing leaves it for the next opening to finish.
  cut=$(grep -o -E 'signing that did not finish|closing interrupted' "$work/verify.log" || true)
  echo "crash.sh: round $round: $(wc -w <<<"$told") receipts told, the store verifies${cut:+ ($cut)}"
done

# The next start delivers everything the kills left queued.
(cd "$work" && wine "$win/win_host.exe" day http://127.0.0.1 "$port" demo demo T01 \
  'C:\QX_SRT_DB\crash\T01\Queue') | tr -d '\r' | grep -E '^(OPENTILL|queue|FreeLibrary)'
"$linux/qxtill" verify "$store/T01"
