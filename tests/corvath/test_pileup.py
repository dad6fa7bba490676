"""Speakers that never answer: the calls still waiting for them do not pile up, a newer command
takes the place of an older one, and Corvath.stop leaves no task of the relay behind."""
import asyncio
import os
import subprocess
import sys

import pytest

from corvath_support import BUILD, HERE, Group, settle, web_api, xiaomi

sys.path.append(str(HERE.parent / "e2e"))  # the shared /proc readers
import proc_stats  # noqa: E402

COMMANDS = {
    "volume": lambda b, i: b._on_volume_change(-float(i % 30)),
    "start": lambda b, i: b._on_play_start(f"rtsp://airplay/{i}"),
    "resume": lambda b, i: b._on_play_resume(),
    "pause": lambda b, i: b._on_play_pause(),
    "stop": lambda b, i: b._on_play_stop(),
}
MIXED = ["start", "volume", "pause", "resume", "volume", "stop"]


def tasks_after(vloop, kinds, rounds):
    """Tasks left on the loop after `rounds` of the commands `kinds` to three silent speakers,
    and after Corvath.stop."""
    g = Group(vloop, dids=("A", "B", "C"))

    async def scenario():
        await g.play()
        g.silence()
        for i in range(rounds):
            for kind in kinds:
                COMMANDS[kind](g.bridge, i)
                await settle(3)
        await asyncio.sleep(4)  # a search still waiting times out
        await settle()
        waiting = len(g.others())
        await g.bridge.stop()
        return waiting, g.others()

    return g.run(scenario())


@pytest.mark.parametrize("kinds", [["volume"], ["start"], ["resume"], ["pause"], ["stop"],
                                   ["pause", "resume"], MIXED], ids="+".join)
def test_calls_to_silent_speakers_do_not_pile_up(vloop, kinds):
    few, left_few = tasks_after(vloop, kinds, 3)
    many, left_many = tasks_after(vloop, kinds, 40)
    assert many == few
    assert left_few == [] and left_many == []


def test_a_newer_command_cancels_only_the_older_of_its_kind(vloop):
    g = Group(vloop)

    async def scenario():
        await g.play()
        g.silence()
        xiaomi.journal.clear()
        g.bridge._on_volume_change(-10.0)
        await settle()
        g.bridge._on_play_resume()
        await settle()
        waiting = {op: [did for did, o in xiaomi.journal if o == op] for op in ("set_volume",
                                                                                  "play_url")}
        xiaomi.journal.clear()
        g.bridge._on_volume_change(-20.0)  # takes the place of the first volume change only
        await settle()
        return waiting, len(xiaomi.unanswered)

    waiting, unanswered = g.run(scenario())
    assert waiting == {"set_volume": ["A", "B"], "play_url": ["A", "B"]}
    assert xiaomi.journal == [("A", "set_volume"), ("B", "set_volume")]
    assert unanswered == 4  # the newest volume change and the resume's push, on both speakers


@pytest.mark.parametrize("later", ["pause", "stop"])
def test_a_pause_or_stop_cancels_the_pushes_still_waiting(vloop, later):
    g = Group(vloop)

    async def scenario():
        await g.play()
        g.silence()
        g.bridge._on_play_resume()
        await settle()
        pushes = len(xiaomi.unanswered)
        COMMANDS[later](g.bridge, 0)
        await settle()
        return pushes

    assert g.run(scenario()) == 2
    assert xiaomi.journal[-2:] == [("A", later), ("B", later)]
    assert len(xiaomi.unanswered) == 2  # only the newest command waits: the pause or the stop


def test_stop_cancels_and_awaits_every_task_of_the_relay(vloop):
    g = Group(vloop)
    cancelled = []
    real = g.ctl["A"]._answer

    async def answer(op, result):
        try:
            return await real(op, result)
        except asyncio.CancelledError:
            cancelled.append(op)
            raise

    g.ctl["A"]._answer = answer

    async def scenario():
        await g.play()
        g.silence()
        for kind in MIXED + ["start", "pause", "resume"]:
            COMMANDS[kind](g.bridge, 1)
            await settle(3)
        await asyncio.sleep(13)  # the watchdog the resume started asks the speakers too
        before = len(g.others())
        await g.bridge.stop()
        return before, g.others()

    before, left = g.run(scenario())
    assert before > 0 and left == []
    assert set(cancelled) >= {"play_url", "get_status"}
    assert xiaomi.unanswered == set()


def test_callbacks_from_a_server_thread_against_silent_speakers_measured_from_outside():
    # The relay's loop runs in a thread of its own process; its task count and RSS are read
    # after a warm-up round, after 5000 more callbacks, and after Corvath.stop.
    env = dict(os.environ, CORVATH_PYTHONPATH=str(BUILD))
    child = subprocess.Popen(
        [sys.executable, str(HERE / "pileup.py"), "--pause", "5000"],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
        env=env, cwd=HERE)
    figures = {}
    try:
        for phase in ("warm", "loaded", "stopped"):
            words = child.stdout.readline().split()
            assert words and words[0] == phase, words
            figures[phase] = [int(w) for w in words[1:]] + [proc_stats.rss_kb(child.pid)]
            child.stdin.write("\n")
            child.stdin.flush()
        assert child.wait(timeout=60) == 0
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    (warm_tasks, warm_rss), (peak, loaded_tasks, loaded_rss), (stopped_tasks, _) = (
        figures["warm"], figures["loaded"], figures["stopped"])
    print("figures", figures)
    assert peak <= 40 and loaded_tasks <= 40 and warm_tasks <= 40
    assert stopped_tasks == 0
    if "libasan" not in os.environ.get("LD_PRELOAD", ""):  # ASan keeps what was freed a while
        assert loaded_rss - warm_rss < 4096
