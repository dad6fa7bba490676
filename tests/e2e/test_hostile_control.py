"""The control port of the real relvox against hostile peers: deeply nested JSON, hundreds of
idle connections, a peer that never reads, a session whose thread fails for want of memory.
Each test checks the process from outside (/proc) and ends with a phone that still
authenticates."""

import json
import time

from proc_stats import descriptor_count, rss_kb, thread_names
from test_control import ARGS, a_phone_still_authenticates, connect, session_error

DEPTH = 100000
DEEP = b"[" * DEPTH + b"]" * DEPTH  # 200 KB, far below the frame limit


def wait_until(pred, timeout, what):
    deadline = time.monotonic() + timeout
    while not pred():
        assert time.monotonic() < deadline, what
        time.sleep(0.02)


def control_threads(pid):
    """Listener, session and writer threads: their names all cut to "sonvale-control"."""
    return sum(1 for name in thread_names(pid) if name.startswith("sonvale-control"))


def test_deeply_nested_json_is_refused_as_not_json(relvox):
    r = relvox(*ARGS)
    r.wait_event("bridge_ready")
    pid = r.proc.pid
    rss_before, fds_before = rss_kb(pid), descriptor_count(pid)

    # Every command whose body is JSON, before any handshake.
    phone = connect(r)
    phone.send(64, DEEP, value_type=11)  # play-source registration
    assert phone.next_frame().command == 65
    assert r.wait_event("play_source")["content"] is None
    phone.send(88, b'{"sourceName":"x","more":' + DEEP + b"}", value_type=12)  # source info
    assert phone.next_frame().command == 89
    r.wait_event("interconnect_stage", stage="capabilities_exchanged")
    phone.send(18, b'{"mediaInfo":' + DEEP + b"}", value_type=13)  # media information
    assert phone.next_frame().command == 19
    phone.send(0x18, b'{"metadata":' + DEEP + b"}", value_type=14, outer=4)
    reply = phone.next_frame()
    assert (reply.outer, reply.command) == (4, 0x19)
    phone.send(3, b'{"authMsgAck":' + DEEP + b"}", value_type=15)  # SafetyAuth_Ack: ignored
    phone.send(26, value_type=16)
    assert phone.next_frame().command == 27
    assert not r.named("source_info") and not r.named("media_info")
    phone.send(108, b'{"authKey":' + DEEP + b"}", value_type=17)  # SetMirrorKey
    session_error(r, "parse SetMirrorKey JSON")
    phone.wait_closed()

    # Standard input: the deep line is skipped as a line that is not JSON is.
    r.send_line(b'{"command":"set_volume","percent":' + DEEP + b"}")
    r.send_line(b"[1]")
    unsupported = r.wait_event("error", code="unsupported_command")
    assert unsupported["raw"] == "[1]"

    assert r.proc.poll() is None
    assert rss_kb(pid) - rss_before < 64 * 1024
    wait_until(lambda: descriptor_count(pid) <= fds_before, 5, "the session's descriptors were released")
    assert len(r.named("error")) == 2  # the SetMirrorKey failure and the unsupported line
    a_phone_still_authenticates(r)
