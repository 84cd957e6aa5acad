"""The Windows setup (make package-windows) under Wine, in a fresh prefix: a
silent install, an upgrade to a second version built from the same binaries,
and the uninstall. The tests run in file order on one installation.

The installed watchdog runs as a service without ZELVIN_CONFIG_DIR and with
no Watchdog.xml beside it, so its start proves the lookup of
..\\etc\\Watchdog.xml."""

import re
import subprocess
import time

import pytest

from winehost import DEADLINE, ROOT, WIN_BUILD, WineLog, wait_until
from wdharness import PORT, connects, port_is_free

SERVICE = "REdodevaz"
SERVICE_KEY = r"HKLM\System\CurrentControlSet\Services\REdodevaz"
UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\ZelvinWatchdog"
INSTALL_DIR = r"C:\Program Files\Zelvin Watchdog"
INIT_OK = "Watchdog SERVER initialize ok"


def project_version():
    found = re.search(r"project\(\w+ VERSION ([\d.]+)", (ROOT / "CMakeLists.txt").read_text())
    return found.group(1)


def build_setup(version, folder):
    """A setup of `version` from the cross-built binaries, as the build makes it."""
    numbers = version.split(".")
    out = folder / f"zelvin-watchdog-{version}-setup-x64.exe"
    subprocess.run(["makensis", "-V2", "-WX", f"-DVERSION={version}",
                    "-DVERSION_QUAD=" + ".".join((numbers + ["0"] * 4)[:4]),
                    f"-DBIN_DIR={WIN_BUILD / 'bin'}", f"-DCONFIG_FILE={ROOT / 'config' / 'Watchdog.xml'}",
                    f"-DOUT_FILE={out}", str(ROOT / "packaging" / "windows" / "Setup.nsi")],
                   check=True, stdin=subprocess.DEVNULL, timeout=300)
    return out


class Installation:
    def __init__(self, wine):
        self.wine = wine
        self.folder = wine.prefix / "drive_c" / "Program Files" / "Zelvin Watchdog"
        log = WineLog(self.folder / "log" / "Watchdog.log")
        self.log, self.wait_log = log.text, log.wait_for
        self.setup_log = WineLog(self.folder / "log" / "Setup.log").text

    def run(self, program, *args):
        """Runs a setup or uninstaller; returns when it was started."""
        started = time.monotonic()
        rc, out = self.wine.run(program, *args, timeout=600)
        assert rc == 0, f"{out}\n{self.setup_log()}"
        return started

    def took(self, what, started):
        """A figure for the reader of the output (pytest -s), not a check."""
        print(f"{what}: {time.monotonic() - started:.1f} s")

    def serving(self):
        assert wait_until(lambda: self.wine.state(SERVICE) == "RUNNING"), self.setup_log()
        assert wait_until(lambda: connects(timeout=5)), f"nothing on port {PORT}\n{self.log()[-3000:]}"


@pytest.fixture(scope="module")
def setups(tmp_path_factory):
    """The setup `make package-windows` built and one of the next version."""
    version = project_version()
    first = WIN_BUILD / f"zelvin-watchdog-{version}-setup-x64.exe"
    if not first.exists():
        pytest.fail(f"no {first}: run make package-windows")
    numbers = version.split(".")
    second = ".".join(numbers[:-1] + [str(int(numbers[-1]) + 1)])
    return (version, first), (second, build_setup(second, tmp_path_factory.mktemp("setup")))


@pytest.fixture(scope="module")
def installation(wine):
    assert wait_until(port_is_free, timeout=300, interval=1.0), "port 30024 stayed busy"
    return Installation(wine)


def test_silent_setup_installs_registers_and_starts_the_service(installation, setups):
    (version, setup), _ = setups
    started = installation.run(setup, "/S")
    for relative in ("bin/REdodevaz.exe", "bin/net.exe", "bin/wdctl.exe", "etc/Watchdog.xml", "uninstall.exe"):
        assert (installation.folder / relative).is_file(), relative
    assert not (installation.folder / "bin" / "Watchdog.xml").exists()

    service = installation.wine.registry(SERVICE_KEY)
    assert service["Start"] == "0x2"  # automatic
    assert service["ObjectName"] == "LocalSystem"
    assert service["ImagePath"] == f'"{INSTALL_DIR}\\bin\\REdodevaz.exe"'
    assert service["DisplayName"] == "Zelvin Watchdog"
    assert "server processes" in service["Description"]
    assert installation.wine.registry(UNINSTALL_KEY)["DisplayVersion"] == version
    # The service's own environment: the saved registry's folder and the
    # stall guard's limit.
    assert r"ZELVIN_STATE_DIR=C:\ProgramData\Zelvin Watchdog\state" in service["Environment"], service
    assert "ZELVIN_EXIT_ON_STALL_S=30" in service["Environment"], service
    assert (installation.wine.prefix / "drive_c" / "ProgramData" / "Zelvin Watchdog" / "state").is_dir()

    installation.serving()
    installation.wait_log(INIT_OK)
    installation.took("install, until serving", started)
    wdctl = installation.folder / "bin" / "wdctl.exe"
    for args in (("register", "SetupProbe.exe", "NoSuchService", "4242", "never"), ("cancel", "SetupProbe.exe")):
        rc, out = installation.wine.run(wdctl, *args)
        assert rc == 0, out
    installation.wait_log("register new process[SetupProbe.exe]")
    installation.wait_log("cancel process[SetupProbe.exe]!")

    # Wine keeps neither recovery actions nor firewall rules: what can be seen
    # is that the setup asked for them.
    steps = installation.setup_log()
    assert re.search(r'sc\.exe" failure REdodevaz reset= 86400 actions= restart/2000\S* -> exit 0', steps), steps
    assert 'netsh.exe" advfirewall firewall add rule "name=Zelvin Watchdog (local only)" dir=in action=block' in steps


def test_upgrade_replaces_the_running_watchdog_and_keeps_the_configuration(installation, setups):
    _, (version, setup) = setups
    config = installation.folder / "etc" / "Watchdog.xml"
    config.write_text(config.read_text() + "<!-- edited by the operator -->\n")

    started = installation.run(setup, "/S")
    installation.wait_log(INIT_OK, count=2)
    installation.serving()
    installation.took("upgrade, until serving again", started)
    log = installation.log()
    first, second = log.index(INIT_OK), log.rindex(INIT_OK)
    assert log.count(INIT_OK) == 2 and log[first:second].count("shutting down") == 1, log[-3000:]
    assert "shutting down" not in log[second:]
    assert installation.wine.registry(UNINSTALL_KEY)["DisplayVersion"] == version
    assert "edited by the operator" in config.read_text()
    assert re.search(r"process \d+ of REdodevaz has ended", installation.setup_log()), installation.setup_log()


def test_uninstall_removes_the_service_and_the_program(installation):
    # The uninstaller runs on from a copy of itself, so its exit says little:
    # the checks wait for what it leaves behind.
    started = installation.run(installation.folder / "uninstall.exe", "/S")
    assert wait_until(lambda: installation.wine.registry(SERVICE_KEY) is None), installation.setup_log()
    assert wait_until(port_is_free), "the uninstalled watchdog still holds port 30024"
    assert installation.wine.state(SERVICE) is None
    assert wait_until(lambda: installation.wine.registry(UNINSTALL_KEY) is None), installation.setup_log()
    for relative in ("bin", "etc", "uninstall.exe"):
        assert wait_until(lambda: not (installation.folder / relative).exists(), DEADLINE), relative
    assert not (installation.wine.prefix / "drive_c" / "ProgramData" / "Zelvin Watchdog" / "state").exists()
    installation.took("uninstall, until removed", started)
    # The log folder stays.
    assert "shutting down" in installation.log()
    assert "uninstalling Zelvin Watchdog" in installation.setup_log()
