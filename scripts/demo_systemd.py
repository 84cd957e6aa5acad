#!/usr/bin/python3
"""The demo of `make run` on systemd: a private `systemd --user` manager
(tools/private_systemd.py; needs root and cgroup2) runs the demo services as
units made from their run scripts (build/demo/services/NAME/run ->
NAME.service), and the watchdog runs in the foreground with that manager as
its service manager. One second after it starts, DemoServer is started with
`net start`; it stops feeding after 15 s and is restarted through systemd.
Ctrl-C ends the watchdog; then every unit is stopped, the manager ends and its
cgroup is removed.

Usage: /usr/bin/python3 scripts/demo_systemd.py [build dir]
"""

import os
import signal
import subprocess
import sys
import threading

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
from private_systemd import PrivateSystemd, Unavailable  # noqa: E402
from wdharness import watchdog_env  # noqa: E402

UNIT = """WorkingDirectory={folder}
Environment="PATH={bin}:/usr/local/bin:/usr/bin:/bin" "ZELVIN_SERVICE_NAME={name}"
StandardOutput=append:{folder}/output.log
StandardError=inherit
"""


def add_demo_units(manager, services, bin_dir):
    names = sorted(n for n in os.listdir(services) if os.access(os.path.join(services, n, "run"), os.X_OK))
    for name in names:
        folder = os.path.join(services, name)
        manager.add_service(name, '"%s"' % os.path.join(folder, "run"),
                            UNIT.format(folder=folder, bin=bin_dir, name=name))
    return names


def write_allow_list(etc, names):
    """services.d/demo.conf beside the demo's Watchdog.xml: on systemd only
    listed units may be controlled (without a list, the dependent services
    only). Read by `make run` too, where it lists the same services."""
    folder = os.path.join(etc, "services.d")
    os.makedirs(folder, exist_ok=True)
    os.chmod(folder, 0o755)
    path = os.path.join(folder, "demo.conf")
    with open(path, "w") as f:
        f.write("# The demo's services, written by scripts/demo_systemd.py\n" + "".join(n + "\n" for n in names))
    os.chmod(path, 0o644)


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build")
    bin_dir = os.path.join(build, "bin")
    manager = PrivateSystemd(root=os.path.join(build, "demo"))
    try:
        manager.start()
    except Unavailable as why:
        sys.exit("demo-systemd: no private systemd manager: %s" % why)
    try:
        names = add_demo_units(manager, os.path.join(build, "demo", "services"), bin_dir)
        write_allow_list(os.path.join(build, "demo", "etc"), names)
        # On the machine's network, so that wdctl reaches it by hand too.
        env = manager.client_env(watchdog_env(bin_dir, os.path.join(build, "demo", "etc"), ""))
        print("demo: units %s in a private systemd manager; by hand:\n"
              "  XDG_RUNTIME_DIR=%s systemctl --user status DemoServer\n"
              "  XDG_RUNTIME_DIR=%s ZELVIN_SERVICE_MANAGER=systemd ZELVIN_SYSTEMD_SCOPE=user %s/net stop DUZI\n"
              "Watchdog log: %s/demo/log/Watchdog.log   (Ctrl-C stops the watchdog)"
              % (", ".join(n + ".service" for n in names), manager.runtime, manager.runtime, bin_dir, build),
              flush=True)
        watchdog = subprocess.Popen([os.path.join(bin_dir, "REdodevaz")], env=env)
        # Ctrl-C reaches the watchdog, which ends on it; this script stays to clean up.
        signal.signal(signal.SIGINT, lambda *_: None)
        signal.signal(signal.SIGTERM, lambda *_: watchdog.send_signal(signal.SIGTERM))
        # The product server is no dependent service: started once the
        # watchdog runs, as the product's own start-up would.
        starter = threading.Timer(1.0, lambda: subprocess.run(
            [os.path.join(bin_dir, "net"), "start", "DemoServer"], env=env, stdout=subprocess.DEVNULL))
        starter.start()
        rc = watchdog.wait()
        starter.cancel()
        starter.join()
    finally:
        manager.stop()
        print("demo: units stopped, private manager ended, its cgroup removed", flush=True)
    return rc


if __name__ == "__main__":
    sys.exit(main())
