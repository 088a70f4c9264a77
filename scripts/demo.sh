#!/usr/bin/env bash
# A demonstration fiscal day: starts the RT server simulator on a free loopback
# port and drives the library through one till's day with qxtill — open, sign
# the example receipts, X report, close, wait for delivery — then proves the
# stored chain with the verifier, and ends with the till's health as support
# staff and monitoring see it. The data root is left in demo-data/.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${QX_DEMO_BUILD:-build}
data="$PWD/demo-data"
till=T01
user=demo
password=demo

rm -rf "$data"
mkdir -p "$data"
log="$data/rtsim.log"
# Made here: the simulator's own redirection may come after the first look.
: >"$log"

"$build/rtsim" --listen 127.0.0.1:0 --user "$user" --password "$password" --log >"$log" 2>&1 &
sim=$!
trap 'kill "$sim" 2>/dev/null; wait "$sim" 2>/dev/null || true' EXIT

port=""
for _ in $(seq 1 100); do
  port=$(sed -n 's/^listening on http:\/\/127\.0\.0\.1:\([0-9]*\).*/\1/p' "$log" | head -n 1)
  [ -n "$port" ] && break
  kill -0 "$sim" 2>/dev/null || { cat "$log"; echo "demo: rtsim did not start" >&2; exit 1; }
  sleep 0.1
done
[ -n "$port" ] || { echo "demo: rtsim did not report its port" >&2; exit 1; }
echo "== RT server simulator listening on 127.0.0.1:$port (its log: $log)"

export QX_SRT_DB="$data"
export QX_PUSHER_PAUSE_MS=${QX_PUSHER_PAUSE_MS:-300}
export QX_QUEUE_WAIT_MS=${QX_QUEUE_WAIT_MS:-1000}

# The library logs in the data root's LogFiles.
echo "== A day of till $till"
"$build/qxtill" \
  open http://127.0.0.1 "$port" "$user" "$password" "$till" \
  sign examples/receipts/*.xml \
  xreport \
  close \
  wait-queue 60

echo
echo "== Verifying the stored chain of $data/$till"
"$build/qxtill" verify "$data/$till"

echo
echo "== The data store is in $data:"
find "$data/$till" -type f | sed "s|$data/||" | sort

echo
echo "== Is the till healthy? (qxtill status; the logs are found below the data root)"
"$build/qxtill" status "$data/$till" | tail -n +2

echo
echo "== What monitoring shows (the first line)"
"$build/qxtill" status "$data/$till" | head -n 1
