"""The watchdog's metrics through the real parts: Debian's node exporter reads
zelvin_watchdog.prom from its textfile folder, Debian's Prometheus scrapes
the exporter on loopback and evaluates the shipped alert rules. Names from
the network are hostile: quotes, backslashes, line feeds, escape sequences,
bytes that are not UTF-8, text that would be exposition syntax. Run in a
private network namespace (tests/e2e/CMakeLists.txt); the exporter and
Prometheus are started here with flags, ports and folders of their own."""

import json
import os
import socket
import subprocess
import urllib.parse
import urllib.request

import pytest

import wdharness
from wdharness import wait_until

SOURCE = os.environ.get("WATCHDOG_SOURCE_DIR") or os.path.join(os.path.dirname(__file__), "..", "..")
RULES = os.path.join(SOURCE, "packaging", "prometheus", "zelvin-watchdog.rules.yml")
EXPORTER_PORT = 19100
PROMETHEUS_PORT = 19090

# Records that never expire, of a service that does not exist.
HOSTILE = [b'quote" back\\slash\nline', b"dup\xff", b"dup\xfe", b"\x1b[31mred",
           b'x} 1\n# TYPE zelvin_watchdog_clients counter', b"caf\xc3\xa9", b"\xed\xa0\x80"]


def get(url, timeout=5):
    with urllib.request.urlopen(url, timeout=timeout) as response:
        return response.read().decode()


def fetch(url):
    try:
        return get(url)
    except OSError:
        return None


def query(expr):
    """The instant vector of `expr`: a list of (labels, value)."""
    url = "http://127.0.0.1:%d/api/v1/query?%s" % (PROMETHEUS_PORT, urllib.parse.urlencode({"query": expr}))
    answer = json.loads(fetch(url) or '{"data": {"result": []}}')
    return [(r["metric"], float(r["value"][1])) for r in answer["data"]["result"]]


def started(args, log_path):
    log = open(log_path, "w")
    try:
        return subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=log, stderr=log)
    finally:
        log.close()


@pytest.fixture
def stack(watchdog, tmp_path):
    """The watchdog writing into a textfile folder, the exporter reading it,
    Prometheus scraping the exporter every second."""
    textfile = tmp_path / "textfile"
    textfile.mkdir()
    watchdog.env["ZELVIN_METRICS_DIR"] = str(textfile)
    watchdog.add_sleeper("RSvc")
    watchdog.start()
    config = tmp_path / "prometheus.yml"
    config.write_text(
        "global: {scrape_interval: 1s, evaluation_interval: 1s}\n"
        "rule_files: [%s]\n"
        "scrape_configs:\n"
        "  - job_name: node\n"
        "    static_configs: [{targets: ['127.0.0.1:%d']}]\n" % (json.dumps(RULES), EXPORTER_PORT))
    procs = []
    try:
        procs.append(started(["prometheus-node-exporter", "--web.listen-address=127.0.0.1:%d" % EXPORTER_PORT,
                              "--collector.disable-defaults", "--collector.textfile",
                              "--collector.textfile.directory=%s" % textfile],
                             tmp_path / "exporter.log"))
        procs.append(started(["prometheus", "--config.file=%s" % config,
                              "--storage.tsdb.path=%s" % (tmp_path / "data"),
                              "--web.listen-address=127.0.0.1:%d" % PROMETHEUS_PORT],
                             tmp_path / "prometheus.log"))
        ready = wait_until(lambda: fetch("http://127.0.0.1:%d/-/ready" % PROMETHEUS_PORT), 60)
        assert ready, wdharness.read_text(tmp_path / "prometheus.log")[-3000:]
        yield watchdog
    finally:
        for proc in procs:
            wdharness.stop_process(proc, timeout=20)


def test_exporter_and_prometheus_read_every_series_whatever_the_names(stack, tmp_path):
    with socket.create_connection(("127.0.0.1", wdharness.PORT)) as client:
        for name in HOSTILE:
            client.sendall(wdharness.message(1, name, b"Hostile", 7, wdharness.TIMEOUT_NEVER))
        # Never fed: restarted again and again through RSvc.
        client.sendall(wdharness.message(1, "R.exe", "RSvc", 8, 1000))
    expected = {name.decode(errors="replace") for name in HOSTILE} - {"dup\ufffd"} | {"dup\ufffd", "dup\ufffd #2"}

    metrics_url = "http://127.0.0.1:%d/metrics" % EXPORTER_PORT
    assert wait_until(lambda: 'process="R.exe"' in (fetch(metrics_url) or ""), 20), \
        wdharness.read_text(tmp_path / "exporter.log")[-3000:]
    text = get(metrics_url)
    assert "node_textfile_scrape_error 0" in text.splitlines(), text
    for family in ("start_time_seconds", "passes_total", "last_pass_seconds", "clients", "processes",
                   "feed_age_seconds", "timeout_seconds", "restarts_total", "service_status",
                   "status_changes_total"):
        assert "# TYPE zelvin_watchdog_%s " % family in text, family

    # The label values as Prometheus holds them, decoded: one series per
    # record, none lost to another.
    def hostile():
        return {m["process"] for m, _ in query('zelvin_watchdog_timeout_seconds{service="Hostile"}')}
    assert wait_until(lambda: hostile() == expected, 30), (hostile(), expected)
    assert all(v == float("inf") for _, v in query('zelvin_watchdog_timeout_seconds{service="Hostile"}'))
    assert query("node_textfile_scrape_error") and all(v == 0 for _, v in query("node_textfile_scrape_error"))
    assert {m["service"]: v for m, v in query("zelvin_watchdog_service_status")} == \
        {"DUZI": 2, "MySqlqvms80": 2, "VADA": 2}

    # A restart shows as an increase of the counter.
    def restarts():
        values = [v for _, v in query('zelvin_watchdog_restarts_total{process="R.exe"}')]
        return values[0] if values else None
    assert wait_until(lambda: (restarts() or 0) >= 1, 30)
    first = restarts()
    assert wait_until(lambda: restarts() > first, 30)
    assert wait_until(lambda: query('increase(zelvin_watchdog_restarts_total{process="R.exe"}[1m]) > 0'), 20)

    # The shipped rules load and evaluate against the real series.
    rules = json.loads(get("http://127.0.0.1:%d/api/v1/rules" % PROMETHEUS_PORT))["data"]["groups"]
    assert [g["name"] for g in rules] == ["zelvin-watchdog"]
    assert wait_until(lambda: all(r["health"] == "ok" and r.get("lastEvaluation", "").startswith("2")
                                  for g in json.loads(get("http://127.0.0.1:%d/api/v1/rules" % PROMETHEUS_PORT))
                                  ["data"]["groups"] for r in g["rules"]), 20)
    # The snapshot is fresh: the stale-file alert's expression is empty.
    assert query('time() - node_textfile_mtime_seconds{file=~"(.*/)?zelvin_watchdog\\\\.prom"} < 60')


def test_promtool_accepts_the_rules_and_their_tests():
    check = subprocess.run(["promtool", "check", "rules", RULES], capture_output=True, text=True, timeout=60)
    assert check.returncode == 0, check.stdout + check.stderr
    tests = os.path.join(os.path.dirname(os.path.abspath(__file__)), "zelvin-watchdog.rules.test.yml")
    run = subprocess.run(["promtool", "test", "rules", tests], capture_output=True, text=True, timeout=60,
                         cwd=os.path.dirname(tests))
    assert run.returncode == 0, run.stdout + run.stderr
