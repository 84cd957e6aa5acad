"""Supervision for real: the watchdog, `net` and services in a service folder
of the test's own. A restart through the folder is test_service_faults.py's
(and test_status.py's, test_persistence.py's); a record of a service that is
not listed, dropped at its first expiry, test_app.py's."""

import time

from wdharness import wait_until, zombie_children

def test_dependent_services_are_started_and_dog_records_suppress_it(watchdog):
    watchdog.add_sleeper("DUZI")
    watchdog.start()
    # Stopped at start-up: started by the start-up check, without a record.
    assert wait_until(lambda: watchdog.service_pid("DUZI"))
    watchdog.wait_log(r"DUZI Status changed from stop to running!")

    assert watchdog.net("stop", "DUZI").returncode == 0
    watchdog.wait_log(r"\[WatchdogServerModule::handleClientProcess \d+\] DUZI Status changed from running to stop!")
    watchdog.wait_log(r"start DUZI int the loop!")
    assert wait_until(lambda: watchdog.service_pid("DUZI"))

    watchdog.wdctl("register", "DUZI_DOG", "DUZI", "1", "never")
    watchdog.wait_log(r"register new process\[DUZI_DOG\]")
    starts = watchdog.log().count("start DUZI int the loop!")
    # A start request of an earlier cycle may still wait behind another
    # command; let it finish, or it would start DUZI after the stop below.
    # DUZI counts as running only once no start is settling.
    assert wait_until(lambda: not watchdog.net_commands("DUZI"), 30)
    watchdog.wait_log(r"DUZI Status changed from stop to running!", count=2)
    assert watchdog.net("stop", "DUZI").returncode == 0
    watchdog.wait_log(r"DUZI Status changed from running to stop!", count=2)
    time.sleep(2)  # many cycles: none of them may start it
    assert watchdog.log().count("start DUZI int the loop!") == starts
    assert watchdog.service_pid("DUZI") is None


def test_a_hundred_start_requests_leave_no_zombie(watchdog):
    watchdog.add_service("VADA", "exit 1")
    watchdog.start(ZELVIN_START_SETTLE_MS="20")
    watchdog.wait_log(r"start VADA int the loop!", count=100, timeout=120)
    pid = watchdog.proc.pid
    # A command that just ended may be caught between exit and reaping.
    assert wait_until(lambda: not zombie_children(pid), timeout=5), zombie_children(pid)
