"""The playback watchdog: when it asks the speakers, when it pushes the stream again, when it
ends, and that at most one runs and its failure blocks no stop."""
import asyncio
import logging
import re

import pytest

from corvath_support import WALL_EPOCH, Group, settle, sonvale_records, xiaomi

NOTICE = ("INFO", "[Group] 全屋播放检测到中断，等待后自动续播...")


@pytest.fixture
def g(vloop):
    return Group(vloop)


def run_for(g, seconds, before=None):
    async def scenario():
        await g.play()
        if before:
            before()
        await asyncio.sleep(seconds)

    g.run(scenario())


def test_speakers_that_play_are_only_asked(g, caplog):
    caplog.set_level(logging.INFO, "sonvale")
    run_for(g, 19)
    assert g.status_times == [12, 15, 18]  # the grace of 10 s skips the cycles at 3, 6 and 9
    assert g.plays() == ["play_url"]
    assert NOTICE not in sonvale_records(caplog)


def test_a_stopped_speaker_gets_the_stream_again(g, vloop, caplog):
    caplog.set_level(logging.INFO, "sonvale")
    answers = iter([{"status": 0}])
    g.ctl["A"].status = None

    real = g.ctl["A"]._answer

    def answer(op, result):
        if op == "get_status":
            result = next(answers, {"status": 1})
        return real(op, result)

    g.ctl["A"]._answer = answer
    run_for(g, 30)
    assert g.status_times == [12, 28]  # re-push at 16, then 10 s of grace again
    stamp = int(WALL_EPOCH + g.t0 + 16)
    assert g.ctl["B"].last_play == (
        f"http://10.0.0.2:80/stream/live.wav?session_id=7&delay_ms=0&_ts={stamp}", None)
    assert g.plays() == ["play_url", "play_url"]
    assert sonvale_records(caplog).count(NOTICE) == 1
    assert g.bridge._play_grace_until == pytest.approx(WALL_EPOCH + g.t0 + 26)


@pytest.mark.parametrize("status, playing", [
    ({"status": True}, True), ({"status": 1.0}, True), ({"status": "1"}, False), ({}, False),
    (None, False)])
def test_what_counts_as_playing(vloop, status, playing):
    g = Group(vloop)
    g.ctl["A"].status = status
    run_for(g, 17)  # past the re-push that a query at 12 s finding the group stopped brings at 16
    if playing:
        assert g.plays() == ["play_url"]
        assert g.status_times == [12, 15]
    elif status is None:  # the group answers None: not a mapping, the cycle ends silently
        assert g.plays() == ["play_url"]
        assert g.status_times == [12, 15]
    else:
        assert g.status_times == [12]  # asked, and then busy with the re-push
        assert g.plays() == ["play_url", "play_url"]


def test_airplay_not_playing_ends_the_watchdog_at_its_first_check(g):
    run_for(g, 20, before=lambda: setattr(g.server, "is_playing", False))
    assert g.status_times == [] and g.watchdogs() == []


def test_a_status_query_that_never_answers_ends_its_cycle_after_8_seconds(g, caplog):
    g.ctl["A"].hang.add("get_status")
    run_for(g, 24)
    assert g.status_times == [12, 23]
    assert sonvale_records(caplog) == [] and g.plays() == ["play_url"]


@pytest.mark.parametrize("point, at", [
    ("3 s wait", 1), ("status query", 12.5), ("4 s wait", 14), ("re-push", 15.5)])
@pytest.mark.parametrize("how", ["pause", "stop"])
def test_cancellation_at_each_wait(vloop, point, at, how):
    g = Group(vloop)
    g.ctl["A"].status = {"status": 0}
    g.ctl["A"].delay["get_status"] = 1
    for member in g.ctl.values():
        member.delay["play_url"] = 1 if point == "re-push" else 0

    async def scenario():
        await g.play()
        await asyncio.sleep(at)
        watchdog = g.bridge._poll_task
        (g.bridge._on_play_pause if how == "pause" else g.bridge._on_play_stop)()
        await settle()
        await asyncio.sleep(0.1)
        assert watchdog.done() and not watchdog.cancelled()  # it ended normally
        await asyncio.sleep(40)

    g.run(scenario())
    expected = 2 if point == "re-push" else 1
    assert g.plays() == ["play_url"] * expected
    # With a push that takes 1 s the watchdog starts at 1 s and first asks at 10 s.
    first_query = 10 if point == "re-push" else 12
    assert g.status_times == ([] if point == "3 s wait" else [first_query])
    assert g.watchdogs() == []


def test_start_poll_keeps_one_task_and_replaces_an_ended_one(g):
    async def scenario():
        await g.play()
        first = g.bridge._poll_task
        g.bridge._start_poll()
        assert g.bridge._poll_task is first
        g.bridge._airplay_active = False
        await asyncio.sleep(3.5)
        assert first.done()
        g.bridge._airplay_active = True
        g.bridge._start_poll()
        assert g.bridge._poll_task is not first

    g.run(scenario())


def test_a_lost_cancellation_then_a_resume_leaves_one_watchdog(g, vloop):
    # wait_for on 3.11 returns the inner result when the inner future finished just as the
    # task was cancelled: the cancellation of the pause is lost, and the old watchdog, told
    # that the speakers stopped, waits 4 s while a resume starts a new one.
    answers = []

    def get_status():
        g.status_times.append(round(vloop.time() - g.t0, 3))
        future = vloop.create_future()
        if answers:
            future.set_result({"status": 1})
        answers.append(future)
        return future

    g.ctl["A"].get_status = get_status

    async def scenario():
        await g.play()
        await asyncio.sleep(12.5)
        old = g.bridge._poll_task
        assert len(answers) == 1
        g.bridge._on_play_pause()
        # The answer lands in the iteration that creates the pause's task: the pause cancels
        # the watchdog after its status query has ended but before wait_for has seen that.
        vloop.call_soon(answers[0].set_result, {"status": 0})
        await settle()
        g.bridge._on_play_resume()
        await settle()
        counts = []
        for _ in range(12):
            await asyncio.sleep(1)
            counts.append(len(g.watchdogs()))
        g.bridge._on_play_stop()
        await settle()
        return old, counts

    old, counts = g.run(scenario())
    assert old.done() and old is not g.bridge._poll_task
    assert max(counts) == 1
    assert g.plays() == ["play_url", "play_url"]  # the start and the resume, no stale re-push


def test_a_failed_watchdog_is_logged_and_blocks_no_stop(g, caplog):
    async def scenario():
        await g.play()
        del g.server.is_playing  # the watchdog's check at 3 s fails outside its guard
        await asyncio.sleep(4)
        assert g.bridge._poll_task.done()
        g.server.is_playing = True
        g.bridge._on_play_stop()
        await settle()

    g.run(scenario())
    errors = [r for r in caplog.records if r.name == "sonvale" and r.levelname == "ERROR"]
    assert len(errors) == 1 and errors[0].getMessage().startswith("Group AirPlay watchdog failed")
    assert errors[0].exc_info[0] is AttributeError
    assert ("A", "stop") in xiaomi.journal and g.bridge._poll_task is None


def test_a_failed_watchdog_blocks_no_corvath_stop(g):
    async def scenario():
        await g.play()
        del g.server.is_playing
        await asyncio.sleep(4)
        await g.bridge.stop()

    server = g.server
    g.run(scenario())
    assert server.stopped and g.bridge.airplay_server is None and g.bridge._poll_task is None


def test_stop_raises_its_callers_cancellation_not_the_watchdogs(g, vloop):
    # A speaker that takes 5 s to give up its status query keeps the watchdog from ending.
    async def slow_status():
        try:
            await asyncio.Event().wait()
        except asyncio.CancelledError:
            await asyncio.sleep(5)
            raise

    g.ctl["A"].get_status = slow_status

    async def scenario():
        await g.play()
        await asyncio.sleep(12.5)
        stopping = asyncio.create_task(g.bridge.stop())
        await settle()
        stopping.cancel()
        with pytest.raises(asyncio.CancelledError):
            await stopping
        assert stopping.cancelled()
        return g.server.stopped

    assert g.run(scenario()) is False  # the host cancelled its stop; the server was not stopped

    async def again():
        await g.bridge.stop()  # an uncancelled stop completes although the watchdog swallowed
        return g.server.stopped  # the cancellation it was given

    g.server.stopped = False
    g.bridge._poll_task = None
    assert g.run(again()) is True


def test_a_re_push_that_a_newer_push_replaced_leaves_the_watchdog_watching(g, vloop):
    # The speakers report that they stopped, and never answer the watchdog's re-push; a resume's
    # push takes its place.
    g.ctl["A"].status = {"status": 0}

    async def scenario():
        await g.play()
        for member in g.ctl.values():
            member.hang.add("play_url")
        await asyncio.sleep(16.5)  # the query at 12, the re-push at 16 waits
        watchdog = g.bridge._poll_task
        g.bridge._on_play_resume()
        await settle()
        await asyncio.sleep(14)
        return watchdog

    watchdog = g.run(scenario())
    assert g.bridge._poll_task is watchdog and not watchdog.done()
    assert g.status_times[0] == 12 and g.status_times[1] >= 26  # watching again after the grace
    assert len(g.watchdogs()) == 1
