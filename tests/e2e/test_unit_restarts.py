"""The packaged unit's settings (packaging/debian/zelvin-watchdog.service) in
a private systemd manager, running this build's watchdog, with WatchdogSec=
cut to 1.5 s so that a pass longer than that is quick to make: passes made
long by idle connections or by slow clients do not get the watchdog
restarted; a kill -9 does, and the registry comes back from the state folder
with the product's units untouched; a worker ended by a fault still gets it
restarted. One manager and one unit serve the whole file, in file order."""

import os
import re
import shutil
import signal
import socket
import time

import pytest

import private_systemd
from conftest import BIN
from wdharness import PORT, ROOT, TIMEOUT_NEVER, Feeder, message, send, wait_until

WATCHDOG_SEC = 1.5
STARTED = r"Watchdog SERVER initialize ok"


@pytest.fixture(scope="module")
def unit():
    work = private_systemd.visible_folder("zw-unit-")
    sd = private_systemd.start_or_skip(root=work)
    try:
        for name in ("MySqlqvms80", "DUZI", "VADA", "Product"):
            sd.add_service(name, "/bin/sleep infinity")
        unit_file = os.path.join(ROOT, "packaging", "debian", private_systemd.PackagedUnit.NAME)
        u = private_systemd.PackagedUnit(sd, unit_file, BIN, work, int(WATCHDOG_SEC * 1000))
        assert sd.systemctl("start", "Product.service").returncode == 0
        u.start()
        yield u
    finally:
        sd.stop()
        shutil.rmtree(work, ignore_errors=True)


def longest_pass(unit, pattern):
    """The longest gap between records matching `pattern`, in seconds."""
    times = [t for t, _ in unit.log.records(pattern)]
    return max((b - a for a, b in zip(times, times[1:])), default=0)


def test_idle_connections_make_passes_longer_than_watchdogsec_without_a_restart(unit):
    pid = unit.pid()
    accepted = unit.log.count("server get new client connect!")
    # One is accepted per pass, and each idle one adds 100 ms to the pass:
    # the last passes take 0.15 + 0.1 * 18 s, longer than WatchdogSec.
    idle = [socket.create_connection(("127.0.0.1", PORT), timeout=5) for _ in range(18)]
    try:
        unit.wait_log(r"server get new client connect!", count=accepted + 18)
        time.sleep(2 * (0.15 + 0.1 * 18))
        assert longest_pass(unit, r"server get new client connect!") > WATCHDOG_SEC
        assert unit.restarts() == "0" and unit.pid() == pid
        assert unit.sd.show(unit.NAME, "ActiveState") == "active"
    finally:
        for client in idle:
            client.close()


def test_a_chain_of_slow_clients_each_just_inside_the_bound_gets_no_restart(unit):
    pid = unit.pid()
    names = ["Slow%d.exe" % i for i in range(11)]
    chain = []
    for name in names:
        client = socket.create_connection(("127.0.0.1", PORT), timeout=5)
        client.sendall(message(1, name, "NoSuchService", 1, TIMEOUT_NEVER))
        chain.append(client)
    unit.wait_log(r"register new process\[Slow10.exe\]")
    # Each client in the worker's order sends the first byte of a feed and
    # the rest 180 ms later: the worker waits for each in turn, 2 s a pass.
    feeds = [message(3, name) for name in names]
    deadline = time.monotonic() + 4 * (0.15 + 0.18 * len(chain))
    dropped = set()
    try:
        while time.monotonic() < deadline:
            for i, client in enumerate(chain):
                if i in dropped:
                    continue
                try:
                    client.sendall(feeds[i][:1])
                    time.sleep(0.18)
                    client.sendall(feeds[i][1:])
                except OSError:
                    dropped.add(i)
    finally:
        for client in chain:
            client.close()
    assert len(dropped) < len(chain) // 2, "most slow clients were dropped: %s" % sorted(dropped)
    assert longest_pass(unit, r"feed process\[Slow0.exe\]!") > WATCHDOG_SEC
    assert unit.restarts() == "0" and unit.pid() == pid


def test_after_kill_9_the_registry_is_back_and_the_product_units_untouched(unit):
    product = unit.sd.main_pid("Product.service")
    send(message(1, "Product.exe", "Product", product, 4000),
         message(1, "Never.exe", "NoSuchService", 1, TIMEOUT_NEVER))
    unit.wait_log(r"register new process\[Never.exe\]")
    starts = unit.log.count(STARTED)
    feeder = Feeder("Product.exe")
    feeder.start()
    try:
        time.sleep(0.5)  # the pass that registered them has saved them
        first = unit.pid()
        os.kill(first, signal.SIGKILL)
        unit.wait_log(STARTED, count=starts + 1)
        unit.wait_log(r"restored \d+ records from \S+/zelvin-watchdog/registry")
        for name in ("Product.exe", "Never.exe"):
            unit.wait_log(r"Watchdog: \[\S+ \d+\] restored process\[%s\]" % re.escape(name))
        feeds = unit.log.count(r"feed process\[Product.exe\]!")
        unit.wait_log(r"feed process\[Product.exe\]!", count=feeds + 12)  # more than its timeout
    finally:
        feeder.stop()
    assert unit.pid() not in (0, first) and unit.restarts() == "1"
    assert unit.sd.main_pid("Product.service") == product
    assert "kill process[Product.exe]" not in unit.log.text()
    assert "feed process[Product.exe] is not existed!" not in unit.log.text()


def test_a_worker_ended_by_a_fault_still_gets_the_watchdog_restarted(unit):
    first = unit.pid()
    starts = unit.log.count(STARTED)
    os.unlink(unit.net_link)
    try:
        # "net" cannot be started at the expiry: the worker ends, the process
        # stays, and makes no more progress.
        send(message(1, "Gone.exe", "NoSuchService", 1, 1000))
        unit.wait_log(r"ended by an uncaught exception")
    finally:
        os.symlink(unit.net_target, unit.net_link)
    unit.wait_log(STARTED, count=starts + 1)
    assert wait_until(lambda: unit.pid() not in (0, first), unit.DEADLINE)
    assert unit.restarts() == "2"
    # systemd's watchdog ends the process with SIGABRT, which the crash
    # handler reports beside the report of the ended worker.
    reports = unit.crash_reports()
    assert "Cannot start net" in reports and "Fatal signal 6" in reports, reports
