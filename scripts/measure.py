#!/usr/bin/python3
"""End-to-end measurements of the real watchdog on loopback.

Starts build/bin/REdodevaz with a configuration and a service folder of its
own in a temporary directory (PATH with build/bin first, so it finds `net`),
and prints a table of:

- the interval between supervision cycles with 0, 1, 5 and 20 idle clients,
  beside the model 100 ms (listening poll) + 100 ms per idle client + 50 ms
  (sleep). One cycle is marked by the record "start DUZI int the loop!": the
  service DUZI's run ends at once, so the cycle finds it stopped every time;
- the delay from a feed timeout's expiry (the seconds boundary of the
  watchdog's monotonic clock) to the "kill process" record written just
  before "net stop" is launched;
- resident memory with 1000 registered records;
- CPU used over 30 s with no clients and no services.

It runs in a network namespace of its own (root), so nothing else on the
machine meets its port 30024; elsewhere each watchdog run waits until the
port is free.

Usage: /usr/bin/python3 scripts/measure.py [--build-dir build] [--quick]
"""

import argparse
import os
import re
import statistics
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
from wdharness import TIMEOUT_NEVER, Watchdog, cpu_ticks, isolate_network, message, proc_status  # noqa: E402


def watchdog(bin_dir, services=()):
    """A watchdog with `services` (name, script), quick net commands, and
    its supervision under way."""
    wd = Watchdog(bin_dir, ZELVIN_START_SETTLE_MS=20, ZELVIN_STOP_TIMEOUT_MS=1000)
    for name, script in services:
        wd.add_service(name, script)
    try:
        wd.start(port_wait=300)
        wd.wait_log(r"Process\[DUZI\]|Process\[VADA\]")
    except BaseException:
        wd.close()
        raise
    return wd


def wait_records(wd, pattern, count, timeout):
    wd.logfile.wait(pattern, count, timeout, 0.1)


MARKER = r"start DUZI int the loop!"
ACCEPT = r"server get new client connect!"
CLOSED = r"client socket had closed"


def cycle_intervals(bin_dir, client_counts, passes):
    """Intervals between cycles per idle-client count, and with no clients the
    CPU per cycle of the watchdog and of the commands it starts (ms)."""
    rows = []
    cpu_per_cycle = (float("nan"), float("nan"))
    with watchdog(bin_dir, [("DUZI", "exit 0")]) as wd:
        wait_records(wd, MARKER, 3, 20)
        for clients in client_counts:
            accepted = len(wd.records(ACCEPT))
            closed = len(wd.records(CLOSED))
            sockets = [wd.connect() for _ in range(clients)]
            # One accept per pass; every accepted client then costs its poll.
            wait_records(wd, ACCEPT, accepted + clients, 30 + clients * (0.3 + 0.1 * clients))
            start = len(wd.records(MARKER)) + 1  # the pass under way may be older
            own, commands = cpu_ticks(wd.proc.pid), cpu_ticks(wd.proc.pid, children=True)
            wanted = passes if clients < 10 else max(6, passes // 2)
            model_ms = 100 + 100 * clients + 50
            wait_records(wd, MARKER, start + wanted + 1, 10 + (wanted + 2) * model_ms / 1000 * 2)
            stamps = [t for t, _ in wd.records(MARKER)][start:start + wanted + 1]
            cycles = len(wd.records(MARKER)) - start + 1
            hz = os.sysconf("SC_CLK_TCK")
            if clients == 0:
                cpu_per_cycle = ((cpu_ticks(wd.proc.pid) - own) * 1000 / hz / cycles,
                                 (cpu_ticks(wd.proc.pid, children=True) - commands) * 1000 / hz / cycles)
            gaps = [(b - a) * 1000 for a, b in zip(stamps, stamps[1:])]
            for s in sockets:
                s.close()
            wait_records(wd, CLOSED, closed + clients, 30 + clients)
            rows.append((clients, model_ms, gaps))
    return rows, cpu_per_cycle


def expiry_delays(bin_dir, samples, timeout_ms):
    """Delay from each record's expiry boundary to its "kill process" record."""
    delays = []
    with watchdog(bin_dir) as wd:
        # Wall clock minus monotonic clock (the watchdog's seconds count is
        # whole seconds of CLOCK_MONOTONIC); sampled closely together.
        offset = statistics.median(time.time() - time.monotonic() for _ in range(5))
        names = []
        for i in range(samples):
            name = "Expiry%02d.exe" % i
            names.append(name)
            with wd.connect() as s:
                # A service nobody bears: the expiry runs "net stop" and drops
                # the record, so each one is restarted exactly once.
                s.sendall(message(1, name, "NoService%02d" % i, 0, timeout_ms))
            time.sleep(0.37)  # spread the registrations over the second
        for name in names:
            wait_records(wd, r"kill process\[%s\]" % re.escape(name), 1, 10 + timeout_ms / 1000)
        for name in names:
            reg = wd.records(r"register new process\[%s\]" % re.escape(name))[0][0]
            kill = wd.records(r"kill process\[%s\]" % re.escape(name))[0][0]
            mono = reg - offset
            if mono - int(mono) < 0.005 or mono - int(mono) > 0.995:
                continue  # too near a boundary to tell which second it fell in
            boundary = int(mono) + timeout_ms // 1000 + (1 if timeout_ms % 1000 else 0)
            delays.append((kill - (boundary + offset)) * 1000)
    return delays


def idle_cpu_and_memory(bin_dir, cpu_seconds, records):
    """CPU share with no clients, then VmRSS before and after `records` registrations."""
    with watchdog(bin_dir) as wd:
        time.sleep(2)
        hz = os.sysconf("SC_CLK_TCK")
        ticks = cpu_ticks(wd.proc.pid)
        started = time.monotonic()
        time.sleep(cpu_seconds)
        cpu = (cpu_ticks(wd.proc.pid) - ticks) / hz / (time.monotonic() - started) * 100
        rss_before = int(proc_status(wd.proc.pid)["VmRSS"].split()[0])
        # Many connections, a few messages each, closed at once: the watchdog
        # takes one message per client per pass and one accept per pass, and
        # a closed client with messages left is readable, never an idle poll.
        per_client = 25
        clients = records // per_client
        for c in range(clients):
            with wd.connect() as s:
                s.sendall(b"".join(message(1, "Rss%05d.exe" % (c * per_client + i), "RssSvc%05d" %
                                           (c * per_client + i), 0, TIMEOUT_NEVER)
                                   for i in range(per_client)))
        wait_records(wd, r"register new process\[Rss", records, 120)
        wait_records(wd, CLOSED, clients, 60)
        time.sleep(1)
        rss_after = int(proc_status(wd.proc.pid)["VmRSS"].split()[0])
    return cpu, rss_before, rss_after


def spread(values):
    values = sorted(values)
    if not values:
        return "n/a"
    q = statistics.quantiles(values, n=10) if len(values) > 1 else [values[0]] * 9
    return "%.1f (p10 %.1f, p90 %.1f, n=%d)" % (statistics.median(values), q[0], q[-1], len(values))


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", default=os.path.join(here, "..", "build"))
    parser.add_argument("--quick", action="store_true", help="fewer samples, 10 s of CPU")
    parser.add_argument("--phases", default="cycles,expiry,resources",
                        help="comma-separated subset of cycles, expiry, resources")
    args = parser.parse_args()
    why = isolate_network()
    if why:
        print("measure: on the machine's network (%s)" % why)
    bin_dir = os.path.abspath(os.path.join(args.build_dir, "bin"))
    if not os.access(os.path.join(bin_dir, "REdodevaz"), os.X_OK):
        sys.exit("no %s/REdodevaz: build first" % bin_dir)

    passes = 10 if args.quick else 25
    phases = set(args.phases.split(","))
    # Each section is printed as soon as it is measured.
    if "cycles" in phases:
        print_cycles(*cycle_intervals(bin_dir, [0, 1, 5, 20], passes))
    if "expiry" in phases:
        print_expiry(expiry_delays(bin_dir, 6 if args.quick else 12, 1000))
    if "resources" in phases:
        seconds = 10 if args.quick else 30
        print_resources(seconds, *idle_cpu_and_memory(bin_dir, seconds, 1000))


def print_cycles(rows, cpu_per_cycle):
    print("Supervision cycle interval (ms): median (p10, p90, samples)")
    print("%-13s %-10s %-38s %s" % ("idle clients", "model", "measured", "over model"))
    for clients, model_ms, gaps in rows:
        over = statistics.median(gaps) - model_ms if gaps else float("nan")
        print("%-13d %-10d %-38s %+.1f ms (%+.1f %%)" % (clients, model_ms, spread(gaps), over,
                                                        over / model_ms * 100), flush=True)
    print("CPU per cycle with no clients: watchdog %.2f ms, its \"net start DUZI\" %.2f ms"
          % cpu_per_cycle, flush=True)


def print_expiry(delays):
    print("\nFeed timeout expiry to \"kill process\" (net stop launch), 1000 ms timeout, no clients (ms):")
    print("  %s, max %.1f; the model is 0 to one pass (~150 ms)"
          % (spread(delays), max(delays) if delays else float("nan")), flush=True)


def print_resources(seconds, cpu, rss_before, rss_after):
    print("\nResident memory (VmRSS): %d kB idle, %d kB with 1000 records (+%.2f kB per record)"
          % (rss_before, rss_after, (rss_after - rss_before) / 1000))
    print("CPU with no clients and no services, %d s: %.2f %% of one core"
          % (seconds, cpu), flush=True)


if __name__ == "__main__":
    main()
