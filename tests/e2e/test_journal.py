"""Log.Type 3 and 4 against a real systemd-journald. The journald runs in a
private mount and network namespace (tmpfs on /run/systemd and /run/log, so
its socket and its volatile journal are the test's alone); each watchdog
joins that namespace through nsenter, with port 30024 on the namespace's own
loopback. journalctl reads the journal files through journald's
/proc/PID/root."""

import json
import os
import re
import shutil
import signal
import subprocess

import pytest

import wdharness
from wdharness import wait_until

JOURNALD = "/lib/systemd/systemd-journald"
DEADLINE = 20

# The documented MESSAGE_IDs (docs/configuration.md).
REGISTERED = "ff3c1362831f48cfbd7b7013e8bf1f4e"
FED = "8d7462bffd6942ec91f95d9abedda8ba"
CANCELLED = "b04a2ea7e4cc4915adc3aefc3ef22881"
KILLED = "d49ea94fcfe749d9a2fbb02528041362"
LAUNCHED = "9f755bcfa1d24e39a6525d9b78a3082b"
LAUNCH_SUCCEEDED = "b547abe2cc93440d811ff36b357e2be1"
STATUS_CHANGED = "75d2641267e04e58b25fc7d782e2503d"

pytestmark = pytest.mark.skipif(
    os.geteuid() != 0 or not os.path.exists(JOURNALD) or not shutil.which("nsenter"),
    reason="needs root, systemd-journald and nsenter for a journal in namespaces of its own")

NAMESPACE_SETUP = "ip link set lo up && mount -t tmpfs tmpfs /run/systemd && mount -t tmpfs tmpfs /run/log"


class Journal:
    """The namespace's journald; commands run inside through nsenter."""

    def __init__(self, root):
        self.proc = subprocess.Popen(
            ["unshare", "-m", "-n", "--propagation", "private", "sh", "-c", NAMESPACE_SETUP + ' && exec "$0"',
             JOURNALD], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=open(os.path.join(root, "journald.out"), "w"))
        self.folder = "/proc/%d/root/run/log/journal" % self.proc.pid
        socket_path = "/proc/%d/root/run/systemd/journal/socket" % self.proc.pid
        assert wait_until(lambda: os.path.exists(socket_path), DEADLINE), "journald did not start"

    def inside(self, *args):
        return ["nsenter", "-t", str(self.proc.pid), "-m", "-n", "--", *args]

    def entries(self, *matches):
        """The watchdog's entries (matching `matches`, journalctl's FIELD=VALUE)."""
        out = subprocess.run(["journalctl", "-D", self.folder, "-o", "json", "--no-pager",
                              "SYSLOG_IDENTIFIER=zelvin-watchdog", *matches],
                             capture_output=True, text=True, timeout=30).stdout
        return [json.loads(line) for line in out.splitlines() if line.startswith("{")]

    def wait_entry(self, *matches):
        found = wait_until(lambda: self.entries(*matches), DEADLINE)
        assert found, "no entry %s among:\n%s" % (matches, "\n".join(e["MESSAGE"] for e in self.entries()))
        return found[0]

    def stop(self):
        self.proc.terminate()
        try:
            self.proc.wait(DEADLINE)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


@pytest.fixture(scope="module")
def journal(tmp_path_factory):
    j = Journal(str(tmp_path_factory.mktemp("journald")))
    yield j
    j.stop()


def journaled(watchdog, log_type, wrapper):
    """The test's watchdog with Log.Type `log_type`, every program of it
    started through `wrapper`."""
    watchdog.write_config(log_type=log_type)
    watchdog.wrapper = wrapper
    return watchdog


def send(wd, *args):
    """One wdctl message, retried while the watchdog does not listen yet
    (exit code 3)."""
    result = wait_until(lambda: (r := wd.wdctl(*args, check=False)).returncode != 3 and r, DEADLINE)
    assert result and result.returncode == 0, "wdctl %s: %s\n%s" % (args, result and result.stderr, wd.output())


def event(journal, message_id, field, value):
    return journal.wait_entry("MESSAGE_ID=" + message_id, "%s=%s" % (field, value))


def test_type_3_writes_each_record_to_the_journal_with_its_fields(journal, watchdog):
    wd = journaled(watchdog, 3, journal.inside())
    wd.add_sleeper("DUZI")
    wd.add_sleeper("Svc")
    wd.start(listening=False)
    send(wd, "register", "Fed.exe", "Fed", "1", "never")
    send(wd, "feed", "Fed.exe")
    send(wd, "cancel", "Fed.exe")
    send(wd, "register", "Hung.exe", "Svc", "1", "1000")
    hostile = b"Bad\x1b[2J\xe2\x80\xae\xff.exe"
    send(wd, "register", hostile, "Bad", "1", "never")

    prefix = r"\[WatchdogServerModule::%s \d+\] "
    checks = [  # id, field, value, priority, operation, message after the prefix
        (REGISTERED, "WD_PROCESS", "Fed.exe", "6", "registerWatchdog", "register new process[Fed.exe]"),
        (FED, "WD_PROCESS", "Fed.exe", "6", "feedWatchdog", "feed process[Fed.exe]!"),
        (CANCELLED, "WD_PROCESS", "Fed.exe", "6", "cancelWatchdog", "cancel process[Fed.exe]!"),
        (KILLED, "WD_PROCESS", "Hung.exe", "6", "killProcess", "kill process[Hung.exe]"),
        (LAUNCHED, "WD_SERVICE", "Svc", "6", "launchProcess", "launch process[Svc]"),
        (LAUNCH_SUCCEEDED, "WD_SERVICE", "Svc", "6", "launchProcess", "launch process[Svc] Success"),
        (STATUS_CHANGED, "WD_SERVICE", "DUZI", "2", "handleClientProcess",
         "DUZI Status changed from stop to running!"),
        # Escaped in MESSAGE as in the log file, and in the field alike.
        (REGISTERED, "WD_PROCESS", r"Bad\x1b[2J\u{202E}\xff.exe", "6", "registerWatchdog",
         r"register new process[Bad\x1b[2J\u{202E}\xff.exe]"),
    ]
    for message_id, field, value, priority, operation, message in checks:
        entry = event(journal, message_id, field, value)
        assert re.fullmatch(prefix % operation + re.escape(message), entry["MESSAGE"]), entry
        assert (entry["PRIORITY"], entry["WD_LOGGER"]) == (priority, "WTD"), entry
        assert ("WD_SERVICE" if field == "WD_PROCESS" else "WD_PROCESS") not in entry, entry

    # Every record goes there, plain ones and diagnostics included, each a
    # single line; the log file is not written.
    started = journal.wait_entry("MESSAGE=Watchdog SERVER initialize ok")
    assert (started["PRIORITY"], started["WD_LOGGER"]) == ("6", "WTD") and "MESSAGE_ID" not in started
    assert all(isinstance(e["MESSAGE"], str) and "\n" not in e["MESSAGE"] for e in journal.entries())
    assert not os.path.exists(wd.log_path)
    assert "journal" not in wd.output(), wd.output()


def test_type_4_writes_the_journal_and_the_file(journal, watchdog):
    wd = journaled(watchdog, 4, journal.inside())
    wd.start(listening=False)
    send(wd, "register", "Both.exe", "Both", "1", "never")
    entry = event(journal, REGISTERED, "WD_PROCESS", "Both.exe")
    assert wait_until(lambda: entry["MESSAGE"] + "\n" in wd.log(), DEADLINE), wd.log()
    assert "journal" not in wd.output(), wd.output()


def test_without_a_journal_type_3_writes_the_file_and_says_so_once(watchdog):
    wd = journaled(watchdog, 3, ["unshare", "-m", "-n", "--propagation", "private", "sh", "-c",
                                 NAMESPACE_SETUP + ' && exec "$0"'])
    wd.start(listening=False)
    assert wait_until(lambda: "ZelvinWatchdog running...." in wd.log(), DEADLINE), wd.output()
    assert wdharness.stop_process(wd.proc, signal.SIGTERM, DEADLINE) == 0
    said = ("no journal to write to (nothing listens on /run/systemd/journal/socket: No such file or directory); "
            "Log.Type 3 writes the log file %s instead" % wd.log_path)
    assert [line for line in wd.output().splitlines() if "journal" in line] == ["ZelvinUtil: " + said]
    assert "[Warning] ZelvinUtil: " + said + "\n" in wd.log()
