"""The application as a user meets it: help, a normal run and its end, and
the ways a start can fail."""

import os
import re
import signal
import socket

from conftest import wait_until
from wdharness import process_state


def test_help_prints_usage_and_options_and_starts_nothing(watchdog):
    r = watchdog.run("--help", "--no-such-option-after-help")
    assert r.returncode == 0, r.stderr
    out = r.stdout
    assert out.startswith("usage: REdodevaz OPTIONS\n")
    # The formatter wraps the header at its default width.
    assert ("A DUDAridiv application that demonstrates some of the features of the "
            "Util::ZelvinServerApplication class.") in " ".join(out.split())
    for option in ("--help", "-h", "--daemon", "--pidfile", "--umask"):
        assert option in out
    assert "display help information on command line arguments" in out
    log = watchdog.log()
    records = [line for line in log.splitlines() if line.strip()]
    assert "Watchdog SERVER initialize ok" in records[0]
    assert "ZelvinWatchdog running...." in records[1]
    assert "shutting down" in records[-1]
    # No module: nothing listened, no dependent service was looked at.
    assert "Process[" not in log and "server get new client" not in log


def test_run_ends_cleanly_on_sigterm_and_sigint(watchdog):
    for sig in (signal.SIGTERM, signal.SIGINT):
        watchdog.start()
        watchdog.wait_listening()
        assert watchdog.stop(sig) == 0
        # The module's worker serves until process exit, after the
        # application's own last record.
        records = [l for l in watchdog.log().splitlines() if " WTD: " not in l and l.strip()]
        assert records[-1].endswith("shutting down"), records[-3:]
        assert watchdog.output() == ""


# A failure in initialize is handled by the framework, which reports it on
# standard error and ends the run with its configuration-error code.
EXIT_CONFIG = 78


def test_missing_config_file_ends_the_run_naming_the_file(watchdog):
    os.remove(os.path.join(watchdog.etc, "Watchdog.xml"))
    r = watchdog.run()
    assert r.returncode == EXIT_CONFIG
    assert "Watchdog.xml" in r.stderr
    assert r.stdout == ""


def test_config_without_log_type_ends_the_run_naming_the_key(watchdog):
    with open(os.path.join(watchdog.etc, "Watchdog.xml"), "w") as f:
        f.write("<config><Log/></config>")
    r = watchdog.run()
    assert r.returncode == EXIT_CONFIG
    assert "Log.Type[@value]" in r.stderr


def test_taken_port_ends_the_process_instead_of_idling(watchdog):
    blocker = socket.socket()
    # Address reuse only lets the bind through TIME_WAIT left by earlier tests;
    # a listening socket still keeps the watchdog out.
    blocker.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    try:
        blocker.bind(("0.0.0.0", 30024))
        blocker.listen(1)
        r = watchdog.run(timeout=60)
        # The bind failure leaves main through the framework, which logs it
        # and ends the run with its software-error code.
        assert r.returncode == 70
        assert re.search(r"(?i)address already in use|in use", watchdog.log() + r.stderr)
        assert "shutting down" in watchdog.log()
    finally:
        blocker.close()


def test_daemon_run_serves_and_ends_on_sigterm(watchdog, tmp_path):
    pidfile = tmp_path / "watchdog.pid"
    r = watchdog.run("--daemon", "--pidfile=%s" % pidfile)
    assert r.returncode == 0, r.stderr
    assert wait_until(lambda: pidfile.exists() and pidfile.read_text().strip())
    pid = int(pidfile.read_text())
    watchdog.wait_listening()
    watchdog.wait_log(r"ZelvinWatchdog running\.\.\.\.")
    os.kill(pid, signal.SIGTERM)
    assert wait_until(lambda: process_state(pid) in (None, "Z"), 20)
    assert "shutting down" in watchdog.log()


def test_log_level_error_drops_information_records(watchdog):
    watchdog.write_config(level="error")
    watchdog.start()
    watchdog.wait_listening()
    watchdog.wdctl("send", "--type", "9", "x")
    watchdog.wait_log(r"\[Error\] WTD: .*unknowing watchdog message type 9")
    watchdog.stop()
    log = watchdog.log()
    assert "ZelvinWatchdog running...." not in log
    assert "[I]" not in log and "[Information]" not in log
