"""The watchdog and `net` driving systemd units of one private systemd
manager (tools/private_systemd.py), shared by the whole module. The watchdog
runs outside the manager, with the manager's environment; both are in this
file's network namespace."""

import os
import re
import time

import pytest

import private_systemd
from conftest import BIN
from wdharness import Watchdog, message, send, wait_until

DEPENDENTS = ("MySqlqvms80", "DUZI", "VADA")
# What the tests may have the watchdog control (services.d beside Watchdog.xml).
LISTED = DEPENDENTS + ("Worker", "Pool@listed")
# Loaded units the list leaves out: the template's other instance, a bystander
# and the unit that ends the manager (private_systemd.EXIT_UNITS).
UNLISTED = ("Pool@other", "Bystander", "systemd-exit")
SLEEPER = "/bin/sleep infinity"
# Fails right after each start, before it is ready: activating, then failed.
FAILING = ("/bin/sh -c 'sleep 0.3; exit 1'", "Type=notify\nNotifyAccess=all\n")
KEEPALIVE = BIN + "/wdctl keepalive {0}.exe {0} 1000 --interval 200 --stop-after 1"
# Invalid unit names of three kinds; which names are invalid is the unit name
# rule's (SystemdChoiceTest), here what the watchdog and net do with them.
HOSTILE = ("../x", "a b", b"\xff\xfe")


@pytest.fixture(scope="module")
def manager(tmp_path_factory):
    sd = private_systemd.start_or_skip(root=tmp_path_factory.mktemp("systemd"))
    yield sd
    sd.stop()


@pytest.fixture
def wd(tmp_path, manager):
    for name in DEPENDENTS:
        manager.add_service(name, SLEEPER)
    manager.systemctl("daemon-reload")
    w = Watchdog(BIN, tmp_path)
    w.env = manager.client_env(w.env)
    w.allow(*LISTED)
    yield w
    assert w.close(), "the watchdog did not end within 30 s of SIGTERM"
    # The watchdog never waits for its `net` commands: let them end before
    # the next test's units are set up.
    wait_until(lambda: not w.net_commands(), 30)
    manager.systemctl("stop", "*.service")
    manager.systemctl("reset-failed")


def status_changes(wd, service):
    return re.findall(r"\[Critical\] WTD: \[\S+ \d+\] %s Status changed from (\w+) to (\w+)!" % service, wd.log())


def test_only_listed_units_restart_and_unknown_unlisted_or_hostile_services_are_dropped(manager, wd):
    manager.add_service("Worker", KEEPALIVE.format("Worker"))
    manager.add_unit("Pool@.service", "[Service]\nExecStart=%s\n" % SLEEPER)
    manager.add_service("Bystander", SLEEPER)
    wd.start()
    wd.wait_log(r"service manager: systemd \(user manager\)")
    wd.wait_log(r"service allow-list: %d service\(s\) listed in %s" % (len(LISTED), re.escape(wd.etc)))
    assert wd.net("start", "Worker").returncode == 0
    first = manager.main_pid("Worker.service")
    send(message(1, "Ghost.exe", "NoSuchService", 0, 1000), message(1, "Pool.exe", "Pool@listed", 0, 1000),
         *(message(1, service + ".exe", service, 0, 1000) for service in UNLISTED),
         *(message(1, "Hostile%d.exe" % i, service, 0, 1000) for i, service in enumerate(HOSTILE)))
    wd.wait_log(r"register new process\[Hostile%d.exe\]" % (len(HOSTILE) - 1))

    wd.wait_log(r"kill process\[Worker.exe\]", timeout=30)
    wd.wait_log(r"launch process\[Worker\] Success")
    wd.wait_log(r"register process\[Worker.exe\] is existed!")
    assert wait_until(lambda: manager.main_pid("Worker.service") not in (0, first))
    wd.wait_log(r"launch process\[Pool@listed\] Success")
    assert wait_until(lambda: manager.show("Pool@listed.service", "ActiveState") == "active")

    # Stopped and dropped at their first expiry; nothing was started for them.
    dropped = ["Ghost.exe"] + [s + ".exe" for s in UNLISTED] + ["Hostile%d.exe" % i for i in range(len(HOSTILE))]
    for name in dropped:
        wd.wait_log(r"kill process\[%s\]" % re.escape(name))
        wd.wdctl("feed", name)
        wd.wait_log(r"feed process\[%s\] is not existed!" % re.escape(name))
    assert set(re.findall(r"launch process\[([^\]]*)\]", wd.log())) == {"Worker", "Pool@listed"}
    # The unit that ends the manager was never started: the manager runs on.
    assert wait_until(lambda: not wd.net_commands(), 30)
    assert manager.system_state() in private_systemd.READY_STATES
    for service in UNLISTED:
        assert manager.show(service + ".service", "ActiveState") == "inactive", service
    units = manager.systemctl("list-units", "--all", "--plain", "--no-legend").stdout
    assert "a b" not in units and "../x" not in units
    for service in ("../x", "NoSuchService"):
        r = wd.net("start", service)
        assert r.returncode == 2 and "The service name is invalid." in r.stderr, service


def test_dependent_units_are_started_once_and_a_dog_record_suppresses_the_start(manager, wd):
    wd.start()
    for name in DEPENDENTS:
        wd.wait_log(r"\[Critical\] WTD: .* %s Status changed from stop to running!" % name)
        assert manager.show(name + ".service", "ActiveState") == "active"
    first = manager.main_pid("DUZI.service")
    # Start requests of passes before the services ran may still be on their
    # way; one of them would start DUZI again before the watchdog sees it stop.
    assert wait_until(lambda: not wd.net_commands(), 30)
    manager.systemctl("stop", "DUZI.service")
    wd.wait_log(r"DUZI Status changed from running to stop!")
    wd.wait_log(r"start DUZI int the loop!")
    assert wait_until(lambda: manager.main_pid("DUZI.service") not in (0, first))

    wd.wdctl("register", "VADA_DOG", "VADA", "1", "never")
    wd.wait_log(r"register new process\[VADA_DOG\]")
    starts = wd.log().count("start VADA int the loop!")
    manager.systemctl("stop", "VADA.service")
    wd.wait_log(r"VADA Status changed from running to stop!")
    time.sleep(1.5)  # many passes: none may start VADA
    assert wd.log().count("start VADA int the loop!") == starts
    assert manager.show("VADA.service", "ActiveState") == "inactive"
    wd.wait_log(r"DUZI Status changed from stop to running!", count=2)
    for name in DEPENDENTS:
        expected = [("stop", "running")] + {"DUZI": [("running", "stop"), ("stop", "running")],
                                            "VADA": [("running", "stop")]}.get(name, [])
        assert status_changes(wd, name) == expected, name


def test_a_unit_that_fails_while_activating_is_never_counted_running(manager, wd):
    manager.add_service("DUZI", *FAILING)
    manager.systemctl("daemon-reload")
    wd.start()
    seen = set()
    wait_until(lambda: seen.add(manager.show("DUZI.service", "ActiveState")) or
               (len(re.findall("start DUZI int the loop!", wd.log())) >= 5 and "activating" in seen), 30)
    assert "activating" in seen and "active" not in seen
    assert status_changes(wd, "DUZI") == []


def test_a_reexecuting_manager_is_ridden_out_and_one_that_is_gone_ends_the_worker(manager, wd):
    wd.start()
    for name in DEPENDENTS:
        wd.wait_log(r"%s Status changed from stop to running!" % name)
    for _ in range(3):
        assert manager.systemctl("daemon-reexec").returncode == 0
        wd.wdctl("register", "Fed.exe", "NoSuchService", "1", "never")
        wd.wdctl("cancel", "Fed.exe")
        time.sleep(0.3)
    wd.wait_log(r"cancel process\[Fed.exe\]", count=3)
    # Each re-execution drops the watchdog's connection; the next query fails,
    # and the retry rides it out.
    wd.wait_log(r"\[Information\] Watchdog: .* the service manager answered again after \d+ ms")
    assert all(status_changes(wd, name) == [("stop", "running")] for name in DEPENDENTS)

    # Gone for good: the registration query of the next pass raises once the
    # retry has waited its budget, and that ends the worker.
    manager.kill_manager()
    wd.wait_log(r"\[Critical\] ZelvinUtil: thread \S+ ended by an uncaught exception: Poco::IOException: "
                r"I/O error: The service manager does not answer", timeout=30)
    waited = re.findall(r"\[Error\] Watchdog: .* the service manager did not answer for (\d+) ms", wd.log())
    assert waited and int(waited[-1]) >= 3000, waited
    assert "exception" not in "".join(new for name in DEPENDENTS for _, new in status_changes(wd, name))
    assert wd.proc.poll() is None
    manager.start()


def test_nothing_of_the_manager_is_left_behind(manager):
    manager.add_service("Left", SLEEPER)
    manager.systemctl("start", "Left.service")
    pids = manager.processes()
    assert manager.main_pid("Left.service") in pids
    manager.stop()
    assert not os.path.exists(manager.cgroup)
    assert wait_until(lambda: not any(os.path.exists("/proc/%d" % pid) for pid in pids), 10)
