"""A private systemd user manager for tests, demos and measurements: a real
`systemd --user` in a mount and cgroup namespace of its own, with its own
units folder, so units can be started, stopped and killed without touching the
machine's service manager (which may not be systemd at all).

How it is set up, and why:
- The manager needs a cgroup2 tree it may own. The starting shell moves itself
  into a fresh cgroup under the machine's cgroup2 mount, then enters a new
  cgroup namespace, so inside it that cgroup is the root, mounted on
  /sys/fs/cgroup.
- `systemd --user` refuses to run (exit 1, no message) unless
  /run/systemd/system exists, which says "booted with systemd"; a small tmpfs
  on /run/systemd inside the private mount namespace provides it without
  touching the host.
- It runs under `env -i` with its own HOME and XDG_RUNTIME_DIR, its units
  folder as SYSTEMD_UNIT_PATH (new unit files are seen without a reload) and no
  generators; the targets it expects are stubs in that folder.
- Unit pids are host pids. Clients reach the manager through
  $XDG_RUNTIME_DIR/systemd/private (systemctl --user, sd-bus), a socket in
  the file system, so the manager needs no network: it and its units share
  the network namespace of whoever starts it (a test file's own, see
  wdharness.isolate_network).

Every wait has a deadline. stop() ends the manager, kills whatever is left in
its cgroup and removes the cgroup; cleanup_stale() removes the cgroups of
earlier runs that were killed before they could clean up: those whose
starter no longer holds the lock in its runtime folder.
"""

import fcntl
import os
import shutil
import signal
import subprocess
import tempfile

import wdharness

CGROUP_PREFIX = "zelvin-systemd-"
# Where the managers' runtime folders are made: in /run, where units with
# PrivateTmp= still see their sockets.
RUNTIME_BASE = "/run" if os.access("/run", os.W_OK) else "/tmp"
STUB_TARGETS = ("default", "basic", "sockets", "timers", "paths", "shutdown")
# `systemctl --user exit` starts exit.target, which (as the real one) pulls in
# systemd-exit.service: that waits for shutdown.target, which every unit with
# default dependencies conflicts with, so they are stopped first, and then
# ends the manager.
EXIT_UNITS = {
    "exit.target": "[Unit]\nDefaultDependencies=no\nRequires=systemd-exit.service\n"
                   "After=systemd-exit.service\nAllowIsolate=yes\n",
    "systemd-exit.service": "[Unit]\nDefaultDependencies=no\nRequires=shutdown.target\n"
                            "After=shutdown.target\nSuccessAction=exit-force\n\n[Service]\nSlice=-.slice\n",
}
READY_STATES = ("running", "degraded")


class Unavailable(Exception):
    """The private manager cannot run on this machine; the text says why."""


def _cgroup2_base():
    """The machine's cgroup2 mount point, or None."""
    try:
        with open("/proc/self/mounts") as mounts:
            points = [line.split()[1] for line in mounts if line.split()[2] == "cgroup2"]
    except OSError:
        return None
    for preferred in ("/sys/fs/cgroup/unified", "/sys/fs/cgroup"):
        if preferred in points:
            return preferred
    return points[0] if points else None


def _systemd_binary():
    for path in ("/lib/systemd/systemd", "/usr/lib/systemd/systemd"):
        if os.access(path, os.X_OK):
            return path
    return None


def skip_or_fail(reason):
    """What a test does where no private manager can run: it is skipped, or
    fails when ZELVIN_REQUIRE_SYSTEMD=1 says the manager must run here (CI)."""
    import pytest
    if os.environ.get("ZELVIN_REQUIRE_SYSTEMD") == "1":
        pytest.fail("ZELVIN_REQUIRE_SYSTEMD=1, but no private systemd manager: %s" % reason)
    pytest.skip("no private systemd manager: %s" % reason)


def start_or_skip(root=None, units=None):
    """A started private manager, or the calling test skipped (failed under
    ZELVIN_REQUIRE_SYSTEMD=1) where none can run here."""
    sd = PrivateSystemd(root, units)
    try:
        return sd.start()
    except Unavailable as why:
        sd.stop()
        skip_or_fail(str(why))


def visible_folder(prefix):
    """A new folder outside /tmp and /home, which a unit's PrivateTmp= and
    ProtectHome= hide from it."""
    return tempfile.mkdtemp(prefix=prefix, dir=RUNTIME_BASE)


def why_unavailable():
    """None when a private manager can be started here, else the reason."""
    if os.geteuid() != 0:
        return "the private systemd manager needs root (mount and cgroup namespaces)"
    if _systemd_binary() is None:
        return "no systemd binary (/lib/systemd/systemd)"
    if shutil.which("unshare") is None or shutil.which("systemctl") is None:
        return "unshare or systemctl is missing"
    if _cgroup2_base() is None:
        return "no cgroup2 mount on this machine"
    return None


def _remove_cgroup(path, deadline=5.0):
    """Kills every process in the cgroup tree at `path` and removes it."""
    if not os.path.isdir(path):
        return True
    try:
        with open(os.path.join(path, "cgroup.kill"), "w") as kill:
            kill.write("1")
    except OSError:
        # Kernels before 5.14 have no cgroup.kill: signal every member.
        for root, _, files in os.walk(path):
            if "cgroup.procs" in files:
                try:
                    with open(os.path.join(root, "cgroup.procs")) as procs:
                        for pid in procs.read().split():
                            try:
                                os.kill(int(pid), signal.SIGKILL)
                            except OSError:
                                pass
                except OSError:
                    pass

    def removed():
        for root, _, _ in sorted(os.walk(path), key=lambda entry: -len(entry[0])):
            try:
                os.rmdir(root)
            except OSError:
                pass
        return not os.path.isdir(path)
    return wdharness.wait_until(removed, deadline)


def _has_starter(runtime):
    """Whether the starter of the manager with the runtime folder `runtime`
    still runs: it holds a lock there for as long as it lives. A pid would
    say nothing here, since starters may run in pid namespaces of their own."""
    try:
        fd = os.open(os.path.join(runtime, "owner.lock"), os.O_RDWR)
    except OSError:
        return False
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        return False
    except OSError:
        return True
    finally:
        os.close(fd)


def cleanup_stale():
    """Removes the cgroups and runtime folders of private managers whose
    starter is gone."""
    base = _cgroup2_base()
    if base is None:
        return
    for entry in os.listdir(base):
        if entry.startswith(CGROUP_PREFIX):
            runtime = os.path.join(RUNTIME_BASE, entry[len(CGROUP_PREFIX):])
            if not _has_starter(runtime):
                _remove_cgroup(os.path.join(base, entry))
                shutil.rmtree(runtime, ignore_errors=True)


class PrivateSystemd:
    """One private `systemd --user`. Use as a context manager, or call start()
    and stop(). `units` is the units folder (made when missing)."""

    def __init__(self, root=None, units=None):
        # The runtime folder holds the manager's sockets, whose paths must
        # stay within the 108 bytes of a unix socket address: short, and in
        # /run, where units with PrivateTmp= still see them.
        self.runtime = tempfile.mkdtemp(prefix="zsd", dir=RUNTIME_BASE)
        self.root = str(root) if root else self.runtime
        self.units = str(units) if units else os.path.join(self.runtime, "units")
        self.home = os.path.join(self.runtime, "home")
        self.log_path = os.path.join(self.root, "systemd.log")
        # Named after the runtime folder, which is unique on the machine.
        base = _cgroup2_base() or "/sys/fs/cgroup"
        self.cgroup = os.path.join(base, CGROUP_PREFIX + os.path.basename(self.runtime))
        self.owner_lock = None
        self.proc = None
        self.env = self.client_env(os.environ)

    def client_env(self, env):
        """A copy of `env` in which the watchdog, `net` and systemctl --user
        use this manager: systemd chosen, the user's scope, its runtime
        folder, and no service folder or session bus to lead elsewhere."""
        env = dict(env, XDG_RUNTIME_DIR=self.runtime, ZELVIN_SERVICE_MANAGER="systemd",
                   ZELVIN_SYSTEMD_SCOPE="user")
        env.pop("ZELVIN_SERVICE_DIR", None)
        env.pop("DBUS_SESSION_BUS_ADDRESS", None)
        return env

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def start(self, timeout=20.0):
        reason = why_unavailable()
        if reason:
            raise Unavailable(reason)
        os.makedirs(self.runtime, exist_ok=True)
        if self.owner_lock is None:  # a manager started again keeps its lock
            self.owner_lock = os.open(os.path.join(self.runtime, "owner.lock"), os.O_RDWR | os.O_CREAT, 0o600)
            fcntl.flock(self.owner_lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        cleanup_stale()
        os.makedirs(self.units, exist_ok=True)
        os.makedirs(self.home, exist_ok=True)
        for target in STUB_TARGETS:
            path = os.path.join(self.units, target + ".target")
            if not os.path.exists(path):
                with open(path, "w") as f:
                    f.write("[Unit]\nDescription=%s (stub)\n" % target)
        for name, text in EXIT_UNITS.items():
            with open(os.path.join(self.units, name), "w") as f:
                f.write(text)
        os.makedirs(self.cgroup, exist_ok=True)
        inner = ("mount -t cgroup2 none /sys/fs/cgroup || exit 91\n"
                 # daemon-reexec refuses to run with less than 16 MiB free here.
                 "mount -t tmpfs -o size=32m,mode=755 tmpfs /run/systemd || exit 92\n"
                 "mkdir /run/systemd/system || exit 93\n"
                 'exec env -i HOME="$1" XDG_RUNTIME_DIR="$2" SYSTEMD_UNIT_PATH="$3" '
                 "SYSTEMD_GENERATOR_PATH= SYSTEMD_ENVIRONMENT_GENERATOR_PATH= "
                 "SYSTEMD_LOG_TARGET=console SYSTEMD_LOG_LEVEL=notice "
                 "PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin " + _systemd_binary() + " --user\n")
        outer = ('echo $$ > "$4/cgroup.procs" || exit 90\n'
                 'exec unshare --mount --propagation private --cgroup -- sh -c "$5" inner "$1" "$2" "$3"\n')
        log = open(self.log_path, "ab")
        try:
            self.proc = subprocess.Popen(
                ["sh", "-c", outer, "outer", self.home, self.runtime, self.units, self.cgroup, inner],
                stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT, start_new_session=True)
        finally:
            log.close()
        if wdharness.wait_until(lambda: self.proc.poll() is not None or self.system_state() in READY_STATES,
                                timeout) and self.proc.poll() is None:
            return self
        message = "private systemd did not get ready (exit %s): %s" % (self.proc.poll(), self.log()[-2000:])
        self.stop()
        raise Unavailable(message)

    def log(self):
        return wdharness.read_text(self.log_path)

    def systemctl(self, *args, timeout=30, check=False):
        return subprocess.run(["systemctl", "--user", "--no-pager", *args], env=self.env,
                              capture_output=True, text=True, timeout=timeout, check=check)

    def system_state(self):
        try:
            return self.systemctl("show", "-p", "SystemState", "--value", timeout=5).stdout.strip()
        except subprocess.TimeoutExpired:
            return ""

    def show(self, unit, prop):
        """One property of a unit, as text ("" when the manager does not answer)."""
        try:
            return self.systemctl("show", "-p", prop, "--value", unit, timeout=10).stdout.strip()
        except subprocess.TimeoutExpired:
            return ""

    def main_pid(self, unit):
        value = self.show(unit, "MainPID")
        return int(value) if value.isdigit() else 0

    def add_unit(self, name, text):
        """Writes the unit file `name` (e.g. "Foo.service") into the units folder."""
        with open(os.path.join(self.units, name), "w") as f:
            f.write(text)

    def add_service(self, name, exec_start, extra=""):
        """A service unit NAME.service running `exec_start`."""
        self.add_unit(name + ".service", "[Unit]\nDescription=%s\n\n[Service]\nExecStart=%s\n%s"
                      % (name, exec_start, extra))

    def processes(self):
        """Pids left in the manager's cgroup tree, the manager's own included."""
        pids = []
        for root, _, files in os.walk(self.cgroup):
            if "cgroup.procs" in files:
                try:
                    with open(os.path.join(root, "cgroup.procs")) as procs:
                        pids += [int(pid) for pid in procs.read().split()]
                except OSError:
                    pass
        return pids

    def stop(self, timeout=15.0):
        """Ends the manager (its units are stopped first), then removes its
        cgroup and folders. Safe to call twice."""
        if self.proc is not None and self.proc.poll() is None:
            try:
                self.systemctl("exit", timeout=timeout)
                self.proc.wait(timeout)
            except subprocess.TimeoutExpired:
                pass
        _remove_cgroup(self.cgroup)
        if self.proc is not None:
            if self.proc.poll() is None:
                self.proc.kill()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                pass
        self.proc = None
        shutil.rmtree(self.runtime, ignore_errors=True)
        if self.owner_lock is not None:
            os.close(self.owner_lock)
            self.owner_lock = None

    def kill_manager(self):
        """Ends the manager at once, leaving its units' processes (the bus goes
        away as after a crash of the manager)."""
        if self.proc is not None and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGKILL)
            self.proc.wait(10)


class PackagedUnit:
    """The packaged unit file `unit_file` in the manager `sd`, unchanged but
    for a drop-in: it runs a copy of REdodevaz, net and their library and
    manifest from `bin_dir` in work/bin (the unit's PrivateTmp= and
    ProtectHome= would hide a build under /tmp or /home) with a
    configuration of its own in `work` (a visible_folder(): etc/Watchdog.xml
    logging to work/log, `services_d` copied beside it) and finds `net`
    through the link work/netbin/net, which a test may take away; WatchdogSec= is
    `watchdog_ms`. Four protections are set aside, for the private manager
    only: on this kind of machine it cannot mount the inaccessible nodes of
    the first three (exit 226/NAMESPACE), and the fourth hides the manager's
    own /run/systemd, which the watchdog looks at to choose systemd."""

    NAME = "zelvin-watchdog.service"
    DEADLINE = 60

    def __init__(self, sd, unit_file, bin_dir, work, watchdog_ms, services_d=None):
        self.sd = sd
        self.etc, log_dir, net_dir, copy_dir = (os.path.join(work, name)
                                                for name in ("etc", "log", "netbin", "bin"))
        for folder in (self.etc, log_dir, net_dir, copy_dir):
            os.makedirs(folder)
        for name in os.listdir(bin_dir):
            if name in ("REdodevaz", "net") or ".so" in name or name.endswith(".sha256"):
                shutil.copy2(os.path.join(bin_dir, name), copy_dir)
        bin_dir = copy_dir
        with open(os.path.join(self.etc, "Watchdog.xml"), "w") as f:
            f.write(wdharness.config_xml(log_dir=log_dir))
        if services_d:
            shutil.copytree(services_d, os.path.join(self.etc, "services.d"))
        self.net_target = os.path.join(bin_dir, "net")
        self.net_link = os.path.join(net_dir, "net")
        os.symlink(self.net_target, self.net_link)
        self.log = wdharness.LogFile(os.path.join(log_dir, "Watchdog.log"))
        self.crash_dir = os.path.join(log_dir, "crash")
        shutil.copy(unit_file, sd.units)
        os.makedirs(os.path.join(sd.units, self.NAME + ".d"))
        sd.add_unit(self.NAME + ".d/test.conf",
                    "[Service]\nExecStart=\nExecStart=%s/REdodevaz\n"
                    "Environment=ZELVIN_CONFIG_DIR=%s PATH=%s:/usr/bin:/bin ZELVIN_SYSTEMD_SCOPE=user\n"
                    "ReadWritePaths=%s\nRestartSec=500ms\nWatchdogSec=%dms\n"
                    "ProtectHome=read-only\nProtectKernelTunables=no\nProtectKernelLogs=no\n"
                    "ProtectControlGroups=no\n" % (bin_dir, self.etc, net_dir, log_dir, watchdog_ms))
        sd.systemctl("daemon-reload")

    def start(self):
        """Starts the unit and waits until the watchdog serves."""
        started = self.sd.systemctl("start", self.NAME, timeout=self.DEADLINE)
        assert started.returncode == 0, started.stderr + self.sd.systemctl("status", self.NAME).stdout
        self.wait_log(r"Watchdog SERVER initialize ok")
        assert wdharness.wait_until(wdharness.connects, self.DEADLINE)

    def wait_log(self, pattern, count=1):
        self.log.wait(pattern, count, self.DEADLINE, 0.1)

    def pid(self):
        return self.sd.main_pid(self.NAME)

    def restarts(self):
        return self.sd.show(self.NAME, "NRestarts")

    def crash_reports(self):
        """The text of every crash report the watchdog wrote."""
        names = sorted(os.listdir(self.crash_dir)) if os.path.isdir(self.crash_dir) else []
        return "".join(wdharness.read_text(os.path.join(self.crash_dir, name)) for name in names)
