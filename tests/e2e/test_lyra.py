"""The Lyra command channel of the real relvox on 127.0.0.1:55982, driven by a phone written
from the wire format: physical sync, keep-alive, logical sync, duplicates, resends, floods."""

import socket
import time

import pytest

from lyra_phone import (PUSH, LyraPhone, first, fields, inner_frame, keep_alive, logical,
                        logical_inner, path, pb, physical_message, pv, segment,
                        sync_request, wait_until)
from lyra_phone import lean_receiver, phone, receiver  # noqa: F401 (fixtures)
from proc_stats import rss_kb, thread_names

VERSION_TEXT = b"5.1.251.10.fullCnRelease.0616209"


def test_ready_event_and_thread(receiver):
    assert receiver.named("lyra_command_ready") == [{
        "event": "lyra_command_ready",
        "protocol": "xiaomi_zedidi",
        "address": "127.0.0.1:55982",
        "external_service_required": False,
    }]
    assert "sonvale-lyra-co" in thread_names(receiver.proc.pid)


def test_physical_sync_answers_the_device_record(receiver, phone):
    before = time.time() * 1000
    ack, reply, _ = phone.request(sync_request(b"\xa1\xb2\xc3"))
    assert ack["conv"] == phone.conv and ack["una"] == 1 and ack["wnd"] == 128 and ack["payload"] == b""
    assert reply["sn"] == 0 and reply["conv"] == phone.conv
    message = physical_message(reply["payload"])
    assert [(n, v) for n, w, v in fields(message) if w == 0] == [(1, 1), (2, 2)]
    record = path(message, 4, 2)
    assert first(record, 2) == b"1A2B3C4D"
    assert first(record, 4) == b"\xa1\xb2\xc3"
    assert first(record, 6) == b"Desk"
    assert first(record, 8) == b"macOS"
    assert first(record, 11) == VERSION_TEXT
    assert path(record, 10, 2) == b"Quarnet"
    t = first(record, 1, wire=0)
    assert before - 5000 <= t <= time.time() * 1000 + 5000
    assert abs(((t & 0xFFFFFFFF) - reply["ts"] + 2**31) % 2**32 - 2**31) < 5000
    peer = phone.address
    ev = receiver.wait_event("lyra_physical_sync")
    assert ev == {"event": "lyra_physical_sync", "protocol": "xiaomi_zedidi", "peer": peer,
                  "receiver_name": "Desk", "lyra_device_type": 3, "lyra_device_category": "computer",
                  "account_hash_hex": "A1B2C3"}
    trace = receiver.wait_event("lyra_transport_frame_trace", peer=peer)
    assert trace["transport_kind"] == 9
    received = receiver.wait_event("lyra_packet_received", peer=peer)
    assert received == {"event": "lyra_packet_received", "protocol": "xiaomi_zedidi", "peer": peer,
                        "bytes": 24 + len(sync_request(b"\xa1\xb2\xc3"))}


def test_keep_alive_and_logical_sync(receiver, phone):
    _, reply, _ = phone.request(keep_alive(b"ab"))
    assert reply["payload"] == bytes.fromhex("0904000e1208120610053a026162")
    _, reply, _ = phone.request(logical([(3, 0x2A)], inner_frame(5, pv(1, 7) + pb(4, "svc"))))
    assert reply["sn"] == 1
    outer, inner = logical_inner(reply["payload"])
    assert outer == [(3, 0x2A)]
    assert inner == pv(1, 5) + pb(6, pv(1, 7) + pv(2, 64) + pb(4, "svc"))
    assert receiver.wait_event("lyra_logical_sync")["logical_id"] == "0000002A"
    trace = receiver.wait_event("lyra_logical_frame_trace")
    assert trace["outer_scalars"] == [[3, 42]] and trace["frame_type"] == 5


def test_duplicate_push_gets_the_identical_reply(receiver, phone):
    _, _, raw = phone.request(keep_alive(b"one"), sn=77)
    _, _, again = phone.request(keep_alive(b"two"), sn=77)  # same sn: answered from the cache
    assert again == raw
    # One transport thread handles pushes in order: once a later push's trace is out, the
    # duplicate's handling is over and the traces seen are final.
    phone.request(keep_alive(b"three"))
    receiver.wait_for(lambda e: e.get("event") == "lyra_transport_frame_trace"
                      and b"three".hex() in e.get("body_hex", ""))
    bodies = [e["body_hex"] for e in receiver.named("lyra_transport_frame_trace")]
    assert len(bodies) == 2 and b"one".hex() in bodies[0], bodies


def test_unacknowledged_reply_goes_eight_times(receiver, phone):
    # Replies are resent only to a phone that has acknowledged one: no flood can aim them elsewhere.
    phone.request(keep_alive(b"first"))
    _, reply, _ = phone.request(keep_alive(b"zz"), ack=False)
    copies = 1
    start = time.monotonic()
    phone.sock.settimeout(0.6)
    try:
        while True:
            data, _ = phone.sock.recvfrom(65535)
            copies += 1
    except socket.timeout:
        pass
    assert copies == 8
    assert time.monotonic() - start >= 1.7
    counts = [e["count"] for e in receiver.named("lyra_response_retransmit")]
    assert counts == [2, 3, 4, 5, 6, 7, 8]
    assert all(e["peer"] == phone.address and e["sequence"] == reply["sn"]
               for e in receiver.named("lyra_response_retransmit"))

    # A new phone that has not acknowledged anything gets its reply once.
    stranger = LyraPhone()
    try:
        stranger.request(keep_alive(b"yy"), ack=False)
        stranger.expect_silence(0.6)
    finally:
        stranger.close()


def test_malformed_frame_is_one_error_and_no_reply(receiver, phone):
    phone.push_expect_ack_only(bytes.fromhex("0904000a0000"))
    err = receiver.wait_event("error", code="zedidi_lyra_frame_failed")
    assert err == {"event": "error", "code": "zedidi_lyra_frame_failed", "peer": phone.address,
                   "message": "invalid Lyra transport length: declared=10, actual=6",
                   "wire_hex": "0904000a0000"}
    # The session goes on.
    phone.request(keep_alive())


def test_oversized_account_gives_one_frame_error(receiver, phone):
    phone.push_expect_ack_only(sync_request(b"A" * 65404))
    err = receiver.wait_event("error", code="zedidi_lyra_frame_failed")
    assert err["message"] == "Lyra frame of 65536 bytes does not fit its 16-bit length"
    assert len(receiver.named("error")) == 1


def test_new_conversation_gets_a_fresh_reply(receiver, phone):
    phone.request(keep_alive(b"0"), sn=0)  # acknowledged: the next reply is pending
    phone.request(keep_alive(b"a"), sn=1, ack=False)
    phone.conv = 0xBEEF
    _, reply, _ = phone.request(keep_alive(b"b"), sn=1)
    assert reply["sn"] == 0 and reply["conv"] == 0xBEEF
    assert reply["payload"].endswith(b"b")
    # The old conversation's pending reply stops: nothing more arrives.
    phone.expect_silence(0.8)


def test_cut_and_short_datagrams_are_dropped(receiver, phone):
    whole = segment(phone.conv, PUSH, 5, keep_alive(b"x"))
    phone.sock.sendto(whole[:-1], phone.server)
    phone.sock.sendto(b"\x00" * 23, phone.server)
    phone.expect_silence(0.3)
    assert wait_until(lambda: len(receiver.named("lyra_packet_received")) == 2)


def send_paced(r, datagrams, batch):
    """Sends (socket, datagram) pairs `batch` at a time, each batch only once the receiver has
    read the one before, so that none is lost to a full socket buffer."""
    done = len(r.named("lyra_packet_received"))
    for start in range(0, len(datagrams), batch):
        for sock, data in datagrams[start:start + batch]:
            sock.sendto(data, ("127.0.0.1", 55982))
        done += len(datagrams[start:start + batch])
        r.wait_count("lyra_packet_received", done)


def test_flood_of_source_addresses_keeps_memory_flat(lean_receiver):
    r = lean_receiver
    datagram = segment(1, PUSH, 1, keep_alive(b"k" * 4000))

    def flood(first_addr, count):
        for chunk in range(first_addr, first_addr + count, 500):
            socks = []
            for n in range(chunk, min(chunk + 500, first_addr + count)):
                s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
                s.bind((f"127.{1 + n // 62500}.{n // 250 % 250}.{1 + n % 250}", 0))
                socks.append(s)
            send_paced(r, [(s, datagram) for s in socks], batch=10)
            for s in socks:
                s.close()

    flood(0, 2000)
    base = rss_kb(r.proc.pid)
    flood(2000, 20000)
    grown = rss_kb(r.proc.pid) - base
    assert grown < 20 * 1024, f"RSS grew by {grown} KiB"
    # The receiver still serves a phone.
    p = LyraPhone()
    try:
        p.request(keep_alive())
    finally:
        p.close()


def test_pushes_from_one_address_keep_memory_flat(lean_receiver, phone):
    r = lean_receiver
    frame = keep_alive(b"m" * 60000)
    send_paced(r, [(phone.sock, segment(phone.conv, PUSH, sn, frame)) for sn in range(200)], batch=2)
    base = rss_kb(r.proc.pid)
    send_paced(r, [(phone.sock, segment(phone.conv, PUSH, sn, frame)) for sn in range(200, 1200)], batch=2)
    grown = rss_kb(r.proc.pid) - base
    assert grown < 24 * 1024, f"RSS grew by {grown} KiB"


def test_stop_ends_the_server_while_datagrams_arrive(receiver, phone):
    sender = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sender.connect(("127.0.0.1", 55982))
    receiver.send({"command": "stop"})
    deadline = time.monotonic() + 5
    sn = 0
    while receiver.proc.poll() is None and time.monotonic() < deadline:
        try:
            sender.send(segment(1, PUSH, sn, keep_alive()))
        except ConnectionRefusedError:
            pass  # the port is already closed: the ICMP answer of an earlier datagram
        sn += 1
        time.sleep(0.002)
    assert receiver.wait_exit(5) == 0
