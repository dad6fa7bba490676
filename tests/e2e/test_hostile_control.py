"""The control port of the real relvox against hostile peers: deeply nested JSON, JSON of the
costliest shapes on every command that reads JSON, hundreds of idle connections, bodies that stop
arriving, a peer that never reads, a session whose thread fails for want of memory.
Each test checks the process from outside (/proc) and ends with a phone that still
authenticates."""

import os
import resource
import socket
import struct
import subprocess
import time
from concurrent.futures import ThreadPoolExecutor

import pytest

from fake_phone import FakePhone
from proc_stats import (descriptor_count, open_file_limits, peak_rss_kb, reset_peak_rss, rss_kb, status_kb,
                        thread_names)
from test_control import ARGS, a_phone_still_authenticates, connect, session_error

DEPTH = 100000
DEEP = b"[" * DEPTH + b"]" * DEPTH  # 200 KB, far below the frame limit
CAP = 64  # control connections open at once


def wait_until(pred, timeout, what):
    deadline = time.monotonic() + timeout
    while not pred():
        assert time.monotonic() < deadline, what
        time.sleep(0.02)


def settled(r):
    """`r` once started with every descriptor it keeps open: the discovery thread opens its peer
    browser's socket after "bridge_ready" and queries from it at once."""
    r.wait_event("bridge_ready")
    r.wait_event("discovery_peer_query", address_family="ipv4")
    return r


def control_threads(pid):
    """Listener, session and writer threads: their names all cut to "sonvale-control"."""
    return sum(1 for name in thread_names(pid) if name.startswith("sonvale-control"))


def test_deeply_nested_json_is_refused_as_not_json(relvox):
    r = settled(relvox(*ARGS))
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


def idle_connection():
    s = socket.create_connection(("127.0.0.1", 8899))
    s.setblocking(False)
    return s


def closed_by_receiver(s):
    """Whether the receiver has closed this connection (after the first frame it sent)."""
    try:
        while True:
            data = s.recv(4096)
            if not data:
                return True
    except BlockingIOError:
        return False
    except ConnectionResetError:
        return True


def keepalive_timers():
    """The keepalive timers of the receiver's established control sockets, as ss shows them."""
    out = subprocess.run(["ss", "-tnoH", "state", "established", "( sport = :8899 )"],
                         capture_output=True, text=True, check=True).stdout
    return [line for line in out.splitlines() if "keepalive" in line], out.splitlines()


def test_idle_connections_are_capped_and_a_phone_is_still_served(relvox):
    def low_soft_limit():
        resource.setrlimit(resource.RLIMIT_NOFILE, (256, 4096))

    r = settled(relvox(*ARGS, preexec_fn=low_soft_limit))
    pid = r.proc.pid
    assert open_file_limits(pid) == (4096, 4096)  # raised to the hard limit at start
    fds_before = descriptor_count(pid)

    idle = [idle_connection() for _ in range(500)]
    # Each newcomer beyond 64 closes the least recently active connection: the oldest ones.
    wait_until(lambda: sum(closed_by_receiver(s) for s in idle[:436]) == 436, 20,
               "the 436 oldest idle connections were closed")
    assert not any(closed_by_receiver(s) for s in idle[436:])
    wait_until(lambda: control_threads(pid) <= 1 + 2 * CAP, 10, "sessions beyond the cap ended")
    assert descriptor_count(pid) <= fds_before + 3 * CAP
    with_timer, lines = keepalive_timers()
    assert len(with_timer) == len(lines) == CAP, lines
    assert not r.named("warning")  # none of them had authenticated: nobody was refused

    a_phone_still_authenticates(r)
    for s in idle:
        s.close()
    wait_until(lambda: control_threads(pid) == 1, 10, "every session ended")
    wait_until(lambda: descriptor_count(pid) <= fds_before, 5, "every descriptor was released")


def test_newcomer_is_refused_when_every_connection_has_authenticated(relvox):
    r = settled(relvox(*ARGS))
    phones = []
    for _ in range(CAP):
        phones.append(connect(r))
        phones[-1].handshake()
    newcomer = FakePhone()
    newcomer.wait_closed()
    assert newcomer.frames == []
    warning = r.wait_event("warning", code="sonvale_control_connection_limit")
    assert warning["message"].startswith("小米妙播控制连接已达上限 64，已关闭新连接：127.0.0.1:")
    # The authenticated phones are all still served.
    for p in phones:
        p.send(26, value_type=3)
        assert p.next_frame().command == 27
    assert len(r.named("warning")) == 1
    phones.pop().close()
    r.wait_event("interconnect_stage", stage="transport_disconnected")
    a_phone_still_authenticates(r)


CROWD = "127.0.0.2"  # another host of the loopback net


def test_a_crowd_of_connections_never_closes_the_phone_of_an_address_holding_fewer(relvox):
    r = settled(relvox(*ARGS))
    pid = r.proc.pid
    phone = connect(r)  # between its probes: connected, not yet authenticated
    crowd = []
    for _ in range(3 * CAP):
        s = socket.create_connection(("127.0.0.1", 8899), source_address=(CROWD, 0))
        s.setblocking(False)
        crowd.append(s)
    # The crowd makes room among its own connections only: its oldest ones are closed.
    wait_until(lambda: sum(closed_by_receiver(s) for s in crowd) == 2 * CAP + 1, 20,
               "the crowd's oldest connections were closed")
    assert not phone.closed
    _, _, ack = phone.handshake()
    assert ack.command == 3 and b'"result": "0"' in ack.body
    for s in crowd:
        s.close()
    phone.close()
    wait_until(lambda: control_threads(pid) == 1, 10, "every session ended")

    # SafetyAuth needs no secret: a crowd that has completed it on every connection still yields
    # one to a phone, and that phone's connection is not taken back by the crowd's next one.
    authenticated = []
    for _ in range(CAP):
        authenticated.append(FakePhone(source=CROWD))
        assert authenticated[-1].next_frame().command == 40  # the receiver's code
        authenticated[-1].handshake()
    phone = connect(r)
    wait_until(lambda: sum(p.closed for p in authenticated) == 1, 5,
               "one of the crowd's connections made room")
    newcomer = FakePhone(source=CROWD)
    newcomer.wait_closed()
    assert not phone.closed
    _, _, ack = phone.handshake()
    assert ack.command == 3 and b'"result": "0"' in ack.body
    warnings = r.named("warning")
    assert [w["code"] for w in warnings] == ["sonvale_control_connection_limit"]
    assert warnings[0]["message"].startswith("小米妙播控制连接已达上限 64，已关闭新连接：127.0.0.2:")
    for p in authenticated + [phone]:
        p.close()
    a_phone_still_authenticates(r)


INITIAL_STATE_REQUEST = struct.pack(">BBBHI", 0x24, 0, 41, 1, 0)  # three notifications back


def non_reading_connection():
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)  # a small window, never read
    s.connect(("127.0.0.1", 8899))
    s.setblocking(False)
    return s


def test_a_peer_that_never_reads_ends_its_session_at_the_outgoing_bound(relvox, no_sanitizer_quarantine):
    r = settled(relvox(*ARGS))
    pid = r.proc.pid
    rss_before, fds_before = rss_kb(pid), descriptor_count(pid)
    s = non_reading_connection()
    batch = INITIAL_STATE_REQUEST * 10000
    deadline = time.monotonic() + 20
    failed = []
    while not failed:
        assert time.monotonic() < deadline, "the session outlived 20 s of requests"
        try:
            s.send(batch)
        except BlockingIOError:
            time.sleep(0.005)
        except OSError:
            pass  # the receiver has ended the connection
        failed = [e for e in r.named("error") if e.get("code") == "sonvale_control_session_failed"]
    assert failed[0]["message"] == ("小米妙播控制会话失败：ZeDidi control messages waiting for the phone "
                                    "exceed 1048576 bytes: sending on a full channel")
    r.wait_event("interconnect_stage", stage="transport_disconnected")
    # The writer woke from its blocked write when the session shut the socket down.
    wait_until(lambda: control_threads(pid) == 1, 5, "session and writer ended")
    wait_until(lambda: descriptor_count(pid) <= fds_before, 5, "descriptors released")
    assert rss_kb(pid) - rss_before < 32 * 1024
    s.close()
    a_phone_still_authenticates(r)


def test_a_session_that_runs_out_of_memory_releases_everything(relvox):
    # One malloc arena, so that a limit on the address space fails the next large allocation.
    env = dict(os.environ, GLIBC_TUNABLES="glibc.malloc.arena_max=1")
    r = settled(relvox(*ARGS, env=env))
    pid = r.proc.pid
    with open(f"/proc/{pid}/maps") as f:
        if "libasan" in f.read():
            pytest.skip("the sanitizer's allocator reports a failed allocation instead of throwing")
    phone = connect(r)
    phone.handshake()
    fds_before = descriptor_count(pid)
    vm_size = status_kb(pid, "VmSize") * 1024
    resource.prlimit(pid, resource.RLIMIT_AS, (vm_size, resource.RLIM_INFINITY))
    try:
        body = b"{" + b" " * (16 * 1024 * 1024 - 2) + b"}"
        try:
            phone.send(26, body, value_type=4)
        except OSError:
            pass  # the session failed before the whole body was sent
        failed = r.wait_event("error", code="sonvale_control_session_failed")
    finally:
        resource.prlimit(pid, resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
    assert failed["message"] == "小米妙播控制会话失败：run ZeDidi control session: std::bad_alloc"
    r.wait_event("interconnect_stage", stage="transport_disconnected")
    phone.wait_closed()  # nothing holds the connection open any more
    wait_until(lambda: control_threads(pid) == 1, 5, "session and writer ended")
    wait_until(lambda: descriptor_count(pid) <= fds_before - 3, 5, "the session's descriptors released")
    a_phone_still_authenticates(r)


FRAME_LIMIT = 16 * 1024 * 1024
JSON_LIMIT = 1024 * 1024
VALUE_LIMIT = 65536
BODY_POOL = 64 * 1024 * 1024  # bodies above 64 KiB in transit on all connections at once
# Every command whose body is read as JSON, as (outer type, command).
JSON_COMMANDS = [(0, 2), (0, 3), (0, 18), (4, 0x18), (0, 64), (0, 88), (0, 94), (4, 0x14), (0, 108)]
ENDS_ON_A_DOCUMENT_WITHOUT_ITS_KEYS = {(0, 2), (0, 108)}  # SafetyAuth, SetMirrorKey
EMPTY_ACK_REQUEST = struct.pack(">BBBHI", 0x24, 0, 26, 99, 0)


def padded(text, size):
    """`text` followed by white space up to `size` bytes: still one JSON text."""
    return text + b" " * (size - len(text))


def json_array(item, count):
    return b"[" + b",".join([item] * count) + b"]"


def costliest_shapes(size):
    """The JSON texts of `size` bytes whose trees cost the most: arrays of empty objects, of
    zeros and of empty arrays."""
    return [padded(json_array(item, (size - 1) // (len(item) + 1)), size) for item in (b"{}", b"0", b"[]")]


def costliest_accepted():
    """The costliest texts the receiver still parses: VALUE_LIMIT values (the outer container
    counts too) within JSON_LIMIT bytes, among them an object of as many members."""
    n = VALUE_LIMIT - 1
    members = b"{" + b",".join(b'"%d":{}' % i for i in range(n)) + b"}"
    return [padded(json_array(item, n), JSON_LIMIT) for item in (b"{}", b"0", b"[]")] + \
        [padded(members, JSON_LIMIT)]


def served_or_closed(phone, timeout=30.0):
    """Whether the receiver, after what `phone` sent, still answers an empty-ack request
    ("served") or has ended the connection ("closed")."""
    try:
        phone.send_raw(EMPTY_ACK_REQUEST)
    except OSError:
        pass
    deadline = time.monotonic() + timeout
    while True:
        try:
            reply = phone.next_frame(timeout=max(0.0, deadline - time.monotonic()))
        except AssertionError:
            assert phone.closed, "the receiver neither answered nor closed the connection"
            return "closed"
        if reply.command == 27:
            return "served"


def send_json(outer, command, body):
    """A new connection sends one frame; returns its outcome."""
    phone = FakePhone()
    try:
        phone.next_frame()  # the receiver's first frame
        try:
            phone.send_raw(struct.pack(">BBBHI", 0x24, outer, command, 7, len(body)))
            phone.send_raw(body)
        except OSError:
            pass  # the receiver refused the body before it had all arrived
        return served_or_closed(phone)
    finally:
        phone.close()


def run_all(jobs, at_once):
    with ThreadPoolExecutor(max_workers=at_once) as pool:
        return list(pool.map(lambda job: send_json(*job), jobs))


def session_failures(r, text):
    return [e for e in r.named("error")
            if e.get("code") == "sonvale_control_session_failed" and text in e["message"]]


def test_json_bodies_of_every_shape_and_command_cost_little(relvox, no_sanitizer_quarantine, record_property):
    r = settled(relvox(*ARGS))
    pid = r.proc.pid
    rss_before = rss_kb(pid)
    reset_peak_rss(pid)
    big = costliest_shapes(FRAME_LIMIT)
    combos = [(outer, command, body) for outer, command in JSON_COMMANDS for body in big]

    # 64 connections at once, each with 16 MiB of one of the shapes: what does not fit into the
    # bodies' budget is refused before it is read.
    run_all([combos[i % len(combos)] for i in range(CAP)], at_once=CAP)
    assert session_failures(r, "bodies in transit would exceed 67108864 bytes")
    # Every command with every shape, as many at once as the budget holds: each is taken for a
    # text that is not JSON.
    expected = ["closed" if (outer, command) in ENDS_ON_A_DOCUMENT_WITHOUT_ITS_KEYS else "served"
                for outer, command, _ in combos]
    failures_before = len(r.named("error"))
    assert run_all(combos, at_once=BODY_POOL // FRAME_LIMIT) == expected
    failures = [e["message"] for e in r.named("error")[failures_before:]]
    assert sorted(failures) == sorted(["小米妙播控制会话失败：SafetyAuth is missing authMsg"] * len(big) +
                                      ["小米妙播控制会话失败：parse SetMirrorKey JSON"] * len(big))
    # The costliest texts still parsed: on 64 connections at once, their trees take what the
    # budget holds and the rest are taken for no JSON; a few at a time, each is read whole.
    accepted = costliest_accepted()
    jobs = [(*JSON_COMMANDS[i % len(JSON_COMMANDS)], accepted[i % len(accepted)]) for i in range(CAP)]
    run_all(jobs, at_once=CAP)
    sources_before = len(r.named("play_source"))
    run_all([(0, 64, body) for body in accepted], at_once=2)
    contents = [e["content"] for e in r.named("play_source")[sources_before:]]
    assert sorted(len(c) for c in contents) == [VALUE_LIMIT - 1] * len(accepted)

    growth = peak_rss_kb(pid) - rss_before
    record_property("peak_rss_growth_kb", growth)
    assert growth < 192 * 1024, f"peak RSS grew by {growth} kB"
    wait_until(lambda: control_threads(pid) == 1, 10, "every session ended")
    assert r.proc.poll() is None
    a_phone_still_authenticates(r)


def test_eight_peers_with_huge_json_leave_the_receiver_up_under_an_address_space_limit(relvox):
    r = settled(relvox(*ARGS))
    pid = r.proc.pid
    with open(f"/proc/{pid}/maps") as f:
        if "libasan" in f.read():
            pytest.skip("the sanitizer's allocator cannot work under a limit on the address space")
    limit = 1024 * 1024 * 1024
    assert status_kb(pid, "VmSize") * 1024 < limit // 2
    resource.prlimit(pid, resource.RLIMIT_AS, (limit, resource.RLIM_INFINITY))
    try:
        big = costliest_shapes(FRAME_LIMIT)
        jobs = [(0, 64, big[i % len(big)]) for i in range(8)] + \
               [(0, 64, body) for body in costliest_accepted() for _ in range(2)]
        run_all(jobs, at_once=8)
        assert r.proc.poll() is None, r.stderr()
        a_phone_still_authenticates(r)
    finally:
        resource.prlimit(pid, resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))


def test_bodies_that_stop_arriving_are_bounded_and_end_after_ten_seconds(relvox, no_sanitizer_quarantine, record_property):
    r = settled(relvox(*ARGS))
    pid = r.proc.pid
    rss_before = rss_kb(pid)
    reset_peak_rss(pid)
    # 64 connections each announce 16 MiB and send all of it but the last byte.
    body = b"x" * (FRAME_LIMIT - 1)
    peers = [FakePhone() for _ in range(CAP)]
    for p in peers:
        p.next_frame()
    start = time.monotonic()

    def send(p):
        try:
            p.send_raw(struct.pack(">BBBHI", 0x24, 0, 26, 1, FRAME_LIMIT))
            p.send_raw(body)
        except OSError:
            pass  # refused: it did not fit into the bodies' budget

    with ThreadPoolExecutor(max_workers=CAP) as pool:
        list(pool.map(send, peers))
    # Only what fits into the budget is held: the rest is refused before its body is read.
    held_at_once = BODY_POOL // FRAME_LIMIT
    wait_until(lambda: len(session_failures(r, "refused: bodies in transit would exceed 67108864 bytes"))
               == CAP - held_at_once, 10, "the bodies beyond the budget were refused")
    # Phones are still served meanwhile: their frames are far below what the budget counts.
    a_phone_still_authenticates(r)
    wait_until(lambda: len(session_failures(r, "did not arrive within 10 s")) == held_at_once, 15,
               "the bodies that stopped arriving ended their sessions")
    ended = time.monotonic() - start
    record_property("stalled_bodies_ended_after_s", round(ended, 2))
    assert 9.5 < ended < 12.5
    assert session_failures(r, "did not arrive")[0]["message"] == (
        "小米妙播控制会话失败：read ZeDidi control body: ZeDidi control body did not arrive within 10 s")
    growth = peak_rss_kb(pid) - rss_before
    record_property("peak_rss_growth_kb", growth)
    assert growth < BODY_POOL // 1024 + 48 * 1024, f"peak RSS grew by {growth} kB"
    for p in peers:
        p.close()
    wait_until(lambda: control_threads(pid) == 1, 10, "every session ended")
    a_phone_still_authenticates(r)


DEVICE_INFO_QUERY = struct.pack(">BBBHI", 0x24, 0, 30, 2, 0)


def test_a_write_that_stalls_ends_its_session_within_its_time_out(relvox, record_property):
    r = settled(relvox(*ARGS))
    pid = r.proc.pid
    s = non_reading_connection()
    s.setblocking(True)  # the receiver reads on while its writes stall: whole batches go out

    def written():
        return sum(1 for e in r.named("protocol_trace") if e.get("direction") == "out" and e.get("command_id") == 31)

    # Requests, a batch at a time once the writer has caught up, until the receiver's writes to
    # this peer stall; then no more, so that what waits stays far below the outgoing bound.
    asked = 0
    deadline = time.monotonic() + 30
    stalled = False
    while not stalled:
        assert time.monotonic() < deadline, "the writes never stalled"
        s.sendall(DEVICE_INFO_QUERY * 200)
        asked += 200
        seen, progressed_at = written(), time.monotonic()
        while seen < asked and not stalled:
            time.sleep(0.05)
            if written() != seen:
                seen, progressed_at = written(), time.monotonic()
            stalled = time.monotonic() - progressed_at > 0.5
    traces = [i for i, e in enumerate(r.events) if e.get("event") == "protocol_trace" and e.get("direction") == "out"]
    stalled_at = r.arrivals[traces[-1]]  # the frame the writer has been writing since
    failed = r.wait_event("error", timeout=30, code="sonvale_control_write_failed")
    took = r.arrivals[r.events.index(failed)] - stalled_at
    record_property("stalled_write_ended_after_s", round(took, 2))
    assert failed["message"].startswith("小米妙播控制命令发送失败：ZeDidi control write blocked for 10 s: ")
    assert 9.5 < took < 12.0, f"the session ended {took:.1f} s after its writes stalled"
    session_error(r, "ZeDidi control write blocked for 10 s")
    s.close()
    wait_until(lambda: control_threads(pid) == 1, 5, "session and writer ended")
    a_phone_still_authenticates(r)
