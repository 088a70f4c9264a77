# The Linux RT server simulator for the Wine tests, sourced by their scripts
# (which set $linux to the Linux build directory).
#
# start_simulator LOG [rtsim options...] starts rtsim with the demo account on
# a free loopback port, its output in LOG, and sets port and sim (its pid);
# stop_simulators, the scripts' exit trap, ends every simulator started.
sims=()

start_simulator() {
  local log=$1
  shift
  : >"$log"
  "$linux/rtsim" --listen 127.0.0.1:0 --user demo --password demo "$@" >"$log" 2>&1 &
  sim=$!
  sims+=("$sim")
  port=""
  for _ in $(seq 1 200); do
    port=$(sed -n -E 's/^listening on https?:\/\/127\.0\.0\.1:([0-9]+).*/\1/p' "$log" | head -n 1)
    [ -n "$port" ] && return 0
    sleep 0.05
  done
  cat "$log"
  echo "rtsim did not start"
  exit 1
}

stop_simulators() {
  local pid
  for pid in "${sims[@]}"; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
}
