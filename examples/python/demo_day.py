#!/usr/bin/env python3
"""A demonstration fiscal day from Python: opens a till, signs the example
receipts, reads an X report, closes the day and waits until the delivery
thread has handed everything to the RT server (or the simulator, rtsim).

    rtsim --listen 127.0.0.1:8080 --user demo --password demo &
    QX_SRT_DB=/tmp/store python3 demo_day.py --port 8080

Exits 0 when every call succeeded, 1 at the first failure.
"""

import argparse
import glob
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from qxrs import Driver  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))


def show(name, code, result=None, error=None):
    print(f"{name} -> {code}")
    if error is not None:
        print(f"  error: {error}")
    if result is not None:
        print(f"  result: {result}")


def queue_is_empty(queue_dir):
    return not os.path.isdir(queue_dir) or not any(
        name.endswith(".srtd") for name in os.listdir(queue_dir))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--address", default="http://127.0.0.1")
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--user", default="demo")
    parser.add_argument("--password", default="demo")
    parser.add_argument("--till", default="T01")
    parser.add_argument("--lib", help="the library file (default: the installed one, or $QX_LIBRARY)")
    parser.add_argument("--receipts", default=os.path.join(HERE, "..", "receipts"))
    parser.add_argument("--wait", type=float, default=60, help="seconds to wait for delivery")
    args = parser.parse_args()

    driver = Driver(args.lib)

    # Text the library hands back is the text given: accents, the euro sign
    # and a character beyond 16 bits (a surrogate pair in UTF-16).
    sample = "Caff\u00e8 \u20ac 1,50 \U0001F600"
    if driver.take_bstr(driver.to_bstr(sample)) != sample:
        print("BSTR conversion does not keep the text", file=sys.stderr)
        return 1

    code, error = driver.open_till(args.address, args.port, args.user, args.password, args.till)
    show("OPENTILL", code, error=error)
    if code != 0:
        return 1
    receipts = sorted(glob.glob(os.path.join(args.receipts, "*.xml")))
    if not receipts:
        print(f"no receipts in {args.receipts}", file=sys.stderr)
        return 1
    for path in receipts:
        with open(path, encoding="utf-8") as f:
            code, result, error = driver.sign_receipt(f.read())
        show(f"SIGNRECEIPT {os.path.basename(path)}", code, result, error)
        if code != 0:
            return 1
    for name, call in (("XREPORT", driver.x_report), ("CLOSETILL", driver.close_till)):
        code, result, error = call()
        show(name, code, result, error)
        if code != 0:
            return 1

    root = os.environ.get("QX_SRT_DB") or "/var/lib/QX_SRT_DB"
    queue_dir = os.path.join(root, args.till, "Queue")
    deadline = time.monotonic() + args.wait
    while not queue_is_empty(queue_dir):
        if time.monotonic() > deadline:
            print(f"the queue {queue_dir} did not drain in {args.wait} s", file=sys.stderr)
            return 1
        time.sleep(0.2)
    print(f"every document of till {args.till} delivered")
    return 0


if __name__ == "__main__":
    sys.exit(main())
