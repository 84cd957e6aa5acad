"""The watchdog under soak: its temporary folder, its process, its log (read
incrementally) and its footprint in /proc."""

import os
import re
import shutil
import socket
import subprocess
import tempfile
import threading

import wdharness
from wdharness import PORT, cpu_ticks, port_is_free
from wdharness import wait_until as wait_for

HOST = "127.0.0.1"

STAMP = re.compile(r"^(\d{4})-(\d\d)-(\d\d) (\d\d):(\d\d):(\d\d)\.(\d{3}) ")
FEED = re.compile(r"\] feed process\[(Soak[A-Za-z0-9]+\.exe)\]!$")
KILL = re.compile(r"\] kill process\[(Soak[A-Za-z0-9]+\.exe)\]$")
LAUNCH = re.compile(r"\] launch process\[(Soak[A-Za-z0-9]+)\]$")
LAUNCH_OK = re.compile(r"\] launch process\[(Soak[A-Za-z0-9]+)\] Success$")
REGISTER = re.compile(r"\] register new process\[(Soak[A-Za-z0-9]+\.exe)\]$")

# Plain substrings counted for the report.
TALLIES = {
    "accepted": "server get new client connect!",
    "closed": "client socket had closed, erase it!",
    "slow or silent": "bytes within 250 ms, erase it!",
    "reset/recv error": "recv error client socket is exception",
    "socket exception": "] client socket is exception",
    "unknown type": "unknowing watchdog message type",
    "feed unknown name": "is not existed!",
    "still running": "is still running!",
    "net start fail": "] net start app[",
}


class LogTail:
    """Reads Watchdog.log as it grows, in a thread of its own, and keeps the
    counts the checks need. Only whole lines are parsed."""

    def __init__(self, path):
        self.path = path
        self.lock = threading.Lock()
        self.feeds = {}
        self.kills = {}
        self.launches = {}
        self.launch_ok = {}
        self.registers = {}
        self.tallies = dict.fromkeys(TALLIES, 0)
        self.accept_stamps = []  # ms timestamps of accepts, for the pass-time estimate
        self._offset = 0
        self._partial = b""
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def start(self):
        self._thread.start()

    def stop(self):
        self._stop.set()
        self._thread.join(5)
        self.poll()

    def _run(self):
        while not self._stop.wait(0.2):
            self.poll()

    def poll(self):
        try:
            with open(self.path, "rb") as f:
                f.seek(self._offset)
                data = f.read(16 << 20)
        except OSError:
            return
        if not data:
            return
        self._offset += len(data)
        lines = (self._partial + data).split(b"\n")
        self._partial = lines.pop()
        with self.lock:
            for raw in lines:
                self._parse(raw.decode("utf-8", "replace"))

    def _parse(self, line):
        if not line:
            return
        for key, text in TALLIES.items():
            if text in line:
                self.tallies[key] += 1
        if "server get new client connect!" in line:
            m = STAMP.match(line)
            if m:
                y, mo, d, h, mi, s, ms = (int(x) for x in m.groups())
                self.accept_stamps.append(((d * 24 + h) * 60 + mi) * 60000 + s * 1000 + ms)
            return
        for regex, table in ((FEED, self.feeds), (KILL, self.kills), (LAUNCH, self.launches),
                             (LAUNCH_OK, self.launch_ok), (REGISTER, self.registers)):
            m = regex.search(line)
            if m:
                table[m.group(1)] = table.get(m.group(1), 0) + 1
                return

    def get(self, table, name):
        with self.lock:
            return getattr(self, table).get(name, 0)

    def accepted(self):
        with self.lock:
            return self.tallies["accepted"]


class Footprint:
    """One reading of the watchdog's descriptors, threads, RSS and CPU ticks."""

    def __init__(self, pid):
        self.fds = len(os.listdir("/proc/%d/fd" % pid))
        status = {}
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                key, _, value = line.partition(":")
                status[key] = value.strip()
        self.threads = int(status["Threads"])
        self.rss_kb = int(status["VmRSS"].split()[0])
        self.cpu_ticks = cpu_ticks(pid)


class WatchdogRun:
    """A temporary folder with etc/Watchdog.xml and services/, and one run of
    the real binary on it."""

    def __init__(self, build_dir, keep=False):
        self.bin = os.path.join(os.path.abspath(build_dir), "bin")
        self.exe = os.path.join(self.bin, "REdodevaz")
        self.root = tempfile.mkdtemp(prefix="wd-soak-")
        self.keep = keep
        self.etc = os.path.join(self.root, "etc")
        self.services = os.path.join(self.root, "services")
        os.makedirs(self.etc)
        os.makedirs(self.services)
        with open(os.path.join(self.etc, "Watchdog.xml"), "w") as f:
            # RotateSize is raised so the whole run stays in one file: a
            # rotated and then purged file would make logged feeds look lost.
            f.write(wdharness.config_xml(rotate_size="2048 M"))
        self.log_path = os.path.join(self.etc, "log", "Watchdog.log")
        self.env = wdharness.watchdog_env(self.bin, self.etc, self.services, ZELVIN_STOP_TIMEOUT_MS=2000)
        self.proc = None
        self.tail = LogTail(self.log_path)

    def add_sleeper(self, name):
        wdharness.add_service(self.services, name, wdharness.SLEEPER_SCRIPT)

    def net(self, *args):
        return subprocess.run([os.path.join(self.bin, "net"), *args], env=self.env,
                              capture_output=True, text=True, timeout=30)

    def service_pid(self, name):
        return wdharness.service_pid(self.services, name)

    def start(self, port_wait):
        if not wait_for(port_is_free, port_wait, 1.0):
            raise RuntimeError("port %d still taken after %d s" % (PORT, port_wait))
        out = open(os.path.join(self.root, "watchdog.out"), "w")
        self.proc = subprocess.Popen([self.exe], env=self.env, stdout=out, stderr=subprocess.STDOUT,
                                     stdin=subprocess.DEVNULL)
        out.close()
        self.tail.start()

        def listening():
            if self.proc.poll() is not None:
                return True
            try:
                socket.create_connection((HOST, PORT), timeout=1).close()
                return True
            except OSError:
                return False
        wait_for(listening, 20, 0.2)
        if self.proc.poll() is not None:
            raise RuntimeError("watchdog ended at start-up with %s" % self.proc.returncode)

    def alive(self):
        return self.proc is not None and self.proc.poll() is None

    def stop(self):
        """SIGTERM, then the exit code; SIGKILL after 30 s counts as a hang (None)."""
        if self.proc is None:
            return None
        return wdharness.stop_process(self.proc)

    def cleanup(self):
        self.tail.stop()
        for name in sorted(os.listdir(self.services)):
            if self.service_pid(name):
                try:
                    self.net("stop", name)
                except subprocess.TimeoutExpired:
                    pass
        if not self.keep:
            shutil.rmtree(self.root, ignore_errors=True)
