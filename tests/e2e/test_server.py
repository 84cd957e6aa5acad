"""The real watchdog serving real clients over TCP on port 30024."""

import socket


def test_wdctl_registration_feed_and_cancel_are_logged(watchdog):
    watchdog.start()
    watchdog.wdctl("register", "Alpha.exe", "AlphaSvc", "4242", "never")
    watchdog.wait_log(r"\[WatchdogServerModule::registerWatchdog \d+\] register new process\[Alpha.exe\]")
    watchdog.wdctl("feed", "Alpha.exe")
    watchdog.wait_log(r"\[WatchdogServerModule::feedWatchdog \d+\] feed process\[Alpha.exe\]!")
    watchdog.wdctl("cancel", "Alpha.exe")
    watchdog.wait_log(r"\[WatchdogServerModule::cancelWatchdog \d+\] cancel process\[Alpha.exe\]!")
    watchdog.wdctl("feed", "Alpha.exe")
    watchdog.wait_log(r"feed process\[Alpha.exe\] is not existed!")
    assert watchdog.log().count("Msg ID[") == 4


def open_file_limits(pid):
    with open("/proc/%d/limits" % pid) as f:
        for line in f:
            if line.startswith("Max open files"):
                return line.split()[3:5]
    return None


def test_connection_churn_does_not_end_the_worker(watchdog):
    watchdog.start()
    # Every descriptor the system allows is taken up front.
    soft, hard = open_file_limits(watchdog.proc.pid)
    assert soft == hard
    # A burst of connections, closed before the watchdog gets to them: each
    # is accepted in its own pass and dropped when its close is read.
    burst = []
    for _ in range(100):
        s = socket.socket()
        s.setblocking(False)
        s.connect_ex(("127.0.0.1", 30024))
        burst.append(s)
    for s in burst:
        s.close()
    watchdog.wdctl("register", "After.exe", "Svc", "1", "never")
    watchdog.wait_log(r"register new process\[After.exe\]", timeout=120)
    assert watchdog.proc.poll() is None
