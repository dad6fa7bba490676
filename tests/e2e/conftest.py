import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from cast import Cast  # noqa: E402
from fake_rtsp import FakePhone  # noqa: E402
from relvox import Relvox  # noqa: E402
from _pytest.runner import runtestprotocol  # noqa: E402


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "realtime: judges wall-clock timing of a real-time playout; a failure is run once more")


def pytest_runtest_protocol(item, nextitem):
    """A test marked `realtime` measures audio paced against the wall clock, which a scheduling
    hiccup of a shared machine can spoil once; it fails only when a second run fails too."""
    if item.get_closest_marker("realtime") is None:
        return None
    item.ihook.pytest_runtest_logstart(nodeid=item.nodeid, location=item.location)
    reports = runtestprotocol(item, nextitem=nextitem, log=False)
    if any(r.failed for r in reports):
        item._initrequest()
        reports = runtestprotocol(item, nextitem=nextitem, log=False)
    for report in reports:
        item.ihook.pytest_runtest_logreport(report=report)
    item.ihook.pytest_runtest_logfinish(nodeid=item.nodeid, location=item.location)
    return True


@pytest.fixture
def relvox():
    """Factory: start relvox with the given arguments; every process is stopped at teardown."""
    started = []

    def start(*args, **kwargs):
        r = Relvox(*args, **kwargs)
        started.append(r)
        return r

    yield start
    for r in started:
        r.stop()


@pytest.fixture
def phone():
    """A fake phone's RTSP side on loopback; closed at teardown."""
    p = FakePhone()
    yield p
    p.close()


@pytest.fixture
def start_cast(relvox):
    """Factory: relvox with a media session opened (`Cast`); the fake RTSP phone closes at teardown."""
    made = []

    def start(*args, keys=True):
        made.append(Cast(relvox, *args, keys=keys))
        return made[-1]

    yield start
    for c in made:
        c.close()


@pytest.fixture
def no_sanitizer_quarantine(monkeypatch):
    """relvox started from here on keeps no freed memory in a sanitizer's quarantine, which would
    make its RSS grow for that reason alone."""
    options = [o for o in os.environ.get("ASAN_OPTIONS", "").split(":") if o]
    monkeypatch.setenv("ASAN_OPTIONS", ":".join(options + ["quarantine_size_mb=0", "thread_local_quarantine_size_kb=0"]))
