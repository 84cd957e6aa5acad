#!/usr/bin/python3
"""Soak and load run of the real watchdog: persistent clients that register
and feed, some of which stop feeding and get restarted through their service,
plus a churn of short and misbehaving connections. Afterwards it checks that
no feed was lost, every expiry led to a restart, the worker still serves, and
descriptors, threads and memory did not grow; it measures idle CPU and looks
for zombie children. Exit code 0 when every check passes, 1 otherwise.

    /usr/bin/python3 tools/soak.py [--seconds 60] [--clients 20] [--expiring 4]

All traffic goes to 127.0.0.1:30024 in a network namespace of the soak's own
(where it can have one: root); the watchdog runs with a configuration and a
service folder in a temporary directory."""

import argparse
import os
import random
import statistics
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from soak_clients import Churn, Connections, PersistentClient  # noqa: E402
from soak_watchdog import LogTail  # noqa: E402
from wdharness import (CANCEL, REGISTER, TIMEOUT_NEVER, Footprint, Watchdog, cpu_ticks,  # noqa: E402
                       isolate_network, message, stop_process, zombie_children)
from wdharness import wait_until as wait_for  # noqa: E402

FEED_TIMEOUT_MS = 90000    # well-behaved clients: far above any pass time
EXPIRE_TIMEOUT_MS = 8000   # expiring clients: several passes even under churn
FD_TOLERANCE = 0
THREAD_TOLERANCE = 0
# The allocator keeps the pages it needed at the load's peak (more clients at
# once, exception paths of resets first taken after warm-up); growth with time
# would exceed this on a long run.
RSS_TOLERANCE_KB = 1024
IDLE_CPU_LIMIT_PCT = 2.0


def parse_args():
    here = os.path.dirname(os.path.abspath(__file__))
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--seconds", type=int, default=60, help="duration of the load (default 60)")
    p.add_argument("--clients", type=int, default=20, help="persistent clients (default 20)")
    p.add_argument("--expiring", type=int, default=4, help="of those, clients that stop feeding (default 4)")
    p.add_argument("--churn-window", type=int, default=16,
                   help="churn connections allowed to wait for accept (default 16, backlog is 64)")
    p.add_argument("--quiet", type=int, default=10, help="idle period measured at the end (default 10 s)")
    p.add_argument("--port-wait", type=int, default=300, help="seconds to wait for port 30024 (default 300)")
    p.add_argument("--seed", type=int, default=None)
    p.add_argument("--build", default=os.path.join(here, "..", "build"))
    p.add_argument("--keep", action="store_true", help="keep the temporary folder (log) afterwards")
    args = p.parse_args()
    if not (1 <= args.clients <= 40 and 0 <= args.expiring < args.clients and args.seconds >= 10):
        p.error("need 1 <= --clients <= 40, 0 <= --expiring < --clients, --seconds >= 10")
    return args


class Soak:
    def __init__(self, args):
        self.args = args
        self.seed = args.seed if args.seed is not None else random.randrange(1 << 30)
        self.rng = random.Random(self.seed)
        self.run = Watchdog(os.path.join(args.build, "bin"))
        # The whole run stays in one file: a rotated and then purged file
        # would make logged feeds look lost.
        self.run.write_config(rotate_size="2048 M")
        self.run.temporary = not args.keep
        self.tail = LogTail(self.run.log_path)
        self.conns = None
        self.halt = threading.Event()
        self.clients, self.expiring = [], []
        self.rows, self.info = [], []
        self.samples = []
        self.churn = None

    def check(self, name, value, ok):
        self.rows.append((name, value, "ok" if ok else "FAIL"))
        return ok

    def note(self, name, value):
        self.info.append((name, value))

    def execute(self):
        try:
            self.phases()
        finally:
            self.halt.set()
            if self.churn is not None:
                self.churn.join(10)
                self.report_figures()
            for c in self.clients:
                c.close()
            rc = stop_process(self.run.proc) if self.run.proc else None
            shut = self.run.proc is not None and "shutting down" in self.log_end()
            self.check("SIGTERM ends the run", "exit %s%s" % (rc, ", 'shutting down' logged" if shut else ""),
                       rc == 0 and shut)
            self.tail.stop()
            self.run.close()
        return all(r[2] == "ok" for r in self.rows)

    def log_end(self):
        try:
            with open(self.run.log_path, "rb") as f:
                f.seek(max(0, os.path.getsize(self.run.log_path) - 65536))
                return f.read().decode("utf-8", "replace")
        except OSError:
            return ""

    def phases(self):
        a, run = self.args, self.run
        for i in range(a.expiring):
            run.add_sleeper("SoakSvc%d" % i)
        run.start(port_wait=a.port_wait)
        self.tail.start()
        pid = run.proc.pid
        # start() made one connection to see the port open; count from after it.
        wait_for(lambda: self.tail.accepted() >= 1, 10, 0.1)
        self.conns = Connections(self.tail.accepted())
        hard_deadline = time.monotonic() + a.seconds + 600
        for i in range(a.expiring):
            run.net("start", "SoakSvc%d" % i)
        for i in range(a.clients):
            expiring = i < a.expiring
            name = ("SoakExp%d.exe" if expiring else "SoakFeed%d.exe") % i
            svc = "SoakSvc%d" % i if expiring else "SoakFeedSvc%d" % i
            client = PersistentClient(self.conns, name, svc,
                                      (run.service_pid(svc) or os.getpid()) if expiring else os.getpid(),
                                      EXPIRE_TIMEOUT_MS if expiring else FEED_TIMEOUT_MS,
                                      self.rng.uniform(1.0, 3.0), self.halt, hard_deadline)
            self.clients.append(client)
            (self.expiring if expiring else []).append(client)
            client.start()

        # Warm-up: every client registered, then a short settle.
        t0 = time.monotonic()
        registered = wait_for(lambda: all(self.tail.get("registers", c.name_) for c in self.clients), 180, 0.5)
        if not self.check("all clients registered (warm-up)", "%.1f s" % (time.monotonic() - t0), registered):
            return
        time.sleep(3)
        start = Footprint(pid)

        # Load.
        load_start = time.monotonic()
        load_end = load_start + a.seconds
        for c in self.expiring:
            c.stop_feeding_at = load_start + a.seconds * self.rng.uniform(0.1, 0.35)
        self.churn = Churn(self.conns, self.tail, self.rng, a.churn_window, load_end, a.clients)
        self.churn.start()
        while time.monotonic() < load_end and run.alive():
            time.sleep(min(5, max(0.1, load_end - time.monotonic())))
            if run.alive():
                self.samples.append(Footprint(pid))
        alive = run.alive()
        self.halt.set()
        self.churn.join(180)
        self.check("watchdog alive through the load", "yes" if alive and run.alive() else
                   "ended with %s" % run.proc.returncode, alive and run.alive())
        if not run.alive():
            return

        self.check_restarts()
        self.check_feeds()
        # All connections accepted and the dropped ones erased before the quiet period.
        wait_for(lambda: self.tail.accepted() >= self.conns.made, 120, 0.5)

        ticks0 = cpu_ticks(pid)
        time.sleep(a.quiet)
        ticks = cpu_ticks(pid) - ticks0
        cpu_pct = 100.0 * ticks / os.sysconf("SC_CLK_TCK") / a.quiet
        self.check("idle CPU (%d s, clients connected)" % a.quiet,
                   "%.2f %% of one core (%d ticks)" % (cpu_pct, ticks), cpu_pct <= IDLE_CPU_LIMIT_PCT)
        end = Footprint(pid)
        self.check_footprint(start, end)
        self.check_probe()
        zombies = wait_for(lambda: not zombie_children(pid), 10, 0.2) or zombie_children(pid)
        self.check("zombie children at the end", "none" if zombies is True else str(zombies), zombies is True)

    def check_restarts(self):
        tail = self.tail

        def restarted(c):
            svc = c.service
            return tail.get("kills", c.name_) and tail.get("launches", svc) and tail.get("launch_ok", svc)
        wait_for(lambda: all(restarted(c) for c in self.expiring), 90, 0.5)
        done = [c for c in self.expiring if restarted(c) and c.stopped_feeding]
        kills = sum(tail.get("kills", c.name_) for c in self.expiring)
        launches = sum(tail.get("launch_ok", c.service) for c in self.expiring)
        self.check("expired clients restarted", "%d/%d (%d kill, %d launch Success records)" %
                   (len(done), len(self.expiring), kills, launches), len(done) == len(self.expiring))
        # Deregister so the quiet period has no restarts in it.
        for c in self.expiring:
            c.send(CANCEL)

    def check_feeds(self):
        tail = self.tail
        feeders = [c for c in self.clients if c not in self.expiring]
        t0 = time.monotonic()
        wait_for(lambda: all(tail.get("feeds", c.name_) >= c.sent for c in feeders), 120, 0.5)
        drain = time.monotonic() - t0
        sent = sum(c.sent for c in feeders)
        logged = sum(tail.get("feeds", c.name_) for c in feeders)
        off = ["%s %d/%d" % (c.name_, tail.get("feeds", c.name_), c.sent)
               for c in feeders if tail.get("feeds", c.name_) != c.sent]
        self.check("feeds sent = feeds logged", "%d sent, %d logged, drain %.1f s%s" %
                   (sent, logged, drain, (": " + ", ".join(off[:4])) if off else ""), not off)
        errors = ["%s: %s" % (c.name_, c.error) for c in self.clients if c.error]
        self.check("persistent connections kept", "%d/%d%s" % (len(self.clients) - len(errors), len(self.clients),
                   (": " + errors[0]) if errors else ""), not errors)

    def check_footprint(self, start, end):
        self.check("open descriptors", "%d -> %d" % (start.fds, end.fds), end.fds <= start.fds + FD_TOLERANCE)
        self.check("threads", "%d -> %d" % (start.threads, end.threads),
                   end.threads <= start.threads + THREAD_TOLERANCE)
        peak = max([s.rss_kb for s in self.samples] + [end.rss_kb])
        self.check("resident memory (kB)", "%d -> %d (peak %d, tolerance %d)" %
                   (start.rss_kb, end.rss_kb, peak, RSS_TOLERANCE_KB),
                   end.rss_kb <= start.rss_kb + RSS_TOLERANCE_KB)
        if self.samples:
            n = len(self.samples)
            self.note("peak descriptors / threads during load", "%d / %d" % (
                max(s.fds for s in self.samples), max(s.threads for s in self.samples)))
            self.note("RSS during load at 0/25/50/75/100 %", " ".join(
                str(self.samples[min(n - 1, n * q // 4)].rss_kb) for q in range(5)) + " kB")

    def check_probe(self):
        tail = self.tail
        try:
            sock, _ = self.conns.connect(10.0)
            sock.sendall(message(REGISTER, "SoakProbe.exe", "SoakProbeSvc", os.getpid(), TIMEOUT_NEVER))
            ok = wait_for(lambda: tail.get("registers", "SoakProbe.exe"), 60, 0.2)
            sock.sendall(message(CANCEL, "SoakProbe.exe"))
            sock.close()
        except OSError as exc:
            ok = False
            self.note("probe error", str(exc))
        self.check("fresh register served after the run", "logged" if ok else "not logged", bool(ok))

    def report_figures(self):
        tail, churn = self.tail, self.churn
        self.note("connections made / refused", "%d / %d" % (self.conns.made - self.conns.base,
                                                                        self.conns.failed))
        self.note("churn connections", "%d (%s)" % (churn.total(), ", ".join(
            "%s %d" % kv for kv in churn.counts.items())))
        with tail.lock:
            stamps = list(tail.accept_stamps)
            tallies = dict(tail.tallies)
        gaps = [b - a for a, b in zip(stamps, stamps[1:]) if 0 <= b - a < 10000]
        if gaps:
            self.note("median gap between accepts", "%d ms (about one pass while churn waits)" %
                      statistics.median(gaps))
        self.note("log records", ", ".join("%s %d" % kv for kv in tallies.items()))


def print_table(soak, args, seconds):
    print("\nSoak run: %d s load, %d persistent clients (%d expiring), churn window %d, seed %d, %.0f s in all"
          % (args.seconds, args.clients, args.expiring, args.churn_window, soak.seed, seconds))
    w = max(len(r[0]) for r in soak.rows + soak.info) + 2
    print("%-*s %-6s %s" % (w, "check", "result", "figures"))
    print("-" * (w + 60))
    for name, value, verdict in soak.rows:
        print("%-*s %-6s %s" % (w, name, verdict, value))
    for name, value in soak.info:
        print("%-*s %-6s %s" % (w, name, "", value))
    failed = [r[0] for r in soak.rows if r[2] != "ok"]
    print("-" * (w + 60))
    print("VERDICT: %s" % ("PASS" if not failed else "FAIL (" + "; ".join(failed) + ")"))
    if args.keep:
        print("log kept in %s" % soak.run.log_path)


def main():
    args = parse_args()
    why = isolate_network()
    if why:
        print("soak: on the machine's network (%s)" % why)
    t0 = time.monotonic()
    soak = Soak(args)
    try:
        ok = soak.execute()
    except Exception as exc:  # reported as a failed check, never a traceback-only exit
        soak.check("soak run", "%s: %s" % (type(exc).__name__, exc), False)
        ok = False
    print_table(soak, args, time.monotonic() - t0)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
