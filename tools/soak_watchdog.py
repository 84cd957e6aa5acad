"""The watchdog under soak as its log tells it: read incrementally, in a
thread of its own, counted for the checks."""

import re
import threading

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
        if self._thread.ident is not None:
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

