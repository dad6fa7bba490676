"""Helpers of the sonvale.corvath tests: the host stand-ins and the built module on sys.path, an
event loop on a virtual clock, and stand-in groups."""
import asyncio
import os
import pathlib
import selectors
import subprocess
import sys
import textwrap
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


def run_isolated(script, *args, timeout=120):
    """Runs `script` in a new interpreter that imports the module under test and the host
    stand-ins, so that a crash fails one test instead of the run. The sanitizer settings of this
    run (LD_PRELOAD, ASAN_OPTIONS) are inherited. Returns the finished process."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(HOST), str(BUILD)]))
    return subprocess.run([sys.executable, "-X", "dev", "-c", textwrap.dedent(script), *args],
                          env=env, capture_output=True, text=True, timeout=timeout)


def make_group(dids=("A", "B"), member_dids=None, **config):
    """A group controller over stand-in speakers; returns (group, controllers by did, config)."""
    controllers = {did: xiaomi.TargetController(did) for did in dids}
    cfg = host_config.Config(
        host_config.GroupConfig(list(dids) if member_dids is None else list(member_dids)),
        **config)
    return corvath.GroupController(cfg, lambda: controllers), controllers, cfg


def sonvale_records(caplog):
    return [(r.levelname, r.getMessage()) for r in caplog.records if r.name == "sonvale"]


async def settle(rounds=30):
    """Lets every piece of work that is ready run, without moving the virtual clock."""
    for _ in range(rounds):
        await asyncio.sleep(0)


class Group:
    """A started bridge on the virtual-clock loop, with two stand-in speakers and a hub."""

    def __init__(self, loop, hub=True, dids=("A", "B"), **config):
        from sonvale.audio_hub import AudioHub
        config.setdefault("web_port", 80)
        self.loop = loop
        self.group, self.ctl, self.config = make_group(dids, **config)
        self.hub = AudioHub() if hub is True else hub
        self.bridge = corvath.Corvath("10.0.0.2", self.group, None, self.config, self.hub)
        loop.run_until_complete(self.bridge.start())
        self.server = self.bridge.airplay_server
        self.server.is_playing = True
        self.server.metadata = {"title": "Song", "artist": "Band"}
        self.status_times = []
        ctl_a = self.ctl["A"]
        real_get_status = ctl_a.get_status

        def timed_get_status():
            self.status_times.append(round(loop.time() - self.t0, 3))
            return real_get_status()

        ctl_a.get_status = timed_get_status
        self.t0 = loop.time()

    def run(self, coro):
        return self.loop.run_until_complete(coro)

    async def play(self, url="rtsp://airplay/1"):
        self.t0 = self.loop.time()
        self.bridge._on_play_start(url)
        await settle()

    def silence(self):
        """From now on no speaker answers anything."""
        for member in self.ctl.values():
            member.hang |= xiaomi.SILENT

    def plays(self, did="A"):
        return [op for d, op in xiaomi.journal if d == did and op == "play_url"]

    def others(self):
        """The loop's tasks other than the one asking."""
        return [t for t in asyncio.all_tasks(self.loop) if t is not asyncio.current_task()]

    def watchdogs(self):
        return [t for t in asyncio.all_tasks(self.loop)
                if getattr(t.get_coro(), "__qualname__", "") == "Corvath._poll_target_state"
                and not t.done()]
