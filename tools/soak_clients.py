"""The soak's clients: persistent ones that register and feed over one
connection each, and a churn of short-lived, often misbehaving connections."""

import socket
import struct
import threading
import time

from wdharness import FEED, MESSAGE_SIZE, PORT, REGISTER, message

HOST = "127.0.0.1"

# Churn kinds and their weights. "half" holds the worker up to 2 s per
# connection (the receive bound), so it is kept rare.
CHURN_KINDS = (("close", 30), ("reset", 20), ("garbage", 15), ("unknown", 15),
               ("ghost feed", 12), ("half", 8))


def reset(sock):
    """Closes with SO_LINGER 0: the peer sees a reset, not an orderly close."""
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    except OSError:
        pass
    sock.close()


class Connections:
    """Numbers every connection the tool completes. The watchdog accepts from
    one queue in order, so connection n is accepted once n accepts are logged
    (give or take concurrent connects, which the hold margins absorb)."""

    def __init__(self, base=0):
        self._lock = threading.Lock()
        self.base = base  # connections accepted before the tool's first one
        self.made = base
        self.failed = 0

    def connect(self, timeout=3.0):
        try:
            sock = socket.create_connection((HOST, PORT), timeout=timeout)
        except OSError:
            with self._lock:
                self.failed += 1
            raise
        with self._lock:
            self.made += 1
            return sock, self.made


class PersistentClient(threading.Thread):
    """Registers NAME once, then feeds it every few seconds over the same
    connection until `halt` is set or, for an expiring client, until
    `stop_feeding_at` (monotonic), after which it stays connected and silent.
    `sent` counts feeds whose sendall returned."""

    def __init__(self, conns, name, service, pid, timeout_ms, interval, halt, deadline,
                 stop_feeding_at=None):
        super().__init__(daemon=True, name=name)
        self.conns, self.name_, self.service = conns, name, service
        self.pid, self.timeout_ms, self.interval = pid, timeout_ms, interval
        self.halt, self.deadline, self.stop_feeding_at = halt, deadline, stop_feeding_at
        self.sock = None
        self.sent = 0
        self.error = None
        self.stopped_feeding = False

    def run(self):
        try:
            self.sock, _ = self.conns.connect(10.0)
            self.sock.settimeout(10.0)
            self.sock.sendall(message(REGISTER, self.name_, self.service, self.pid, self.timeout_ms))
            feed = message(FEED, self.name_)
            while time.monotonic() < self.deadline:
                if self.halt.wait(self.interval):
                    break
                if self.stop_feeding_at is not None and time.monotonic() >= self.stop_feeding_at:
                    self.stopped_feeding = True
                    break
                self.sock.sendall(feed)
                self.sent += 1
        except OSError as exc:
            self.error = "%s: %s" % (type(exc).__name__, exc)

    def send(self, msg_type):
        try:
            self.sock.sendall(message(msg_type, self.name_))
            return True
        except (OSError, AttributeError) as exc:
            self.error = self.error or "%s: %s" % (type(exc).__name__, exc)
            return False

    def close(self):
        """Orderly close: FIN after everything sent."""
        if self.sock is None:
            return
        try:
            self.sock.shutdown(socket.SHUT_WR)
        except OSError:
            pass
        self.sock.close()
        self.sock = None


class Churn(threading.Thread):
    """Short connections, one after another, with at most `window` of them
    connected but not yet accepted, so the churn follows the watchdog's
    accept rate (one per pass) instead of overflowing its backlog."""

    def __init__(self, conns, tail, rng, window, end_time, clients, max_count=200000):
        super().__init__(daemon=True, name="churn")
        self.conns, self.tail, self.rng = conns, tail, rng
        # A half-sent connection stays silent this long after its accept is
        # logged: the rest of that pass (up to 100 ms per client) plus the
        # receive bound (250 ms for a whole message) plus a margin, so the
        # bound is what ends it.
        self.hold_s = 0.1 * clients + 0.25 + 1.0
        self.window, self.end_time, self.max_count = window, end_time, max_count
        self.counts = dict.fromkeys([k for k, _ in CHURN_KINDS], 0)
        self.connect_failures = 0
        self.held = []  # [sock, seq, accepted_since or None]
        self._kinds = [k for k, _ in CHURN_KINDS]
        self._weights = [w for _, w in CHURN_KINDS]

    def run(self):
        done = 0
        while done < self.max_count and time.monotonic() < self.end_time:
            self._release_held()
            if self.conns.made - self.tail.accepted() >= self.window:
                time.sleep(0.05)
                continue
            kind = self.rng.choices(self._kinds, self._weights)[0]
            try:
                self._one(kind)
                self.counts[kind] += 1
            except OSError:
                self.connect_failures += 1
                time.sleep(0.1)
            done += 1
        # Let the held ones reach their silence bound, for a bounded time.
        limit = time.monotonic() + 120
        while self.held and time.monotonic() < limit:
            self._release_held()
            time.sleep(0.1)
        for sock, _, _ in self.held:
            sock.close()
        self.held = []

    def _one(self, kind):
        sock, seq = self.conns.connect()
        try:
            if kind == "close":
                sock.close()
            elif kind == "reset":
                if self.rng.random() < 0.5:
                    sock.sendall(message(self.rng.randint(4, 0xFFFF), "SoakReset.exe"))
                reset(sock)
            elif kind == "garbage":
                sock.sendall(self.rng.randbytes(self.rng.randint(1, 3 * MESSAGE_SIZE)))
                sock.close()
            elif kind == "unknown":
                for _ in range(self.rng.randint(1, 3)):
                    sock.sendall(message(self.rng.choice([0, self.rng.randint(4, 0xFFFF)]), "SoakOdd.exe"))
                sock.close()
            elif kind == "ghost feed":
                sock.sendall(message(FEED, "SoakGhost.exe"))
                sock.close()
            else:  # half: part of a message, then silence while held
                sock.sendall(message(FEED, "SoakGhost.exe")[:self.rng.randint(1, MESSAGE_SIZE - 1)])
                self.held.append([sock, seq, None])
        except OSError:
            sock.close()
            raise

    def _release_held(self):
        now = time.monotonic()
        accepted = self.tail.accepted()
        keep = []
        for entry in self.held:
            if entry[2] is None and accepted >= entry[1]:
                entry[2] = now
            if entry[2] is not None and now - entry[2] >= self.hold_s:
                entry[0].close()
            else:
                keep.append(entry)
        self.held = keep

    def total(self):
        return sum(self.counts.values())
