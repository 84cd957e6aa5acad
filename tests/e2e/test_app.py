"""The application as a user meets it: help, a normal run and its end, and
the ways a start can fail."""

import os
import re
import signal
import socket
import time

import pytest

from wdharness import SLEEPER_SCRIPT, alive, connects, wait_until

DEPENDENTS = ("MySqlqvms80", "DUZI", "VADA")
# A failure in initialize is handled by the framework, which reports it on
# standard error and ends the run with its configuration-error code; the
# application does the same for a service manager variable it cannot use.
EXIT_CONFIG = 78
# Variables the module checks when it is created; a help run never gets there.
WRONG_VARIABLES = {"ZELVIN_SERVICE_MANAGER": "upstart", "ZELVIN_SYSTEMD_SCOPE": "session"}


def wtd_records(log):
    """The texts of the log's records on "WTD", source lines left out."""
    return [re.sub(r"^\[(\S+) \d+\]", r"[\1]", m) for m in re.findall(r"(?m)^\S+ \S+ \[\w+\] WTD: (.*)$", log)]


def test_help_prints_usage_and_options_and_starts_nothing_whatever_the_variables(watchdog):
    watchdog.env.update(WRONG_VARIABLES)
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
    assert r.stderr == ""


def test_a_quiet_run_writes_only_the_designs_records_and_ends_cleanly_on_sigterm_and_sigint(watchdog):
    for sig in (signal.SIGTERM, signal.SIGINT):
        if os.path.exists(watchdog.log_path):
            os.remove(watchdog.log_path)
        # Not probed for listening: a probe's connection is a record on "WTD".
        watchdog.start(listening=False)
        watchdog.wait_log(r"Process\[VADA\] is unregistered!")
        # A few passes, which must add nothing.
        time.sleep(1.0)
        assert watchdog.stop(sig) == 0
        log = watchdog.log()
        assert wtd_records(log) == ["Watchdog SERVER initialize ok", "ZelvinWatchdog running...."] + [
            "[WatchdogServerModule::checkAndStartServer] Process[%s] is unregistered!" % name for name in DEPENDENTS]
        # The module's worker serves until process exit, after the
        # application's own last record.
        records = [l for l in log.splitlines() if " WTD: " not in l and l.strip()]
        assert records[-1].endswith("shutting down"), records[-3:]
        assert watchdog.output() == ""


@pytest.mark.parametrize("change, stderr", [
    ({"ZELVIN_SERVICE_MANAGER": "upstart"}, 'Invalid argument: ZELVIN_SERVICE_MANAGER="upstart" is not known'),
    ({"ZELVIN_SYSTEMD_SCOPE": "session"}, 'Invalid argument: ZELVIN_SYSTEMD_SCOPE="session" is not known'),
    (None, "Watchdog.xml"),
    ("<config><Log/></config>", "Log.Type[@value]"),
])
def test_a_wrong_variable_or_a_missing_config_file_or_key_ends_the_run_naming_it(watchdog, change, stderr):
    """Exit 78 and the cause on standard error. A service manager variable is
    checked when the module is created, before anything listens or is looked
    at."""
    path = os.path.join(watchdog.etc, "Watchdog.xml")
    if isinstance(change, dict):
        watchdog.env.update(change)
    else:
        os.remove(path)
        if change:
            with open(path, "w") as f:
                f.write(change)
    r = watchdog.run()
    assert (r.returncode, r.stdout) == (EXIT_CONFIG, "")
    assert stderr in r.stderr
    assert "Process[" not in watchdog.log()


def test_a_service_manager_that_cannot_be_reached_ends_the_start_with_nothing_started(watchdog, tmp_path):
    """systemd chosen, and no manager in its runtime folder: the start-up
    check of the dependent services raises after the retry, and the run ends
    with the framework's code; a stub `net` would say if it were started."""
    stub = tmp_path / "stub"
    stub.mkdir()
    (stub / "net").write_text('#!/bin/sh\necho "$@" >> "%s"\n' % (tmp_path / "net-commands"))
    (stub / "net").chmod(0o755)
    runtime = tmp_path / "runtime"
    runtime.mkdir()
    env = dict(watchdog.env, ZELVIN_SERVICE_MANAGER="systemd", ZELVIN_SYSTEMD_SCOPE="user",
               XDG_RUNTIME_DIR=str(runtime), PATH="%s:/usr/bin:/bin" % stub)
    env.pop("DBUS_SESSION_BUS_ADDRESS", None)
    watchdog.env = env
    r = watchdog.run(timeout=60)
    assert r.returncode == 70, r.stderr
    log = watchdog.log()
    assert "the service manager did not answer for" in log and "The service manager does not answer" in log
    assert "Process[" not in log and "Status changed" not in log
    assert not (tmp_path / "net-commands").exists()
    assert "shutting down" in log


def test_with_a_list_only_listed_folder_services_are_started(watchdog):
    """The list is the operator's, also on the service folder: an unlisted
    service (and an unlisted dependent) is unregistered, never started."""
    for name in ("Unlisted", "DUZI"):
        watchdog.add_sleeper(name)
    watchdog.add_service("Listed", "env > env.txt\n" + SLEEPER_SCRIPT)
    watchdog.allow("Listed")
    watchdog.start()
    watchdog.wait_log(r"Process\[DUZI\] is unregistered!")
    for name in ("Listed", "Unlisted"):
        watchdog.wdctl("register", name + ".exe", name, "1", "1000")
    watchdog.wait_log(r"launch process\[Listed\] Success", timeout=30)
    watchdog.wait_log(r"kill process\[Unlisted.exe\]")
    watchdog.wdctl("feed", "Unlisted.exe")
    watchdog.wait_log(r"feed process\[Unlisted.exe\] is not existed!")
    assert wait_until(lambda: not watchdog.net_commands(), 30)
    assert watchdog.service_pid("Listed") and not watchdog.service_pid("Unlisted")
    assert not watchdog.service_pid("DUZI")
    log = watchdog.log()
    assert "launch process[Unlisted]" not in log and "start DUZI int the loop" not in log
    # What the watchdog handed to its children (through net to the service).
    env = dict(line.split("=", 1) for line in open(os.path.join(watchdog.services, "Listed", "env.txt"))
               if "=" in line)
    assert os.path.normpath(env["ZELVIN_CONFIG_DIR"].strip()) == os.path.normpath(watchdog.etc)
    assert env["ZELVIN_RUNTIME_DIR"].strip()


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
