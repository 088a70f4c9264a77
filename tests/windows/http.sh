#!/usr/bin/env bash
# The Windows HTTP client under Wine against local servers: a reply, a refused
# authentication, a server error, a refused connection, and a slow reply
# against the idle limit and against the overall deadline, and servers that
# drip their headers or their body against the deadline. The failures read
# as on Linux: the status, or status 0 with the transport's text. Then HTTPS
# with a shop's own CA named by QX_TLS_CA_FILE: trusted only for a certificate
# it signed, for the right host name, under the same deadline, and nothing
# secret reaches a server before its certificate passed.
#   http.sh WINDOWS_BUILD LINUX_BUILD
set -euo pipefail
win=$1
linux=$2
export WINEPREFIX=${WINEPREFIX:-$win/wineprefix} WINEDEBUG=${WINEDEBUG:--all}
work=$(mktemp -d "$win/http.XXXXXX")
source "$(dirname "$0")/simulator.sh"
listener=""
trap 'stop_simulators; [ -z "$listener" ] || kill "$listener" 2>/dev/null || true' EXIT
start_simulator "$work/rtsim.log"
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
# Servers that drip: the headers without end, or the body a byte at a time.
# The deadline counts from the start of the exchange, whatever arrives.
python3 "$(dirname "$0")/drip_server.py" >"$work/drip.port" &
listener=$!
for _ in $(seq 1 200); do [ -s "$work/drip.port" ] && break; sleep 0.05; done
drip="http://127.0.0.1:$(head -n 1 "$work/drip.port")"
for path in headers body; do
  expect "dripping $path, deadline 3 s" '^success=0 status=(0|200) reason=Timeout was reached waited=1 ms=[2-7][0-9]{3}$' \
    QX_HTTP_DEADLINE_MS=3000 $(host "$drip/$path" demo demo)
done
kill "$listener"
wait "$listener" 2>/dev/null || true
listener=""
expect "reply after the dripping ones" '^success=1 status=200 reason=OK waited=1' $(host "$url" demo demo)
kill "$sim"
wait "$sim" 2>/dev/null || true
expect "refused connection" "^success=0 status=0 reason=Couldn't connect to server waited=1" $(host "$url" demo demo)

# Certificates made here: a CA, a server certificate it signs for
# "localhost" (Wine's check does not match IP addresses), and a stranger CA.
tls=$work/tls
mkdir "$tls"
for ca in ca stranger; do
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=$ca" -keyout "$tls/$ca.key" \
    -out "$tls/$ca.pem" -addext basicConstraints=critical,CA:TRUE \
    -addext keyUsage=critical,keyCertSign 2>/dev/null
done
openssl req -newkey rsa:2048 -nodes -subj /CN=localhost -keyout "$tls/server.key" \
  -out "$tls/server.csr" 2>/dev/null
printf 'subjectAltName=DNS:localhost\nextendedKeyUsage=serverAuth\n' >"$tls/server.ext"
openssl x509 -req -days 2 -in "$tls/server.csr" -CA "$tls/ca.pem" -CAkey "$tls/ca.key" \
  -CAcreateserial -extfile "$tls/server.ext" -out "$tls/server.pem" 2>/dev/null
windows() { echo "Z:${1//\//\\}"; }

# The simulator over HTTPS, serving two requests per connection.
start_simulator "$work/rtsim.log" --cert "$tls/server.pem" --key "$tls/server.key" \
  --keep-alive 2
trusted="QX_TLS_CA_FILE=$(windows "$tls/ca.pem")"
refused='^success=0 status=0 reason=SSL peer certificate or SSH remote key was not OK'
path=/cgi-bin/fpserver.cgi
expect "https, system trust only" "$refused.*name it or its CA in QX_TLS_CA_FILE\)" \
  $(host "https://localhost:$port$path" demo demo)
expect "https, own CA" '^success=1 status=200 reason=OK waited=1' \
  "$trusted" $(host "https://localhost:$port$path" demo demo)
expect "https, own CA, other host name" "$refused.*not trusted by the system nor by QX_TLS_CA_FILE" \
  "$trusted" $(host "https://127.0.0.1:$port$path" demo demo)
expect "https, CA file missing" '^success=0 status=0 reason=Problem with the SSL CA cert.*not a readable PEM file' \
  "QX_TLS_CA_FILE=$(windows "$tls/missing.pem")" $(host "https://localhost:$port$path" demo demo)
kill "$sim"
wait "$sim" 2>/dev/null || true

# The checked exchange keeps the deadline too, on its bare first request.
python3 "$(dirname "$0")/drip_server.py" "$tls/server.pem" "$tls/server.key" >"$work/drip-tls.port" &
listener=$!
for _ in $(seq 1 200); do [ -s "$work/drip-tls.port" ] && break; sleep 0.05; done
drip="https://localhost:$(head -n 1 "$work/drip-tls.port")"
for path in headers body; do
  expect "https, own CA, dripping $path, deadline 3 s" \
    '^success=0 status=(0|200) reason=Timeout was reached waited=1 ms=[2-7][0-9]{3}$' \
    "$trusted" QX_HTTP_DEADLINE_MS=3000 $(host "$drip/$path" demo demo)
done
kill "$listener"
wait "$listener" 2>/dev/null || true
listener=""

# A listener with the server certificate that logs what it receives and
# answers the first request with a 401 that closes the connection. Sets
# listener and port.
listen() {
  rm -f "$work/answer"
  mkfifo "$work/answer"
  exec 3<>"$work/answer"
  : >"$work/received"
  openssl s_server -accept 127.0.0.1:0 -cert "$tls/server.pem" -key "$tls/server.key" <&3 \
    >"$work/received" 2>&1 &
  listener=$!
  port=""
  for _ in $(seq 1 200); do
    port=$(sed -n 's/^ACCEPT 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/received" | head -n 1)
    [ -n "$port" ] && break
    sleep 0.05
  done
  (
    for _ in $(seq 1 200); do grep -q '^POST ' "$work/received" && break; sleep 0.05; done
    printf 'HTTP/1.1 401 Unauthorized\r\nContent-Length: 0\r\nConnection: close\r\n\r\n' >&3
  ) &
}
# ends the listener; fails the test unless it saw COUNT requests and neither
# the credentials nor the body
received_nothing_secret() {
  local label=$1 count=$2
  kill "$listener" 2>/dev/null || true
  wait "$listener" 2>/dev/null || true
  listener=""
  exec 3>&-
  if [ "$(grep -c '^POST ' "$work/received")" -ne "$count" ] ||
    grep -qi 'authorization\|soapenv' "$work/received"; then
    echo "FAIL $label: the listener received:"
    grep -aE '^(POST |[A-Z][A-Za-z-]*: )' "$work/received"
    failures=$((failures + 1))
  fi
}

# Another CA's certificate: only the bare first request may reach it.
listen
expect "https, stranger CA" "$refused: SSL certificate problem: unable to get local issuer certificate" \
  "QX_TLS_CA_FILE=$(windows "$tls/stranger.pem")" $(host "https://localhost:$port$path" demo demo)
received_nothing_secret "https, stranger CA" 1

# A server that closes the checked connection: the real request would go on
# a new one, unchecked when its headers are built, so it goes out without the
# credentials and is abandoned.
listen
expect "https, own CA, connection closed" '^success=0 status=0 reason=Server did not keep the connection' \
  "$trusted" $(host "https://localhost:$port$path" demo demo)
received_nothing_secret "https, own CA, connection closed" 2
exit $((failures > 0))
