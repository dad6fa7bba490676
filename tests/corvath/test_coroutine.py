"""The module's coroutines are coroutines to asyncio: awaited, wrapped in tasks, gathered,
timed out, submitted from other threads, cancelled, thrown into, and collected."""
import asyncio
import collections.abc
import gc
import sys
import threading
import weakref

import pytest

from corvath_support import airplay_server, corvath, make_group, xiaomi

DEFAULT_STATUS = {"status": 0, "volume": 50, "cur_time": 0, "duration": 0}


def test_is_a_coroutine_to_asyncio():
    group, _, _ = make_group()
    coro = group.get_status()
    assert asyncio.iscoroutine(coro)
    assert isinstance(coro, collections.abc.Coroutine)
    assert coro.__qualname__ == "GroupController.get_status"
    assert coro.__name__ == "get_status"
    coro.close()


@pytest.mark.parametrize("how", ["await", "create_task", "gather", "wait_for", "ensure_future"])
def test_asyncio_entry_points_run_it(run, how):
    group, ctl, _ = make_group()
    ctl["A"].status = {"status": 1, "volume": 20}

    async def main():
        if how == "await":
            return await group.get_status()
        if how == "create_task":
            return await asyncio.create_task(group.get_status())
        if how == "gather":
            return (await asyncio.gather(group.get_status(), group.get_status()))[1]
        if how == "wait_for":
            return await asyncio.wait_for(group.get_status(), timeout=1)
        return await asyncio.ensure_future(group.get_status())

    assert run(main()) == {"status": 1, "volume": 20}


def test_run_coroutine_threadsafe_from_another_thread():
    group, ctl, _ = make_group()
    loop = asyncio.new_event_loop()
    thread = threading.Thread(target=loop.run_forever)
    thread.start()
    try:
        future = asyncio.run_coroutine_threadsafe(group.play_url("http://x/"), loop)
        assert future.result(timeout=10) is True
        assert ctl["B"].last_play == ("http://x/", None)
    finally:
        loop.call_soon_threadsafe(loop.stop)
        thread.join()
        loop.close()


def test_cancelled_before_first_step_never_touches_a_member(run):
    group, _, _ = make_group()

    async def main():
        task = asyncio.create_task(group.get_status())
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        assert task.cancelled()

    run(main())
    assert xiaomi.journal == []


def test_cancelled_while_suspended_cancels_what_it_awaits(run):
    group, ctl, _ = make_group()
    ctl["A"].hang.add("get_status")

    async def main():
        task = asyncio.create_task(group.get_status())
        for _ in range(3):
            await asyncio.sleep(0)
        assert ("A", "get_status") in xiaomi.journal
        inner = [t for t in asyncio.all_tasks() if t is not task and t is not asyncio.current_task()]
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        return inner

    assert run(main()) == []  # the member's coroutine ran inside our task, not a task of its own


@pytest.mark.parametrize("form", ["instance", "type", "type_value", "type_value_traceback"])
def test_throw_reaches_the_awaited_coroutine(run, form):
    # get_status turns an ordinary exception of the member into the default status, so a throw
    # that reaches the member's coroutine ends ours with that status.
    group, ctl, _ = make_group()
    ctl["A"].hang.add("get_status")
    args = {
        "instance": (RuntimeError("x"),),
        "type": (RuntimeError,),
        "type_value": (RuntimeError, "x"),
        "type_value_traceback": (RuntimeError, RuntimeError("x"), None),
    }[form]

    async def main():
        coro = group.get_status()
        assert asyncio.isfuture(coro.send(None))
        assert coro.cr_await is not None
        with pytest.raises(StopIteration) as stop:
            coro.throw(*args)
        assert stop.value.value == DEFAULT_STATUS
        with pytest.raises(RuntimeError, match="cannot reuse"):
            coro.send(None)

    run(main())


def test_throw_of_a_non_ordinary_exception_propagates_with_its_traceback(run):
    group, ctl, _ = make_group()
    ctl["A"].hang.add("get_status")

    async def main():
        coro = group.get_status()
        coro.send(None)
        with pytest.raises(KeyboardInterrupt) as raised:
            coro.throw(KeyboardInterrupt)
        assert raised.value.__traceback__ is not None

    run(main())


def test_throw_before_start_raises_and_ends_it():
    group, _, _ = make_group()
    coro = group.get_status()
    with pytest.raises(ValueError, match="early"):
        coro.throw(ValueError("early"))
    with pytest.raises(RuntimeError, match="cannot reuse"):
        coro.send(None)
    assert xiaomi.journal == []


def test_send_of_a_value_before_start_is_refused():
    group, _, _ = make_group()
    coro = group.get_status()
    with pytest.raises(TypeError, match="just-started"):
        coro.send(1)
    coro.close()


def test_reference_counts_stay_flat_over_many_awaits(run):
    group, ctl, _ = make_group()
    status = {"status": 1}
    url = "http://flat/"
    ctl["A"].status = status

    async def many(n):
        for _ in range(n):
            assert await group.get_status() is status
            await group.play_url(url)

    run(many(50))
    gc.collect()
    before = (sys.getrefcount(status), sys.getrefcount(url), sys.getrefcount(group))
    run(many(2000))
    gc.collect()
    assert (sys.getrefcount(status), sys.getrefcount(url), sys.getrefcount(group)) == before


def test_a_bridge_dropped_with_a_pending_task_is_collected_after_its_loop_closes(monkeypatch):
    group, _, _ = make_group()
    loop = asyncio.new_event_loop()
    bridge = corvath.Corvath("127.0.0.1", group)
    never = loop.create_future()

    async def hang_start():
        await never

    monkeypatch.setattr(airplay_server.AirPlayServer, "start", lambda self: hang_start())
    # bridge -> task -> coroutine -> bridge, and the task waits on a future of the loop.
    bridge.pending = loop.create_task(bridge.start())
    for _ in range(3):
        loop.run_until_complete(asyncio.sleep(0))
    assert not bridge.pending.done()
    ref = weakref.ref(bridge)
    airplay_server.instances.clear()  # the stand-in's own registry of servers
    loop.close()
    del bridge, never, loop
    gc.collect()
    assert ref() is None


def test_a_bridge_dropped_with_roads_in_line_is_collected_after_its_loop_closes(vloop):
    from sonvale.audio_hub import AudioHub
    group, ctl, cfg = make_group(web_port=80)
    bridge = corvath.Corvath("127.0.0.1", group, None, cfg, AudioHub())

    async def scenario():
        await bridge.start()
        bridge.airplay_server.metadata = {"title": "Song"}
        bridge.airplay_server.is_playing = True
        bridge._on_play_start("rtsp://airplay/1")
        await asyncio.sleep(12.5)  # the watchdog asks the first speaker, which never answers
        for member in ctl.values():
            member.hang |= xiaomi.SILENT
        # A second start waits for its search; a resume waits behind it, a volume change on
        # the speakers.
        bridge._on_play_start("rtsp://airplay/2")
        for _ in range(30):
            await asyncio.sleep(0)
        bridge._on_play_resume()
        bridge._on_volume_change(-10.0)
        for _ in range(30):
            await asyncio.sleep(0)

    vloop.run_until_complete(scenario())
    assert len(bridge._turns) == 1 and ("A", "get_status") in xiaomi.journal
    ref = weakref.ref(bridge)
    airplay_server.instances.clear()  # the stand-ins' own registries
    xiaomi.unanswered.clear()
    vloop.close()
    del bridge, group, ctl
    gc.collect()
    assert ref() is None


def test_an_unawaited_coroutine_is_dropped_without_touching_members():
    group, _, _ = make_group()
    ref = weakref.ref(group)
    coro = group.play_url("http://x/")
    del group
    assert ref() is not None  # the coroutine keeps its controller
    del coro
    gc.collect()
    assert ref() is None
    assert xiaomi.journal == []
