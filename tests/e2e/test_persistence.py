"""The registry across a restart of the real watchdog: killed with SIGKILL and
started again, with a state folder (everything back) and without one
(nothing back), and a saved file that cannot be used."""

import os
import re
import signal
import stat
import subprocess

import pytest

import wdharness
from wdharness import TIMEOUT_NEVER, Feeder, message, send, wait_until

HOSTILE = b"\xff\x01a b\t%0A\nend"
RECORDS = (  # name, service, timeout
    ("Fed.exe", "Fed", 3000),
    ("Unfed.exe", "Unfed", 3000),
    ("Never.exe", "NoSuchService", TIMEOUT_NEVER),
    (HOSTILE, "NoSuchService", TIMEOUT_NEVER),
)


def diag(wd, pattern):
    """Records of the diagnostics logger (not "WTD") that match `pattern`."""
    return re.findall(r"\] Watchdog: \[WatchdogServerModule::\w+ \d+\] " + pattern, wd.log())


def saved_records(path):
    try:
        with open(path, "rb") as f:
            return [line for line in f.read().split(b"\n") if line.startswith(b"P\t")]
    except OSError:
        return []


def start_and_register(wd, **env):
    wd.start(**env)
    send(*(message(1, name, service, 100 + i, timeout) for i, (name, service, timeout) in enumerate(RECORDS)))
    wd.wait_log(r"register new process\[Never.exe\]")


@pytest.fixture
def state(watchdog, tmp_path):
    for name in ("Fed", "Unfed"):
        watchdog.add_sleeper(name)
    for variable in ("ZELVIN_STATE_DIR", "STATE_DIRECTORY"):
        watchdog.env.pop(variable, None)
    return tmp_path / "var" / "state"


def test_killed_and_started_again_every_record_is_back_and_supervised(watchdog, state):
    env = {"ZELVIN_STATE_DIR": str(state)}
    start_and_register(watchdog, **env)
    registry = state / "registry"
    assert wait_until(lambda: len(saved_records(registry)) == len(RECORDS)), saved_records(registry)
    assert stat.S_IMODE(os.stat(state).st_mode) == 0o700
    assert stat.S_IMODE(os.stat(registry).st_mode) == 0o600
    assert watchdog.net("start", "Unfed").returncode == 0
    unfed = watchdog.service_pid("Unfed")

    feeder = Feeder("Fed.exe")
    feeder.start()
    try:
        assert watchdog.stop(signal.SIGKILL) == -signal.SIGKILL
        start = len(watchdog.log())
        watchdog.start(**env)
        watchdog.wait_log(r"restored 4 records from %s" % re.escape(str(registry)))
        restored = diag(watchdog, r"restored process\[(.*?)\] service\[(\w+)\] timeout\[([\w ]+)\] "
                                  r"state\[registered\] restarts\[0\]")
        # The hostile name as the log escapes it; the others as they are.
        assert len(restored) == 4, restored
        assert {("Fed.exe", "Fed", "3000 ms"), ("Unfed.exe", "Unfed", "3000 ms"),
                ("Never.exe", "NoSuchService", "never")} < set(restored), restored
        assert "restored" not in "".join(re.findall(r"WTD: .*", watchdog.log()[start:]))

        # The one nobody feeds is restarted after its timeout from the
        # restart; the fed one never, the never-expiring ones stay.
        watchdog.wait_log(r"kill process\[Unfed.exe\]")
        watchdog.wait_log(r"launch process\[Unfed\] Success")
        assert wait_until(lambda: watchdog.service_pid("Unfed") not in (None, unfed))
        feeds = watchdog.log().count("feed process[Fed.exe]!")
        watchdog.wait_log(r"feed process\[Fed.exe\]!", count=feeds + 10)  # four seconds and more of feeds
    finally:
        feeder.stop()
    tail = watchdog.log()[start:]
    assert "kill process[Fed.exe]" not in tail and "kill process[Never.exe]" not in tail
    assert "feed process[Fed.exe] is not existed!" not in tail
    send(message(3, "Never.exe"), message(3, HOSTILE))
    watchdog.wait_log(r"feed process\[Never.exe\]!")
    assert watchdog.log().count("is not existed!") == 0
    assert len(saved_records(registry)) == len(RECORDS)
    assert os.listdir(state) == ["registry"]


def test_without_a_state_folder_nothing_is_restored_and_a_keepalive_client_registers_again(
        watchdog, state, tmp_path):
    start_and_register(watchdog)
    client = subprocess.Popen([os.path.join(watchdog.bin, "wdctl"), "keepalive", "Keep.exe", "NoSuchService",
                               "never", "--interval", "200"], env=watchdog.env, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL)
    try:
        watchdog.wait_log(r"register new process\[Keep.exe\]")
        assert watchdog.stop(signal.SIGKILL) == -signal.SIGKILL
        start = len(watchdog.log())
        watchdog.start()
        # The client outlives the watchdog and tells the new one again.
        assert wait_until(lambda: "register new process[Keep.exe]" in watchdog.log()[start:], 5), \
            watchdog.log()[start:]
        assert client.poll() is None
    finally:
        wdharness.stop_process(client)
    send(message(3, "Never.exe"))
    watchdog.wait_log(r"feed process\[Never.exe\] is not existed!")
    assert len(diag(watchdog, r"no state folder \(ZELVIN_STATE_DIR, STATE_DIRECTORY\): "
                              r"registrations are not saved")) == 2
    assert not diag(watchdog, r"restored")
    assert not state.exists()
    assert not [f for _, _, files in os.walk(tmp_path) for f in files if f.startswith("registry")]


GOOD = b"ZelvinWatchdog registry\t1\nP\tA.exe\tA\t\t1\t5000\t0\t0\t1\nend\t1\t"


# Every reason the format gives is registry_store_test's; here two, through
# the real file and its folder.
@pytest.mark.parametrize("content, why", [
    (b"\x00\x01garbage\n", "is not a saved registry"),
    (GOOD + b"00000000\n", r"is damaged \(checksum mismatch\)"),
], ids=["garbage", "damaged"])
def test_a_saved_file_that_cannot_be_used_is_set_aside_and_the_start_goes_on(watchdog, state, content, why):
    os.makedirs(state, mode=0o700)
    registry = state / "registry"
    registry.write_bytes(content)
    os.chmod(registry, 0o600)
    watchdog.start(ZELVIN_STATE_DIR=str(state))
    watchdog.wait_log(r"\[Error\] Watchdog: \[WatchdogServerModule::restoreRegistry \d+\] the saved registry "
                      r"%s %s; set aside as %s\.unusable-\d{8}-\d{6}; starting with an empty registry"
                      % (re.escape(str(registry)), why, re.escape(str(registry))))
    aside = [name for name in os.listdir(state) if name.startswith("registry.unusable-")]
    assert len(aside) == 1 and (state / aside[0]).read_bytes() == content
    # The watchdog serves, from an empty registry, and saves afresh.
    send(message(3, "A.exe"), message(1, "B.exe", "B", 1, TIMEOUT_NEVER))
    watchdog.wait_log(r"feed process\[A.exe\] is not existed!")
    assert wait_until(lambda: [r.split(b"\t")[1] for r in saved_records(registry)] == [b"B.exe"])


def test_with_exit_on_stall_an_ended_worker_ends_the_process_and_the_next_one_has_its_records(watchdog, state,
                                                                                            tmp_path):
    env = {"ZELVIN_STATE_DIR": str(state)}
    # No `net` on PATH: the first expiry's "net stop" cannot be started,
    # which ends the worker.
    watchdog.start(ZELVIN_EXIT_ON_STALL_S="2", PATH=str(tmp_path / "nothing"), **env)
    send(message(1, "Never.exe", "NoSuchService", 1, TIMEOUT_NEVER),
         message(1, "Gone.exe", "NoSuchService", 2, 1000))
    watchdog.wait_log(r"ended by an uncaught exception")
    assert watchdog.proc.wait(30) == 75
    watchdog.wait_log(r"\[Error\] Watchdog: \[StallGuard::recordEnd \d+\] the worker has ended: "
                      r"ending the process with exit code 75 so that it is started again")

    # The pass that ended the worker had marked Gone.exe restarted: saved too.
    watchdog.start(**env)
    watchdog.wait_log(r"restored 2 records")
    assert diag(watchdog, r"restored process\[Gone.exe\] service\[NoSuchService\] timeout\[1000 ms\] "
                          r"state\[restarted\] restarts\[0\]")
    assert diag(watchdog, r"restored process\[Never.exe\] service\[NoSuchService\] timeout\[never\]")
