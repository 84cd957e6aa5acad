"""The Windows build (build-windows/) under Wine, in a fresh prefix: the help
run, the unit tests, and REdodevaz.exe as a real Wine service that talks to
Wine's service manager and net.exe. A Linux-side client reaches it on
127.0.0.1:30024. The service tests run in file order and share one watchdog."""

import os
import shutil
import socket
import time
from concurrent.futures import ThreadPoolExecutor

import pytest

from winehost import WIN_BUILD, WineLog, wait_until, windows_path
from wdharness import PORT, config_xml, message, port_is_free

DEMO_COPIES = ("DUZI", "SlowStop")


def send(*messages):
    with socket.create_connection(("127.0.0.1", PORT), timeout=10) as sock:
        for data in messages:
            sock.sendall(data)
        sock.shutdown(socket.SHUT_WR)
        sock.recv(1)  # the watchdog closes after reading everything


@pytest.fixture(scope="module")
def app_dir(tmp_path_factory):
    """The watchdog and our net.exe with the configuration beside them (the
    allow-list lists the demo services, in other case than the services
    have), and three copies of the demo service, each configured by
    <exe name>.properties."""
    if not (WIN_BUILD / "bin" / "REdodevaz.exe").exists():
        pytest.fail(f"no Windows build in {WIN_BUILD}: run make windows")
    folder = tmp_path_factory.mktemp("app")
    for exe in ("REdodevaz.exe", "net.exe", "DemoService.exe"):
        shutil.copy(WIN_BUILD / "bin" / exe, folder / exe)
    for copy in DEMO_COPIES:
        shutil.copy(WIN_BUILD / "bin" / "DemoService.exe", folder / f"{copy}.exe")
    (folder / "services.d").mkdir()
    (folder / "services.d" / "product.conf").write_text("demoservice\nduzi\nSLOWSTOP\n")
    (folder / "SlowStop.properties").write_text("demo.register = false\ndemo.stopDelayMs = 4000\n")
    (folder / "Watchdog.xml").write_text(config_xml())
    (folder / "DemoService.properties").write_text("demo.stopFeedingAfter = 6\ndemo.timeoutMs = 4000\n")
    (folder / "DUZI.properties").write_text("demo.register = false\n")
    return folder


def test_help_lists_the_windows_options(wine, app_dir):
    rc, out = wine.run(app_dir / "REdodevaz.exe", "/help")
    assert rc == 0, out
    assert "usage: REdodevaz OPTIONS" in out
    assert "A DUDAridiv application" in out
    for option in ("/help", "/registerService", "/unregisterService", "/startup="):
        assert option in out


@pytest.mark.parametrize("program", ["common_tests", "client_tests", "watchdog_tests"])
def test_unit_tests_pass_under_wine(wine, program):
    args = [WIN_BUILD / "tests" / f"{program}.exe"]
    if program == "watchdog_tests":
        # Wine reports a close with SO_LINGER 0 as a graceful close, not the
        # reset this case expects.
        args.append("--gtest_filter=-ConnectionLoopTest.AResetClientIsRemovedWithAnError")
    rc, out = wine.run(*args, timeout=600)
    assert rc == 0, out[-4000:]


class Watchdog:
    def __init__(self, wine, folder):
        self.wine = wine
        self.folder = folder
        self.logfile = WineLog(folder / "log" / "Watchdog.log")
        self.log, self.wait_log = self.logfile.text, self.logfile.wait_for

    def net(self, command, service):
        return self.wine.run("net", command, service)


@pytest.fixture(scope="module")
def watchdog(wine, app_dir):
    """REdodevaz registered through the framework's own option and started
    with Wine's net; the demo services created with sc."""
    assert wait_until(port_is_free, timeout=300, interval=1.0), "port 30024 stayed busy"
    rc, out = wine.run(app_dir / "REdodevaz.exe", "/registerService", "/startup=manual")
    assert rc == 0, out
    for name in ("DemoService",) + DEMO_COPIES:
        rc, out = wine.run("sc", "create", name, "binpath=", windows_path(app_dir / f"{name}.exe"),
                           "start=", "demand")
        assert rc == 0, out
    dog = Watchdog(wine, app_dir)
    rc, out = dog.net("start", "REdodevaz")
    assert rc == 0, out
    dog.wait_log("Watchdog SERVER initialize ok")
    yield dog
    # Whatever a test left behind: the watchdog first, so it restarts nothing.
    for name in ("REdodevaz", "DemoService") + DEMO_COPIES:
        if wine.state(name) not in (None, "STOPPED"):
            dog.net("stop", name)
    wine.run(app_dir / "REdodevaz.exe", "/unregisterService")
    for name in ("DemoService",) + DEMO_COPIES:
        wine.run("sc", "delete", name)


def test_stopped_dependent_service_is_started_and_watched(watchdog):
    watchdog.wait_log("Process[MySqlqvms80] is unregistered!")
    watchdog.wait_log("DUZI Status changed from stop to running!")
    assert wait_until(lambda: watchdog.wine.state("DUZI") == "RUNNING")

    rc, out = watchdog.net("stop", "DUZI")
    assert rc == 0, out
    watchdog.wait_log("DUZI Status changed from running to stop!")
    watchdog.wait_log("start DUZI int the loop!")
    watchdog.wait_log("DUZI Status changed from stop to running!", count=2)
    assert "[Critical] WTD: [WatchdogServerModule::handleClientProcess" in watchdog.log()
    assert wait_until(lambda: watchdog.wine.state("DUZI") == "RUNNING")


def test_dog_record_keeps_the_poll_from_starting_its_service(watchdog):
    send(message(1, "DUZI_DOG", "DUZI", 1, 0xFFFFFFFF))
    watchdog.wait_log("register new process[DUZI_DOG]")
    starts = watchdog.log().count("start DUZI int the loop!")
    rc, out = watchdog.net("stop", "DUZI")
    assert rc == 0, out
    watchdog.wait_log("DUZI Status changed from running to stop!", count=2)
    # A start would follow the status change in the same cycle; a message
    # handled afterwards shows that later cycles passed without one too.
    for _ in range(3):
        send(message(1, "Marker.exe", "NoSuchService", 1, 0xFFFFFFFF), message(2, "Marker.exe"))
    watchdog.wait_log("cancel process[Marker.exe]!", count=3)
    assert watchdog.log().count("start DUZI int the loop!") == starts
    assert watchdog.wine.state("DUZI") != "RUNNING"

    send(message(2, "DUZI_DOG"))
    watchdog.wait_log("cancel process[DUZI_DOG]!")
    watchdog.wait_log("start DUZI int the loop!", count=starts + 1)
    assert wait_until(lambda: watchdog.wine.state("DUZI") == "RUNNING")


def test_demo_service_that_stops_feeding_is_restarted_through_net(watchdog):
    rc, out = watchdog.net("start", "DemoService")
    assert rc == 0, out
    watchdog.wait_log("register new process[DemoService.exe]")
    watchdog.wait_log("feed process[DemoService.exe]!")
    # It stops feeding after 6 s and times out 4 s later.
    watchdog.wait_log("kill process[DemoService.exe]", timeout=120)
    watchdog.wait_log("launch process[DemoService] Success")
    # The restarted instance registers again under the record that was kept.
    watchdog.wait_log("register process[DemoService.exe] is existed!", timeout=120)
    assert wait_until(lambda: watchdog.wine.state("DemoService") == "RUNNING")
    demo_log = (watchdog.folder / "DemoService.log").read_text(errors="replace")
    assert demo_log.count("started, pid") >= 2


def ours(wine, app_dir, *args, **kwargs):
    """Exit code and output of our net.exe, line ends as on Linux."""
    rc, out = wine.run(app_dir / "net.exe", *args, **kwargs)
    return rc, out.replace("\r\n", "\n")


def refused(text, helpmsg):
    return f"{text}\n\nMore help is available by typing NET HELPMSG {helpmsg}.\n"


INVALID = refused("The service name is invalid.", 2185)
# Wine's own services, not on the list: one running, one stopped.
UNLISTED = {"PlugPlay": "RUNNING", "Spooler": "STOPPED"}


def net_processes():
    """The command lines of the net.exe processes Wine runs now."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                cmdline = f.read().replace(b"\0", b" ").decode(errors="replace")
        except OSError:
            continue
        if "net.exe" in cmdline.lower():
            found.append(cmdline)
    return found


def test_the_watchdog_runs_our_net_which_leaves_unlisted_services_alone(watchdog):
    """Records naming Wine's own services, which no list allows, expire: the
    watchdog runs "net stop" for each, takes them for unregistered and drops
    them without a start. The net it finds first is ours, beside it, not
    Wine's in system32, and ours refuses them: neither is stopped nor
    started, where Wine's net would have stopped the running one."""
    wine = watchdog.wine
    assert {name: wine.state(name) for name in UNLISTED} == UNLISTED
    send(*(message(1, f"{name}.exe", name, 1, 1000) for name in UNLISTED))
    seen = set()
    for name in UNLISTED:
        watchdog.wait_log(f"kill process[{name}.exe]")
    send(*(message(3, f"{name}.exe") for name in UNLISTED))
    for name in UNLISTED:
        watchdog.wait_log(f"feed process[{name}.exe] is not existed!")
    assert wait_until(lambda: seen.update(net_processes()) or not net_processes()), net_processes()
    assert not [cmdline for cmdline in seen if "system32" in cmdline.lower()], seen
    assert {name: wine.state(name) for name in UNLISTED} == UNLISTED
    assert not [name for name in UNLISTED if f"launch process[{name}]" in watchdog.log()]


def test_our_net_answers_as_the_system_command_and_admits_one_at_work_one_waiting(watchdog):
    """Our net.exe by hand: the system command's messages and exit codes, the
    list without regard to case, and per service one command at work (a stop
    that takes 4 s), one waiting behind it, any further one refused."""
    wine, app_dir = watchdog.wine, watchdog.folder
    slow = {"ZELVIN_STOP_TIMEOUT_MS": "30000"}
    for args, expected in [
            (("start", "SlowStop"), (0, "The SlowStop service is starting.\n"
                                        "The SlowStop service was started successfully.\n")),
            (("start", "slowstop"), (2, refused("The requested service has already been started.", 2182))),
            (("stop", "PlugPlay"), (2, INVALID)),
            (("start", "Spooler"), (2, INVALID)),
            (("pause", "SlowStop"), (1, "The syntax of this command is:\n\nNET START | STOP service\n"))]:
        assert ours(wine, app_dir, *args) == expected, args
    assert {name: wine.state(name) for name in UNLISTED} == UNLISTED

    with ThreadPoolExecutor(3) as pool:
        stop = pool.submit(ours, wine, app_dir, "stop", "SlowStop", env=slow)
        assert wait_until(lambda: wine.state("SlowStop") == "STOP_PENDING", interval=0.1)
        starts = [pool.submit(ours, wine, app_dir, "start", "SlowStop")]
        time.sleep(1.5)  # the first start is waiting before the second comes
        starts.append(pool.submit(ours, wine, app_dir, "start", "SlowStop"))
        results = sorted(start.result() for start in starts)
        assert stop.result() == (0, "The SlowStop service is stopping.\n"
                                    "The SlowStop service was stopped successfully.\n")
    assert results == [(0, "The SlowStop service is starting.\nThe SlowStop service was started successfully.\n"),
                       (2, refused("The service could not be controlled in its present state.", 2189))]
    assert wine.state("SlowStop") == "RUNNING"
    assert ours(wine, app_dir, "stop", "SLOWSTOP", env=slow)[0] == 0
    assert ours(wine, app_dir, "stop", "SlowStop") == (2, refused("The SlowStop service is not started.", 3521))


def test_net_stop_ends_the_watchdog_cleanly(watchdog):
    rc, out = watchdog.net("stop", "REdodevaz")
    assert rc == 0, out
    watchdog.wait_log("shutting down")
    assert wait_until(lambda: watchdog.wine.state("REdodevaz") == "STOPPED")
    assert wait_until(port_is_free), "the stopped watchdog still holds port 30024"
