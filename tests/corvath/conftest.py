"""Fixtures of the sonvale.corvath tests: a clean host journal per test and an event loop on a
virtual clock whose wall clock the module reads."""
import asyncio
import types

import pytest

from corvath_support import VirtualClockLoop, airplay_server, corvath, host_config, web_api, xiaomi


@pytest.fixture(autouse=True)
def clean_host():
    xiaomi.journal.clear()
    xiaomi.unanswered.clear()
    web_api.sent.clear()
    web_api.fail = None
    web_api.fail_inside = None
    web_api.as_future = False
    airplay_server.instances.clear()
    airplay_server.AirPlayServer.fail_start = None
    host_config.calls.clear()
    yield


@pytest.fixture
def vloop(monkeypatch):
    loop = VirtualClockLoop()
    monkeypatch.setattr(corvath, "time", types.SimpleNamespace(time=loop.wall))
    yield loop
    if not loop.is_closed():
        pending = asyncio.all_tasks(loop)
        for task in pending:
            task.cancel()
        if pending:  # bounded: a task that ignores its cancellation must not hang the run
            loop.run_until_complete(asyncio.wait(pending, timeout=600))
        loop.close()


@pytest.fixture
def run(vloop):
    return vloop.run_until_complete


