"""The application as a user meets it: help, a normal run and its end, and
the ways a start can fail."""

import os
import re
import signal
import socket

import pytest

from wdharness import alive, connects, wait_until


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
        assert watchdog.stop(sig) == 0
        # The module's worker serves until process exit, after the
        # application's own last record.
        records = [l for l in watchdog.log().splitlines() if " WTD: " not in l and l.strip()]
        assert records[-1].endswith("shutting down"), records[-3:]
        assert watchdog.output() == ""


# A failure in initialize is handled by the framework, which reports it on
# standard error and ends the run with its configuration-error code.
EXIT_CONFIG = 78


@pytest.mark.parametrize("config, named", [(None, "Watchdog.xml"), ("<config><Log/></config>", "Log.Type[@value]")])
def test_a_missing_config_file_or_key_ends_the_run_naming_it(watchdog, config, named):
    path = os.path.join(watchdog.etc, "Watchdog.xml")
    os.remove(path)
    if config:
        with open(path, "w") as f:
            f.write(config)
    r = watchdog.run()
    assert (r.returncode, r.stdout) == (EXIT_CONFIG, "")
    assert named in r.stderr


def test_taken_port_ends_the_process_instead_of_idling(watchdog):
    with socket.create_server(("0.0.0.0", 30024)):
        r = watchdog.run(timeout=60)
    # The bind failure leaves main through the framework, which logs it
    # and ends the run with its software-error code.
    assert r.returncode == 70
    assert re.search(r"(?i)address already in use|in use", watchdog.log() + r.stderr)
    assert "shutting down" in watchdog.log()


def test_daemon_run_serves_and_ends_on_sigterm(watchdog, tmp_path):
    pidfile = tmp_path / "watchdog.pid"
    r = watchdog.run("--daemon", "--pidfile=%s" % pidfile)
    assert r.returncode == 0, r.stderr
    assert wait_until(lambda: pidfile.exists() and pidfile.read_text().strip())
    pid = int(pidfile.read_text())
    try:
        watchdog.wait_log(r"ZelvinWatchdog running\.\.\.\.")
        assert wait_until(connects)
        os.kill(pid, signal.SIGTERM)
        assert wait_until(lambda: not alive(pid), 20)
        assert "shutting down" in watchdog.log()
    finally:
        if alive(pid):
            os.kill(pid, signal.SIGKILL)
