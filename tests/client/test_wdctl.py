"""Drives build/bin/wdctl against a stand-in watchdog on an ephemeral port."""

import contextlib
import os
import re
import select
import signal
import socket
import subprocess
import time

import pytest

import wdharness
from wdharness import MESSAGE_SIZE, TIMEOUT_NEVER, message, parse_messages, wait_until

wdharness.isolate_network()
WDCTL = os.path.join(wdharness.build_bin(), "wdctl")
DEADLINE = 20  # seconds; bounds a broken build, never a measurement


class FakeWatchdog:
    """Accepts one connection and records what arrives; never answers."""

    def __init__(self):
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.conn = None

    def accept(self):
        """Takes the next connection; one taken before is closed first, as by
        a watchdog that went away and is back on the same port."""
        if self.conn:
            self.conn.close()
        self.listener.settimeout(DEADLINE)
        self.conn, _ = self.listener.accept()
        self.data, self.eof = bytearray(), False

    def read_until(self, done):
        """Reads until done() holds or the peer closes; returns done()."""
        end = time.monotonic() + DEADLINE
        while not done() and not self.eof and time.monotonic() < end:
            if select.select([self.conn], [], [], 0.1)[0]:
                chunk = self.conn.recv(65536)
                self.data += chunk
                self.eof = not chunk
        return done()

    def drain(self):
        """Reads what has arrived so far."""
        self.read_until(lambda: not select.select([self.conn], [], [], 0)[0])

    def close(self):
        for s in filter(None, (self.conn, self.listener)):
            s.close()


@pytest.fixture
def watchdog():
    server = FakeWatchdog()
    yield server
    server.close()


def wdctl(*args):
    return subprocess.run([WDCTL, *args], capture_output=True, text=True, timeout=DEADLINE)


# Against the harness's own encoder: every field at its offset, texts of the
# full width, little-endian numbers, zeros elsewhere.
@pytest.mark.parametrize("args, expected", [
    (["--extra", "why", "register", "p1", "svc", "4321", "1500"], message(1, "p1", "svc", 4321, 1500, "why")),
    (["register", "p" * 64, "s" * 64, "16909060", "never", "--extra", "e" * 512],
     message(1, "p" * 64, "s" * 64, 0x01020304, TIMEOUT_NEVER, "e" * 512)),
    (["cancel", "p1"], message(2, "p1")),
    (["feed", "p1"], message(3, "p1")),
    (["send", "p1", "--type", "65535"], message(0xFFFF, "p1")),
])
def test_one_shot_sends_exact_bytes_then_closes(watchdog, args, expected):
    result = wdctl("--port", str(watchdog.port), *args)
    assert (result.returncode, result.stderr) == (0, "")
    watchdog.accept()
    assert watchdog.read_until(lambda: watchdog.eof)
    assert bytes(watchdog.data) == expected


@contextlib.contextmanager
def keepalive(watchdog, tmp_path, timeout, *extra):
    """wdctl keepalive of "ka" against the stand-in, its standard error in a
    file; killed however the test ends."""
    with open(tmp_path / "stderr", "w+") as err:
        proc = subprocess.Popen([WDCTL, "keepalive", "ka", "svc", timeout, "--port", str(watchdog.port), *extra],
                                stderr=err)
        try:
            watchdog.accept()
            yield proc, err
        finally:
            proc.kill()
            proc.wait()


def written(err):
    """What the child wrote to `err` so far. Read through a description of
    our own: seeking the child's would move where its next write lands."""
    with open(err.name) as f:
        return f.read()


@pytest.mark.parametrize("stop_by", ["SIGUSR1", "--stop-after"])
def test_keepalive_registers_again_on_a_new_connection_stops_feeding_and_exits_on_sigterm(watchdog, tmp_path,
                                                                                          stop_by):
    extra = ["--stop-after", "1", "--pid", "77"] if stop_by != "SIGUSR1" else []
    with keepalive(watchdog, tmp_path, "never", "--interval", "50", *extra) as (proc, err):
        registration = (1, b"ka", 77 if extra else proc.pid, TIMEOUT_NEVER)
        assert watchdog.read_until(lambda: len(parse_messages(watchdog.data)) >= 3)
        first, *feeds = parse_messages(watchdog.data)
        assert first == registration and all(m[:2] == (3, b"ka") for m in feeds), (first, feeds)
        watchdog.accept()  # the first message on a new connection is the registration
        assert watchdog.read_until(lambda: len(watchdog.data) >= MESSAGE_SIZE)
        assert parse_messages(watchdog.data)[0] == registration
        assert wait_until(lambda: re.search("lost.*\n.*again", written(err)), DEADLINE), written(err)

        if stop_by == "SIGUSR1":
            proc.send_signal(signal.SIGUSR1)
        assert wait_until(lambda: "wdctl: feeding stopped" in written(err), DEADLINE)
        watchdog.drain()
        stopped_at = len(parse_messages(watchdog.data))
        time.sleep(0.5)  # ten intervals in which no feed may come
        watchdog.drain()
        assert len(parse_messages(watchdog.data)) <= stopped_at + 1  # one may still be in flight
        assert proc.poll() is None

        proc.send_signal(signal.SIGTERM)
        assert proc.wait(timeout=DEADLINE) == 0
        assert watchdog.read_until(lambda: watchdog.eof)
        assert len(watchdog.data) % MESSAGE_SIZE == 0


def test_nothing_listening_exits_3_with_address_and_reason():
    result = wdctl("feed", "p1", "--port", "1")
    assert (result.returncode, result.stderr) == (3, "wdctl: cannot connect to 127.0.0.1:1: Connection refused\n")


@pytest.mark.parametrize("args", [
    [], ["bogus", "p1"], ["feed"], ["feed", "p" * 65], ["feed", ""],
    ["register", "p1", "svc", "12x", "100"], ["register", "p1", "svc", "-5", "100"],
    ["register", "p1", "svc", "1", "4294967296"], ["register", "p1", "s" * 65, "1", "100"],
    ["register", "p1", "svc", "1", "100", "--extra", "e" * 513],
    ["send", "p1"], ["send", "p1", "--type", "65536"], ["feed", "p1", "--interval", "5"],
    ["keepalive", "p1", "svc", "100", "--interval", "0"], ["keepalive", "p1", "svc", "100", "--interval"],
    ["feed", "p1", "--port", "0"], ["feed", "p1", "--bogus"],
])
def test_usage_errors_exit_2(args):
    # Port 1 has no listener: a command wrongly accepted fails with 3, not 2.
    result = wdctl(*args, "--port", "1") if "--port" not in args else wdctl(*args)
    assert result.returncode == 2, result.stderr
    assert result.stderr.startswith("wdctl: ") and "usage: wdctl" in result.stderr


@pytest.mark.parametrize("timeout, extra, interval_ms", [
    ("9000", [], 3000), ("2000", [], 1000), ("0", [], 1000), ("never", [], 10000),
    ("9000", ["--interval", "250"], 250),
])
def test_keepalive_feeds_every_third_of_the_timeout_unless_told(watchdog, tmp_path, timeout, extra, interval_ms):
    with keepalive(watchdog, tmp_path, timeout, *extra) as (proc, err):
        assert wait_until(lambda: "wdctl: registered ka, feeding every %d ms\n" % interval_ms in written(err), DEADLINE)
        proc.send_signal(signal.SIGTERM)
        assert proc.wait(timeout=DEADLINE) == 0


def test_version_and_help_exit_0():
    version = wdctl("--version")
    assert (version.returncode, version.stderr) == (0, "")
    assert re.fullmatch(r"wdctl \d+\.\d+\.\d+\n", version.stdout)
    assert "default TIMEOUT_MS/3, at least 1000" in wdctl("--help").stdout
