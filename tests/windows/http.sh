#!/usr/bin/env bash
# The Windows HTTP client under Wine against local servers: a reply, a refused
# authentication, a server error, a refused connection, and a slow reply
# against the idle limit and against the overall deadline. The failures read
# as on Linux: the status, or status 0 with the transport's text.
#   http.sh WINDOWS_BUILD LINUX_BUILD
set -euo pipefail
win=$1
linux=$2
export WINEPREFIX=${WINEPREFIX:-$win/wineprefix} WINEDEBUG=${WINEDEBUG:--all}
work=$(mktemp -d "$win/http.XXXXXX")
: >"$work/rtsim.log"
"$linux/rtsim" --listen 127.0.0.1:0 --user demo --password demo >"$work/rtsim.log" 2>&1 &
sim=$!
trap 'kill "$sim" 2>/dev/null || true; wait "$sim" 2>/dev/null || true' EXIT
port=""
for _ in $(seq 1 200); do
  port=$(sed -n 's/^listening on http:\/\/127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/rtsim.log" | head -n 1)
  [ -n "$port" ] && break
  sleep 0.05
done
[ -n "$port" ] || { cat "$work/rtsim.log"; exit 1; }
url="http://127.0.0.1:$port/cgi-bin/fpserver.cgi"
control="http://127.0.0.1:$port/rtsim"

failures=0
expect() {  # label pattern [env...] -- args
  local label=$1 pattern=$2
  shift 2
  local line
  line=$(env "$@" | tr -d '\r')
  if [[ "$line" =~ $pattern ]]; then
    echo "ok   $label: $line"
  else
    echo "FAIL $label: $line (expected $pattern)"
    failures=$((failures + 1))
  fi
}
fault() { curl -s -o /dev/null -d "$1" "$control/fault"; }
host() { echo wine "$win/win_http.exe" "$@"; }

expect "reply" '^success=1 status=200 reason=OK waited=1' $(host "$url" demo demo)
expect "wrong password" '^success=0 status=401 reason=Unauthorized waited=1' $(host "$url" demo wrong)
fault 'kind=http&http=500'
expect "server error" '^success=0 status=500 reason=Internal Server Error waited=1' $(host "$url" demo demo)
fault 'kind=delay&ms=20000'
expect "slow reply, idle limit 1 s" '^success=0 status=0 reason=Timeout was reached waited=1 ms=[0-9]{1,4}$' \
  $(host "$url" demo demo 1)
fault 'kind=delay&ms=20000'
expect "slow reply, deadline 1.5 s" '^success=0 status=0 reason=Timeout was reached waited=1 ms=[0-9]{1,4}$' \
  QX_HTTP_DEADLINE_MS=1500 $(host "$url" demo demo)
kill "$sim"
wait "$sim" 2>/dev/null || true
expect "refused connection" "^success=0 status=0 reason=Couldn't connect to server waited=1" $(host "$url" demo demo)
exit $((failures > 0))
