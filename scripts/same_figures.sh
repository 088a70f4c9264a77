#!/usr/bin/env bash
# Signs the same tie receipts with the x86-64 build and the aarch64 build (under
# qemu's user-mode emulator), each against a fresh simulator, and compares the
# figures each sealed into its receipts byte for byte: every fiscalInformation
# element as stored, less its time stamp. The receipts are made from the tie
# cases of tests/data/money_ties.txt: one share at each of 4, 10, 20 and 22 %
# on a tie base, and receipt discounts and surcharges whose ratio is a tie.
#   scripts/same_figures.sh [X86_BUILD] [AARCH64_BUILD]
set -euo pipefail
cd "$(dirname "$0")/.."
x86=$(realpath "${1:-build}")
arm=$(realpath "${2:-build-aarch64}")
work=$arm/same-figures
rm -rf "$work"
mkdir -p "$work/receipts"

# Receipts: items on VAT 1 (22 %), 2 (10 %), 4 (4 %) and 5 (20 %, set on the
# simulator below); every fourth receipt also carries the discount or
# surcharge of a ratio tie.
awk -v dir="$work/receipts" '
  function item(price, vat) {
    return "<printRecItem operator=\"1\" description=\"ITEM\" quantity=\"1\" unitPrice=\"" price \
           "\" vatID=\"" vat "\" department=\"1\"/>"
  }
  $1 == "vat" && $3 !~ /^-/ { bases[$2, ++count[$2]] = $3 }
  $1 == "ratio" && $3 !~ /^-/ && $3 + $2 > 0 { adj[++ratios] = $2; before[ratios] = $3 }
  END {
    n = count[4]
    for (r in count) if (count[r] < n) n = count[r]
    for (i = 1; i <= n; ++i) {
      body = item(bases[22, i], 1) item(bases[10, i], 2) item(bases[4, i], 4) item(bases[20, i], 5)
      if (i % 4 == 0 && i / 4 <= ratios) {
        # Lines worth the total before the adjustment, then the adjustment.
        k = i / 4
        body = item(before[k], 1) item(bases[4, i], 4) item(bases[20, i], 5)
        body = body "<printRecItemVoid operator=\"1\" description=\"ITEM\" quantity=\"1\" unitPrice=\"" \
               bases[4, i] "\" vatID=\"4\" department=\"1\"/>"
        body = body "<printRecItemVoid operator=\"1\" description=\"ITEM\" quantity=\"1\" unitPrice=\"" \
               bases[20, i] "\" vatID=\"5\" department=\"1\"/>"
        a = adj[k]
        type = a < 0 ? "1" : "6"
        if (a < 0) a = substr(a, 2)
        body = body "<printRecSubtotalAdjustment operator=\"1\" description=\"ADJ\" adjustmentType=\"" \
               type "\" amount=\"" a "\"/>"
      }
      file = sprintf("%s/%03d.xml", dir, i)
      print "<printerFiscalReceipt><beginFiscalReceipt operator=\"1\" docType=\"0\"/>" body \
            "<printRecTotal operator=\"1\" description=\"CASH\" payment=\"100000\" paymentType=\"0\"/>" \
            "<endFiscalReceipt operator=\"1\"/></printerFiscalReceipt>" > file
      close(file)
    }
  }' tests/data/money_ties.txt

sign() {  # label runner...
  local label=$1; shift
  local data=$work/$label log=$work/$label.rtsim.log port=""
  mkdir -p "$data"
  : >"$log"
  "$x86/rtsim" --listen 127.0.0.1:0 --user u --password p --vat 5:2000 >"$log" 2>&1 &
  local sim=$!
  for _ in $(seq 1 100); do
    port=$(sed -n 's/^listening on http:\/\/127\.0\.0\.1:\([0-9]*\).*/\1/p' "$log" | head -n 1)
    [ -n "$port" ] && break
    sleep 0.1
  done
  [ -n "$port" ] || { kill "$sim"; echo "same figures: rtsim did not start" >&2; return 1; }
  (cd "$data" && QX_SRT_DB="$data" QX_PUSHER_PAUSE_MS=20 QX_QUEUE_WAIT_MS=200 \
    "$@" open http://127.0.0.1 "$port" u p T01 sign "$work"/receipts/*.xml wait-queue 120 \
    >"$work/$label.out" 2>&1) || { kill "$sim"; cat "$work/$label.out"; return 1; }
  kill "$sim"
  wait "$sim" 2>/dev/null || true
  find "$data/T01" -name '*.srtd' -printf '%f %p\n' | sort | cut -d' ' -f2 |
    xargs grep -ho '<fiscalInformation [^>]*>' | sed 's/ dateTime="[^"]*"//' >"$work/$label.figures"
}

sign x86-64 "$x86/qxtill"
sign aarch64 qemu-aarch64-static "$arm/qxtill"
receipts=$(ls "$work"/receipts | wc -l)
sealed=$(wc -l <"$work/x86-64.figures")
if [ "$sealed" -ne "$receipts" ] || ! cmp -s "$work/x86-64.figures" "$work/aarch64.figures"; then
  echo "same figures: the x86-64 and aarch64 builds sealed different figures:" >&2
  diff "$work/x86-64.figures" "$work/aarch64.figures" | head -20 >&2
  exit 1
fi
echo "== $receipts tie receipts: x86-64 and aarch64 sealed the same figures, byte for byte"
