"""The real watchdog serving real clients over TCP on port 30024."""

import socket
import struct

from wdharness import message


def test_wdctl_registration_feed_and_cancel_are_logged(watchdog):
    watchdog.start()
    watchdog.wait_listening()
    watchdog.wdctl("register", "Alpha.exe", "AlphaSvc", "4242", "never")
    watchdog.wait_log(r"\[WatchdogServerModule::registerWatchdog \d+\] register new process\[Alpha.exe\]")
    watchdog.wdctl("feed", "Alpha.exe")
    watchdog.wait_log(r"\[WatchdogServerModule::feedWatchdog \d+\] feed process\[Alpha.exe\]!")
    watchdog.wdctl("cancel", "Alpha.exe")
    watchdog.wait_log(r"\[WatchdogServerModule::cancelWatchdog \d+\] cancel process\[Alpha.exe\]!")
    watchdog.wdctl("feed", "Alpha.exe")
    watchdog.wait_log(r"feed process\[Alpha.exe\] is not existed!")
    assert watchdog.log().count("Msg ID[") == 4


def test_bad_clients_do_not_disturb_good_ones(watchdog):
    watchdog.start()
    watchdog.wait_listening()
    good = socket.create_connection(("127.0.0.1", 30024))
    good.sendall(message(1, "Good.exe", "GoodSvc", 1, 0xFFFFFFFF))
    watchdog.wait_log(r"register new process\[Good.exe\]")

    # Half a message, then silence: dropped 250 ms after its first byte.
    silent = socket.create_connection(("127.0.0.1", 30024))
    silent.sendall(message(3, "Good.exe")[:300])
    # A reset connection and an unknown type.
    resetter = socket.create_connection(("127.0.0.1", 30024))
    resetter.sendall(message(77, "x"))
    watchdog.wait_log(r"unknowing watchdog message type 77")
    resetter.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    resetter.close()
    watchdog.wait_log(r"client socket sent 300 of 668 bytes within 250 ms, erase it!")
    watchdog.wait_log(r"recv error client socket is exception")

    good.sendall(message(3, "Good.exe"))
    watchdog.wait_log(r"feed process\[Good.exe\]!")
    good.close()
    silent.close()
    watchdog.wait_log(r"client socket had closed, erase it!")
    # The registration outlives its connection.
    watchdog.wdctl("feed", "Good.exe")
    watchdog.wait_log(r"feed process\[Good.exe\]!", count=2)


def open_file_limits(pid):
    with open("/proc/%d/limits" % pid) as f:
        for line in f:
            if line.startswith("Max open files"):
                return line.split()[3:5]
    return None


def test_connection_churn_does_not_end_the_worker(watchdog):
    watchdog.start()
    watchdog.wait_listening()
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
