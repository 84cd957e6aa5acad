"""Faults against the real watchdog: a full disk under the log folder, a
worker ended by an exception."""

import os
import re
import shutil

import pytest

from wdharness import STAMP, wait_until

KEEPALIVE = "exec wdctl keepalive Worker.exe Worker 1500 --interval 200 --stop-after 1"


def fill(folder):
    """Fills the file system of `folder`; returns the filler's path."""
    path = os.path.join(folder, "filler")
    with open(path, "wb", buffering=0) as f:
        try:
            while True:
                f.write(bytes(65536))
        except OSError:
            pass
    return path


@pytest.mark.skipif(os.geteuid() != 0 or not shutil.which("unshare"),
                    reason="needs root for a tmpfs in a mount namespace of its own")
def test_supervision_goes_on_while_the_log_disk_is_full_and_the_loss_is_counted(watchdog):
    log_dir = os.path.dirname(watchdog.log_path)
    os.makedirs(log_dir)
    # The log folder is a 1 MiB tmpfs that only the watchdog and its children
    # see; the test reaches it through the watchdog's /proc/PID/root.
    watchdog.start(wrapper=["unshare", "-m", "--propagation", "private", "sh", "-c",
                            'mount -t tmpfs -o size=1m tmpfs "$0" && exec "$@"', log_dir])
    seen_dir = "/proc/%d/root%s" % (watchdog.proc.pid, log_dir)
    watchdog.log_path = os.path.join(seen_dir, "Watchdog.log")
    watchdog.add_service("Worker", KEEPALIVE)
    assert watchdog.net("start", "Worker").returncode == 0
    watchdog.wait_log(r"register new process\[Worker.exe\]")

    filler = fill(seen_dir)
    assert wait_until(lambda: "cannot write the log file" in watchdog.output(), 30), watchdog.output()
    # Restarts go on with nothing written: the service's process changes twice.
    pids = {watchdog.service_pid("Worker")}
    for _ in range(2):
        assert wait_until(lambda: watchdog.service_pid("Worker") not in pids | {None}, 30)
        pids.add(watchdog.service_pid("Worker"))

    os.remove(filler)
    watchdog.wait_log(r"(?m)^%s \[Error\] ZelvinUtil: (\d+) log records could not be written to %s "
                      r"\(.*No space left on device\)$" % (STAMP, re.escape(os.path.join(log_dir, "Watchdog.log"))))
    lost = re.search(r"ZelvinUtil: (\d+) log records could not be written", watchdog.log())
    assert int(lost.group(1)) >= 2  # at least the two restarts' records
    # Supervision goes on being written after the outage.
    assert wait_until(lambda: "kill process[Worker.exe]" in watchdog.log()[lost.end():], 30)
    assert watchdog.proc.poll() is None
    assert watchdog.output().count("cannot write the log file") == 1, watchdog.output()


def test_a_worker_ended_by_an_exception_is_named_in_a_critical_record_and_a_crash_report(watchdog):
    """A record that expires at once while PATH has no net: the next cycle's
    "net stop" cannot be started, which ends the worker. (The service folder
    gone for good ends it the same way: ServiceFolderTest, LifecycleTest.)"""
    exception = r"Poco::SystemException: System exception: Cannot start net: No such file or directory"
    watchdog.start(PATH="/usr/bin:/bin")
    watchdog.wdctl("register", "Ghost.exe", "NoSuchService", "1", "0")
    watchdog.wait_log(r"(?m)^%s \[Critical\] ZelvinUtil: thread \S+ ended by an uncaught exception: %s "
                      r"\(crash report (\S+)\)$" % (STAMP, exception))
    report = re.search(r"\(crash report (\S+)\)\n", watchdog.log()).group(1)
    assert os.path.dirname(report) == os.path.join(os.path.dirname(watchdog.log_path), "crash")
    with open(report) as f:
        assert re.search(r"^Exception: %s$" % exception, f.read(), re.M)
    # The process stays up; the port is still open.
    assert watchdog.proc.poll() is None
    watchdog.wait_listening()
