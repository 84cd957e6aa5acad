"""The harness of everything that drives the real watchdog: the tests in
tests/, the soak (tools/soak.py) and the measurement scripts. It holds

- the wire format of one message;
- condition waits with deadlines, and files read before they exist;
- readings of /proc: process states, CPU and footprint, zombies, `net`
  commands;
- a network namespace of the process's own, where port 30024 is nobody else's;
- a log file: its text, waits for records, records with their times;
- Watchdog: a watchdog in a folder of its own (etc/Watchdog.xml, services/,
  its output file and environment), started and stopped, its clients wdctl
  and net, and a clean-up that also runs after a failed test."""

import ctypes
import datetime
import fcntl
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def build_bin():
    """The bin/ folder of the build under test: $WATCHDOG_BUILD_DIR, else build/."""
    return os.path.join(os.path.abspath(os.environ.get("WATCHDOG_BUILD_DIR") or os.path.join(ROOT, "build")), "bin")


# --- The wire format --------------------------------------------------------

PORT = 30024
HEADER_SIZE = 20
BODY_SIZE = 648
MESSAGE_SIZE = HEADER_SIZE + BODY_SIZE
TIMEOUT_NEVER = 0xFFFFFFFF
REGISTER, CANCEL, FEED = 1, 2, 3


def message(msg_type, name="", service="", pid=0, timeout_ms=0, extra=""):
    """One 668-byte watchdog message, written out independently of the C++
    code: the type at header bytes 16-17, then the body's NUL-padded texts and
    little-endian pid and timeout. Texts are str (sent as UTF-8) or bytes."""
    def field(text, width=64):
        return (text if isinstance(text, bytes) else text.encode()).ljust(width, b"\0")
    header = bytes(16) + struct.pack("<H", msg_type) + bytes(2)
    return header + field(name) + field(service) + field(extra, 512) + \
        struct.pack("<II", pid & 0xFFFFFFFF, timeout_ms)


def parse_messages(data):
    """(type, name, pid, timeout) of each whole message in `data`."""
    out = []
    for at in range(0, len(data) - len(data) % MESSAGE_SIZE, MESSAGE_SIZE):
        (msg_type,) = struct.unpack_from("<H", data, at + 16)
        name = bytes(data[at + HEADER_SIZE:at + HEADER_SIZE + 64]).split(b"\0")[0]
        pid, timeout = struct.unpack_from("<II", data, at + MESSAGE_SIZE - 8)
        out.append((msg_type, name, pid, timeout))
    return out


# --- Waits and files --------------------------------------------------------

def wait_until(predicate, timeout=15.0, interval=0.05):
    """Polls `predicate` until it returns something truthy or time runs out;
    returns its last value. A deadline for a condition, never a measurement."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() > deadline:
            return value
        time.sleep(interval)


def read_text(path):
    """The file's text, undecodable bytes replaced; "" when it cannot be read
    (a log that does not exist yet)."""
    try:
        with open(path, errors="replace") as f:
            return f.read()
    except OSError:
        return ""


# --- Processes --------------------------------------------------------------

def _stat_fields(pid):
    """Fields of /proc/PID/stat after the command name, or None."""
    try:
        with open("/proc/%s/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()
    except (OSError, IndexError):
        return None


def process_state(pid):
    """The process's state letter ("R", "S", "Z", ...), None when gone."""
    fields = _stat_fields(pid)
    return fields[0] if fields else None


def alive(pid):
    """The process exists and has not ended (a zombie has)."""
    return process_state(pid) not in (None, "Z", "X")


def start_time(pid):
    """The process's start time in clock ticks since boot, as text: with the
    pid, what names one process for good (the queue entries of net)."""
    return _stat_fields(pid)[19]


def cpu_ticks(pid, children=False):
    """User plus system time of the process in clock ticks; with `children`,
    that of the children it has reaped."""
    fields = _stat_fields(pid)
    first = 13 if children else 11
    return int(fields[first]) + int(fields[first + 1])


def proc_status(pid):
    """/proc/PID/status as {key: value text}."""
    with open("/proc/%d/status" % pid) as f:
        return {key: value.strip() for key, _, value in (line.partition(":") for line in f)}


class Footprint:
    """One reading of a process's descriptors, threads, resident memory and CPU."""

    def __init__(self, pid):
        status = proc_status(pid)
        self.fds = len(os.listdir("/proc/%d/fd" % pid))
        self.threads = int(status["Threads"])
        self.rss_kb = int(status["VmRSS"].split()[0])
        self.cpu_ticks = cpu_ticks(pid)


def zombie_children(pid):
    """Pids of the process's children that have ended and are not reaped."""
    zombies = []
    for entry in filter(str.isdigit, os.listdir("/proc")):
        fields = _stat_fields(entry)
        if fields and fields[0] == "Z" and int(fields[1]) == pid:
            zombies.append(int(entry))
    return zombies


def _network_namespace(pid):
    try:
        return os.readlink("/proc/%s/ns/net" % pid)
    except OSError:
        return None


def net_commands(net_path, service=None):
    """Pids of the `net` commands of `net_path` (for `service` only, when
    given) in this process's network namespace, so runs in namespaces of
    their own never count each other's. A net's own child (a service between
    fork and exec, the leak checker's tracer of a sanitized build) is no
    command of its own."""
    own = _network_namespace("self")
    found = {}
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            if os.readlink("/proc/%s/exe" % entry) != net_path or _network_namespace(entry) != own:
                continue
            with open("/proc/%s/cmdline" % entry, "rb") as f:
                argv = f.read().split(b"\0")
            if service is None or argv[2:3] == [service.encode()]:
                found[int(entry)] = int(_stat_fields(entry)[1])
        except (OSError, TypeError, ValueError):
            pass
    return [pid for pid, parent in found.items() if parent not in found]


def describe(pids):
    """What each process runs, its state and where it sleeps: for a failure message."""
    def one(pid):
        try:
            with open("/proc/%d/cmdline" % pid) as f, open("/proc/%d/wchan" % pid) as w:
                return "%d %s (%s, %s)" % (pid, f.read().replace("\0", " "), process_state(pid), w.read())
        except OSError:
            return "%d gone" % pid
    return "; ".join(one(pid) for pid in pids)


def stop_process(proc, sig=signal.SIGTERM, timeout=30):
    """Sends `sig` and returns the exit code; a process still alive
    after `timeout` seconds is killed and None is returned."""
    if proc.poll() is None:
        proc.send_signal(sig)
        try:
            proc.wait(timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
            return None
    return proc.returncode


# --- The network ------------------------------------------------------------

_CLONE_NEWNET = 0x40000000
_SIOCGIFFLAGS, _SIOCSIFFLAGS, _IFF_UP = 0x8913, 0x8914, 0x1
_isolated = False


def isolate_network():
    """Moves this process, and whatever it starts from now on, into a network
    namespace of its own with only the loopback, which is brought up: port
    30024 is then this run's alone, so test files, soaks and measurements run
    side by side. Returns None, or why it could not (it needs root); then the
    machine's network is used and a watchdog waits for the port to be free."""
    global _isolated
    if _isolated:
        return None
    if ctypes.CDLL(None, use_errno=True).unshare(_CLONE_NEWNET) != 0:
        return "no network namespace of its own: " + os.strerror(ctypes.get_errno())
    with socket.socket() as s:
        request = struct.pack("16sh22x", b"lo", 0)
        flags = struct.unpack_from("16sh", fcntl.ioctl(s, _SIOCGIFFLAGS, request))[1]
        fcntl.ioctl(s, _SIOCSIFFLAGS, struct.pack("16sh22x", b"lo", flags | _IFF_UP))
    _isolated = True
    return None


def port_is_free(port=PORT):
    """Nobody listens on the port (connections in TIME_WAIT do not count: the
    watchdog binds with address reuse)."""
    with socket.socket() as probe:
        probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            probe.bind(("0.0.0.0", port))
            return True
        except OSError:
            return False


def connects(port=PORT, timeout=1.0):
    """Something accepts connections on 127.0.0.1:`port`."""
    try:
        socket.create_connection(("127.0.0.1", port), timeout=timeout).close()
        return True
    except OSError:
        return False


def send(*messages, timeout=10):
    """Sends `messages` over one connection to 127.0.0.1:30024, then closes it."""
    with socket.create_connection(("127.0.0.1", PORT), timeout=timeout) as sock:
        for data in messages:
            sock.sendall(data)


class Feeder(threading.Thread):
    """Feeds the record `name` every 0.4 s over a connection of its own,
    connecting again whenever the watchdog is away (a restart). stop() ends it."""

    def __init__(self, name):
        super().__init__(daemon=True)
        self.feed = message(FEED, name)
        self.done = threading.Event()

    def run(self):
        sock = None
        while not self.done.wait(0.4):
            try:
                sock = sock or socket.create_connection(("127.0.0.1", PORT), timeout=1)
                sock.sendall(self.feed)
            except OSError:
                sock = sock.close() if sock else None
        if sock:
            sock.close()

    def stop(self):
        self.done.set()
        self.join(5)


# --- Log files --------------------------------------------------------------

STAMP = r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}"
RECORD = re.compile(r"^(%s) \[(\w+)\] (\S+): (.*)$" % STAMP)


def log_time(stamp):
    """A log time stamp (local time, ms) as seconds since the epoch."""
    parsed = datetime.datetime.strptime(stamp, "%Y-%m-%d %H:%M:%S.%f")
    return time.mktime(parsed.timetuple()) + parsed.microsecond / 1e6


class LogFile:
    """A log file that may not exist yet. Patterns are regular expressions."""

    def __init__(self, path):
        self.path = str(path)

    def text(self):
        return read_text(self.path)

    def count(self, pattern):
        return len(re.findall(pattern, self.text()))

    def wait(self, pattern, count=1, timeout=20.0, interval=0.05):
        """Waits until `pattern` matches `count` times; fails naming it."""
        found = wait_until(lambda: self.count(pattern) >= count, timeout, interval)
        assert found, "no %r (x%d) in %s:\n%s" % (pattern, count, self.path, self.text()[-4000:])

    def records(self, pattern):
        """(time, text) of each record whose text (after the logger's name)
        matches `pattern`, time in seconds since the epoch."""
        return [(log_time(m.group(1)), m.group(4)) for m in map(RECORD.match, self.text().splitlines())
                if m and re.search(pattern, m.group(4))]


# --- A watchdog in a folder of its own ---------------------------------------

# A service that runs until SIGTERM and then ends at once.
SLEEPER_SCRIPT = "trap 'exit 0' TERM\nwhile :; do sleep 1 & wait $!; done"


def config_xml(log_type=1, level="information", rotate_size=None, log_dir="log"):
    """A Watchdog.xml that logs to `log_dir` (relative: beside it)."""
    rotate = '\n    <RotateSize value="%s"/>' % rotate_size if rotate_size else ""
    return ('<?xml version="1.0" encoding="UTF-8"?>\n<config>\n  <Log>\n'
            '    <Type value="%d"/>\n    <Level value="%s"/>\n    <Dir value="%s"/>%s\n'
            '  </Log>\n</config>\n' % (log_type, level, log_dir, rotate))


def add_service(services_dir, name, script):
    """A service folder whose executable `run` is the shell `script`."""
    folder = os.path.join(str(services_dir), name)
    os.makedirs(folder, exist_ok=True)
    run = os.path.join(folder, "run")
    with open(run, "w") as f:
        f.write("#!/bin/sh\n" + script + "\n")
    os.chmod(run, 0o755)
    return folder


def service_pid(services_dir, name):
    """The pid the service's pid file names, None when it is not running."""
    try:
        with open(os.path.join(str(services_dir), name, "pid")) as f:
            return int(f.read().split()[0])
    except (OSError, ValueError, IndexError):
        return None


def watchdog_env(bin_dir, etc_dir, services_dir, **settings):
    """The environment a watchdog run needs: `bin_dir` first on PATH (for
    "net"), its config and service folders, and any ZELVIN_* `settings`."""
    env = dict(os.environ)
    env["PATH"] = bin_dir + os.pathsep + os.environ.get("PATH", "")
    env["ZELVIN_CONFIG_DIR"] = etc_dir
    env["ZELVIN_SERVICE_DIR"] = services_dir
    env.update({key: str(value) for key, value in settings.items()})
    return env


class Watchdog:
    """The watchdog of `bin_dir` in the folder `root` (a temporary one of its
    own when None, removed by close()): etc/Watchdog.xml logging to
    etc/log/Watchdog.log, services/, watchdog.out for what the watchdog and
    its commands write. `settings` are ZELVIN_* variables of its environment
    (net's stop timeout is 2 s unless given). Also a context manager that
    closes it."""

    def __init__(self, bin_dir, root=None, **settings):
        self.bin = os.path.abspath(bin_dir)
        self.net_path = os.path.join(self.bin, "net")
        self.temporary = root is None
        self.root = tempfile.mkdtemp(prefix="watchdog-") if root is None else str(root)
        self.etc = os.path.join(self.root, "etc")
        self.services = os.path.join(self.root, "services")
        os.makedirs(self.etc, exist_ok=True)
        os.makedirs(self.services, exist_ok=True)
        self.write_config()
        self.logfile = LogFile(os.path.join(self.etc, "log", "Watchdog.log"))
        self.output_path = os.path.join(self.root, "watchdog.out")
        # A runtime folder of the run's own (the status snapshot, net's queue
        # and lock files), so runs side by side share nothing and leave
        # nothing behind.
        self.env = watchdog_env(self.bin, self.etc, self.services,
                                **dict({"ZELVIN_STOP_TIMEOUT_MS": 2000,
                                        "ZELVIN_RUNTIME_DIR": os.path.join(self.root, "run")}, **settings))
        # A command every program of the run starts through (nsenter into the
        # namespaces of a private journal, say); empty: none.
        self.wrapper = ()
        self.proc = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def write_config(self, **options):
        """Watchdog.xml made by config_xml(**options)."""
        with open(os.path.join(self.etc, "Watchdog.xml"), "w") as f:
            f.write(config_xml(**options))

    def add_service(self, name, script):
        """A service whose run script is `script` (shell, exec'd by sh)."""
        return add_service(self.services, name, script)

    def allow(self, *names, file="test.conf"):
        """Lists `names` in etc/services.d/`file`, the allow-list beside
        Watchdog.xml (without one, systemd units other than the dependent
        services may not be controlled)."""
        folder = os.path.join(self.etc, "services.d")
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, file), "w") as f:
            f.write("".join(name + "\n" for name in names))

    def add_sleeper(self, name):
        return self.add_service(name, SLEEPER_SCRIPT)

    def service_pid(self, name):
        return service_pid(self.services, name)

    @property
    def log_path(self):
        return self.logfile.path

    @log_path.setter
    def log_path(self, path):
        self.logfile.path = path

    def log(self):
        return self.logfile.text()

    def wait_log(self, pattern, timeout=20.0, count=1):
        """Waits until `pattern` (a regex) matches `count` times in the log."""
        self.logfile.wait(pattern, count, timeout)

    def records(self, pattern):
        return self.logfile.records(pattern)

    def output(self):
        """What the watchdog and its commands wrote to stdout and stderr."""
        return read_text(self.output_path)

    def start(self, *args, wrapper=(), listening=True, port_wait=60, **env):
        """Starts the watchdog with `args`, through the command `wrapper` in
        front of it, with `env` added, once port 30024 is free; with
        `listening`, returns when it accepts connections. Its output (and
        that of every `net` it runs) goes to a file, so nothing blocks on a
        full pipe."""
        assert wait_until(port_is_free, port_wait, 0.2), "port %d is still taken" % PORT
        with open(self.output_path, "w") as out:
            self.proc = subprocess.Popen([*self.wrapper, *wrapper, os.path.join(self.bin, "REdodevaz"), *args],
                                         env=dict(self.env, **{k: str(v) for k, v in env.items()}),
                                         stdin=subprocess.DEVNULL, stdout=out, stderr=out)
        if listening:
            self.wait_listening()
        return self

    def alive(self):
        return self.proc is not None and self.proc.poll() is None

    def wait_listening(self, timeout=20.0):
        wait_until(lambda: not self.alive() or connects(), timeout)
        assert self.alive() and connects(), "the watchdog does not listen (exit %s):\n%s\n%s" % (
            self.proc.poll(), self.output()[-2000:], self.log()[-4000:])

    def connect(self, timeout=10.0):
        return socket.create_connection(("127.0.0.1", PORT), timeout=timeout)

    def run(self, *args, timeout=30):
        """One run in the foreground, its output captured."""
        return subprocess.run([*self.wrapper, os.path.join(self.bin, "REdodevaz"), *args], env=self.env,
                              capture_output=True, text=True, timeout=timeout)

    def net(self, *args, timeout=30):
        return subprocess.run([*self.wrapper, self.net_path, *args], env=self.env, capture_output=True, text=True,
                              timeout=timeout)

    def wdctl(self, *args, check=True):
        r = subprocess.run([*self.wrapper, os.path.join(self.bin, "wdctl"), *args], env=self.env,
                           capture_output=True, text=True, timeout=30)
        assert not check or r.returncode == 0, r.stderr
        return r

    def net_commands(self, service=None):
        return net_commands(self.net_path, service)

    def stop(self, sig=signal.SIGTERM, timeout=30):
        """Sends `sig` and returns the exit code; fails when the watchdog has
        not ended within `timeout` seconds (it is killed then)."""
        if self.proc is None:
            return None
        rc = stop_process(self.proc, sig, timeout)
        assert rc is not None, "the watchdog did not end within %s s" % timeout
        return rc

    def close(self):
        """Ends the watchdog (killed after 30 s), stops every service of its
        folder that still runs, and removes the folder when it is a temporary
        one. Safe after a failed test, and twice. Returns whether the
        watchdog had ended in time."""
        ended = self.proc is None or stop_process(self.proc) is not None
        try:
            names = sorted(os.listdir(self.services))
        except OSError:
            names = []
        for name in names:
            if self.service_pid(name):
                try:
                    self.net("stop", name)
                except subprocess.TimeoutExpired:
                    pass
        if self.temporary:
            shutil.rmtree(self.root, ignore_errors=True)
        return ended
