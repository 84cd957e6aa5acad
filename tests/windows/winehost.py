"""What the Wine tests share: the Windows build folder, condition waits with
generous deadlines, and wine and wineserver driven on one prefix."""

import os
import re
import subprocess
import tempfile
from pathlib import Path

import wdharness

ROOT = Path(wdharness.ROOT)
WIN_BUILD = Path(os.environ.get("WATCHDOG_WINDOWS_BUILD_DIR", ROOT / "build-windows"))
# Slow, shared machines: every wait is for a condition, with room to spare.
DEADLINE = 60.0


def wait_until(predicate, timeout=DEADLINE, interval=0.25):
    return wdharness.wait_until(predicate, timeout, interval)


class WineLog(wdharness.LogFile):
    """A log the Wine side writes, waited for by its plain text."""

    def wait_for(self, text, count=1, timeout=DEADLINE):
        self.wait(re.escape(text), count, timeout, 0.25)


def windows_path(path):
    return "Z:" + str(path).replace("/", "\\")


class Wine:
    """wine and wineserver on one prefix. Output goes through files, never
    pipes: services.exe and friends inherit the descriptors and outlive the
    command that started them."""

    def __init__(self, prefix):
        self.prefix = Path(prefix)
        self.env = dict(os.environ, WINEPREFIX=str(prefix), WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=")
        self.env.pop("DISPLAY", None)

    def boot(self):
        """A fresh prefix, and a server kept alive, with the services it
        runs, between wine commands until kill()."""
        self.run("wineboot", "--init", timeout=300)
        self.server("-w")
        self.server("-p")

    def kill(self):
        self.server("-k")

    def run(self, *args, timeout=120, env=None):
        """Exit code and output (stdout and stderr) of one wine command;
        `env` adds variables (Wine hands them to the Windows program)."""
        with tempfile.TemporaryFile() as out:
            proc = subprocess.run(["wine", *map(str, args)], env=dict(self.env, **(env or {})),
                                  stdin=subprocess.DEVNULL,
                                  stdout=out, stderr=subprocess.STDOUT, timeout=timeout)
            out.seek(0)
            return proc.returncode, out.read().decode(errors="replace")

    def server(self, *args):
        subprocess.run(["wineserver", *args], env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)

    def state(self, service):
        """RUNNING, STOPPED, ... of the service; None when it is not registered."""
        _, out = self.run("sc", "query", service)
        found = re.search(r"STATE\s*:\s*\d+\s+(\w+)", out)
        return found.group(1) if found else None

    def registry(self, key):
        """The values of a registry key as {name: text as reg.exe prints it};
        None when the key does not exist."""
        rc, out = self.run("reg", "query", key)
        if rc != 0:
            return None
        return dict(re.findall(r"^\s+(\S+)\s+REG_\w+\s+(.*?)\s*$", out, re.M))
