"""The Debian package as an operator gets it (build-package/*.deb, made by
`make package`): its metadata and file list, lintian, the unit as systemd
reads it, the unpacked tree running on its own, dpkg's install, upgrade,
remove and purge, and the packaged unit serving in a private systemd
manager."""

import glob
import os
import re
import shutil
import subprocess
import tempfile

import pytest

import private_systemd
import wdharness
from wdharness import ROOT

# The packaged watchdog listens on port 30024: in this file's own network.
wdharness.isolate_network()
PACKAGE_DIR = os.environ.get("WATCHDOG_PACKAGE_DIR", os.path.join(ROOT, "build-package"))
UNIT = "zelvin-watchdog.service"
PRIVATE_BIN = "usr/lib/zelvin-watchdog/bin"
VERSION = open(os.path.join(ROOT, "CMakeLists.txt")).read().split("project(ZelvinWatchdog VERSION ")[1].split()[0]

SERVICE_LISTS = ("etc/zelvin-watchdog/services.d/dependent.conf",
                 "etc/zelvin-watchdog/services.d/product.conf.example")
EXPECTED_FILES = {
    "etc/zelvin-watchdog/Watchdog.xml",
    *SERVICE_LISTS,
    "lib/systemd/system/" + UNIT,
    "usr/bin/zelvin-wdctl",
    PRIVATE_BIN + "/REdodevaz",
    PRIVATE_BIN + "/net",
    PRIVATE_BIN + "/libZelvinUtil64.so",
    PRIVATE_BIN + "/integrity.sha256",
    "usr/share/doc/zelvin-watchdog/changelog.gz",
    "usr/share/doc/zelvin-watchdog/copyright",
    "usr/share/man/man1/zelvin-wdctl.1.gz",
    "usr/share/zelvin-watchdog/prometheus/zelvin-watchdog.rules.yml",
}


def run(*args, **kwargs):
    kwargs.setdefault("timeout", 120)
    return subprocess.run(list(args), capture_output=True, text=True, **kwargs)


@pytest.fixture(scope="module")
def deb():
    found = sorted(glob.glob(os.path.join(PACKAGE_DIR, "zelvin-watchdog_*.deb")))
    if not found:
        pytest.fail("no package in %s: run make package" % PACKAGE_DIR)
    return found[-1]


@pytest.fixture(scope="module")
def tree(deb):
    """The package unpacked into a folder outside /tmp and /home, which the
    unit's PrivateTmp= and ProtectHome= would hide from the watchdog."""
    root = private_systemd.visible_folder("zw-package-tree-")
    assert run("dpkg-deb", "-x", deb, root).returncode == 0
    yield root
    shutil.rmtree(root, ignore_errors=True)


def test_metadata_files_lintian_and_unit(deb, tree):
    info = run("dpkg-deb", "-I", deb).stdout
    for field in ("Package: zelvin-watchdog", "Version: " + VERSION, "Architecture: amd64",
                  "libpocofoundation80", "init-system-helpers", "conffiles", "postinst", "prerm", "postrm"):
        assert field in info, info
    listed = run("dpkg-deb", "-c", deb).stdout.splitlines()
    files = {line.split()[-1].lstrip("./") for line in listed if not line.startswith("d")}
    assert files == EXPECTED_FILES
    control = tempfile.mkdtemp(dir=tree)
    run("dpkg-deb", "-e", deb, control)
    assert open(os.path.join(control, "conffiles")).read().split() == \
        ["/etc/zelvin-watchdog/Watchdog.xml"] + ["/" + path for path in SERVICE_LISTS]
    shutil.rmtree(control)

    # No RUNPATH but $ORIGIN, so the library is found beside the programs,
    # without ldconfig.
    dynamic = run("readelf", "-d", os.path.join(tree, PRIVATE_BIN, "REdodevaz")).stdout
    assert "[$ORIGIN]" in dynamic and "libZelvinUtil64.so" in dynamic
    config = open(os.path.join(tree, "etc/zelvin-watchdog/Watchdog.xml")).read()
    assert '<Dir value="/var/log/zelvin-watchdog"/>' in config

    lintian = run("lintian", "--no-tag-display-limit", deb, timeout=300)
    errors = [line for line in lintian.stdout.splitlines() if line.startswith("E:")]
    assert not errors, lintian.stdout

    # systemd-analyze reads the unit against the machine's own units, in a
    # copy of the package's tree, so that ExecStart= is checked as well.
    units = os.path.join(tree, "lib/systemd/system")
    for path in glob.glob("/lib/systemd/system/*.target"):
        if not os.path.exists(os.path.join(units, os.path.basename(path))):
            shutil.copy(path, units)
    verify = run("systemd-analyze", "verify", "--root=" + tree, UNIT)
    assert verify.returncode == 0 and not verify.stderr.strip(), verify.stderr


def test_unpacked_tree_runs_with_packaged_configuration(tree, tmp_path):
    """The packaged programs and configuration, on their own: only the private
    folder and the system's folders on PATH. The log folder of the packaged
    configuration (/var/log/zelvin-watchdog) is a tmpfs of a private mount
    namespace."""
    services = tmp_path / "services"
    wdharness.add_service(str(services), "Pkg", wdharness.SLEEPER_SCRIPT)
    # The packaged list allows only the dependent services; the product's
    # package drops in a file of its own.
    product_list = os.path.join(tree, "etc/zelvin-watchdog/services.d/pkg.conf")
    with open(product_list, "w") as f:
        f.write("Pkg\n")
    private_bin = os.path.join(tree, PRIVATE_BIN)
    env = {"PATH": private_bin + ":/usr/bin:/bin", "ZELVIN_CONFIG_DIR": os.path.join(tree, "etc/zelvin-watchdog"),
           "ZELVIN_SERVICE_DIR": str(services), "ZELVIN_STOP_TIMEOUT_MS": "2000"}
    script = ("mount -t tmpfs tmpfs /var/log && "
              "net start Pkg >/dev/null && "
              "{ REdodevaz & wd=$!; } && "
              "for i in $(seq 100); do zelvin-wdctl register Pkg.exe Pkg 1 1000 >/dev/null 2>&1 && break; sleep 0.2; done && "
              "for i in $(seq 150); do grep -q 'launch process\\[Pkg\\] Success' /var/log/zelvin-watchdog/Watchdog.log "
              "&& break; sleep 0.2; done; "
              "kill -TERM $wd; wait $wd; rc=$?; net stop Pkg >/dev/null; "
              "cat /var/log/zelvin-watchdog/Watchdog.log; exit $rc")
    try:
        result = run("unshare", "-m", "--propagation", "private", "sh", "-c", script,
                     env=dict(env, PATH=env["PATH"] + ":" + os.path.join(tree, "usr/bin")))
    finally:
        os.remove(product_list)
    assert result.returncode == 0, result.stdout + result.stderr
    log = result.stdout
    for record in ("Watchdog SERVER initialize ok", "register new process[Pkg.exe]", "kill process[Pkg.exe]",
                   "launch process[Pkg] Success"):
        assert record in log, log
    assert "shutting down" in log

# dpkg for real, on overlays of /etc, /usr and /var in a private mount
# namespace, so the machine's own package database is never touched.
DPKG_SCENARIO = r"""
set -u
up=$(mktemp -d /dev/shm/zw-dpkg.XXXXXX)
for d in etc usr var; do
  mkdir -p $up/$d/upper $up/$d/work
  mount -t overlay overlay -o lowerdir=/$d,upperdir=$up/$d/upper,workdir=$up/$d/work /$d || exit 90
done
wants=/etc/systemd/system/multi-user.target.wants/zelvin-watchdog.service
state() { echo "$1 rc=$2 enabled=$([ -L $wants ] && echo yes || echo no)" \
  "version=$(dpkg-query -W -f='${Version}' zelvin-watchdog 2>/dev/null)" \
  "config=$([ -f /etc/zelvin-watchdog/Watchdog.xml ] && tail -n 1 /etc/zelvin-watchdog/Watchdog.xml)" \
  "programs=$(ls /usr/lib/zelvin-watchdog/bin 2>/dev/null | tr '\n' ,)"; }
dpkg -i "$1" >/dev/null 2>&1; state install $?
echo '<!--edited-->' >> /etc/zelvin-watchdog/Watchdog.xml
mkdir -p /var/log/zelvin-watchdog
dpkg -i "$2" >/dev/null 2>&1; state upgrade $?
dpkg -r zelvin-watchdog >/dev/null 2>&1; state remove $?
dpkg -P zelvin-watchdog >/dev/null 2>&1; state purge $?
echo "logs=$([ -d /var/log/zelvin-watchdog ] && echo kept || echo gone)"
rm -rf $up
"""


def test_install_upgrade_remove_purge(deb, tmp_path):
    """Enabled on install; the operator's edit of the conffile and the
    enablement survive an upgrade; disabled on remove (the configuration
    stays); everything of it, logs included, gone on purge."""
    cpack = run("cpack", "-G", "DEB", "-D", "CPACK_PACKAGE_VERSION=99.0.0", "-B", str(tmp_path),
                cwd=os.path.dirname(deb))
    assert cpack.returncode == 0, cpack.stdout + cpack.stderr
    newer = glob.glob(str(tmp_path / "zelvin-watchdog_99.0.0_*.deb"))[0]
    result = run("unshare", "-m", "--propagation", "private", "sh", "-c", DPKG_SCENARIO, "dpkg", deb, newer)
    programs = "programs=REdodevaz,integrity.sha256,libZelvinUtil64.so,net,"
    assert result.stdout.splitlines() == [
        "install rc=0 enabled=yes version=%s config=</config> %s" % (VERSION, programs),
        "upgrade rc=0 enabled=yes version=99.0.0 config=<!--edited--> " + programs,
        "remove rc=0 enabled=no version=99.0.0 config=<!--edited--> programs=",
        "purge rc=0 enabled=no version= config= programs=",
        "logs=gone",
    ], result.stderr


def test_packaged_unit_in_a_systemd_manager(tree):
    """The packaged unit and programs in the private (user) manager, the unit
    unchanged but for a drop-in that points it at the unpacked tree and a
    test configuration with the packaged allow-list: it starts and serves the
    packaged wdctl. Its restarts (kill -9, an ended worker) are
    tests/e2e/test_unit_restarts.py's, on the same unit file."""
    work = private_systemd.visible_folder("zw-package-unit-")
    sd = private_systemd.start_or_skip(root=work)
    try:
        unit = private_systemd.PackagedUnit(sd, os.path.join(tree, "lib/systemd/system", UNIT),
                                            os.path.join(tree, PRIVATE_BIN), work, 4000,
                                            os.path.join(tree, "etc/zelvin-watchdog/services.d"))
        unit.start()
        assert sd.show(UNIT, "ActiveState") == "active"
        unit.wait_log(re.escape("service allow-list: 3 service(s) listed in %s/services.d" % unit.etc))
        wdctl = os.path.join(tree, "usr/bin/zelvin-wdctl")
        assert run(wdctl, "register", "Unit.exe", "NoSuchUnit", "1", "never").returncode == 0
        unit.wait_log(re.escape("register new process[Unit.exe]"))
    finally:
        sd.stop()
        assert not sd.processes()
        shutil.rmtree(work, ignore_errors=True)
