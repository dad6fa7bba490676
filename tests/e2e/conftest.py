import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from cast import Cast  # noqa: E402
from fake_rtsp import FakePhone  # noqa: E402
from relvox import Relvox  # noqa: E402


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
