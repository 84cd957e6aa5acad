"""Drives build/bin/wdctl against a stand-in watchdog on an ephemeral port."""

import os
import re
import select
import signal
import socket
import struct
import subprocess
import time

import pytest

WDCTL = os.path.join(os.environ.get("WATCHDOG_BUILD_DIR", "build"), "bin", "wdctl")
SIZE = 668
DEADLINE = 20  # seconds; bounds a broken build, never a measurement


def message(msg_type, name=b"", service=b"", extra=b"", pid=0, timeout=0):
    """The expected wire bytes, written out independently of the C++ code."""
    return (bytes(16) + struct.pack("<H", msg_type) + bytes(2) + name.ljust(64, b"\0")
            + service.ljust(64, b"\0") + extra.ljust(512, b"\0") + struct.pack("<II", pid, timeout))


def parse(data):
    out = []
    for at in range(0, len(data) - len(data) % SIZE, SIZE):
        (msg_type,) = struct.unpack_from("<H", data, at + 16)
        name = data[at + 20:at + 84].split(b"\0")[0]
        pid, timeout = struct.unpack_from("<II", data, at + 660)
        out.append((msg_type, name, pid, timeout))
    return out


class FakeWatchdog:
    """Accepts one connection and records what arrives; never answers."""

    def __init__(self):
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.conn = None
        self.data = bytearray()
        self.eof = False

    def accept(self):
        self.listener.settimeout(DEADLINE)
        self.conn, _ = self.listener.accept()

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
        while not self.eof and select.select([self.conn], [], [], 0)[0]:
            chunk = self.conn.recv(65536)
            self.data += chunk
            self.eof = not chunk

    def close(self):
        for s in (self.conn, self.listener):
            if s:
                s.close()


@pytest.fixture
def watchdog():
    server = FakeWatchdog()
    yield server
    server.close()


def wdctl(*args):
    return subprocess.run([WDCTL, *args], capture_output=True, text=True, timeout=DEADLINE)


@pytest.mark.parametrize("args, expected", [
    (["--extra", "why", "register", "p1", "svc", "4321", "1500"],
     message(1, b"p1", b"svc", b"why", 4321, 1500)),
    (["register", "p1", "svc", "1", "never"], message(1, b"p1", b"svc", pid=1, timeout=0xFFFFFFFF)),
    (["feed", "p" * 64], message(3, b"p" * 64)),
    (["cancel", "p1"], message(2, b"p1")),
    (["send", "p1", "--type", "65535"], message(0xFFFF, b"p1")),
])
def test_one_shot_sends_exact_bytes_then_closes(watchdog, args, expected):
    result = wdctl("--port", str(watchdog.port), *args)
    assert (result.returncode, result.stderr) == (0, "")
    watchdog.accept()
    assert watchdog.read_until(lambda: watchdog.eof)
    assert bytes(watchdog.data) == expected


def start_keepalive(watchdog, tmp_path, *extra):
    err = open(tmp_path / "stderr", "w+")
    proc = subprocess.Popen([WDCTL, "keepalive", "ka", "svc", "never", "--interval", "50",
                             "--port", str(watchdog.port), *extra], stderr=err)
    watchdog.accept()
    return proc, err


def written(err):
    """What the child wrote to `err` so far. Read through a description of
    our own: seeking the child's would move where its next write lands."""
    with open(err.name) as f:
        return f.read()


def wait_for_text(err, text):
    end = time.monotonic() + DEADLINE
    while time.monotonic() < end:
        if text in written(err):
            return True
        time.sleep(0.05)
    return False


@pytest.mark.parametrize("stop_by", ["SIGUSR1", "--stop-after"])
def test_keepalive_registers_feeds_stops_feeding_and_exits_on_sigterm(watchdog, tmp_path, stop_by):
    proc, err = start_keepalive(watchdog, tmp_path, *(["--stop-after", "1"] if stop_by != "SIGUSR1" else []))
    try:
        assert watchdog.read_until(lambda: len(parse(watchdog.data)) >= 3)
        msgs = parse(watchdog.data)
        assert msgs[0] == (1, b"ka", proc.pid, 0xFFFFFFFF)
        assert all(m[:2] == (3, b"ka") for m in msgs[1:])

        if stop_by == "SIGUSR1":
            proc.send_signal(signal.SIGUSR1)
        assert wait_for_text(err, "wdctl: feeding stopped")
        watchdog.drain()
        stopped_at = len(parse(watchdog.data))
        time.sleep(0.5)  # ten intervals in which no feed may come
        watchdog.drain()
        assert len(parse(watchdog.data)) <= stopped_at + 1  # one may still be in flight
        assert proc.poll() is None

        proc.send_signal(signal.SIGTERM)
        assert proc.wait(timeout=DEADLINE) == 0
        assert watchdog.read_until(lambda: watchdog.eof)
        assert len(watchdog.data) % SIZE == 0
    finally:
        proc.kill()
        proc.wait()
        err.close()


def test_keepalive_reports_a_lost_watchdog(watchdog, tmp_path):
    proc, err = start_keepalive(watchdog, tmp_path, "--pid", "77")
    try:
        assert watchdog.read_until(lambda: len(watchdog.data) >= SIZE)
        assert parse(watchdog.data)[0] == (1, b"ka", 77, 0xFFFFFFFF)
        watchdog.close()
        assert proc.wait(timeout=DEADLINE) == 4
        assert "lost" in written(err)
    finally:
        proc.kill()
        proc.wait()
        err.close()


def test_nothing_listening_exits_3_with_address_and_reason():
    with socket.create_server(("127.0.0.1", 0)) as probe:
        port = probe.getsockname()[1]
    result = wdctl("feed", "p1", "--port", str(port))
    assert result.returncode == 3
    assert result.stderr == f"wdctl: cannot connect to 127.0.0.1:{port}: Connection refused\n"


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
    err = open(tmp_path / "stderr", "w+")
    proc = subprocess.Popen([WDCTL, "keepalive", "ka", "svc", timeout, "--port", str(watchdog.port), *extra],
                            stderr=err)
    try:
        watchdog.accept()
        assert wait_for_text(err, "wdctl: registered ka, feeding every %d ms\n" % interval_ms)
        proc.send_signal(signal.SIGTERM)
        assert proc.wait(timeout=DEADLINE) == 0
    finally:
        proc.kill()
        proc.wait()
        err.close()


def test_version_and_help_exit_0():
    version = wdctl("--version")
    assert (version.returncode, version.stderr) == (0, "")
    assert re.fullmatch(r"wdctl \d+\.\d+\.\d+\n", version.stdout)
    assert "default TIMEOUT_MS/3, at least 1000" in wdctl("--help").stdout
