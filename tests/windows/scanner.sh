#!/usr/bin/env bash
# A virus scanner beside the till: another program opens the till's files
# (queued, claimed and filed documents, counters, journal) for moments without
# letting them be renamed or deleted, while a host sells and the pusher
# delivers. Every receipt reaches the server once, none is set aside, and the
# store verifies.
# A setting the host sets itself after its process started (as .NET's
# Environment.SetEnvironmentVariable does) is obeyed: the data root, and the
# deadline of an exchange with a server that does not answer.
#   scanner.sh WINDOWS_BUILD LINUX_BUILD SOURCE_DIR
set -euo pipefail
win=$1
linux=$2
source=$3
export WINEPREFIX=${WINEPREFIX:-$win/wineprefix} WINEDEBUG=${WINEDEBUG:--all}
export QX_PUSHER_PAUSE_MS=100
work=$(mktemp -d "$win/scanner.XXXXXX")
# A store of this run's own: nothing an earlier run's programs still hold.
name=$(basename "$work")
export QX_SRT_DB="C:\\QX_SRT_DB\\$name"
store="$WINEPREFIX/drive_c/QX_SRT_DB/$name"
stop="$store.stop"
rm -rf "$store" "$stop"
mkdir -p "$store"
source "$source/tests/windows/simulator.sh"
scanner=""
trap 'touch "$stop"; [ -z "$scanner" ] || wait $scanner 2>/dev/null || true; stop_simulators' EXIT
start_simulator "$work/rtsim.log"
control="http://127.0.0.1:$port/rtsim"

receipts=()
for _ in $(seq 1 6); do receipts+=("$source"/examples/receipts/*.xml); done
count=${#receipts[@]}

# One scanner keeps to the queue, where each document waits its turn; one
# goes through the whole store.
mkdir -p "$store/T01/Queue"
(cd "$work" && wine "$win/win_host.exe" scan "$QX_SRT_DB\\T01\\Queue" 200 \
  "$QX_SRT_DB.stop" | tr -d '\r' >"$work/scan.log") &
scanner=$!
(cd "$work" && wine "$win/win_host.exe" scan "$QX_SRT_DB" 50 "$QX_SRT_DB.stop" |
  tr -d '\r' >"$work/scan-all.log") &
scanner="$scanner $!"
(cd "$work" && wine "$win/win_host.exe" day http://127.0.0.1 "$port" demo demo T01 \
  "$QX_SRT_DB\\T01\\Queue" "${receipts[@]}") | tr -d '\r' >"$work/host.log" ||
  { grep -v '^<' "$work/host.log" | tail -20; echo "scanner.sh: the day failed beside the scanner"; exit 1; }
touch "$stop"
# shellcheck disable=SC2086
wait $scanner
scanner=""
cat "$work/scan.log" "$work/scan-all.log"
held=$(sed -n 's/^scanner held \([0-9]*\) files$/\1/p' "$work/scan.log")
[ "${held:-0}" -gt 0 ] || { echo "scanner.sh: the scanner held nothing"; exit 1; }

set_aside=$(find "$store/T01" \( -name '*_duplicate*' -o -path '*/Errors/*' \) -type f | wc -l)
[ "$set_aside" -eq 0 ] || { find "$store/T01" -name '*_duplicate*' -o -path '*/Errors/*'; echo "scanner.sh: documents set aside"; exit 1; }
"$linux/qxtill" verify "$store/T01" | grep -q "VERIFIED: $count receipts in 1 Z reports, 0 problems" ||
  { "$linux/qxtill" verify "$store/T01"; echo "scanner.sh: the store does not verify"; exit 1; }
sent=$(curl -s "$control/requests" | grep -c 'createReceipt' || true)
[ "$sent" -eq "$count" ] || { echo "scanner.sh: $sent receipt deliveries for $count receipts"; exit 1; }
echo "scanner.sh: $count receipts delivered once each beside a scanner"

# The host sets the data root and a short deadline itself; the launching
# environment says otherwise.
curl -s -o /dev/null -d 'kind=delay&ms=30000&count=-1' "$control/fault"
hostset="$store-hostset"
rm -rf "$hostset"
start=$(date +%s%N)
(cd "$work" && QX_HTTP_DEADLINE_MS=120000 wine "$win/win_host.exe" QX_HTTP_DEADLINE_MS=1500 \
  "QX_SRT_DB=$QX_SRT_DB-hostset" day http://127.0.0.1 "$port" demo demo T05 \
  "$QX_SRT_DB-hostset\\T05\\Queue") | tr -d '\r' >"$work/hostset.log" || true
took=$((($(date +%s%N) - start) / 1000000))
curl -s -o /dev/null -d '' "$control/clear"
grep -q '^OPENTILL -> [1-9-]' "$work/hostset.log" ||
  { cat "$work/hostset.log"; echo "scanner.sh: the opening did not fail against a silent server"; exit 1; }
[ "$took" -lt 15000 ] || { echo "scanner.sh: the host's deadline was ignored ($took ms)"; exit 1; }
[ -d "$hostset/T05" ] || { echo "scanner.sh: the host's data root was ignored"; exit 1; }
echo "scanner.sh: the settings the host set were obeyed ($took ms)"
