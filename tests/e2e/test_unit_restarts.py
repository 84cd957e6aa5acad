"""The packaged unit's settings (packaging/debian/zelvin-watchdog.service) in
a private systemd manager, running this build's watchdog, with WatchdogSec=
cut to 1.5 s so that a pass longer than that is quick to make: passes made
long by idle connections or by slow clients do not get the watchdog
restarted; a kill -9 does, and the registry comes back from the state folder
with the product's units untouched; a worker ended by a fault still gets it
restarted. One manager and one unit serve the whole file, in file order."""

import datetime
import os
import re
import shutil
import signal
import socket
import tempfile
import threading
import time

import pytest

import private_systemd
from conftest import BIN
from wdharness import PORT, wait_until
from wdharness import TIMEOUT_NEVER, config_xml, message

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
UNIT = "zelvin-watchdog.service"
WATCHDOG_SEC = 1.5
SLEEPER = "/bin/sleep infinity"
DEADLINE = 60


class Unit:
    def __init__(self, sd, work):
        self.sd = sd
        self.log_path = os.path.join(work, "log", "Watchdog.log")
        self.net_link = os.path.join(work, "netbin", "net")

    def log(self):
        try:
            with open(self.log_path, errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def wait_log(self, pattern, count=1, timeout=DEADLINE):
        found = wait_until(lambda: len(re.findall(pattern, self.log())) >= count, timeout, 0.1)
        assert found, "no %r (x%d) in the log:\n%s" % (pattern, count, self.log()[-3000:])

    def times(self, pattern):
        """Log times (seconds) of the records matching `pattern`."""
        return [datetime.datetime.strptime(stamp, "%Y-%m-%d %H:%M:%S.%f").timestamp()
                for stamp in re.findall(r"^(\S+ \S+) .*" + pattern, self.log(), re.M)]

    def restarts(self):
        return self.sd.show(UNIT, "NRestarts")

    def pid(self):
        return self.sd.main_pid(UNIT)


@pytest.fixture(scope="module")
def unit():
    reason = private_systemd.why_unavailable()
    if reason:
        if os.environ.get("ZELVIN_REQUIRE_SYSTEMD") == "1":
            pytest.fail(reason)
        pytest.skip(reason)
    # Outside /tmp and /home, which the unit's PrivateTmp= and ProtectHome=
    # hide from the watchdog.
    work = tempfile.mkdtemp(prefix="zw-unit-", dir="/run" if os.access("/run", os.W_OK) else None)
    for name in ("etc", "log", "netbin"):
        os.makedirs(os.path.join(work, name))
    with open(os.path.join(work, "etc", "Watchdog.xml"), "w") as f:
        f.write(config_xml().replace('<Dir value="log"/>', '<Dir value="%s/log"/>' % work))
    # `net` through a folder of its own, so a test can take it away.
    os.symlink(os.path.join(BIN, "net"), os.path.join(work, "netbin", "net"))
    sd = private_systemd.PrivateSystemd(root=work)
    try:
        sd.start()
        for name in ("MySqlqvms80", "DUZI", "VADA", "Product"):
            sd.add_service(name, SLEEPER)
        shutil.copy(os.path.join(ROOT, "packaging", "debian", UNIT), sd.units)
        os.makedirs(os.path.join(sd.units, UNIT + ".d"))
        with open(os.path.join(sd.units, UNIT + ".d", "test.conf"), "w") as f:
            f.write("[Service]\nExecStart=\nExecStart=%s/REdodevaz\n"
                    "Environment=ZELVIN_CONFIG_DIR=%s/etc PATH=%s/netbin:/usr/bin:/bin ZELVIN_SYSTEMD_SCOPE=user\n"
                    "ReadWritePaths=%s/log\nRestartSec=500ms\nWatchdogSec=%sms\n"
                    # What the private manager cannot set up on this kind of
                    # machine (see tests/package/test_package.py).
                    "ProtectHome=read-only\nProtectKernelTunables=no\nProtectKernelLogs=no\n"
                    "ProtectControlGroups=no\n" % (BIN, work, work, work, int(WATCHDOG_SEC * 1000)))
        sd.systemctl("daemon-reload")
        assert sd.systemctl("start", "Product.service").returncode == 0
        started = sd.systemctl("start", UNIT, timeout=DEADLINE)
        assert started.returncode == 0, started.stderr + sd.systemctl("status", UNIT).stdout
        u = Unit(sd, work)
        u.wait_log(r"Watchdog SERVER initialize ok")
        assert wait_until(lambda: _connects(), DEADLINE)
        yield u
    finally:
        sd.stop()
        shutil.rmtree(work, ignore_errors=True)


def _connects():
    try:
        socket.create_connection(("127.0.0.1", PORT), timeout=1).close()
        return True
    except OSError:
        return False


def longest_pass(times):
    return max((b - a for a, b in zip(times, times[1:])), default=0)


def test_idle_connections_make_passes_longer_than_watchdogsec_without_a_restart(unit):
    pid = unit.pid()
    accepted = unit.log().count("server get new client connect!")
    # One is accepted per pass, and each idle one adds 100 ms to the pass:
    # the last passes take 0.15 + 0.1 * 18 s, longer than WatchdogSec.
    idle = [socket.create_connection(("127.0.0.1", PORT), timeout=5) for _ in range(18)]
    try:
        unit.wait_log(r"server get new client connect!", count=accepted + 18)
        end = time.monotonic() + 2 * (0.15 + 0.1 * 18)
        time.sleep(max(0, end - time.monotonic()))
        assert longest_pass(unit.times(r"server get new client connect!")) > WATCHDOG_SEC
        assert unit.restarts() == "0" and unit.pid() == pid
        assert unit.sd.show(UNIT, "ActiveState") == "active"
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
    assert longest_pass(unit.times(r"feed process\[Slow0.exe\]!")) > WATCHDOG_SEC
    assert unit.restarts() == "0" and unit.pid() == pid


class Feeder(threading.Thread):
    """Feeds a name every 0.4 s, connecting again while the watchdog is away."""

    def __init__(self, name):
        super().__init__(daemon=True)
        self.feed = message(3, name)
        self.done = threading.Event()

    def run(self):
        sock = None
        while not self.done.wait(0.4):
            try:
                sock = sock or socket.create_connection(("127.0.0.1", PORT), timeout=1)
                sock.sendall(self.feed)
            except OSError:
                sock = sock.close() if sock else None

    def stop(self):
        self.done.set()
        self.join(5)


def test_after_kill_9_the_registry_is_back_and_the_product_units_untouched(unit):
    product = unit.sd.main_pid("Product.service")
    with socket.create_connection(("127.0.0.1", PORT), timeout=5) as client:
        client.sendall(message(1, "Product.exe", "Product", product, 4000) +
                       message(1, "Never.exe", "NoSuchService", 1, TIMEOUT_NEVER))
    unit.wait_log(r"register new process\[Never.exe\]")
    starts = unit.log().count("Watchdog SERVER initialize ok")
    feeder = Feeder("Product.exe")
    feeder.start()
    try:
        time.sleep(0.5)  # the pass that registered them has saved them
        first = unit.pid()
        os.kill(first, signal.SIGKILL)
        unit.wait_log(r"Watchdog SERVER initialize ok", count=starts + 1)
        unit.wait_log(r"restored \d+ records from \S+/zelvin-watchdog/registry")
        for name in ("Product.exe", "Never.exe"):
            unit.wait_log(r"Watchdog: \[\S+ \d+\] restored process\[%s\]" % re.escape(name))
        feeds = unit.log().count("feed process[Product.exe]!")
        unit.wait_log(r"feed process\[Product.exe\]!", count=feeds + 12)  # more than its timeout
    finally:
        feeder.stop()
    assert unit.pid() not in (0, first) and unit.restarts() == "1"
    assert unit.sd.main_pid("Product.service") == product
    assert "kill process[Product.exe]" not in unit.log()
    assert "feed process[Product.exe] is not existed!" not in unit.log()


def test_a_worker_ended_by_a_fault_still_gets_the_watchdog_restarted(unit):
    first = unit.pid()
    starts = unit.log().count("Watchdog SERVER initialize ok")
    os.unlink(unit.net_link)
    try:
        # "net" cannot be started at the expiry: the worker ends, the process
        # stays, and makes no more progress.
        with socket.create_connection(("127.0.0.1", PORT), timeout=5) as client:
            client.sendall(message(1, "Gone.exe", "NoSuchService", 1, 1000))
        unit.wait_log(r"ended by an uncaught exception")
    finally:
        os.symlink(os.path.join(BIN, "net"), unit.net_link)
    unit.wait_log(r"Watchdog SERVER initialize ok", count=starts + 1)
    assert wait_until(lambda: unit.pid() not in (0, first), DEADLINE)
    assert unit.restarts() == "2"
