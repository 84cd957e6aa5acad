"""Faults around the services, against the real watchdog and `net`: a restart
storm, a service that dies right after each start, the service folder away
for a moment."""

import os
import re
import subprocess
import time

import pytest

from conftest import BIN, WATCHDOG, Watchdog, port_is_free, wait_until
from wdharness import process_state, zombie_children

NET = os.path.join(BIN, "net")
STOP_TIMEOUT_S = 2.0


class LoggedWatchdog(Watchdog):
    """Its output (and that of every net it runs) goes to files, so nothing
    blocks on a full pipe however much the commands print."""

    def start(self, *args):
        assert wait_until(port_is_free, 30), "port 30024 is still taken"
        self.out = open(os.path.join(self.root, "watchdog.out"), "w+")
        self.proc = subprocess.Popen([WATCHDOG, *args], env=self.env, stdout=self.out, stderr=self.out, text=True)
        return self


@pytest.fixture
def wd(tmp_path):
    wd = LoggedWatchdog(tmp_path)
    yield wd
    wd.stop()
    wd.stop_services()


def net_commands(service):
    """Pids of the `net` commands working on `service`: our binary, run by
    something else than a `net` (a net's own child, the service between fork
    and exec or the leak checker's tracer of a sanitized build, is no
    command of its own)."""
    found = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open("/proc/%s/cmdline" % entry, "rb") as f:
                    argv = f.read().split(b"\0")
                with open("/proc/%s/stat" % entry) as f:
                    parent = int(f.read().rsplit(")", 1)[1].split()[1])
                if len(argv) >= 3 and argv[2] == service.encode() and os.readlink("/proc/%s/exe" % entry) == NET:
                    found[int(entry)] = parent
            except (OSError, ValueError, IndexError):
                pass
    return [pid for pid, parent in found.items() if parent not in found]


def describe(pids):
    """What each process runs and where it sleeps, for a failure message."""
    def one(pid):
        try:
            with open("/proc/%d/cmdline" % pid) as f, open("/proc/%d/wchan" % pid) as w:
                return "%d %s (%s, %s)" % (pid, f.read().replace("\0", " "), process_state(pid), w.read())
        except OSError:
            return "%d gone" % pid
    return "; ".join(one(pid) for pid in pids)


def test_restart_storm_is_bounded(wd):
    """Timeout 0 on a service that ignores SIGTERM: each stop takes the stop
    timeout, and a restart is due every fifth pass."""
    wd.add_service("Storm", "trap '' TERM\nwhile :; do sleep 1; done")
    wd.start()
    wd.wait_listening()
    assert wd.net("start", "Storm").returncode == 0
    wd.wdctl("register", "Storm.exe", "Storm", str(wd.service_pid("Storm")), "0")

    most = 0
    end = time.monotonic() + 60
    while time.monotonic() < end:
        most = max(most, len(net_commands("Storm")))
        time.sleep(0.05)
    assert 4 <= wd.log().count("kill process[Storm.exe]"), "restarts were due all along"
    assert most <= 4, most
    assert wait_until(lambda: not zombie_children(wd.proc.pid), 5), zombie_children(wd.proc.pid)

    assert wd.stop() == 0
    gone = time.monotonic()
    # A waiting command gives up with the program that ran it; the one at
    # work finishes its stop.
    assert wait_until(lambda: len(net_commands("Storm")) <= 1, 1.0), describe(net_commands("Storm"))
    assert wait_until(lambda: not net_commands("Storm"), STOP_TIMEOUT_S + 1.0), describe(net_commands("Storm"))
    print("storm: at most %d net at once; last net gone %.2f s after the watchdog" % (most, time.monotonic() - gone))


def test_passing_faults_leave_supervision_going(wd, tmp_path):
    """DUZI dies 100 ms after each start, within net's settle time: it is
    never reported running. The service folder is away three times for
    0.3 s: VADA's status never flaps and the worker goes on, so Worker's
    later expiry is still restarted."""
    wd.add_service("DUZI", "sleep 0.1\nexit 1")
    wd.add_sleeper("VADA")
    wd.add_service("Worker", "exec wdctl keepalive Worker.exe Worker 1500 --interval 200 --stop-after 5")
    wd.start()
    wd.wait_listening()
    assert wd.net("start", "Worker").returncode == 0
    wd.wait_log(r"register new process\[Worker.exe\]")
    wd.wait_log(r"VADA Status changed from stop to running!")

    away = str(tmp_path / "services.away")
    for _ in range(3):
        os.rename(wd.services, away)
        time.sleep(0.3)
        os.rename(away, wd.services)
        time.sleep(0.4)

    wd.wait_log(r"kill process\[Worker.exe\]")
    wd.wait_log(r"launch process\[Worker\] Success")
    wd.wait_log(r"register process\[Worker.exe\] is existed!")
    log = wd.log()
    assert "DUZI Status changed" not in log
    assert len(re.findall(r"start DUZI int the loop!", log)) >= 10, "the poll went on trying"
    assert re.findall(r"(\w+) Status changed from (\w+) to (\w+)!", log) == [("VADA", "stop", "running")]
    assert len(net_commands("DUZI")) <= 4
