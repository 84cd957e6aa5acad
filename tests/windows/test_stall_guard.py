"""The watchdog of the watchdog on Windows, under Wine: with
ZELVIN_EXIT_ON_STALL_S set, the process ends itself with exit code 75 once
its worker has ended (and the limit has passed, for its crash report), here because "net" cannot be started at an expiry (a
file named net.exe beside REdodevaz.exe that is no program, which
CreateProcess finds first). Without the variable the process stays."""

import shutil
import socket
import subprocess
import time

import pytest

from winehost import DEADLINE, WIN_BUILD, wait_until  # first: it puts tools/ on the path
from wdharness import PORT, config_xml, message, port_is_free

STALL_EXIT_CODE = 75


@pytest.fixture
def app_dir(tmp_path):
    if not (WIN_BUILD / "bin" / "REdodevaz.exe").exists():
        pytest.fail(f"no Windows build in {WIN_BUILD}: run make windows")
    shutil.copy(WIN_BUILD / "bin" / "REdodevaz.exe", tmp_path / "REdodevaz.exe")
    (tmp_path / "net.exe").write_text("not a program\n")
    (tmp_path / "Watchdog.xml").write_text(config_xml())
    return tmp_path


def run_until_the_worker_ends(wine, folder, **env):
    """Starts the watchdog as a console program, registers a record that
    expires at once, and returns the process and the log's path."""
    assert wait_until(port_is_free, timeout=300, interval=1.0), "port 30024 stayed busy"
    out = open(folder / "console.out", "wb")
    proc = subprocess.Popen(["wine", str(folder / "REdodevaz.exe")], cwd=folder, stdin=subprocess.DEVNULL,
                            stdout=out, stderr=subprocess.STDOUT, env=dict(wine.env, **env))
    out.close()
    log = folder / "log" / "Watchdog.log"

    def registered():
        try:
            with socket.create_connection(("127.0.0.1", PORT), timeout=5) as sock:
                sock.sendall(message(1, "Gone.exe", "NoSuchService", 1, 1000))
            return True
        except OSError:
            return False
    assert wait_until(registered), "the watchdog does not listen"
    return proc, log


def test_an_ended_worker_ends_the_process_with_exit_code_75(wine, app_dir):
    # The record of the worker's end is written before its minidump, which
    # under Wine can take longer than the guard waits.
    proc, log = run_until_the_worker_ends(wine, app_dir, ZELVIN_EXIT_ON_STALL_S="10")
    try:
        rc = proc.wait(DEADLINE)
    except subprocess.TimeoutExpired:
        proc.kill()
        pytest.fail("still running:\n" + log.read_text(errors="replace")[-3000:])
    text = log.read_text(errors="replace")
    assert rc == STALL_EXIT_CODE, text[-3000:]
    assert "ended by an uncaught exception" in text
    assert "the worker has ended: ending the process with exit code 75 so that it is started again" in text
    assert "the process ends itself when its worker stops for 10 s (ZELVIN_EXIT_ON_STALL_S)" in text


def test_without_the_variable_the_process_stays(wine, app_dir):
    proc, log = run_until_the_worker_ends(wine, app_dir)
    try:
        assert wait_until(lambda: "ended by an uncaught exception" in log.read_text(errors="replace"))
        time.sleep(4)
        assert proc.poll() is None
    finally:
        proc.kill()
        proc.wait(30)
        assert wait_until(port_is_free), "the killed watchdog still holds port 30024"
