"""What the scripts and tests that drive the real watchdog share: the wire
format of one message, condition waits, and readings of /proc."""

import os
import signal
import socket
import struct
import subprocess
import time

PORT = 30024
HEADER_SIZE = 20
BODY_SIZE = 648
MESSAGE_SIZE = HEADER_SIZE + BODY_SIZE
TIMEOUT_NEVER = 0xFFFFFFFF


def message(msg_type, name="", service="", pid=0, timeout_ms=0):
    """One 668-byte watchdog message: the type at header bytes 16-17, then the
    body's NUL-padded texts and little-endian pid and timeout. The texts are
    str (sent as UTF-8) or raw bytes, at most 64 bytes each."""
    def field(text):
        return (text if isinstance(text, bytes) else text.encode()).ljust(64, b"\0")
    header = bytes(16) + struct.pack("<H", msg_type) + bytes(2)
    body = (field(name) + field(service) +
            bytes(512) + struct.pack("<II", pid & 0xFFFFFFFF, timeout_ms))
    return header + body


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


def _stat_fields(pid):
    """Fields of /proc/PID/stat after the command name, or None."""
    try:
        with open("/proc/%s/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()
    except OSError:
        return None


def process_state(pid):
    """The process's state letter ("R", "S", "Z", ...), None when gone."""
    fields = _stat_fields(pid)
    return fields[0] if fields else None


def cpu_ticks(pid):
    """User plus system time of the process, in clock ticks."""
    fields = _stat_fields(pid)
    return int(fields[11]) + int(fields[12])


def zombie_children(pid):
    """Pids of the process's children that have ended and are not reaped."""
    zombies = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            fields = _stat_fields(entry)
            if fields and fields[0] == "Z" and int(fields[1]) == pid:
                zombies.append(int(entry))
    return zombies


# A service that runs until SIGTERM and then ends at once.
SLEEPER_SCRIPT = "trap 'exit 0' TERM\nwhile :; do sleep 1 & wait $!; done"


def config_xml(log_type=1, level="information", rotate_size=None):
    """A Watchdog.xml that logs to log/Watchdog.log beside it."""
    rotate = '\n    <RotateSize value="%s"/>' % rotate_size if rotate_size else ""
    return ('<?xml version="1.0" encoding="UTF-8"?>\n<config>\n  <Log>\n'
            '    <Type value="%d"/>\n    <Level value="%s"/>\n    <Dir value="log"/>%s\n'
            '  </Log>\n</config>\n' % (log_type, level, rotate))


def add_service(services_dir, name, script):
    """A service folder whose executable `run` is the shell `script`."""
    folder = os.path.join(services_dir, name)
    os.makedirs(folder, exist_ok=True)
    run = os.path.join(folder, "run")
    with open(run, "w") as f:
        f.write("#!/bin/sh\n" + script + "\n")
    os.chmod(run, 0o755)
    return folder


def service_pid(services_dir, name):
    """The pid the service's pid file names, None when it is not running."""
    try:
        with open(os.path.join(services_dir, name, "pid")) as f:
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
