"""The group playback road: what a play start, pause, resume and stop of the group's AirPlay
server push to the speakers, the hub and the web page, and how stale or failing roads end."""
import asyncio
import logging
import re

import pytest

from corvath_support import (WALL_EPOCH, Group, airplay_server, corvath, settle, sonvale_records,
                             web_api, xiaomi)
from sonvale.audio_hub import AudioHub

BASE = "http://10.0.0.2:80/stream/live.wav?session_id="


@pytest.fixture
def g(vloop):
    return Group(vloop)


@pytest.mark.parametrize("virtual_delay, session_id, web_delay", [
    (500, 7, "300"), (150, 7, "0"), (200, 7, "0"), (200.5, 7, "0.5"), (500, "s-9", "300")])
def test_play_start_urls(vloop, virtual_delay, session_id, web_delay):
    g = Group(vloop, hub=AudioHub(session_id=session_id), virtual_delay=virtual_delay)
    g.run(g.play())
    assert g.ctl["A"].last_play == (f"{BASE}{session_id}&delay_ms=0", None)
    begin = [c for c in g.hub.calls if c[0] == "begin_session"]
    assert begin == [("begin_session",
                      ("airplay1", "group_all", {"title": "Song", "artist": "Band"},
                       f"{BASE}{session_id}&virtual_delay={web_delay}"),
                      {"capabilities": {"play_pause": True, "seek": False, "previous": False,
                                        "next": False},
                       "lease": g.bridge._audio_lease})]


def test_play_start_state_messages_and_log(g, caplog):
    caplog.set_level(logging.INFO, "sonvale")
    g.server.artwork = "cover"
    g.server.progress = (1500, 9000)
    g.run(g.play("rtsp://airplay/9"))
    b = g.bridge
    assert (b._stream_url, b._airplay_active, b._session_audio_id) == (
        "rtsp://airplay/9", True, None)
    assert b._play_grace_until == pytest.approx(WALL_EPOCH + g.t0 + 10.0)
    assert web_api.sent == [{
        "type": "control_command", "action": "play_url", "target": "group_all",
        "url": f"{BASE}7&virtual_delay=300", "session_id": 42,
        "metadata": {"title": "Song", "artist": "Band", "artwork": "cover"}}]
    assert ("update_session_progress", (1500, 9000), {}) in g.hub.calls
    assert len(g.watchdogs()) == 1
    assert sonvale_records(caplog)[-1] == (
        "INFO", "Group AirPlay stream attached to speakers (Whole House)")
    assert b.snapshot()["stream_url"] == "rtsp://airplay/9"


def test_progress_without_a_position_is_not_sent(g):
    g.server.progress = (None, 9000)
    g.run(g.play())
    assert "update_session_progress" not in g.hub.names()


@pytest.mark.parametrize("answer, default, expected", [
    ("X9", "A1", "X9"), ("", "A1", "A1"), (None, "", None), (None, None, None)])
def test_audio_id_search_and_default(vloop, answer, default, expected):
    g = Group(vloop, default_audio_id=default)
    g.ctl["A"].audio_id = answer
    g.run(g.play())
    assert g.ctl["A"].last_search == ("Song", "Band", True)
    assert not hasattr(g.ctl["B"], "last_search")  # only the first member is asked
    assert g.ctl["A"].last_play[1] == g.ctl["B"].last_play[1] == expected


def test_config_without_a_default_audio_id(vloop):
    g = Group(vloop)
    del g.config.default_audio_id
    g.run(g.play())
    assert g.ctl["A"].last_play[1] is None


@pytest.mark.parametrize("trouble, warning", [
    ("hang", "Group audio ID search error for Song: "),
    (RuntimeError("catalogue down"), "Group audio ID search error for Song: catalogue down"),
    (17, "Group audio ID search error for Song: search_audio_id() answered int, not str"),
])
def test_audio_id_search_failures_are_warned_and_the_stream_still_pushed(
        vloop, caplog, trouble, warning):
    g = Group(vloop)
    if trouble == "hang":
        g.ctl["A"].hang.add("search_audio_id")
    elif isinstance(trouble, Exception):
        g.ctl["A"].fail["search_audio_id"] = trouble
    else:
        g.ctl["A"].audio_id = trouble

    async def scenario():
        await g.play()
        await asyncio.sleep(3.5)

    g.run(scenario())
    assert ("WARNING", warning) in sonvale_records(caplog)
    assert g.plays() == ["play_url"]


def test_a_title_of_spaces_searches_nothing(g, caplog):
    g.server.metadata = {"title": "   ", "artist": "Band"}
    g.run(g.play())
    assert not hasattr(g.ctl["A"], "last_search")
    assert not [r for r in sonvale_records(caplog) if r[0] == "WARNING"]


def test_speakers_refusing_the_stream_are_warned_and_the_road_goes_on(g, caplog):
    for member in g.ctl.values():
        member.play_result = False
    g.run(g.play())
    assert ("WARNING", "Group Xiaomi Egress rejected: session_id=42") in sonvale_records(caplog)
    assert web_api.sent[0]["action"] == "play_url"
    assert len(g.watchdogs()) == 1


def test_a_busy_hub_rejects_the_start_and_leaves_the_bridge_inactive(vloop, caplog):
    g = Group(vloop, hub=AudioHub(busy=True))
    g.run(g.play())
    assert ("WARNING", "AudioHub is busy; rejected group AirPlay stream") in sonvale_records(caplog)
    assert g.bridge._airplay_active is False
    assert g.plays() == [] and web_api.sent == [] and g.watchdogs() == []


def test_without_a_hub_nothing_is_pushed(vloop, caplog):
    g = Group(vloop, hub=None)
    g.run(g.play())
    assert g.plays() == [] and g.bridge._airplay_active is False


def test_a_hub_gone_during_the_search_pushes_nothing(g, caplog):
    g.ctl["A"].delay["search_audio_id"] = 1

    async def scenario():
        await g.play()
        g.bridge.audio_hub = None
        await asyncio.sleep(2)

    g.run(scenario())
    assert ("WARNING", "Group Xiaomi target rejected AirPlay stream for Whole House") in \
        sonvale_records(caplog)
    assert g.plays() == [] and g.watchdogs() == []


def test_callbacks_before_start_or_after_the_loop_stopped_do_nothing(vloop):
    group = Group(vloop)
    bridge = corvath.Corvath("h", group.group, None, group.config, AudioHub())
    for call in (lambda: bridge._on_play_start("u"), bridge._on_play_stop,
                 bridge._on_play_pause, bridge._on_play_resume):
        assert call() is None
    with pytest.raises(TypeError, match="stream_url"):
        bridge._on_play_start(None)
    group.bridge._on_play_start("u")  # its loop is not running now
    group.run(settle())
    assert xiaomi.journal == [] and web_api.sent == []


def test_pause_then_resume_then_stop(g, vloop):
    async def scenario():
        await g.play()
        lease = g.bridge._audio_lease
        g.bridge._on_play_pause()
        await settle()
        assert g.bridge._airplay_active is False and g.bridge._poll_task is None
        assert ("pause_source", (lease,), {}) in g.hub.calls
        assert web_api.sent[-1] == {"type": "control_command", "action": "pause",
                                    "target": "group_all", "session_id": 42}
        assert ("A", "pause") in xiaomi.journal and ("B", "pause") in xiaomi.journal
        assert g.watchdogs() == []

        await asyncio.sleep(1.7)
        g.bridge._on_play_resume()
        await settle()
        stamp = int(WALL_EPOCH + vloop.time())
        assert g.bridge._airplay_active is True
        assert ("resume_source", (lease,), {}) in g.hub.calls
        assert g.ctl["A"].last_play == (f"{BASE}7&delay_ms=0&_ts={stamp}", None)
        assert web_api.sent[-1]["url"] == f"{BASE}7&virtual_delay=300&_ts={stamp}"
        assert web_api.sent[-1]["session_id"] == 7  # the lease's id, not the hub session's
        assert len(g.watchdogs()) == 1

        g.bridge._on_play_stop()
        await settle()
        b = g.bridge
        assert (b._airplay_active, b._stream_url, b._session_audio_id, b._audio_lease,
                b._poll_task) == (False, "", None, None, None)
        assert ("release_source", (lease, "airplay stopped"), {}) in g.hub.calls
        assert web_api.sent[-1] == {"type": "control_command", "action": "stop",
                                    "target": "group_all", "session_id": 42}
        assert ("A", "stop") in xiaomi.journal and g.watchdogs() == []

    g.run(scenario())


def test_resume_without_a_lease_pushes_nothing(g, caplog):
    async def scenario():
        await g.play()
        g.bridge._on_play_stop()
        await settle()
        xiaomi.journal.clear()
        web_api.sent.clear()
        g.bridge._on_play_resume()
        await settle()

    g.run(scenario())
    assert xiaomi.journal == [] and web_api.sent == []
    assert g.bridge._airplay_active is False and g.watchdogs() == []
    assert ("WARNING", "AudioHub lease missing; group AirPlay resume not pushed") in \
        sonvale_records(caplog)


def test_stop_without_a_hub_broadcasts_session_zero(vloop):
    g = Group(vloop, hub=None)

    async def scenario():
        g.bridge._on_play_stop()
        await settle()

    g.run(scenario())
    assert web_api.sent == [{"type": "control_command", "action": "stop", "target": "group_all",
                             "session_id": 0}]
    assert ("A", "stop") in xiaomi.journal


@pytest.mark.parametrize("failure", ["call", "inside", "future"])
def test_broadcast_troubles_never_stop_the_road(g, caplog, failure):
    if failure == "call":
        web_api.fail = RuntimeError("no sockets")
    elif failure == "inside":
        web_api.fail_inside = RuntimeError("socket closed")
    else:
        web_api.as_future = True
    g.run(g.play())
    assert g.plays() == ["play_url"] and len(g.watchdogs()) == 1
    errors = [r for r in caplog.records if r.name == "sonvale" and r.levelname == "ERROR"]
    if failure == "inside":  # a failing broadcast task is logged, not lost
        assert len(errors) == 1 and "play_url broadcast failed" in errors[0].getMessage()
    else:
        assert errors == []
    if failure == "future":
        assert web_api.sent[0]["action"] == "play_url"


# --- judged faults ---------------------------------------------------------------------------

def test_a_failing_road_is_logged_with_its_traceback_and_a_cancelled_one_is_not(g, caplog):
    g.hub.fail["begin_session"] = LookupError("no session")
    g.run(g.play())
    errors = [r for r in caplog.records if r.name == "sonvale" and r.levelname == "ERROR"]
    assert len(errors) == 1
    assert errors[0].getMessage().startswith("Group AirPlay play start failed")
    assert errors[0].exc_info[0] is LookupError and errors[0].exc_info[2] is not None
    caplog.clear()
    g.hub.fail["begin_session"] = asyncio.CancelledError()
    g.run(g.play())
    assert [r for r in caplog.records if r.levelname == "ERROR"] == []


def test_pause_then_resume_on_a_busy_loop_ends_playing(g):
    async def scenario():
        await g.play()
        xiaomi.journal.clear()
        # Both arrive before the loop runs either: the resume's callback reaches the loop before
        # the pause's task first runs, and still waits for the pause (a resume supersedes
        # nothing, so the pause is not dropped either).
        g.bridge._on_play_pause()
        g.bridge._on_play_resume()
        await settle()

    g.run(scenario())
    assert g.bridge._airplay_active is True
    assert len(g.watchdogs()) == 1
    assert [op for did, op in xiaomi.journal if did == "A"] == ["pause", "play_url"]
    assert g.plays() == ["play_url"]


def test_resume_then_pause_on_a_busy_loop_ends_paused(g):
    async def scenario():
        await g.play()
        g.bridge._on_play_pause()
        await settle()
        xiaomi.journal.clear()
        g.bridge._on_play_resume()
        g.bridge._on_play_pause()
        await settle()

    g.run(scenario())
    assert g.bridge._airplay_active is False and g.watchdogs() == []
    assert g.plays() == [] and ("A", "pause") in xiaomi.journal


@pytest.mark.parametrize("stopper", ["airplay stop", "airplay pause", "Corvath.stop"])
def test_a_stop_during_the_search_wins(g, stopper):
    g.ctl["A"].delay["search_audio_id"] = 2

    async def scenario():
        await g.play()
        assert ("A", "search_audio_id") in xiaomi.journal
        if stopper == "airplay stop":
            g.bridge._on_play_stop()
        elif stopper == "airplay pause":
            g.bridge._on_play_pause()
        else:
            await g.bridge.stop()
        await settle()
        await asyncio.sleep(5)

    g.run(scenario())
    assert "begin_session" not in g.hub.names()
    assert g.plays() == [] and g.plays("B") == []
    assert [m for m in web_api.sent if m["action"] == "play_url"] == []
    assert g.watchdogs() == []


def test_a_stop_during_the_push_wins(g, caplog):
    caplog.set_level(logging.INFO, "sonvale")
    for member in g.ctl.values():
        member.delay["play_url"] = 2

    async def scenario():
        await g.play()
        g.bridge._on_play_stop()
        await settle()
        await asyncio.sleep(3)

    g.run(scenario())
    assert [m["action"] for m in web_api.sent] == ["stop"]
    assert g.watchdogs() == []
    assert not any("attached" in text for _, text in sonvale_records(caplog))


@pytest.mark.parametrize("step", ["release_source", "get_session"])
def test_a_failing_hub_step_still_stops_the_speakers(g, caplog, step):
    async def scenario():
        await g.play()
        g.hub.fail[step] = RuntimeError("hub broken")
        g.bridge._on_play_stop()
        await settle()

    g.run(scenario())
    assert ("A", "stop") in xiaomi.journal and ("B", "stop") in xiaomi.journal
    assert g.bridge._airplay_active is False and g.watchdogs() == []
    assert any(level == "WARNING" and f"AudioHub {step} failed" in text
               for level, text in sonvale_records(caplog))


@pytest.mark.parametrize("step", ["pause_source", "get_session"])
def test_a_failing_hub_step_still_pauses_the_speakers(g, step):
    async def scenario():
        await g.play()
        g.hub.fail[step] = RuntimeError("hub broken")
        g.bridge._on_play_pause()
        await settle()

    g.run(scenario())
    assert ("A", "pause") in xiaomi.journal and g.watchdogs() == []


def test_pause_without_a_lease_does_not_pause_the_hub(g):
    async def scenario():
        g.bridge._on_play_pause()
        await settle()

    g.run(scenario())
    assert "pause_source" not in g.hub.names()
    assert ("A", "pause") in xiaomi.journal


def test_play_callbacks_from_a_foreign_thread(g):
    import threading

    async def scenario():
        caller = threading.Thread(target=g.bridge._on_play_start, args=("rtsp://t",))
        caller.start()
        while caller.is_alive():
            await asyncio.sleep(0)
        for _ in range(200):
            if g.plays("B"):
                break
            await asyncio.sleep(0.01)

    g.run(scenario())
    assert g.plays("B") == ["play_url"] and g.bridge._stream_url == "rtsp://t"


# --- what the roads owe their Parts ------------------------------------------------------------

def test_the_metadata_copy_leaves_the_servers_metadata_alone(g):
    g.server.artwork = "cover"
    original = {"title": "Song", "artist": "Band"}
    g.server.metadata = dict(original)

    async def scenario():
        await g.play()
        g.bridge._on_play_pause()
        await settle()
        g.bridge._on_play_resume()
        await settle()

    g.run(scenario())
    begun = [c for c in g.hub.calls if c[0] == "begin_session"][0][1][2]
    assert begun == dict(original, artwork="cover") and begun is not g.server.metadata
    assert [m["metadata"] for m in web_api.sent if m["action"] == "play_url"] == [
        dict(original, artwork="cover")] * 2
    assert g.server.metadata == original
    assert g.bridge.snapshot()["metadata"] == original


def test_the_metadata_copy_takes_any_mapping(g):
    import types
    g.server.metadata = types.MappingProxyType({"title": "Song"})
    g.run(g.play())
    assert [c for c in g.hub.calls if c[0] == "begin_session"][0][1][2] == {"title": "Song"}


@pytest.mark.parametrize("speakers", ["answering", "silent"])
@pytest.mark.parametrize("settle_rounds", [0, 1, 2, 3, 5, 10, 40])
def test_corvath_stop_right_after_an_airplay_stop_still_stops_the_speakers(
        g, settle_rounds, speakers):
    async def scenario():
        await g.play()
        lease = g.bridge._audio_lease
        xiaomi.journal.clear()
        web_api.sent.clear()
        if speakers == "silent":
            g.silence()
        g.bridge._on_play_stop()
        await settle(settle_rounds)
        await g.bridge.stop()
        return lease

    lease = g.run(scenario())
    assert ("A", "stop") in xiaomi.journal and ("B", "stop") in xiaomi.journal
    assert [m["action"] for m in web_api.sent] == ["stop"]
    assert [c for c in g.hub.calls if c[0] == "release_source"] == [
        ("release_source", (lease, "airplay stopped"), {})]
    assert (g.bridge._airplay_active, g.bridge._stream_url, g.bridge._audio_lease) == (
        False, "", None)
    assert xiaomi.unanswered == set()  # a stop the speakers never answer is no longer awaited


@pytest.mark.parametrize("speakers", ["answering", "silent"])
@pytest.mark.parametrize("reporter", ["its own stop", "its thread"])
def test_a_stop_the_server_reports_while_it_stops_stops_the_speakers(g, reporter, speakers):
    import threading
    server = g.server
    real_stop = type(server).stop

    async def stop_reporting():
        if reporter == "its own stop":
            server.on_play_stop()
        else:
            caller = threading.Thread(target=server.on_play_stop)
            caller.start()
            caller.join()
        await real_stop(server)

    server.stop = stop_reporting

    async def scenario():
        await g.play()
        xiaomi.journal.clear()
        if speakers == "silent":
            g.silence()
        await g.bridge.stop()
        return g.others()

    left = g.run(scenario())
    assert server.stopped
    assert ("A", "stop") in xiaomi.journal and ("B", "stop") in xiaomi.journal
    assert [m["action"] for m in web_api.sent] == ["play_url", "stop"]
    assert g.hub.names().count("release_source") == 1 and g.bridge._audio_lease is None
    assert left == []


def test_a_resume_during_the_search_waits_for_the_start(g):
    g.ctl["A"].audio_id = "X9"
    g.ctl["A"].delay["search_audio_id"] = 1

    async def scenario():
        await g.play()
        g.bridge._on_play_resume()
        await settle()
        await asyncio.sleep(2)

    g.run(scenario())
    assert g.hub.names().count("begin_session") == 1
    assert g.hub.names().index("begin_session") < g.hub.names().index("resume_source")
    urls = [m["url"] for m in web_api.sent if m["action"] == "play_url"]
    assert len(urls) == 2 and "&_ts=" not in urls[0] and "&_ts=" in urls[1]
    # The resume's push is the newest: it takes the place of the start's, with the id found.
    assert g.plays() and g.plays("B")
    assert g.ctl["B"].last_play[1] == "X9"
    assert g.ctl["B"].last_play[0].startswith(f"{BASE}7&delay_ms=0&_ts=")
    assert g.bridge._airplay_active is True and len(g.watchdogs()) == 1


@pytest.mark.parametrize("roads, speaker_ops, active, lease_kept", [
    (["stop", "pause"], ["pause"], False, False),      # the stop gives its lease back first
    (["pause", "stop"], ["stop"], False, False),       # the pause is superseded
    (["stop", "resume"], ["stop"], False, False),      # nothing left to resume
    (["pause", "pause"], ["pause"], False, True),
    (["pause", "resume", "pause"], ["pause"], False, True),
    (["resume", "stop", "resume"], ["stop"], False, False),
])
def test_roads_handed_off_together_run_in_order(g, roads, speaker_ops, active, lease_kept):
    calls = {"stop": g.bridge._on_play_stop, "pause": g.bridge._on_play_pause,
             "resume": g.bridge._on_play_resume}

    async def scenario():
        await g.play()
        lease = g.bridge._audio_lease
        xiaomi.journal.clear()
        for road in roads:
            calls[road]()
        await settle(60)
        return lease

    lease = g.run(scenario())
    assert [op for did, op in xiaomi.journal if did == "A"] == speaker_ops
    assert g.bridge._airplay_active is active
    assert (g.bridge._audio_lease is lease) is lease_kept
    released = [c for c in g.hub.calls if c[0] == "release_source"]
    assert released == ([] if lease_kept else [("release_source", (lease, "airplay stopped"), {})])
    assert g.watchdogs() == []


class ConfigView:
    """The stand-in configuration with one attribute missing or failing to read."""

    def __init__(self, config, missing=(), failing=()):
        self._config, self._missing, self._failing = config, missing, failing

    def __getattr__(self, name):
        if name in self._missing:
            raise AttributeError(name)
        if name in self._failing:
            raise KeyError(name)
        return getattr(self._config, name)


def test_a_failing_lookup_of_the_default_audio_id_ends_the_start(g, caplog):
    g.bridge.config = ConfigView(g.config, failing=("default_audio_id",))
    g.run(g.play())
    errors = [r for r in caplog.records if r.name == "sonvale" and r.levelname == "ERROR"]
    assert len(errors) == 1 and errors[0].exc_info[0] is KeyError
    assert g.plays() == [] and "begin_session" not in g.hub.names()


def test_a_hub_gone_during_the_search_leaves_the_bridge_inactive(g):
    g.ctl["A"].delay["search_audio_id"] = 1
    hub = g.hub

    async def scenario():
        await g.play()
        lease = g.bridge._audio_lease
        g.bridge.audio_hub = None
        await asyncio.sleep(2)
        return lease

    lease = g.run(scenario())
    b = g.bridge
    assert (b._airplay_active, b._stream_url, b._audio_lease) == (False, "", None)
    assert hub.calls[-1] == ("release_source", (lease, "airplay stopped"), {})


@pytest.mark.parametrize("road, breakage, logged, frames", [
    ("start", "progress of three", "play start failed", ["Corvath._play_on_target", "play_body"]),
    ("start", "no progress", "play start failed", ["Corvath._play_on_target", "play_body"]),
    ("resume", "no web port", "resume failed",
     ["Corvath._on_play_resume.<locals>.resume", "stream_base"]),
])
def test_a_failure_in_the_modules_own_code_is_logged_with_where_it_failed(
        g, caplog, road, breakage, logged, frames):
    import traceback

    def break_it():
        if breakage == "progress of three":
            g.server.progress = (1, 2, 3)
        elif breakage == "no progress":
            del g.server.progress
        else:
            g.bridge.config = ConfigView(g.config, missing=("web_port",))

    async def scenario():
        if road == "start":
            break_it()
            await g.play()
        else:
            await g.play()
            g.bridge._on_play_pause()
            await settle()
            break_it()
            g.bridge._on_play_resume()
            await settle()

    g.run(scenario())
    errors = [r for r in caplog.records if r.name == "sonvale" and r.levelname == "ERROR"]
    assert len(errors) == 1 and logged in errors[0].getMessage()
    assert errors[0].exc_info[2] is not None
    entries = traceback.extract_tb(errors[0].exc_info[2])
    assert [e.name for e in entries][:2] == frames
    assert all(e.filename.startswith("src/corvath/") and e.lineno > 0 for e in entries[:2])


def test_a_failing_resume_source_ends_the_resume(g, caplog):
    async def scenario():
        await g.play()
        g.bridge._on_play_pause()
        await settle()
        xiaomi.journal.clear()
        web_api.sent.clear()
        g.hub.fail["resume_source"] = RuntimeError("hub refused")
        g.bridge._on_play_resume()
        await settle()

    g.run(scenario())
    assert xiaomi.journal == [] and web_api.sent == []
    assert g.bridge._airplay_active is False and g.watchdogs() == []
    errors = [r for r in caplog.records if r.name == "sonvale" and r.levelname == "ERROR"]
    assert len(errors) == 1 and errors[0].getMessage().startswith("Group AirPlay resume failed")
    assert errors[0].exc_info[0] is RuntimeError and errors[0].exc_info[2] is not None
    assert not [r for r in caplog.records if r.levelname == "WARNING"]
