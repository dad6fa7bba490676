"""Many AirPlay callbacks against a group of speakers that never answer.

A started bridge over three silent stand-in speakers runs on an event loop in its own thread;
this thread plays the AirPlay server's threads and calls its callbacks (play start, volume,
pause, resume, stop), pausing every 50 callbacks until the loop has caught up. It reports, one
line each: "warm <tasks>" after a warm-up round, "loaded <peak tasks> <tasks>" after the
measured round, "stopped <tasks>" after `await bridge.stop()`. With --pause it waits for a line
on standard input after each report, so that another process can read this one's /proc.

    CORVATH_PYTHONPATH=build/dev/python /usr/bin/python3 tests/corvath/pileup.py [callbacks]
"""
import asyncio
import sys
import threading

from corvath_support import corvath, host_config, web_api, xiaomi
from sonvale.audio_hub import AudioHub

WARM_UP = 500
SYNC_EVERY = 50


def main():
    args = [a for a in sys.argv[1:] if a != "--pause"]
    pause = "--pause" in sys.argv
    callbacks = int(args[0]) if args else 5000

    speakers = {did: xiaomi.TargetController(did) for did in "ABC"}
    for speaker in speakers.values():
        speaker.hang |= xiaomi.SILENT
    config = host_config.Config(host_config.GroupConfig(list(speakers)), web_port=80)
    hub = AudioHub()
    bridge = corvath.Corvath("10.0.0.2", corvath.GroupController(config, lambda: speakers),
                             None, config, hub)

    loop = asyncio.new_event_loop()
    runner = threading.Thread(target=loop.run_forever, name="loop")
    runner.start()

    def on_loop(make):
        return asyncio.run_coroutine_threadsafe(make(), loop).result(120)

    def others():
        return [t for t in asyncio.all_tasks() if t is not asyncio.current_task()]

    async def task_count():
        # Lets the loop catch up with the callbacks handed to it first: until the number of
        # tasks has not fallen for a few turns of the loop.
        lowest, steady = len(others()), 0
        while steady < 5:
            await asyncio.sleep(0)
            count = len(others())
            steady = steady + 1 if count >= lowest else 0
            lowest = min(lowest, count)
        return len(others())

    on_loop(bridge.start)
    server = bridge.airplay_server
    server.is_playing = True
    server.metadata = {"title": "Song", "artist": "Band"}
    calls = [
        lambda i: server.on_play_start(f"rtsp://airplay/{i}"),
        lambda i: server.on_volume_change(-float(i % 30)),
        lambda i: server.on_play_pause(),
        lambda i: server.on_volume_change(-float(i % 20)),
        lambda i: server.on_play_resume(),
        lambda i: server.on_play_stop(),
    ]

    def drive(count):
        peak = 0
        for i in range(count):
            calls[i % len(calls)](i)
            if i % SYNC_EVERY == SYNC_EVERY - 1:
                peak = max(peak, on_loop(task_count))
                # The stand-ins' own journals are no part of the relay.
                xiaomi.journal.clear()
                web_api.sent.clear()
                hub.calls.clear()
                host_config.calls.clear()
        return peak

    def report(line):
        print(line, flush=True)
        if pause:
            sys.stdin.readline()

    drive(WARM_UP)
    report(f"warm {on_loop(task_count)}")
    peak = drive(callbacks)
    report(f"loaded {peak} {on_loop(task_count)}")
    on_loop(bridge.stop)
    report(f"stopped {on_loop(task_count)}")
    loop.call_soon_threadsafe(loop.stop)
    runner.join()
    loop.close()


if __name__ == "__main__":
    main()
