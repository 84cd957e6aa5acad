"""The end-to-end tests' watchdog: the real binaries of the build, in a
folder of the test's own; each test file in a network namespace of its own."""

import pytest

import wdharness

BIN = wdharness.build_bin()
wdharness.isolate_network()


@pytest.fixture
def watchdog(tmp_path):
    wd = wdharness.Watchdog(BIN, tmp_path)
    yield wd
    assert wd.close(), "the watchdog did not end within 30 s of SIGTERM"
