#!/usr/bin/env bash
# A Windows host ends its process while the pusher is delivering a receipt to
# a server that does not answer: the process ends at once, the document stays
# queued, and the next start delivers it; the store then verifies.
# A host that frees the library in the middle of a delivery gets FreeLibrary
# back at once while the delivery goes on.
#   exit.sh WINDOWS_BUILD LINUX_BUILD SOURCE_DIR
set -euo pipefail
win=$1
linux=$2
source=$3
export WINEPREFIX=${WINEPREFIX:-$win/wineprefix} WINEDEBUG=${WINEDEBUG:--all}
export QX_PUSHER_PAUSE_MS=200 QX_QUEUE_WAIT_MS=1000
work=$(mktemp -d "$win/exit.XXXXXX")
export QX_SRT_DB='C:\QX_SRT_DB\exit'
store="$WINEPREFIX/drive_c/QX_SRT_DB/exit"
rm -rf "$store"
source "$source/tests/windows/simulator.sh"
trap stop_simulators EXIT
start_simulator "$work/rtsim.log" --log
control="http://127.0.0.1:$port/rtsim"
receipt="$source/examples/receipts/01-sale-discounts.xml"

# Every receipt delivery hangs for a minute.
curl -s -o /dev/null -d 'kind=delay&ms=60000&match=createReceipt&count=-1' "$control/fault"
start=$(date +%s%N)
status=0
(cd "$work" && QX_EXIT_AFTER_MS=1500 wine "$win/win_host.exe" exit http://127.0.0.1 "$port" demo demo T01 \
  "$receipt") | tr -d '\r' >"$work/host.log" || status=$?
took=$((($(date +%s%N) - start) / 1000000))
cat "$work/host.log"
echo "process ended with $status after $took ms"
[ "$status" -eq 7 ] || { echo "exit.sh: the host did not reach its exit"; exit 1; }
[ "$took" -lt 10000 ] || { echo "exit.sh: the process did not end at once"; exit 1; }
grep -q 'createReceipt' "$work/rtsim.log" || { echo "exit.sh: no delivery was under way"; exit 1; }
queued=$(find "$store/T01/Queue" -name '*.srtd' | wc -l)
[ "$queued" -eq 1 ] || { echo "exit.sh: $queued documents queued, expected 1"; exit 1; }

# The pusher's line for the receipt it was sending is in its log.
grep -q 'Queue.*\.srtd' "$work"/LogFiles/RTPusher/RTSPusher_*.log ||
  { echo "exit.sh: the pusher's log lacks the delivery"; exit 1; }

# A failed opening's log line, queued just before the process ends, is in the
# application's log beside the host.
applog="$win/LogFiles/win_host.log"
rm -f "$applog"
(cd "$work" && wine "$win/win_host.exe" exit http://127.0.0.1 "$port" demo wrong T09 "$receipt") |
  tr -d '\r' || true
grep -q 'OPENTILL failed: .*401' "$applog" ||
  { echo "exit.sh: the log line queued before the exit is lost"; exit 1; }

# The next start delivers it.
curl -s -o /dev/null -d '' "$control/clear"
(cd "$work" && wine "$win/win_host.exe" day http://127.0.0.1 "$port" demo demo T01 \
  'C:\QX_SRT_DB\exit\T01\Queue') | tr -d '\r' | tail -n 2
"$linux/qxtill" verify "$store/T01"

# A till switch ends the first till's delivery thread, then the host frees the
# library while the second till's receipt is on its way: FreeLibrary returns at
# once, the library stays mapped for the thread still delivering, and the
# receipt reaches the server. The data root is named in characters the ANSI
# code page cannot hold.
curl -s -o /dev/null -d 'kind=delay&ms=2000&match=createReceipt&count=1' "$control/fault"
unicode="$WINEPREFIX/drive_c/QX_SRT_DB/Città Ω"
rm -rf "$unicode"
(cd "$work" && LC_ALL=C.UTF-8 QX_SRT_DB='C:\QX_SRT_DB\Città Ω' wine "$win/win_host.exe" free \
  http://127.0.0.1 "$port" demo demo T01 T02 'C:\QX_SRT_DB\Città Ω\T02\Queue' "$receipt") |
  tr -d '\r' | tee "$work/free.log"
grep -q 'still mapped' "$work/free.log" || { echo "exit.sh: the library was unloaded"; exit 1; }
"$linux/qxtill" verify "$unicode/T02"

# Exits at varied moments while the queue drains against a server that
# answers, then a closing and an exit a moment later, then a start: every
# receipt and the closure reach the server once, Z report 1 is closed once,
# and no empty Z report 2 follows.
curl -s -o /dev/null -d '' "$control/clear"
for i in $(seq 1 12); do
  close=""
  [ "$i" -eq 12 ] && close=close
  (cd "$work" && QX_EXIT_AFTER_MS=$(((i * 97) % 700)) wine "$win/win_host.exe" exit http://127.0.0.1 \
    "$port" demo demo T03 "$receipt" $close) | tr -d '\r' >"$work/exits.log" || [ $? -eq 7 ] ||
    { cat "$work/exits.log"; echo "exit.sh: exit $i did not sign"; exit 1; }
done
(cd "$work" && wine "$win/qxtill.exe" open http://127.0.0.1 "$port" demo demo T03 \
  wait-queue 60) | tr -d '\r' >"$work/restart.log" ||
  { cat "$work/restart.log"; echo "exit.sh: the start after the exits failed"; exit 1; }
state=$(curl -s "$control/state" | grep '^till T03 ')
echo "$state"
[[ "$state" == *" zRepNumber=2 "*"closedReports=1"* ]] ||
  { echo "exit.sh: Z report 1 was not closed exactly once"; exit 1; }
[ -z "$(find "$store/T03" -name '*_duplicate*' -o -path '*/Errors/*' -type f)" ] ||
  { echo "exit.sh: documents were set aside"; exit 1; }
"$linux/qxtill" verify "$store/T03" | grep -q 'VERIFIED: 12 receipts in 2 Z reports, 0 problems' ||
  { "$linux/qxtill" verify "$store/T03"; echo "exit.sh: the exits left a store that does not verify"; exit 1; }
echo "exit.sh: twelve exits during delivery, each document booked once"
