"""Helpers for tests that drive the real watchdog binary, the real `net`
stand-in and a service folder of their own in a temporary directory."""

import os
import re
import signal
import socket
import subprocess
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
import wdharness  # noqa: E402
from wdharness import PORT, port_is_free, wait_until  # noqa: E402,F401

BUILD = os.environ.get("WATCHDOG_BUILD_DIR") or os.path.join(
    os.path.dirname(__file__), "..", "..", "build")
BIN = os.path.join(os.path.abspath(BUILD), "bin")
WATCHDOG = os.path.join(BIN, "REdodevaz")
WDCTL = os.path.join(BIN, "wdctl")



class Watchdog:
    """One watchdog run in its own folder: etc/Watchdog.xml, services/, log."""

    def __init__(self, root):
        self.root = str(root)
        self.etc = os.path.join(self.root, "etc")
        self.services = os.path.join(self.root, "services")
        self.log_path = os.path.join(self.etc, "log", "Watchdog.log")
        os.makedirs(self.etc, exist_ok=True)
        os.makedirs(self.services, exist_ok=True)
        self.write_config()
        self.proc = None
        self.env = wdharness.watchdog_env(BIN, self.etc, self.services, ZELVIN_STOP_TIMEOUT_MS=2000)

    def write_config(self, log_type=1, level="information"):
        with open(os.path.join(self.etc, "Watchdog.xml"), "w") as f:
            f.write(wdharness.config_xml(log_type, level))

    def add_service(self, name, script):
        """A service whose run script is `script` (shell, exec'd by sh)."""
        return wdharness.add_service(self.services, name, script)

    def add_sleeper(self, name):
        return self.add_service(name, wdharness.SLEEPER_SCRIPT)

    def net(self, *args):
        return subprocess.run([os.path.join(BIN, "net"), *args], env=self.env,
                              capture_output=True, text=True, timeout=30)

    def service_pid(self, name):
        return wdharness.service_pid(self.services, name)

    def start(self, *args, wrapper=(), **env):
        """Starts the watchdog with `args`, through the command `wrapper` in
        front of it, with `env` added. Its output (and that of every `net` it
        runs) goes to a file, so nothing blocks on a full pipe."""
        assert wait_until(port_is_free, 30), "port 30024 is still taken"
        self.output_path = os.path.join(self.root, "watchdog.out")
        with open(self.output_path, "w") as out:
            self.proc = subprocess.Popen([*wrapper, WATCHDOG, *args], env=dict(self.env, **env),
                                         stdin=subprocess.DEVNULL, stdout=out, stderr=out)
        return self

    def output(self):
        """What the watchdog and its commands wrote to stdout and stderr."""
        return wdharness.read_text(self.output_path)

    def run(self, *args, timeout=30):
        return subprocess.run([WATCHDOG, *args], env=self.env, capture_output=True,
                              text=True, timeout=timeout)

    def log(self):
        return wdharness.read_text(self.log_path)

    def wait_log(self, pattern, timeout=20.0, count=1):
        """Waits until `pattern` (a regex) matches `count` times in the log."""
        found = wait_until(lambda: len(re.findall(pattern, self.log())) >= count, timeout)
        assert found, "no %r (x%d) in the log:\n%s" % (pattern, count, self.log()[-4000:])

    def wait_listening(self):
        def connects():
            try:
                socket.create_connection(("127.0.0.1", PORT), timeout=1).close()
                return True
            except OSError:
                return False
        assert wait_until(connects, 20), "watchdog does not listen:\n" + self.log()

    def wdctl(self, *args, check=True):
        r = subprocess.run([WDCTL, *args], env=self.env, capture_output=True, text=True, timeout=30)
        if check:
            assert r.returncode == 0, r.stderr
        return r

    def stop(self, sig=signal.SIGTERM, timeout=30):
        if self.proc is None:
            return None
        rc = wdharness.stop_process(self.proc, sig, timeout)
        if rc is None:
            pytest.fail("watchdog did not stop within %ss" % timeout)
        return rc

    def stop_services(self):
        for name in os.listdir(self.services):
            if self.service_pid(name):
                self.net("stop", name)


def net_commands(service=None):
    """Pids of this build's `net` commands (for `service` only, when given). A
    net's own child (a service between fork and exec, the leak checker's
    tracer of a sanitized build) is no command of its own."""
    found = {}
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/cmdline" % entry, "rb") as f:
                argv = f.read().split(b"\0")
            with open("/proc/%s/stat" % entry) as f:
                parent = int(f.read().rsplit(")", 1)[1].split()[1])
            if os.readlink("/proc/%s/exe" % entry) == os.path.join(BIN, "net") and \
                    (service is None or argv[2:3] == [service.encode()]):
                found[int(entry)] = parent
        except (OSError, ValueError, IndexError):
            pass
    return [pid for pid, parent in found.items() if parent not in found]


@pytest.fixture
def watchdog(tmp_path):
    wd = Watchdog(tmp_path)
    yield wd
    wd.stop()
    wd.stop_services()
