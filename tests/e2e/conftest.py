import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

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
