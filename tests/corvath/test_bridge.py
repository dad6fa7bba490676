"""Corvath as a bridge: construction, device name, start and stop, the audio lease, the
metadata, progress and volume callbacks, the snapshot, and the module's import."""
import asyncio
import logging
import os
import subprocess
import sys
import textwrap
import threading

import pytest

from corvath_support import (HOST, BUILD, airplay_server, corvath, host_config, make_group,
                             sonvale_records, xiaomi)
from sonvale.audio_hub import AudioHub


def make_bridge(config=True, hub=True, dids=("A", "B")):
    group, ctl, cfg = make_group(dids)
    hub = AudioHub() if hub is True else hub
    bridge = corvath.Corvath("10.0.0.2", group, "zc", cfg if config else None, hub)
    return bridge, ctl, hub


def test_module_globals_in_their_order():
    names = [n for n in vars(corvath) if not n.startswith("__")]
    assert names == ["asyncio", "logging", "time", "Zeroconf", "AirPlayServer", "Config",
                     "TargetConfig", "airplay_db_to_xiaomi_volume", "TargetController", "log",
                     "GroupController", "Corvath"]
    import zeroconf
    assert corvath.Zeroconf is zeroconf.Zeroconf
    assert corvath.AirPlayServer is airplay_server.AirPlayServer
    assert corvath.log.name == "sonvale"
    assert corvath.__file__.startswith(str(BUILD))  # the build under test, not another copy
    assert "__init__.py" not in os.listdir(os.path.dirname(corvath.__file__))


def test_construction_sets_the_initial_state():
    group, _, _ = make_group()
    bridge = corvath.Corvath("h", group)
    assert (bridge.host, bridge.controller, bridge.shared_zeroconf, bridge.config,
            bridge.audio_hub) == ("h", group, None, None, None)
    assert (bridge.airplay_server, bridge._loop, bridge._stream_url, bridge._airplay_active,
            bridge._poll_task, bridge._play_grace_until, bridge._session_audio_id,
            bridge._metadata_track_key, bridge._audio_lease) == (
        None, None, "", False, None, 0.0, None, "", None)
    assert corvath.Corvath.__doc__.startswith("全屋虚拟 AirPlay 桥接器")
    for host in (None, 5, type("S", (str,), {})("h")):
        with pytest.raises(TypeError, match="host"):
            corvath.Corvath(host, group)


@pytest.mark.parametrize("name, expected", [
    ("Kitchen", "Kitchen"), (None, None), (7, TypeError)])
def test_device_name(name, expected):
    bridge, _, _ = make_bridge()
    bridge.config.group.airplay_name = name
    if expected is TypeError:
        with pytest.raises(TypeError):
            bridge.device_name
    else:
        assert bridge.device_name == expected
    assert make_bridge(config=False)[0].device_name == "SonVale 全屋播放"


def test_start_makes_the_group_server_and_installs_the_callbacks(run, vloop, caplog):
    bridge, _, _ = make_bridge()
    caplog.set_level(logging.INFO, "sonvale")
    run(bridge.start())
    server = bridge.airplay_server
    assert server.args == ("10.0.0.2", "Whole House", "zc")
    assert server.speaker_hardware == "GROUP" and server.started
    assert bridge._loop is vloop
    for name in ("play_start", "play_stop", "play_pause", "play_resume", "volume_change",
                 "metadata_change", "progress_change"):
        assert getattr(server, "on_" + name) == getattr(bridge, "_on_" + name)
    assert sonvale_records(caplog) == [
        ("INFO", "Started Group AirPlay bridge Whole House on rtsp=7001")]


def test_a_failing_server_start_propagates_without_a_log_line(run, caplog):
    bridge, _, _ = make_bridge()
    airplay_server.AirPlayServer.fail_start = OSError("port taken")
    caplog.set_level(logging.INFO, "sonvale")
    with pytest.raises(OSError, match="port taken"):
        run(bridge.start())
    assert bridge.airplay_server is not None and bridge._loop is not None
    assert sonvale_records(caplog) == []


@pytest.mark.parametrize("second", ["after the first", "alongside the first", "after a stop"])
def test_a_second_start_raises_and_changes_nothing(run, vloop, second):
    bridge, _, _ = make_bridge()

    async def scenario():
        if second == "alongside the first":
            return await asyncio.gather(bridge.start(), bridge.start(), return_exceptions=True)
        await bridge.start()
        if second == "after a stop":
            await bridge.stop()
        try:
            await bridge.start()
        except RuntimeError as e:
            return [None, e]
        return [None, None]

    outcomes = run(scenario())
    if second == "after a stop":  # a stopped bridge starts a new server
        assert outcomes == [None, None] and len(airplay_server.instances) == 2
        assert bridge.airplay_server is airplay_server.instances[1]
        return
    assert outcomes[0] is None and isinstance(outcomes[1], RuntimeError)
    assert "already start" in str(outcomes[1])
    assert len(airplay_server.instances) == 1
    server = airplay_server.instances[0]
    assert bridge.airplay_server is server and server.started and bridge._loop is vloop
    assert server.on_play_start == bridge._on_play_start


def test_a_stop_while_the_server_starts_wins_and_start_says_so(run, monkeypatch):
    bridge, _, _ = make_bridge()

    async def slow_start(server):
        await asyncio.sleep(1)
        server.started = True

    monkeypatch.setattr(airplay_server.AirPlayServer, "start", slow_start)

    async def scenario():
        return await asyncio.gather(bridge.start(), bridge.stop(), return_exceptions=True)

    started, stopped = run(scenario())
    assert isinstance(started, RuntimeError) and "stopped while it started" in str(started)
    assert stopped is None
    assert bridge.airplay_server is None and airplay_server.instances[0].stopped
    run(bridge.start())  # and it may be started again
    assert bridge.airplay_server is airplay_server.instances[1]


def test_a_bridge_whose_loop_closed_unstopped_stops_and_starts_on_a_new_one():
    from sonvale.audio_hub import AudioHub
    group, ctl, cfg = make_group(web_port=80)
    bridge = corvath.Corvath("10.0.0.2", group, None, cfg, AudioHub())

    async def leave_calls_waiting():
        bridge.airplay_server.metadata = {"title": "Song"}
        bridge.airplay_server.is_playing = True
        for member in ctl.values():
            member.hang |= xiaomi.SILENT
        bridge._acquire_audio()
        bridge._on_play_resume()  # a push and a watchdog
        bridge._on_volume_change(-10.0)
        for _ in range(20):
            await asyncio.sleep(0)

    old = asyncio.new_event_loop()
    old.run_until_complete(bridge.start())
    old.run_until_complete(leave_calls_waiting())
    old.close()  # the host lost its loop without stopping the bridge
    xiaomi.unanswered.clear()
    for member in ctl.values():
        member.hang.clear()
    xiaomi.journal.clear()

    async def again():
        await bridge.stop()
        await bridge.start()
        bridge._on_volume_change(-10.0)
        for _ in range(20):
            await asyncio.sleep(0)
        await bridge.stop()

    new = asyncio.new_event_loop()
    try:
        new.run_until_complete(again())
    finally:
        new.close()
    assert ("A", "set_volume") in xiaomi.journal and ("B", "set_volume") in xiaomi.journal


def test_a_start_that_failed_may_be_tried_again(run):
    bridge, _, _ = make_bridge()
    airplay_server.AirPlayServer.fail_start = OSError("port taken")
    with pytest.raises(OSError):
        run(bridge.start())
    airplay_server.AirPlayServer.fail_start = None
    run(bridge.start())
    assert bridge.airplay_server is airplay_server.instances[1] and bridge.airplay_server.started


def test_stop_of_a_bridge_never_started_only_clears_the_active_flag(run):
    bridge, _, hub = make_bridge()
    bridge._airplay_active = True
    run(bridge.stop())
    assert bridge._airplay_active is False and hub.calls == []


def test_stop_stops_the_server_and_releases_the_lease(run):
    bridge, _, hub = make_bridge()
    run(bridge.start())
    lease = bridge._acquire_audio()
    server = bridge.airplay_server
    run(bridge.stop())
    assert server.stopped and bridge.airplay_server is None
    assert hub.calls[-1] == ("release_source", (lease, "airplay stopped"), {})
    assert bridge._audio_lease is None
    assert xiaomi.journal == []  # the speakers are not told


def test_stop_carries_on_when_the_release_fails(run, caplog):
    bridge, _, hub = make_bridge()
    run(bridge.start())
    bridge._acquire_audio()
    hub.fail["release_source"] = RuntimeError("hub gone")
    server = bridge.airplay_server
    run(bridge.stop())
    assert server.stopped
    assert any(level == "WARNING" and "release_source failed" in text
               for level, text in sonvale_records(caplog))


def test_acquire_asks_again_only_after_none():
    bridge, _, hub = make_bridge()
    first = bridge._acquire_audio()
    assert bridge._acquire_audio() is first
    assert hub.names() == ["acquire_source"]
    assert hub.calls[0][1] == ("airplay1", "group_all")
    busy, _, busy_hub = make_bridge(hub=AudioHub(busy=True))
    assert busy._acquire_audio() is None and busy._acquire_audio() is None
    assert busy_hub.names() == ["acquire_source"] * 2


def test_release_without_a_lease_or_a_hub_calls_nothing():
    bridge, _, hub = make_bridge()
    bridge._release_audio()
    assert hub.calls == []
    no_hub, _, _ = make_bridge(hub=None)
    no_hub._audio_lease = object()
    no_hub._release_audio()
    assert no_hub._audio_lease is not None


def test_release_propagates_a_hub_failure_and_keeps_the_lease():
    bridge, _, hub = make_bridge()
    lease = bridge._acquire_audio()
    hub.fail["release_source"] = RuntimeError("x")
    with pytest.raises(RuntimeError):
        bridge._release_audio()
    assert bridge._audio_lease is lease


def test_metadata_artwork_rule():
    bridge, _, hub = make_bridge()
    reports = [
        ({"title": "A", "artist": "B"}, None, {"title": "A", "artist": "B", "artwork": ""}),
        ({"title": "A", "artist": "B"}, None, {"title": "A", "artist": "B"}),
        ({"title": "A", "artist": "B"}, "x", {"title": "A", "artist": "B", "artwork": "x"}),
        ({"title": "A", "artist": "B"}, "", {"title": "A", "artist": "B", "artwork": ""}),
        ({"title": "C", "artwork": "in"}, None, {"title": "C", "artwork": ""}),
        ({"title": "C", "artwork": "in"}, None, {"title": "C", "artwork": "in"}),
    ]
    for metadata, artwork, payload in reports:
        bridge._on_metadata_change(metadata, artwork)
        assert hub.calls[-1] == ("update_session_metadata", (payload,), {})
    assert bridge._metadata_track_key == "C\0\0"


def test_track_key_texts():
    bridge, _, _ = make_bridge()
    bridge._on_metadata_change({"title": 0, "artist": "B", "album": 3}, None)
    assert bridge._metadata_track_key == "\0B\x003"


@pytest.mark.parametrize("args", [(None, None), ({}, 5), (type("D", (dict,), {})(), None)])
def test_metadata_argument_errors(args):
    bridge, _, hub = make_bridge()
    with pytest.raises(TypeError):
        bridge._on_metadata_change(*args)
    assert hub.calls == []


def test_metadata_and_progress_without_a_hub_do_nothing():
    bridge, _, _ = make_bridge(hub=None)
    bridge._on_metadata_change({"title": "A"}, "x")
    bridge._on_progress_change(1, 2)
    assert bridge._metadata_track_key == ""


@pytest.mark.parametrize("position, duration, sent", [
    (1000, 5000, (1000, 5000)), (1000, None, (1000, None)), (10.9, 20.2, (10, 20))])
def test_progress_reaches_the_hub(position, duration, sent):
    bridge, _, hub = make_bridge()
    bridge._on_progress_change(position, duration)
    assert hub.calls == [("update_session_progress", sent, {})]


def test_progress_argument_errors():
    bridge, _, hub = make_bridge()
    for args in (("1", 2), (1, "2"), (None, 2)):
        with pytest.raises(TypeError):
            bridge._on_progress_change(*args)
    assert hub.calls == []


def test_volume_before_start_is_computed_but_not_sent():
    bridge, ctl, _ = make_bridge()
    bridge._on_volume_change(-15)
    assert host_config.calls == [(-15.0, 30)]
    assert type(host_config.calls[0][0]) is float
    assert xiaomi.journal == []
    with pytest.raises(TypeError):
        bridge._on_volume_change("loud")


def test_volume_without_config_uses_default_30(run):
    bridge, _, _ = make_bridge(config=False)
    bridge.config = None
    bridge._on_volume_change(-200)
    assert host_config.calls == [(-200.0, 30)]


def run_loop_in_thread():
    loop = asyncio.new_event_loop()
    thread = threading.Thread(target=loop.run_forever)
    thread.start()
    return loop, thread


def stop_loop(loop, thread):
    loop.call_soon_threadsafe(loop.stop)
    thread.join()
    loop.close()


def test_volume_from_a_foreign_thread_reaches_the_members_after_start(caplog):
    bridge, ctl, _ = make_bridge()
    loop, thread = run_loop_in_thread()
    try:
        asyncio.run_coroutine_threadsafe(bridge.start(), loop).result(10)
        done = threading.Event()
        ctl["B"].set_volume = lambda v: (setattr(ctl["B"], "last_volume", v), done.set(),
                                         asyncio.sleep(0))[2]
        caller = threading.Thread(target=bridge._on_volume_change, args=(-15.0,))
        caller.start()
        caller.join()
        assert done.wait(10)
        assert ctl["B"].last_volume == 50
    finally:
        stop_loop(loop, thread)
    # After the loop stopped nothing is sent.
    ctl["B"].last_volume = None
    bridge._on_volume_change(0.0)
    assert ctl["B"].last_volume is None


def test_a_failing_volume_hand_off_is_logged_with_its_traceback(caplog):
    bridge, _, _ = make_bridge()
    loop, thread = run_loop_in_thread()
    failed = threading.Event()

    def provider():
        failed.set()
        raise LookupError("no controllers")

    try:
        asyncio.run_coroutine_threadsafe(bridge.start(), loop).result(10)
        bridge.controller._get_controllers = provider
        bridge._on_volume_change(-10.0)
        assert failed.wait(10)
        for _ in range(100):
            if any(r.name == "sonvale" and r.levelname == "ERROR" for r in caplog.records):
                break
            threading.Event().wait(0.05)
    finally:
        stop_loop(loop, thread)
    errors = [r for r in caplog.records if r.name == "sonvale" and r.levelname == "ERROR"]
    assert len(errors) == 1
    assert errors[0].getMessage().startswith("Group AirPlay volume change failed")
    assert errors[0].exc_info[0] is LookupError


def test_a_loop_closed_after_the_running_check_is_logged_and_the_coroutine_closed(caplog):
    class ClosedButRunning(asyncio.SelectorEventLoop):
        pretend = False

        def is_running(self):
            return self.pretend or super().is_running()

    bridge, _, _ = make_bridge()
    loop = ClosedButRunning()
    loop.close()
    loop.pretend = True
    bridge._loop = loop
    bridge._on_volume_change(-10.0)  # no "never awaited" warning: that would be an error here
    records = sonvale_records(caplog)
    assert len(records) == 1 and records[0][0] == "WARNING"
    assert "volume change dropped" in records[0][1]


def test_snapshot_before_and_after_start(run):
    bridge, _, _ = make_bridge(dids=("A", "B", "C"))
    assert bridge.snapshot() == {
        "id": "group_all", "did": "group_all", "name": "Whole House",
        "airplay_name": "Whole House", "hardware": "GROUP", "active": False, "client_name": "",
        "metadata": {}, "artwork": None, "rtsp_port": 0, "stream_url": "",
        "use_music_api": False, "member_count": 3}
    run(bridge.start())
    server = bridge.airplay_server
    server.is_playing = 1
    server.metadata = {"title": "T"}
    server.artwork = "art"
    bridge._stream_url = "rtsp://x"
    snap = bridge.snapshot()
    assert list(snap) == ["id", "did", "name", "airplay_name", "hardware", "active",
                          "client_name", "metadata", "artwork", "rtsp_port", "stream_url",
                          "use_music_api", "member_count"]
    assert (snap["active"], snap["client_name"], snap["metadata"], snap["artwork"],
            snap["rtsp_port"], snap["stream_url"]) == (True, "iPhone", {"title": "T"}, "art",
                                                       7001, "rtsp://x")
    assert snap["metadata"] is server.metadata


def test_a_host_import_error_comes_through_unchanged(tmp_path):
    broken = tmp_path / "sonvale"
    broken.mkdir()
    (broken / "__init__.py").write_text(
        "from pkgutil import extend_path\n__path__ = extend_path(__path__, __name__)\n")
    (broken / "config.py").write_text("raise RuntimeError('config unreadable')\n")
    script = textwrap.dedent("""
        import sys
        try:
            import sonvale.corvath
        except RuntimeError as e:
            print(type(e).__name__, e)
            sys.exit(0)
        sys.exit(3)
    """)
    # The broken host's package comes first; the other host modules come from the stand-ins.
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(tmp_path), str(BUILD), str(HOST)]))
    out = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True,
                         text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "RuntimeError config unreadable"
