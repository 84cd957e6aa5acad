#!/usr/bin/python3
"""The length of one pass of the real watchdog with 20, 100 and 200 idle
connections, and how often its worker makes progress meanwhile.

The watchdog accepts one connection per pass and polls each connected
client for up to 100 ms, so connections made idle one by one would take
half an hour to reach 200. Instead every connected client is given one
message per pass until all are accepted (each poll then returns at once),
and only then left idle. A probe client then sends five feeds at once; the
worker handles one per pass, so the times of their records in the log are
the pass boundaries.

Prints, per count of idle connections: the pass length (median of four),
the model 100 ms (accept poll) + 100 ms per idle client + 50 ms (sleep), and
the longest gap between two keep-alives (WATCHDOG=1) over those passes: the
watchdog runs with a notification socket of the script's own standing in
for systemd's (WATCHDOG_USEC 400 ms, so progress is checked every 100 ms).

It runs in a network namespace of its own (root), so port 30024 is nobody
else's:
  /usr/bin/python3 scripts/measure_pass.py --build-dir build-bench
"""

import argparse
import datetime
import os
import re
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
from wdharness import (PORT, TIMEOUT_NEVER, config_xml, isolate_network, message, port_is_free,  # noqa: E402
                       stop_process, wait_until, watchdog_env)

PROBE_FEEDS = 5
STAMP = re.compile(rb"^(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}) .*feed process\[Probe\.exe\]!", re.M)


def log_time(stamp):
    parsed = datetime.datetime.strptime(stamp.decode(), "%Y-%m-%d %H:%M:%S.%f")
    return time.mktime(parsed.timetuple()) + parsed.microsecond / 1e6


class KeepAlives(threading.Thread):
    """A stand-in for systemd's notification socket: the times of every
    WATCHDOG=1 it receives."""

    def __init__(self, path):
        super().__init__(daemon=True)
        self.path = path
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(path)
        self.sock.settimeout(0.5)
        self.times = []
        self.done = threading.Event()

    def run(self):
        while not self.done.is_set():
            try:
                if self.sock.recv(256) == b"WATCHDOG=1":
                    self.times.append(time.monotonic())
            except socket.timeout:
                pass

    def longest_gap(self, since):
        times = [t for t in self.times if t >= since]
        return max((b - a for a, b in zip(times, times[1:])), default=float("nan"))

    def stop(self):
        self.done.set()
        self.join(5)
        self.sock.close()


class Log:
    """Counts records as the log grows, reading only what is new."""

    def __init__(self, path):
        self.path = path
        self.offset = 0
        self.text = b""

    def count(self, needle):
        try:
            with open(self.path, "rb") as f:
                f.seek(self.offset)
                new = f.read()
        except OSError:
            new = b""
        self.offset += len(new)
        self.text += new
        return self.text.count(needle)


def measure(bin_dir, idle):
    root = tempfile.mkdtemp(prefix="watchdog-pass-")
    etc = os.path.join(root, "etc")
    os.makedirs(etc)
    with open(os.path.join(etc, "Watchdog.xml"), "w") as f:
        f.write(config_xml())
    log = Log(os.path.join(etc, "log", "Watchdog.log"))
    keepalives = KeepAlives(os.path.join(root, "notify"))
    keepalives.start()
    env = watchdog_env(bin_dir, etc, os.path.join(root, "services"), NOTIFY_SOCKET=keepalives.path,
                       WATCHDOG_USEC=400000)
    env.pop("WATCHDOG_PID", None)
    os.makedirs(env["ZELVIN_SERVICE_DIR"])
    if not wait_until(port_is_free, 60):
        raise RuntimeError("port %d is taken" % PORT)
    proc = subprocess.Popen([os.path.join(bin_dir, "REdodevaz")], env=env,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    clients = []
    try:
        if not wait_until(lambda: log.count(b"WTD: Watchdog SERVER initialize ok") and
                          log.count(b"Process[VADA]"), 30):
            raise RuntimeError("the watchdog did not start")
        started = time.monotonic()
        feed = message(3, "Filler.exe")
        sent = 0
        for n in range(idle):
            # This pass: the new client is accepted, and every client, the new
            # one included, has exactly one message waiting.
            client = socket.create_connection(("127.0.0.1", PORT), timeout=10)
            clients.append(client)
            for c in clients:
                c.sendall(feed)
            sent += len(clients)
            if not wait_until(lambda: log.count(b"server get new client connect!") >= n + 1 and
                              log.count(b"feed process[Filler.exe] is not existed!") >= sent, 60, 0.01):
                raise RuntimeError("client %d was not served" % n)
        filled = time.monotonic() - started

        measuring = time.monotonic()
        probe = socket.create_connection(("127.0.0.1", PORT), timeout=10)
        clients.append(probe)
        probe.sendall(message(1, "Probe.exe", "NoSuchService", 1, TIMEOUT_NEVER) + message(3, "Probe.exe") *
                      PROBE_FEEDS)
        if not wait_until(lambda: log.count(b"feed process[Probe.exe]!") >= PROBE_FEEDS, 60 + idle * 0.6, 0.05):
            raise RuntimeError("the probe's feeds were not all handled")
        stamps = [log_time(s) for s in STAMP.findall(log.text)]
        passes = [b - a for a, b in zip(stamps, stamps[1:])]
        return statistics.median(passes), keepalives.longest_gap(measuring), filled
    finally:
        for c in clients:
            c.close()
        stop_process(proc)
        keepalives.stop()
        subprocess.run(["rm", "-rf", root])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", default="build")
    parser.add_argument("--counts", default="20,100,200")
    args = parser.parse_args()
    why = isolate_network()
    if why:
        print("measure_pass: on the machine's network (%s)" % why)
    bin_dir = os.path.abspath(os.path.join(args.build_dir, "bin"))
    print("| idle connections | pass (median of %d) | model | longest gap between keep-alives | "
          "time to connect them |" % (PROBE_FEEDS - 1))
    print("|---|---|---|---|---|")
    for idle in (int(n) for n in args.counts.split(",")):
        length, gap, filled = measure(bin_dir, idle)
        print("| %d | %.2f s | %.2f s | %.0f ms | %.0f s |"
              % (idle, length, 0.1 + 0.1 * idle + 0.05, 1000 * gap, filled))
        sys.stdout.flush()


if __name__ == "__main__":
    main()
