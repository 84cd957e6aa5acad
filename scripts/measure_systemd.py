#!/usr/bin/python3
"""Measurements of the systemd backend against a private `systemd --user`
manager (tools/private_systemd.py; needs root and cgroup2):

- the cost of one status query over sd-bus (bin/systemd_bench, Google
  Benchmark: open, isRegistered, isRunning on a kept connection), for a
  running unit, a unit that does not exist and a manager that is gone;
- the time from a feed timeout's expiry (the seconds boundary of the
  watchdog's monotonic clock after the last feed) to the start of the unit's
  new main process: the real watchdog stops and starts the unit through `net`
  and systemd, and the unit's command writes the time it starts.

Each sample uses a unit of its own, so every restart is a record's first
(no tolerance cycles). It runs in a network namespace of its own (root), as
the private manager needs root anyway.

Usage: /usr/bin/python3 scripts/measure_systemd.py [--build-dir build] [--samples 8]
"""

import argparse
import os
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tools"))
sys.path.insert(0, HERE)
from measure import spread  # noqa: E402
from private_systemd import PrivateSystemd, Unavailable  # noqa: E402
from wdharness import Watchdog, isolate_network, wait_until  # noqa: E402

# The unit's main process writes when it starts, then feeds for a second and
# stops feeding while it stays alive.
SAMPLER = ("/bin/sh -c 'date +%%s.%%N >> {stamps}; exec {bin}/wdctl keepalive {name}.exe {name} 1000 "
           "--interval 100 --stop-after 1'")


def query_cost(bin_dir, manager, repetitions):
    manager.add_service("BenchRunning", "/bin/sleep infinity")
    manager.systemctl("start", "BenchRunning.service", check=True)
    subprocess.run([os.path.join(bin_dir, "systemd_bench"), "--benchmark_repetitions=%d" % repetitions,
                    "--benchmark_report_aggregates_only=true"], env=manager.env, check=True)
    manager.systemctl("stop", "BenchRunning.service")


def restart_delays(bin_dir, manager, samples):
    wd = Watchdog(bin_dir)
    wd.env = manager.client_env(wd.env)
    detection, restart = [], []
    try:
        wd.start(port_wait=300)
        wd.wait_log(r"Process\[VADA\]")
        # Wall clock minus the monotonic clock the watchdog counts seconds of.
        offset = statistics.median(time.time() - time.monotonic() for _ in range(5))
        for i in range(samples):
            name = "Sampler%02d" % i
            stamps = os.path.join(wd.root, name + ".stamps")
            manager.add_service(name, SAMPLER.format(stamps=stamps, bin=bin_dir, name=name))
            manager.systemctl("start", name + ".service", check=True)
            first = manager.main_pid(name + ".service")
            if not wait_until(lambda: os.path.exists(stamps) and len(open(stamps).read().split()) >= 2, 20, 0.05):
                raise RuntimeError("%s was not restarted; see %s" % (name, wd.log_path))
            second = manager.main_pid(name + ".service")
            manager.systemctl("stop", name + ".service")
            kill = ([t for t, _ in wd.records(r"kill process\[%s.exe\]" % name)] or [0])[0]
            feeds = [t for t, _ in wd.records(r"feed process\[%s.exe\]!" % name) if t < kill]
            mono = max(feeds, default=0) - offset
            if second == first or not feeds or mono - int(mono) < 0.005 or mono - int(mono) > 0.995:
                continue  # unclear, or too near a boundary to tell which second the feed fell in
            expiry = int(mono) + 1 + offset
            started = float(open(stamps).read().split()[1])
            detection.append((kill - expiry) * 1000)
            restart.append((started - kill) * 1000)
    finally:
        wd.close()
    return detection, restart


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", default=os.path.join(HERE, "..", "build"))
    parser.add_argument("--samples", type=int, default=8)
    parser.add_argument("--repetitions", type=int, default=10)
    args = parser.parse_args()
    bin_dir = os.path.abspath(os.path.join(args.build_dir, "bin"))
    for program in ("REdodevaz", "net", "wdctl", "systemd_bench"):
        if not os.access(os.path.join(bin_dir, program), os.X_OK):
            sys.exit("no %s/%s: build with benchmarks first" % (bin_dir, program))
    why = isolate_network()
    if why:
        print("measure_systemd: on the machine's network (%s)" % why)
    try:
        manager = PrivateSystemd().start()
    except Unavailable as why:
        print("systemd measurements skipped: %s" % why)
        return 0
    try:
        print("One status query over sd-bus (open, isRegistered, isRunning), private user manager:", flush=True)
        query_cost(bin_dir, manager, args.repetitions)
        detection, restart = restart_delays(bin_dir, manager, args.samples)
    finally:
        manager.stop()
    total = [a + b for a, b in zip(detection, restart)]
    print("\nFeed timeout expiry to the unit's new main process, 1000 ms timeout (ms): median (p10, p90, samples)")
    print("  expiry to \"kill process\" (the pass that notices) %s" % spread(detection))
    print("  \"kill process\" to the new main process (net stop, net start, systemd) %s" % spread(restart))
    print("  in all %s, max %.1f" % (spread(total), max(total) if total else float("nan")), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
