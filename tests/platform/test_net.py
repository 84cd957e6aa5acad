"""The `net` command against real service folders: it really starts and stops
processes, with the Windows command's messages and exit codes."""

import ctypes
import fcntl
import os
import pathlib
import shutil
import signal
import subprocess
import time

import pytest

BUILD = pathlib.Path(os.environ.get("WATCHDOG_BUILD_DIR", pathlib.Path(__file__).parents[2] / "build"))
SOURCE = pathlib.Path(os.environ.get("WATCHDOG_SOURCE_DIR", pathlib.Path(__file__).parents[2]))
NET = BUILD / "bin" / "net"

LOOP = "trap 'kill $! 2>/dev/null; exit 0' TERM\nwhile :; do sleep 30 & wait $!; done\n"
INVALID = "The service name is invalid.\n\nMore help is available by typing NET HELPMSG 2185.\n"

# Services outlive net and are handed to the nearest subreaper; be that, so
# the ones the tests stop are reaped here rather than piling up under init.
ctypes.CDLL(None, use_errno=True).prctl(36, 1, 0, 0, 0)  # PR_SET_CHILD_SUBREAPER


def state(pid):
    try:
        text = pathlib.Path(f"/proc/{pid}/stat").read_text()
    except FileNotFoundError:
        return None
    return text[text.rindex(")") + 2]


def alive(pid):
    return state(pid) not in (None, "Z", "X")


def wait_until(predicate, what, timeout=30):
    deadline = time.monotonic() + timeout
    while not predicate():
        assert time.monotonic() < deadline, what
        time.sleep(0.02)


@pytest.fixture
def folder(tmp_path):
    services = tmp_path / "services"
    services.mkdir()
    yield services
    for pidfile in services.glob("*/pid"):
        try:
            os.killpg(int(pidfile.read_text().split()[0]), signal.SIGKILL)
        except (ValueError, OSError):
            pass
    while True:
        try:
            if os.waitpid(-1, os.WNOHANG)[0] == 0:
                break
        except ChildProcessError:
            break


def add_service(folder, name, body=LOOP):
    run = folder / name / "run"
    run.parent.mkdir(parents=True)
    run.write_text("#!/bin/sh\n" + body)
    run.chmod(0o755)
    return run.parent


def net(folder, *args, env=None, **kwargs):
    environ = dict(os.environ, ZELVIN_SERVICE_DIR=str(folder), **(env or {}))
    return subprocess.run([str(NET), *args], capture_output=True, env=environ, timeout=120, **kwargs)


def recorded_pid(folder, name):
    return int((folder / name / "pid").read_text().split()[0])


def test_start_and_stop_really_run_and_end_the_service(folder):
    add_service(folder, "DUZI")
    res = net(folder, "start", "DUZI")
    assert (res.returncode, res.stdout) == (0, b"The DUZI service is starting.\nThe DUZI service was started successfully.\n")
    pid = recorded_pid(folder, "DUZI")
    assert alive(pid)
    assert os.getsid(pid) == pid and os.getpgid(pid) == pid

    res = net(folder, "START", "DUZI")
    assert (res.returncode, res.stderr.decode()) == (
        2, "The requested service has already been started.\n\nMore help is available by typing NET HELPMSG 2182.\n")

    res = net(folder, "stop", "DUZI")
    assert (res.returncode, res.stdout) == (0, b"The DUZI service is stopping.\nThe DUZI service was stopped successfully.\n")
    assert not alive(pid)
    assert not (folder / "DUZI" / "pid").exists()

    res = net(folder, "stop", "DUZI")
    assert (res.returncode, res.stderr.decode()) == (
        2, "The DUZI service is not started.\n\nMore help is available by typing NET HELPMSG 3521.\n")


def test_stop_followed_at_once_by_start_restarts(folder):
    add_service(folder, "VADA")
    assert net(folder, "start", "VADA").returncode == 0
    first = recorded_pid(folder, "VADA")
    assert net(folder, "stop", "VADA").returncode == 0
    assert net(folder, "start", "VADA").returncode == 0
    second = recorded_pid(folder, "VADA")
    assert second != first and alive(second) and not alive(first)


@pytest.mark.parametrize("name", [b"unknown", b"../x", b"", b"a/b", b".", b"..", b"n" * 256, b"\xff\xfe\n", b"DUZI\n"])
def test_unsafe_or_unknown_names_are_invalid_and_touch_nothing(folder, name):
    add_service(folder.parent, "x")  # what "../x" would reach
    add_service(folder / "a", "b")
    add_service(folder, "DUZI")
    before = sorted(folder.parent.rglob("*"))
    for verb in (b"start", b"stop"):
        res = net(folder, verb, name)
        assert (res.returncode, res.stderr.decode()) == (2, INVALID)
    assert sorted(folder.parent.rglob("*")) == before


@pytest.mark.parametrize("args", [[], ["start"], ["restart", "DUZI"], ["start", "DUZI", "VADA"]])
def test_other_usage_prints_the_syntax(folder, args):
    res = net(folder, *args)
    assert res.returncode == 1
    assert res.stderr.startswith(b"The syntax of this command is:\n\nNET START | STOP service\n")


@pytest.mark.parametrize("body", ["echo giving up\nexit 3\n", None])
def test_service_that_does_not_stay_up_could_not_be_started(folder, body):
    service = add_service(folder, "DUZI", body or "")
    if body is None:
        (service / "run").write_text("#!/nonexistent/interpreter\n")
    res = net(folder, "start", "DUZI", env={"ZELVIN_START_SETTLE_MS": "2000"})
    assert (res.returncode, res.stderr.decode()) == (
        2, "The DUZI service could not be started.\n\nMore help is available by typing NET HELPMSG 3534.\n")
    assert not (service / "pid").exists()
    assert (b"giving up" if body else b"cannot execute") in (service / "output.log").read_bytes()


def test_service_inherits_no_blocked_signal_and_no_descriptor(folder):
    service = add_service(folder, "DUZI", 'echo "name=$ZELVIN_SERVICE_NAME cwd=$(pwd)"\nexec sleep 1000\n')
    extra = os.open("/dev/null", os.O_RDONLY)

    def as_the_watchdog_worker():
        signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGTERM, signal.SIGPIPE})
        signal.signal(signal.SIGUSR1, signal.SIG_IGN)

    try:
        res = net(folder, "start", "DUZI", preexec_fn=as_the_watchdog_worker, pass_fds=(extra,))
    finally:
        os.close(extra)
    assert res.returncode == 0, res.stderr
    pid = recorded_pid(folder, "DUZI")
    wait_until(lambda: pathlib.Path(f"/proc/{pid}/comm").read_text() == "sleep\n", "run execs sleep")
    status = dict(line.split(":\t", 1) for line in pathlib.Path(f"/proc/{pid}/status").read_text().splitlines())
    assert int(status["SigBlk"], 16) == 0
    assert int(status["SigIgn"], 16) & (1 << (signal.SIGUSR1 - 1)) == 0
    assert sorted(os.listdir(f"/proc/{pid}/fd")) == ["0", "1", "2"]
    assert os.readlink(f"/proc/{pid}/fd/0") == "/dev/null"
    assert f"name=DUZI cwd={service}\n".encode() in (service / "output.log").read_bytes()


def test_stop_kills_a_service_that_ignores_sigterm(folder):
    add_service(folder, "DUZI", "trap '' TERM\nexec sleep 1000\n")
    assert net(folder, "start", "DUZI").returncode == 0
    pid = recorded_pid(folder, "DUZI")
    res = net(folder, "stop", "DUZI", env={"ZELVIN_STOP_TIMEOUT_MS": "300"})
    assert res.returncode == 0, res.stderr
    assert not alive(pid)


def test_start_waits_for_the_lock_and_gives_up(folder):
    service = add_service(folder, "DUZI")
    with open(service / ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        res = net(folder, "start", "DUZI", env={"ZELVIN_LOCK_TIMEOUT_MS": "200"})
    assert res.returncode == 2 and b"system error" in res.stderr
    assert not (service / "pid").exists()
    assert net(folder, "start", "DUZI").returncode == 0


def test_corrupt_pid_file_does_not_block_the_service(folder):
    service = add_service(folder, "DUZI")
    (service / "pid").write_text("garbage")
    assert net(folder, "stop", "DUZI").returncode == 2
    (service / "pid").write_text("garbage")
    assert net(folder, "start", "DUZI").returncode == 0
    assert alive(recorded_pid(folder, "DUZI"))


def test_missing_service_folder_is_a_system_error_naming_it(tmp_path):
    res = net(tmp_path / "absent", "start", "DUZI")
    assert res.returncode == 2 and str(tmp_path / "absent").encode() in res.stderr


@pytest.mark.parametrize("name", ["MySqlqvms80", "DUZI", "VADA"])
def test_demo_services_run_and_stop_on_sigterm(folder, name):
    shutil.copytree(SOURCE / "demo" / "services" / name, folder / name)
    assert net(folder, "start", name).returncode == 0
    log = folder / name / "output.log"
    wait_until(lambda: log.exists() and f"{name} heartbeat".encode() in log.read_bytes(), "heartbeat")
    pid = recorded_pid(folder, name)
    # SIGKILL would come only after a minute; the exit status tells which ended it.
    res = net(folder, "stop", name, env={"ZELVIN_STOP_TIMEOUT_MS": "60000"})
    assert res.returncode == 0, res.stderr
    assert os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0


def launch_back_to_back(folder, *commands, pause_first=0.0):
    """Forks and execs each `net` command without waiting, as the watchdog's
    launcher does. `pause_first` keeps the first child between fork and exec
    a while (a launcher closing many descriptors), so the later command
    surely reaches the service lock first."""
    environ = dict(os.environ, ZELVIN_SERVICE_DIR=str(folder))
    pids = []
    for i, args in enumerate(commands):
        pid = os.fork()
        if pid == 0:
            try:
                devnull = os.open(os.devnull, os.O_WRONLY)
                os.dup2(devnull, 1)
                os.dup2(devnull, 2)
                time.sleep(pause_first if i == 0 else 0)
                os.execve(str(NET), [str(NET), *args], environ)
            finally:
                os._exit(127)
        pids.append(pid)
    return pids


def exit_codes(pids):
    return [os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) for pid in pids]


def test_commands_launched_back_to_back_act_in_launch_order(folder):
    add_service(folder, "DUZI")
    assert net(folder, "start", "DUZI").returncode == 0
    for i in range(20):
        before = recorded_pid(folder, "DUZI")
        pids = launch_back_to_back(folder, ["stop", "DUZI"], ["start", "DUZI"], pause_first=0.05 * (i % 2))
        assert exit_codes(pids) == [0, 0], f"restart {i}"
        after = recorded_pid(folder, "DUZI")
        assert after != before and alive(after) and not alive(before)
    for i in range(6):
        pids = launch_back_to_back(folder, ["stop", "DUZI"], ["start", "DUZI"], ["stop", "DUZI"],
                                   pause_first=0.05 * (i % 2))
        assert exit_codes(pids) == [0, 0, 0], f"stop after start {i}"
        assert not (folder / "DUZI" / "pid").exists()
        assert net(folder, "start", "DUZI").returncode == 0


def test_a_sibling_working_on_another_service_does_not_hold_up(folder):
    add_service(folder, "DUZI")
    blocked = add_service(folder, "VADA")
    with open(blocked / ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        stop_vada, start_duzi = launch_back_to_back(folder, ["stop", "VADA"], ["start", "DUZI"])
        assert exit_codes([start_duzi]) == [0]
        assert os.waitpid(stop_vada, os.WNOHANG) == (0, 0)  # still waiting for VADA's lock
    assert exit_codes([stop_vada]) == [2]  # VADA was never started
    assert alive(recorded_pid(folder, "DUZI"))
