"""The status snapshot and `wdctl status` against the real watchdog: text,
--json, NAME and each exit code, through a register, feeds, an expiry and a
restart, a _DOG record, and a watchdog that stops making passes or is gone."""

import json
import os
import signal
import subprocess

from wdharness import wait_until


def status(watchdog, *args):
    return watchdog.wdctl("status", *args, check=False)


def snapshot(watchdog):
    r = status(watchdog, "--json")
    return json.loads(r.stdout) if r.stdout else None


def record(snap, name):
    return next((p for p in (snap or {}).get("processes", []) if p["name"] == name), None)


def service(snap, name):
    return next(s for s in snap["services"] if s["name"] == name)


def start(watchdog):
    """Starts the watchdog (its runtime folder is made by it) and waits for
    the first snapshot."""
    watchdog.start()
    assert wait_until(lambda: snapshot(watchdog), 10), watchdog.log()


def test_status_follows_a_process_and_the_dependent_services(watchdog):
    watchdog.add_sleeper("DUZI")
    watchdog.add_sleeper("DemoSvc")
    watchdog.add_service("VADA", "exit 1")  # installed, never stays up
    r = status(watchdog)
    assert r.returncode == 4 and "no status snapshot" in r.stderr

    start(watchdog)
    snap = snapshot(watchdog)
    assert snap["pid"] == watchdog.proc.pid and snap["serviceManager"] == "folder"
    assert set(snap) == {"version", "pid", "startedAt", "updatedAt", "serviceManager", "passes",
                         "lastPassMs", "clients", "processes", "services"}
    assert wait_until(lambda: service(snapshot(watchdog), "DUZI")["status"] == "running")
    snap = snapshot(watchdog)
    assert service(snap, "MySqlqvms80")["status"] == "unregistered"
    assert service(snap, "VADA") == {"name": "VADA", "status": "stop", "suppressedBy": None,
                                     "changedAt": service(snap, "VADA")["changedAt"]}
    r = status(watchdog)
    assert r.returncode == 3, r.stdout
    assert "MySqlqvms80  unregistered (not installed)" in r.stdout
    assert "watchdog: pid %d, up since %s" % (snap["pid"], snap["startedAt"]) in r.stdout

    # VADA left to its _DOG record: no longer counted.
    watchdog.wdctl("register", "VADA_DOG", "VADA", "1", "never")
    assert wait_until(lambda: status(watchdog).returncode == 0)
    assert service(snapshot(watchdog), "VADA")["suppressedBy"] == "VADA_DOG"
    assert "left to VADA_DOG" in status(watchdog).stdout

    feeder = subprocess.Popen([os.path.join(watchdog.bin, "wdctl"), "keepalive", "P.exe", "DemoSvc", "2000",
                               "--interval", "300"],
                              env=watchdog.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        assert wait_until(lambda: record(snapshot(watchdog), "P.exe"))
        snap = snapshot(watchdog)
        assert record(snap, "P.exe") == {
            "name": "P.exe", "service": "DemoSvc", "pid": feeder.pid, "timeoutMs": 2000,
            "lastFeedAgeMs": record(snap, "P.exe")["lastFeedAgeMs"], "state": "watching",
            "graceCount": 0, "restarts": 0, "lastRestartAt": None}
        assert snap["clients"] == 1
        assert record(snap, "VADA_DOG")["timeoutMs"] is None
        r = status(watchdog, "P.exe")
        assert r.returncode == 0
        lines = r.stdout.splitlines()
        assert len(lines) == 2 and lines[1].split()[:3] == ["P.exe", "DemoSvc", "watching"], r.stdout
        filtered = json.loads(status(watchdog, "--json", "P.exe").stdout)
        assert [p["name"] for p in filtered["processes"]] == ["P.exe"]
        assert filtered["services"] == snapshot(watchdog)["services"]
        r = status(watchdog, "NoSuch.exe")
        assert r.returncode == 3 and "no watched process named NoSuch.exe" in r.stderr

        # Feeds stop: expiry, restart through DemoSvc, then late again.
        feeder.send_signal(signal.SIGUSR1)
        assert wait_until(lambda: (record(snapshot(watchdog), "P.exe") or {}).get("restarts"), 20)
        restarted = record(snapshot(watchdog), "P.exe")
        assert restarted["state"] == "restarted" and restarted["lastRestartAt"]
        assert wait_until(lambda: status(watchdog, "P.exe").returncode == 3, 20)
        assert "(late)" in status(watchdog).stdout
    finally:
        feeder.kill()
        feeder.wait()


def test_status_says_when_the_watchdog_stops_making_passes_or_is_gone(watchdog):
    start(watchdog)
    assert status(watchdog).returncode == 0
    os.kill(watchdog.proc.pid, signal.SIGSTOP)
    try:
        assert wait_until(lambda: status(watchdog).returncode == 4, 15)
        assert "old: the watchdog's worker is not running" in status(watchdog).stderr
    finally:
        os.kill(watchdog.proc.pid, signal.SIGCONT)
    assert wait_until(lambda: status(watchdog).returncode == 0)
    watchdog.stop()
    r = status(watchdog, "--json")
    assert r.returncode == 4 and "(pid %d) is not running" % watchdog.proc.pid in r.stderr
    assert json.loads(r.stdout)["pid"] == watchdog.proc.pid  # the last snapshot, as it was
