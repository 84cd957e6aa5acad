"""The real watchdog serving real clients over TCP on port 30024 (what each
message does is also test_journal.py's and test_status.py's)."""

import socket


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
