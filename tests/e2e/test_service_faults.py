"""Faults around the services, against the real watchdog and `net`: a restart
storm, a service that dies right after each start, the service folder away
for a moment."""

import os
import re
import time

from wdharness import describe, wait_until, zombie_children

STOP_TIMEOUT_MS = 1000
REFUSED = "The service could not be controlled in its present state."


def test_restart_storm_is_bounded(watchdog):
    """Timeout 0 on a service that ignores SIGTERM: a restart (net stop, net
    start) is due every fifth pass, and each stop takes the stop timeout, so
    commands come faster than they end. The storm reaches net's bound: one
    command at work, one waiting, the rest refused at once; never more than
    four net processes run, and none outlives the watchdog by more than the
    stop timeout."""
    watchdog.add_service("Storm", "trap '' TERM\nwhile :; do sleep 1; done")
    watchdog.start(ZELVIN_STOP_TIMEOUT_MS=STOP_TIMEOUT_MS)
    assert watchdog.net("start", "Storm").returncode == 0
    watchdog.wdctl("register", "Storm.exe", "Storm", str(watchdog.service_pid("Storm")), "0")

    counts = []

    def bound_reached():
        counts.append(len(watchdog.net_commands("Storm")))
        return watchdog.output().count(REFUSED) >= 4 and watchdog.log().count("kill process[Storm.exe]") >= 6
    assert wait_until(bound_reached, 60), "%d refused, %d kill records" % (
        watchdog.output().count(REFUSED), watchdog.log().count("kill process[Storm.exe]"))
    assert max(counts) <= 4, counts
    assert wait_until(lambda: not zombie_children(watchdog.proc.pid), 5), zombie_children(watchdog.proc.pid)

    assert watchdog.stop() == 0
    gone = time.monotonic()
    # A waiting command gives up with the program that ran it; the one at
    # work finishes its stop.
    assert wait_until(lambda: len(watchdog.net_commands("Storm")) <= 1, 1.0), \
        describe(watchdog.net_commands("Storm"))
    assert wait_until(lambda: not watchdog.net_commands("Storm"), STOP_TIMEOUT_MS / 1000 + 1.0), \
        describe(watchdog.net_commands("Storm"))
    print("storm: at most %d net at once; last net gone %.2f s after the watchdog"
          % (max(counts), time.monotonic() - gone))


def test_passing_faults_leave_supervision_going(watchdog, tmp_path):
    """DUZI dies 100 ms after each start, within net's settle time: it is
    never reported running. The service folder is away three times for
    0.3 s: VADA's status never flaps and the worker goes on, so Worker's
    later expiry is still restarted."""
    watchdog.add_service("DUZI", "sleep 0.1\nexit 1")
    watchdog.add_sleeper("VADA")
    watchdog.add_service("Worker", "exec wdctl keepalive Worker.exe Worker 1500 --interval 200 --stop-after 5")
    watchdog.start()
    assert watchdog.net("start", "Worker").returncode == 0
    watchdog.wait_log(r"register new process\[Worker.exe\]")
    watchdog.wait_log(r"VADA Status changed from stop to running!")

    away = str(tmp_path / "services.away")
    for _ in range(3):
        os.rename(watchdog.services, away)
        time.sleep(0.3)
        os.rename(away, watchdog.services)
        time.sleep(0.4)

    watchdog.wait_log(r"kill process\[Worker.exe\]")
    watchdog.wait_log(r"launch process\[Worker\] Success")
    watchdog.wait_log(r"register process\[Worker.exe\] is existed!")
    log = watchdog.log()
    assert "DUZI Status changed" not in log
    assert len(re.findall(r"start DUZI int the loop!", log)) >= 10, "the poll went on trying"
    assert re.findall(r"(\w+) Status changed from (\w+) to (\w+)!", log) == [("VADA", "stop", "running")]
    assert len(watchdog.net_commands("DUZI")) <= 4
