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
        # Both arrive before the loop runs either: the pause's task runs after the resume.
        g.bridge._on_play_pause()
        g.bridge._on_play_resume()
        await settle()

    g.run(scenario())
    assert g.bridge._airplay_active is True
    assert len(g.watchdogs()) == 1
    assert ("A", "pause") not in xiaomi.journal and g.plays() == ["play_url"]


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
