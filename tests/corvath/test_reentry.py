"""Calls into a relay coroutine while it is running, or while it is handing a step on to the host
object it awaits: from that object itself, from a host coroutine, from other threads. Each case
runs in its own interpreter, so that a crash fails that case alone."""
import pytest

from corvath_support import run_isolated

PRELUDE = """
import gc, sys, threading, time
from sonvale import corvath, config, xiaomi

def group_awaiting(awaitable_factory):
    # get_status of the group awaits the first member's get_status: the host object under test.
    member = xiaomi.TargetController("A")
    member.get_status = awaitable_factory
    return corvath.GroupController(config.Config(config.GroupConfig(["A"])), lambda: {"A": member})

class Calling:
    # An awaitable whose second step calls `action` on the relay coroutine that awaits it.
    def __init__(self, action):
        self.action, self.target, self.steps = action, None, 0
    def __await__(self):
        return self
    def __next__(self):
        return self.send(None)
    def send(self, value):
        self.steps += 1
        if self.steps == 1:
            return None
        try:
            self.action(self.target)
            print("accepted")
        except ValueError as e:
            print("ValueError:", e)
        raise StopIteration({"status": 1})
    def throw(self, *exc):
        raise exc[0]
    def close(self):
        pass
"""

STEP_CALLS = PRELUDE + """
action = {"close": lambda c: c.close(),
          "throw": lambda c: c.throw(RuntimeError("inside")),
          "throw_type": lambda c: c.throw(RuntimeError, "inside", None),
          "send": lambda c: c.send(None)}[sys.argv[1]]
calling = Calling(action)
coro = group_awaiting(lambda: calling).get_status()
calling.target = coro
coro.send(None)
try:
    coro.send(None)
except StopIteration as done:
    print("result:", done.value)
assert not coro.cr_running
"""


@pytest.mark.parametrize("action", ["close", "throw", "throw_type", "send"])
def test_a_call_from_the_awaited_objects_own_step_is_refused(action):
    out = run_isolated(STEP_CALLS, action)
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == ["ValueError: coroutine already executing",
                                       "result: {'status': 1}"]


HOST_COROUTINE = PRELUDE + """
import asyncio
box = {}

async def host_status():
    await asyncio.sleep(0)
    try:
        box["relay"].close()
    except ValueError as e:
        print("ValueError:", e)
    return {"status": 1}

coro = group_awaiting(host_status).get_status()
box["relay"] = coro
print("result:", asyncio.run(asyncio.wait_for(coro, 5)))
"""


def test_a_host_coroutine_closing_the_relay_coroutine_that_awaits_it():
    out = run_isolated(HOST_COROUTINE)
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == ["ValueError: coroutine already executing",
                                       "result: {'status': 1}"]


THREADS = PRELUDE + """
# A host coroutine whose step waits, with the GIL released, until another thread has called into
# the relay coroutine that hands the step on to it; then threads hammer one coroutine at random.
inside, attempted = threading.Event(), threading.Event()

class Yield:
    def __await__(self):
        yield None

async def host_status():
    while True:
        if not attempted.is_set():
            inside.set()
            attempted.wait(10)
        time.sleep(0.0002)
        await Yield()

group = group_awaiting(host_status)
calls = {"close": lambda c: c.close(), "send": lambda c: c.send(None),
         "throw": lambda c: c.throw(ValueError("t"))}
kinds = sys.argv[1].split(",")

def outcome(call, coro):
    try:
        call(coro)
        return "ok"
    except ValueError as e:
        return "refused" if str(e) == "coroutine already executing" else "ended"
    except (StopIteration, RuntimeError):
        return "ended"  # it ended (the default status) and cannot be reused

attempted.set()
for kind in kinds:  # one call from another thread while the step is handed on: refused
    coro = group.get_status()
    coro.send(None)  # the first step goes through
    inside.clear()
    attempted.clear()
    stepping = threading.Thread(target=outcome, args=(calls["send"], coro))
    stepping.start()
    assert inside.wait(10)
    print(kind, outcome(calls[kind], coro))
    attempted.set()
    stepping.join()
    coro.close()

for round in range(10):  # and many at once: never a crash
    coro = group.get_status()
    coro.send(None)
    def hammer(kind):
        for _ in range(100):
            outcome(calls[kind], coro)
    threads = [threading.Thread(target=hammer, args=(kinds[i % len(kinds)],)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    coro.close()
print("alive")
"""


@pytest.mark.parametrize("kinds", ["send", "send,close", "send,throw,close"])
def test_threads_driving_one_relay_coroutine_in_a_host_coroutine(kinds):
    out = run_isolated(THREADS, kinds)
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == [f"{kind} refused" for kind in kinds.split(",")] + ["alive"]


DROPPED = PRELUDE + """
class FailingClose(Calling):
    def close(self):
        raise OSError("close failed")

group = group_awaiting(lambda: FailingClose(None))
unraisable = []
sys.unraisablehook = lambda u: unraisable.append(type(u.exc_value).__name__)
for _ in range(50):
    coro = group.get_status()
    coro.send(None)
    del coro  # closed as it goes: the failing close() is reported, not raised
gc.collect()
print(len(unraisable), set(unraisable))
"""


def test_a_coroutine_dropped_while_its_awaited_objects_close_fails():
    out = run_isolated(DROPPED)
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == ["50 {'OSError'}"]
