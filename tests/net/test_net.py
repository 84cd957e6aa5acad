"""The `net` command against real service folders: it really starts and stops
processes, with the Windows command's messages and exit codes."""

import contextlib
import ctypes
import fcntl
import json
import os
import pathlib
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import time

import pytest

import private_systemd
import wdharness
from wdharness import ROOT, alive, service_pid, start_time, wait_until

wdharness.isolate_network()
NET = pathlib.Path(wdharness.build_bin()) / "net"

LOOP = "trap 'kill $! 2>/dev/null; exit 0' TERM\nwhile :; do sleep 30 & wait $!; done\n"


def refused(text, helpmsg):
    """What net writes to standard error when it refuses, as the system command does."""
    return "%s\n\nMore help is available by typing NET HELPMSG %d.\n" % (text, helpmsg)


DEPENDENTS = ("MySqlqvms80", "DUZI", "VADA")

INVALID = refused("The service name is invalid.", 2185)

# Services outlive net and are handed to the nearest subreaper; be that, so
# the ones the tests stop are reaped here rather than piling up under init.
ctypes.CDLL(None, use_errno=True).prctl(36, 1, 0, 0, 0)  # PR_SET_CHILD_SUBREAPER


@pytest.fixture
def folder(tmp_path):
    """A service folder, with etc/ (no allow-list: the folder is the list)
    and run/, the runtime folder, beside it."""
    services = tmp_path / "services"
    services.mkdir()
    (tmp_path / "etc").mkdir()
    yield services
    for pidfile in services.glob("*/pid"):
        with contextlib.suppress(ValueError, OSError):
            os.killpg(int(pidfile.read_text().split()[0]), signal.SIGKILL)
    with contextlib.suppress(ChildProcessError):
        while os.waitpid(-1, os.WNOHANG)[0]:
            pass


def add_service(folder, name, body=LOOP):
    return pathlib.Path(wdharness.add_service(folder, name, body))


def net_env(folder, env=None):
    return dict(os.environ, ZELVIN_SERVICE_DIR=str(folder), ZELVIN_CONFIG_DIR=str(folder.parent / "etc"),
                ZELVIN_RUNTIME_DIR=str(folder.parent / "run")) | (env or {})


def net(folder, *args, env=None, program=NET, **kwargs):
    return subprocess.run([str(program), *args], capture_output=True, env=net_env(folder, env), timeout=120,
                          **kwargs)


def command_folder(folder):
    """Where net keeps the queue and lock files of the services of `folder`."""
    st = os.stat(folder)
    return folder.parent / "run" / "net" / f"folder-{st.st_dev}-{st.st_ino}"


def test_start_runs_the_service_clean_in_a_session_of_its_own_and_stop_ends_it(folder):
    """Started from a process like the watchdog's worker (signals blocked and
    ignored, a descriptor open), the service inherits none of it. It ignores
    SIGTERM: stop kills it after the stop timeout. Locks held in the service
    folder, where another account may write, hold up nothing: net's own places
    are elsewhere."""
    service = add_service(folder, "DUZI", 'echo "name=$ZELVIN_SERVICE_NAME cwd=$(pwd)"\ntrap "" TERM\nexec sleep 1000\n')
    held = [open(service / leaf, "a+") for leaf in (".pending", ".queue")]
    for f in held:
        fcntl.lockf(f, fcntl.LOCK_EX)

    def as_the_watchdog_worker():
        signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGTERM, signal.SIGPIPE})
        signal.signal(signal.SIGUSR1, signal.SIG_IGN)

    with open("/dev/null") as extra:
        res = net(folder, "start", "DUZI", preexec_fn=as_the_watchdog_worker, pass_fds=(extra.fileno(),))
    assert (res.returncode, res.stdout) == (0, b"The DUZI service is starting.\nThe DUZI service was started successfully.\n")
    pid = service_pid(folder, "DUZI")
    assert os.getsid(pid) == pid and os.getpgid(pid) == pid
    assert wait_until(lambda: pathlib.Path(f"/proc/{pid}/comm").read_text() == "sleep\n", 30, 0.02)
    status = dict(line.split(":\t", 1) for line in pathlib.Path(f"/proc/{pid}/status").read_text().splitlines())
    assert int(status["SigBlk"], 16) == 0
    assert int(status["SigIgn"], 16) & (1 << (signal.SIGUSR1 - 1)) == 0
    assert sorted(os.listdir(f"/proc/{pid}/fd")) == ["0", "1", "2"]
    assert os.readlink(f"/proc/{pid}/fd/0") == "/dev/null"
    assert f"name=DUZI cwd={service}\n".encode() in (service / "output.log").read_bytes()

    res = net(folder, "START", "DUZI")
    assert (res.returncode, res.stderr.decode()) == (2, refused("The requested service has already been started.", 2182))

    res = net(folder, "stop", "DUZI", env={"ZELVIN_STOP_TIMEOUT_MS": "300"})
    assert (res.returncode, res.stdout) == (0, b"The DUZI service is stopping.\nThe DUZI service was stopped successfully.\n")
    assert not alive(pid)
    assert not (service / "pid").exists()

    res = net(folder, "stop", "DUZI")
    assert (res.returncode, res.stderr.decode()) == (2, refused("The DUZI service is not started.", 3521))
    for f in held:
        f.close()
    res = net(folder.parent / "absent", "start", "DUZI")
    assert res.returncode == 2 and str(folder.parent / "absent").encode() in res.stderr


# Which names are unsafe is the service folder's rule (ServiceFolderTest); here
# net's answer to other usage, an unknown name, an unsafe one, and bytes it
# must not trim.
def test_wrong_usage_and_unknown_or_unsafe_names_are_refused_touching_nothing(folder):
    add_service(folder.parent, "x")  # what "../x" would reach
    add_service(folder, "DUZI")
    before = sorted(folder.parent.rglob("*"))
    for args in [[], ["start"], ["restart", "DUZI"], ["start", "DUZI", "VADA"]]:
        res = net(folder, *args)
        assert (res.returncode, res.stderr) == (1, b"The syntax of this command is:\n\nNET START | STOP service\n")
    for verb in (b"start", b"stop"):
        for name in (b"unknown", b"../x", b"", b"\xff\xfe\n", b"DUZI\n"):
            res = net(folder, verb, name)
            assert (res.returncode, res.stderr.decode()) == (2, INVALID), name
    assert sorted(folder.parent.rglob("*")) == before


@pytest.mark.parametrize("body", ["echo giving up\nexit 3\n", None])
def test_service_that_does_not_stay_up_could_not_be_started(folder, body):
    service = add_service(folder, "DUZI", body or "")
    if body is None:
        (service / "run").write_text("#!/nonexistent/interpreter\n")
    res = net(folder, "start", "DUZI", env={"ZELVIN_START_SETTLE_MS": "2000"})
    assert (res.returncode, res.stderr.decode()) == (2, refused("The DUZI service could not be started.", 3534))
    assert not (service / "pid").exists()
    assert (b"giving up" if body else b"cannot execute") in (service / "output.log").read_bytes()


# Runs as init of a private pid namespace: each tampered pid file is handed
# to `net stop`, next to a bystander that any stray kill(-1), kill(0) or
# kill(pid) would end. Prints what happened as JSON.
TAMPERED_PID_FILES = r"""
import json, os, subprocess, sys
net, pidfile = sys.argv[1], os.path.join(os.environ["ZELVIN_SERVICE_DIR"], "DUZI", "pid")

def start_time(pid):
    stat = open("/proc/%d/stat" % pid).read()
    return stat[stat.rindex(")") + 2:].split()[19]

def run(verb):
    return subprocess.run([net, verb, "DUZI"], capture_output=True, text=True, timeout=60)

bystander = subprocess.Popen(["sleep", "600"])
results = {}
for label, text in [("init", "1 " + start_time(1)), ("zero", "0 0"), ("negative", "-%d 0" % bystander.pid),
                    ("foreign session", "%d %s" % (bystander.pid, start_time(bystander.pid)))]:
    with open(pidfile, "w") as f:
        f.write(text + "\n")
    res = run("stop")
    results[label] = [res.returncode, res.stderr, bystander.poll() is None, open(pidfile).read() == text + "\n"]
results["start over it, then stop"] = [run("start").returncode, run("stop").returncode, bystander.poll() is None]
print(json.dumps(results))
"""


def test_stop_signals_nothing_outside_the_service(folder):
    add_service(folder, "DUZI")
    res = subprocess.run(["unshare", "--pid", "--fork", "--mount-proc", sys.executable, "-c", TAMPERED_PID_FILES,
                          str(NET)], env=net_env(folder), capture_output=True, text=True, timeout=300)
    if res.returncode != 0 and not res.stdout:
        pytest.skip("cannot make a private pid namespace: " + res.stderr.strip())
    results = json.loads(res.stdout)
    assert results.pop("start over it, then stop") == [0, 0, True]
    for label, (code, stderr, bystander_alive, pidfile_kept) in results.items():
        assert code == 2 and stderr.startswith("A system error has occurred.\n\nPid file "), label
        assert stderr.endswith("; nothing was signalled.\n"), (label, stderr)
        assert bystander_alive and pidfile_kept, label


@pytest.mark.parametrize("name", ["MySqlqvms80", "DUZI", "VADA"])
def test_demo_services_run_and_stop_on_sigterm(folder, name):
    shutil.copytree(pathlib.Path(ROOT) / "demo" / "services" / name, folder / name)
    assert net(folder, "start", name).returncode == 0
    log = folder / name / "output.log"
    assert wait_until(lambda: log.exists() and f"{name} heartbeat".encode() in log.read_bytes(), 30)
    pid = service_pid(folder, name)
    # SIGKILL would come only after a minute; the exit status tells which ended
    # it. net waits for the end: the service is ours to reap at once.
    res = net(folder, "stop", name, env={"ZELVIN_STOP_TIMEOUT_MS": "60000"})
    assert res.returncode == 0, res.stderr
    assert os.waitpid(pid, os.WNOHANG) == (pid, 0)


def launch_back_to_back(folder, *commands, pause_first=0.0, env=None):
    """Forks and execs each `net` command without waiting, as the watchdog's
    launcher does; returns (pid, stderr file) pairs. `pause_first` keeps the
    first child between fork and exec a while (a launcher closing many
    descriptors), so the later commands surely reach the queue first."""
    environ = net_env(folder, env)
    launched = []
    for i, args in enumerate(commands):
        err = folder.parent / f"net{len(list(folder.parent.glob('net*.err')))}.err"
        pid = os.fork()
        if pid == 0:
            try:
                os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
                os.dup2(os.open(err, os.O_WRONLY | os.O_CREAT | os.O_TRUNC), 2)
                time.sleep(pause_first if i == 0 else 0)
                os.execve(str(NET), [str(NET), *args], environ)
            finally:
                os._exit(127)
        launched.append((pid, err))
    return launched


def exit_codes(launched):
    return [os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) for pid, _ in launched]


def test_commands_launched_back_to_back_act_in_launch_order(folder):
    add_service(folder, "DUZI")
    assert net(folder, "start", "DUZI").returncode == 0
    for i in range(20):
        before = service_pid(folder, "DUZI")
        launched = launch_back_to_back(folder, ["stop", "DUZI"], ["start", "DUZI"], pause_first=0.05 * (i % 2))
        assert exit_codes(launched) == [0, 0], f"restart {i}"
        after = service_pid(folder, "DUZI")
        assert after != before and alive(after) and not alive(before)


@pytest.mark.parametrize("pause_first", [0.0, 0.3])
def test_one_command_at_work_one_waiting_any_further_refused(folder, pause_first):
    """A start settling for a second is at work; the stop behind it waits and
    then acts; the start launched after that stop is refused at once, also
    when it reaches the queue before the stop it follows. Another service's
    command goes ahead meanwhile; the last command out removes the queue and
    the pending lock."""
    add_service(folder, "DUZI")
    add_service(folder, "VADA")
    settle = {"ZELVIN_START_SETTLE_MS": "1000"}
    at_work = launch_back_to_back(folder, ["start", "DUZI"], env=settle)
    assert wait_until(lambda: (folder / "DUZI" / "pid").exists(), 30, 0.02), "the first start is at work"
    commands = command_folder(folder)
    modes = {path.name: stat.S_IMODE(os.stat(path).st_mode) for path in [commands, *commands.iterdir()]}
    assert modes == {commands.name: 0o700, "DUZI.queue": 0o600, "DUZI.pending": 0o600}
    stop, start = launch_back_to_back(folder, ["stop", "DUZI"], ["start", "DUZI"], pause_first=pause_first,
                                      env=settle)
    assert exit_codes([start]) == [2]
    assert start[1].read_text() == refused("The service could not be controlled in its present state.", 2189)
    assert net(folder, "start", "VADA", env={"ZELVIN_START_SETTLE_MS": "0"}).returncode == 0
    assert os.waitpid(stop[0], os.WNOHANG) == (0, 0), "the stop still waits"
    assert exit_codes(at_work + [stop]) == [0, 0], stop[1].read_text()
    assert not list(commands.iterdir())


def test_a_queue_held_past_the_lock_timeout_fails_the_command_and_an_ended_one_holds_up_nothing(folder):
    add_service(folder, "VADA")
    queue_file = command_folder(folder) / "VADA.queue"
    os.makedirs(queue_file.parent, mode=0o700)
    busy = subprocess.Popen(["sleep", "60"])  # a command at work, as the queue sees it
    try:
        queue_file.write_text(f"{busy.pid} {start_time(busy.pid)}\n")
        res = net(folder, "start", "VADA", env={"ZELVIN_LOCK_TIMEOUT_MS": "200"})
        assert res.returncode == 2 and b"still at work after 200 ms" in res.stderr
        with open(queue_file, "a") as queue:  # a queue lock that is never let go
            fcntl.lockf(queue, fcntl.LOCK_EX)
            res = net(folder, "start", "VADA", env={"ZELVIN_LOCK_TIMEOUT_MS": "200"})
        assert res.returncode == 2 and b"Another net command holds " in res.stderr
    finally:
        busy.kill()
        busy.wait()
    # Its process ended: a net that crashed.
    assert net(folder, "start", "VADA").returncode == 0
    assert not list(queue_file.parent.iterdir())


SYSTEM_ERROR = "A system error has occurred.\n\n"


@pytest.mark.parametrize("path, tamper, reason", [
    ("run", 0o777, "run may be written by other accounts: refused"),
    ("run/net", "owner", "run/net belongs to another account (uid 65534): refused"),
    ("DUZI.queue", "link", "/DUZI.queue is a symbolic link: refused"),
    ("DUZI.pending", "owner", "/DUZI.pending belongs to another account (uid 65534): refused"),
])
def test_queue_and_lock_files_another_account_could_reach_are_refused(folder, path, tamper, reason):
    """What another account could hold, fill or redirect is never used: the
    command fails naming it, the service is left alone, a link's target is
    not touched."""
    add_service(folder, "DUZI")
    commands = command_folder(folder)
    os.makedirs(commands, mode=0o700)
    (folder.parent / "target").write_text("untouched")
    place = folder.parent / path if path.startswith("run") else commands / path
    if tamper == "link":
        place.symlink_to(folder.parent / "target")
    else:
        place.touch(0o600)
        os.chown(place, 65534, 65534) if tamper == "owner" else os.chmod(place, tamper)
    res = net(folder, "start", "DUZI")
    assert res.returncode == 2 and res.stderr.decode().startswith(SYSTEM_ERROR), res.stderr
    assert reason in res.stderr.decode()
    assert not (folder / "DUZI" / "pid").exists()
    assert (folder.parent / "target").read_text() == "untouched"


def test_only_what_the_allow_list_allows_is_started_or_stopped(folder):
    """Without services.d the service folder is the list; with it, only the
    names it lists, exactly, for net run by the watchdog (ZELVIN_CONFIG_DIR)
    or by hand (the folder found beside the program); a list another account
    could have written is a system error, never "allow everything"."""
    for name in ("DUZI", "Stranger"):
        add_service(folder, name)
    assert net(folder, "start", "Stranger").returncode == 0
    stranger = service_pid(folder, "Stranger")
    lists = folder.parent / "etc" / "services.d"
    lists.mkdir()
    (lists / "product.conf").write_text("# the product's services\n  DUZI \n")
    by_hand = folder.parent / "bin" / "net"
    by_hand.parent.mkdir()
    shutil.copy(NET, by_hand)
    for verb, name, program in [("stop", "Stranger", NET), ("stop", "Stranger", by_hand), ("start", "duzi", NET)]:
        res = net(folder, verb, name, program=program, env={"ZELVIN_CONFIG_DIR": ""} if program == by_hand else {})
        assert (res.returncode, res.stderr.decode()) == (2, INVALID), (verb, name, program)
    res = net(folder, "start", "DUZI")
    assert res.returncode == 0, res.stderr

    os.chown(lists / "product.conf", 65534, 65534)
    res = net(folder, "stop", "DUZI")
    assert res.returncode == 2 and res.stderr.decode().startswith(SYSTEM_ERROR), res.stderr
    assert b"product.conf belongs to another account (uid 65534)" in res.stderr
    assert alive(stranger) and alive(service_pid(folder, "DUZI"))
    assert service_pid(folder, "Stranger") == stranger


def test_on_systemd_without_a_list_only_the_dependent_services_are_controlled(tmp_path):
    """What a list allows on systemd is the e2e systemd tests'; here the
    fallback net takes there, and a refused name never reaches the manager."""
    sd = private_systemd.start_or_skip(root=tmp_path)
    try:
        for unit in ("DUZI", "Other"):
            sd.add_service(unit, "/bin/sleep infinity")
        (tmp_path / "etc").mkdir()
        env = dict(sd.client_env(os.environ), ZELVIN_CONFIG_DIR=str(tmp_path / "etc"))
        for verb, name, code, state in [("start", "DUZI", 0, "active"), ("start", "Other", 2, "inactive"),
                                        ("stop", "DUZI", 0, "inactive")]:
            res = subprocess.run([str(NET), verb, name], capture_output=True, text=True, env=env, timeout=120)
            assert (res.returncode, res.stderr) == (code, INVALID if code else ""), (verb, name)
            assert sd.show(name + ".service", "ActiveState") == state, (verb, name)
        assert sd.system_state() in private_systemd.READY_STATES
    finally:
        sd.stop()


# Run as uid 65534 against a watchdog's folders: it locks what it can reach
# of the places net used or uses and tries to swap in symbolic links; prints
# what became of each try as JSON and then holds its locks until ended.
ATTACKER = r"""
import errno, fcntl, json, os, sys, time
services, commands = sys.argv[1], sys.argv[2]
os.setgroups([]); os.setgid(65534); os.setuid(65534)
held, tried = [], {}
def attempt(what, action):
    try:
        action()
        tried[what] = "done"
    except OSError as e:
        tried[what] = errno.errorcode[e.errno]
def read_lock(path):
    f = open(path, "a+")
    fcntl.lockf(f, fcntl.LOCK_SH)
    held.append(f)
def swap(path):
    os.symlink("/etc/passwd", path + ".swap")
    os.rename(path + ".swap", path)
for name in ("Worker", "DUZI"):
    for leaf in (".pending", ".queue"):
        attempt("old place " + name + "/" + leaf, lambda: read_lock(os.path.join(services, name, leaf)))
    for leaf in (".pending", ".queue"):
        path = os.path.join(commands, name + leaf)
        attempt(name + leaf + " read-lock", lambda: read_lock(path))
        attempt(name + leaf + " swap", lambda: swap(path))
print(json.dumps(tried), flush=True)
time.sleep(600)
"""


def test_another_account_holds_up_no_restart_and_no_dependent_start(tmp_path):
    """uid 65534 read-locks every lock and queue place it can reach and tries
    symbolic links on the rest while the watchdog (root) restarts an expired
    service and starts a dependent service that crashed: both go ahead at
    once. The operator has let everyone write the service folder."""
    root = tempfile.mkdtemp(prefix="wd-net-")
    run_dir = tempfile.mkdtemp(prefix="wd-run-")
    attacker = None
    wd = wdharness.Watchdog(wdharness.build_bin(), root, ZELVIN_RUNTIME_DIR=run_dir)
    try:
        for name in ("Worker",) + DEPENDENTS:
            wd.add_sleeper(name)
        wd.allow("Worker", *DEPENDENTS)
        for path in (root, run_dir):
            os.chmod(path, 0o755)
        for path in [wd.services] + [os.path.join(wd.services, name) for name in os.listdir(wd.services)]:
            os.chmod(path, 0o777)

        wd.start()
        for name in DEPENDENTS:
            wd.wait_log(r"%s Status changed from stop to running!" % name)
        commands = pathlib.Path(run_dir) / "net" / command_folder(pathlib.Path(wd.services)).name
        assert commands.is_dir()
        attacker = subprocess.Popen([sys.executable, "-c", ATTACKER, wd.services, str(commands)],
                                    stdout=subprocess.PIPE, text=True)
        tried = json.loads(attacker.stdout.readline())
        assert all(result == "done" for what, result in tried.items() if what.startswith("old place")), tried
        assert {result for what, result in tried.items() if not what.startswith("old place")} == {"EACCES"}, tried

        assert wd.net("start", "Worker").returncode == 0
        worker = wd.service_pid("Worker")
        wd.wdctl("register", "Worker.exe", "Worker", str(worker), "1000")
        wd.wait_log(r"kill process\[Worker.exe\]")
        assert wdharness.wait_until(lambda: wd.service_pid("Worker") not in (None, worker), 10, 0.01)
        duzi = wd.service_pid("DUZI")
        os.kill(duzi, signal.SIGKILL)
        assert wdharness.wait_until(lambda: wd.service_pid("DUZI") not in (None, duzi) and
                                    alive(wd.service_pid("DUZI")), 10, 0.01)
        assert "A system error has occurred." not in wd.output()
        assert attacker.poll() is None, "the locks were held throughout"
    finally:
        if attacker:
            attacker.kill()
            attacker.wait()
        wd.close()
        shutil.rmtree(root, ignore_errors=True)
        shutil.rmtree(run_dir, ignore_errors=True)
