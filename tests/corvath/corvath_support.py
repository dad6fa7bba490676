"""Helpers of the sonvale.corvath tests: the host stand-ins and the built module on sys.path, an
event loop on a virtual clock, and stand-in groups."""
import asyncio
import os
import pathlib
import selectors
import sys
import types

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parents[1]
HOST = HERE / "host"
BUILD = pathlib.Path(os.environ.get("CORVATH_PYTHONPATH", ROOT / "build" / "dev" / "python"))

sys.path[:0] = [str(HOST), str(BUILD)]

from sonvale import corvath  # noqa: E402
from sonvale.airplay import server as airplay_server  # noqa: E402
from sonvale import config as host_config  # noqa: E402
from sonvale import xiaomi  # noqa: E402
from sonvale.web import api as web_api  # noqa: E402

# Wall-clock seconds at virtual loop time 0.
WALL_EPOCH = 1_700_000_000.0


class VirtualClockLoop(asyncio.SelectorEventLoop):
    """A selector loop whose clock jumps to the next timer when nothing is ready, so that waits
    of seconds take no real time. Work from other threads still wakes it through the real
    selector."""

    def __init__(self):
        super().__init__(selectors.DefaultSelector())
        self.now = 0.0
        real_select = self._selector.select

        def select(timeout=None):
            events = real_select(0)
            if events or timeout == 0:
                return events
            if timeout is None:
                return real_select(None)
            self.now += timeout
            return []

        self._selector.select = select

    def time(self):
        return self.now

    def wall(self):
        return WALL_EPOCH + self.now


def make_group(dids=("A", "B"), member_dids=None, **config):
    """A group controller over stand-in speakers; returns (group, controllers by did, config)."""
    controllers = {did: xiaomi.TargetController(did) for did in dids}
    cfg = host_config.Config(
        host_config.GroupConfig(list(dids) if member_dids is None else list(member_dids)),
        **config)
    return corvath.GroupController(cfg, lambda: controllers), controllers, cfg


def sonvale_records(caplog):
    return [(r.levelname, r.getMessage()) for r in caplog.records if r.name == "sonvale"]
