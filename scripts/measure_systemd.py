#!/usr/bin/python3
"""Measurements of the systemd backend against a private `systemd --user`
manager (tools/private_systemd.py; needs root and cgroup2):

- the cost of one status query over sd-bus (bin/systemd_bench, Google
  Benchmark: open, isRegistered, isRunning on a kept connection), for a
  running unit, a unit that does not exist and a manager that is gone;
- the time from a feed timeout's expiry (the seconds boundary of the
  watchdog's monotonic clock after the last feed) to the start of the unit's
  new main process: the real watchdog stops and starts the unit through `net`
  and systemd, and the unit's command writes the time it starts;
- how long `systemctl --user daemon-reexec` leaves the manager away for the
  real watchdog, with 20 and 300 running units: the re-execution drops the
  watchdog's connection, its next query fails, and its retry records how long
  it waited until the manager answered again (the bound of that retry is
  chosen from these figures).

Each sample uses a unit of its own, so every restart is a record's first
(no tolerance cycles). It runs in a network namespace of its own (root), as
the private manager needs root anyway.

Usage: /usr/bin/python3 scripts/measure_systemd.py [--build-dir build] [--samples 8]
"""

import argparse
import os
import re
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


def reexec_gaps(bin_dir, manager, units, rounds):
    """Milliseconds the watchdog's retry waited after each daemon-reexec that
    failed one of its queries, and the milliseconds systemctl took."""
    for i in range(units):
        manager.add_service("Load%03d" % i, "/bin/sleep infinity")
    dependents = ("MySqlqvms80", "DUZI", "VADA")
    for name in dependents:
        manager.add_service(name, "/bin/sleep infinity")
    manager.systemctl("start", *dependents, *["Load%03d" % i for i in range(units)],
                      timeout=300, check=True)
    wd = Watchdog(bin_dir)
    wd.env = manager.client_env(wd.env)
    commands = []
    try:
        wd.start(port_wait=300)
        wd.wait_log(r"Process\[VADA\]")
        for _ in range(rounds):
            started = time.monotonic()
            manager.systemctl("daemon-reexec", check=True)
            commands.append((time.monotonic() - started) * 1000)
            time.sleep(1.5)  # many passes, so one of them meets the dropped connection
        log = wd.log()
    finally:
        wd.close()
        manager.systemctl("stop", "Load*.service", *dependents, timeout=300)
    if "did not answer" in log or "Status changed from running" in log:
        raise RuntimeError("a re-execution was not ridden out:\n" + log[-3000:])
    return [int(ms) for ms in re.findall(r"the service manager answered again after (\d+) ms", log)], commands


def restart_delays(bin_dir, manager, samples):
    wd = Watchdog(bin_dir)
    wd.env = manager.client_env(wd.env)
    wd.allow(*("Sampler%02d" % i for i in range(samples)))
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
    parser.add_argument("--reexec-rounds", type=int, default=8)
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
        gaps = {units: reexec_gaps(bin_dir, manager, units, args.reexec_rounds) for units in (20, 300)}
    finally:
        manager.stop()
    total = [a + b for a, b in zip(detection, restart)]
    print("\nFeed timeout expiry to the unit's new main process, 1000 ms timeout (ms): median (p10, p90, samples)")
    print("  expiry to \"kill process\" (the pass that notices) %s" % spread(detection))
    print("  \"kill process\" to the new main process (net stop, net start, systemd) %s" % spread(restart))
    print("  in all %s, max %.1f" % (spread(total), max(total) if total else float("nan")), flush=True)
    print("\nsystemctl --user daemon-reexec, %d rounds each (ms): median (p10, p90, samples)" % args.reexec_rounds)
    for units, (waited, commands) in gaps.items():
        print("  %d running units: systemctl returns after %s; the watchdog's retry waited %s, max %s"
              % (units, spread(commands), spread(waited), max(waited) if waited else "n/a"), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
