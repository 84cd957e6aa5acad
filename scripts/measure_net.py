#!/usr/bin/python3
"""Times one `net start` + `net stop` of a folder service, 20 times, and
prints the median: what net itself costs around the settle time.

Usage: /usr/bin/python3 scripts/measure_net.py [--net build/bin/net] [--settle-ms 0]
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
from wdharness import add_service  # noqa: E402

LOOP = "trap 'kill $! 2>/dev/null; exit 0' TERM\nwhile :; do sleep 30 & wait $!; done"
ROUNDS = 20


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--net", default=os.path.join("build", "bin", "net"))
    parser.add_argument("--settle-ms", default="0")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="net-measure-") as services:
        add_service(services, "DUZI", LOOP)
        env = dict(os.environ, ZELVIN_SERVICE_DIR=services, ZELVIN_START_SETTLE_MS=args.settle_ms)
        times = []
        for _ in range(ROUNDS):
            begin = time.perf_counter()
            for verb in ("start", "stop"):
                subprocess.run([args.net, verb, "DUZI"], env=env, check=True, stdout=subprocess.DEVNULL, timeout=60)
            times.append((time.perf_counter() - begin) * 1000)
    print("net start + net stop, settle %s ms: median %.1f ms (min %.1f, max %.1f) of %d"
          % (args.settle_ms, statistics.median(times), min(times), max(times), ROUNDS))


if __name__ == "__main__":
    main()
