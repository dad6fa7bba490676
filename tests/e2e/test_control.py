"""The control protocol on TCP 8899, driven by a fake phone against the real relvox."""

import json
import socket
import struct
import threading
import time

import pytest

from fake_phone import FakePhone, hmac_hex, id_code_of, receiver_code

IDM = "0f8e3a52-1111-2222-3333-444455556666"
ARGS = ["--expected-ip", "127.0.0.1", "--idm-instance-id", IDM]
CAPS = (b'{\n\t"aesIvType": "2",\n\t"aesKeyType": "1",\n\t"authAlgorithmType": "4",\n\t'
        b'"authKeyType": "1",\n\t"integrityType": "1",\n\t"result": "0" \n} \n')
EMPTY_MEDIA_INFO = bytes.fromhex("0b6d65646961496e666f4578160000000c066d5469746c651400000000")
KEYS = {"authKey": "A" * 16, "streamKey": "0123456789abcdef", "streamIV": "fedcba9876543210"}


@pytest.fixture
def receiver(relvox):
    r = relvox(*ARGS)
    r.wait_event("bridge_ready")
    return r


def connect(r):
    """A phone that has taken the receiver's first frame."""
    phone = FakePhone()
    first = phone.next_frame()
    assert (first.outer, first.command, first.value_type, first.encrypted) == (0, 40, 4, False)
    assert first.body == receiver_code(id_code_of(IDM)).encode()
    return phone


def a_phone_still_authenticates(r):
    """A new phone completes SafetyAuth: what every hostile-peer test ends with."""
    phone = connect(r)
    _, _, ack = phone.handshake()
    assert ack.command == 3 and b'"result": "0"' in ack.body
    phone.close()


def session_error(r, text):
    return r.wait_for(lambda e: e.get("code") == "sonvale_control_session_failed"
                      and text in e.get("message", ""), what=text)


def test_first_frame_is_the_receiver_code_and_transport_events(receiver):
    phone = FakePhone()
    first = phone.next_frame()
    code = receiver_code(id_code_of(IDM))
    assert len(first.body) == 14 and first.body == code.encode()
    remote = "%s:%d" % phone.address
    ev = receiver.wait_event("interconnect_stage", stage="transport_connected")
    assert ev == {"event": "interconnect_stage", "protocol": "xiaomi_zedidi", "stage": "transport_connected",
                  "remote": remote, "playable": False, "vendor_attestation_verified": False,
                  "message": "小米妙播发现探测已连接：" + remote}
    trace = receiver.wait_event("protocol_trace", direction="out", command_id=40)
    assert trace["wire_body_hex"] == code.encode().hex() and trace["encrypted"] is False
    phone.close()
    receiver.wait_event("interconnect_diagnostic", stage="probe_finished", remote=remote)
    receiver.wait_event("interconnect_stage", stage="transport_disconnected", remote=remote)
    assert not [e for e in receiver.events if e.get("event") == "error"]


def test_safety_auth_exchange(receiver):
    phone = connect(receiver)
    caps, challenge, ack = phone.handshake(value_type=77)
    assert (caps.command, caps.outer, caps.value_type, caps.encrypted, caps.wrapper_key) == (1, 20, 77, False, "ack")
    assert caps.body == CAPS
    assert (challenge.command, challenge.outer, challenge.value_type, challenge.encrypted,
            challenge.wrapper_key) == (2, 20, 0, True, "cmd")
    own = json.loads(challenge.body)["authMsg"]
    assert challenge.body == ('{\n\t"authMsg": "%s" \n} \n' % own).encode()
    assert (ack.command, ack.value_type, ack.encrypted, ack.wrapper_key) == (3, 77, True, "ack")
    expected = hmac_hex(phone.auth_key, phone.own_challenge)
    assert ack.body == ('{\n\t"authMsgAck": "%s",\n\t"result": "0" \n} \n' % expected).encode()

    remote = "%s:%d" % phone.address
    sent = receiver.wait_event("authentication_diagnostic", stage="safety_challenge_sent")
    assert sent == {"event": "authentication_diagnostic", "stage": "safety_challenge_sent",
                    "local_endpoint": "127.0.0.1:8899", "remote_endpoint": remote,
                    "auth_key": phone.auth_key, "own_auth_message": own}
    got = receiver.wait_event("authentication_diagnostic", stage="safety_auth_received")
    assert got["peer_auth_message"] == phone.own_challenge and got["peer_auth_ack"] == expected
    acked = receiver.wait_event("authentication_diagnostic", stage="safety_auth_ack_received")
    assert acked["matches"] is True and acked["received_auth_ack"] == acked["expected_auth_ack"]
    assert receiver.wait_event("status", state="secure_channel_established") == {
        "event": "status", "state": "secure_channel_established",
        "message": "小米妙播链路鉴权已通过，正在等待设备准入和媒体会话"}
    assert receiver.wait_event("interconnect_stage", stage="secure_channel_established") == {
        "event": "interconnect_stage", "protocol": "xiaomi_zedidi", "stage": "secure_channel_established",
        "remote": remote, "playable": False, "authentication_scope": "legacy_session_hmac",
        "vendor_attestation_verified": False}


def start_then_challenge(phone):
    phone.send(0, value_type=1)
    phone.next_frame()
    return json.loads(phone.next_frame().body)["authMsg"]


@pytest.mark.parametrize("case", ["wrong-ack", "ack-before-safety-auth", "missing-authmsg", "authmsg-number"])
def test_handshake_failures_end_the_session(receiver, case):
    phone = connect(receiver)
    challenge = start_then_challenge(phone)
    if case == "wrong-ack":
        phone.send(2, b'{"authMsg":"x"}', encrypt=True, wrap_key=b"cmd")
        phone.send(3, json.dumps({"authMsgAck": hmac_hex(phone.auth_key, challenge).upper()}).encode(),
                   encrypt=True, wrap_key=b"ack")
        text = "SafetyAuth_Ack HMAC mismatch"
    elif case == "ack-before-safety-auth":
        phone.send(3, json.dumps({"authMsgAck": hmac_hex(phone.auth_key, challenge)}).encode(),
                   encrypt=True, wrap_key=b"ack")
        text = "SafetyAuth_Ack arrived before SafetyAuth"
    else:
        body = b'{"other":"x"}' if case == "missing-authmsg" else b'{"authMsg":5}'
        phone.send(2, body, encrypt=True, wrap_key=b"cmd")
        text = "SafetyAuth is missing authMsg"
    err = session_error(receiver, text)
    assert err["message"] == "小米妙播控制会话失败：" + text
    phone.wait_closed()
    assert not [f for f in phone.frames if f.command == 3]
    if case == "ack-before-safety-auth":
        assert receiver.wait_event("authentication_diagnostic", stage="safety_auth_ack_received")["matches"] is True
    receiver.wait_event("interconnect_stage", stage="transport_disconnected")


def test_unusable_ack_is_ignored_and_session_goes_on(receiver):
    phone = connect(receiver)
    phone.send(3, b"not json", encrypt=True)
    phone.send(3, b'{"authMsgAck":5}', encrypt=True)
    phone.send(26, value_type=9)
    reply = phone.next_frame()
    assert (reply.command, reply.value_type) == (27, 9)


def device_info(id_code):
    def rec(k, v):
        return bytes([len(k)]) + k.encode() + b"\x0c" + struct.pack(">H", len(v)) + v.encode()
    device_id = id_code if id_code.isalnum() and id_code.isascii() else None
    assert device_id, "this identity gives a 3-character device id"
    recs = [("alonePlayCapacity", "0"), ("canAlonePlayCtrl", "0"), ("canHeadsetCtrl", "0"), ("canRevCtrl", "1"),
            ("channel", ""), ("deviceId", device_id), ("deviceType", "3"), ("model", "Mac"), ("needAblum", "1"),
            ("needLrc", "1"), ("needPos", "1"), ("romVersion", ""), ("support", "audio")]
    return b"\x00\x01\x55" + b"".join(rec(k, v) for k, v in recs)


COMMANDS = [
    # (id, outer, command, reply command, reply outer, encrypted, body)
    ("get-volume", 0, 14, 15, 0, True, bytes.fromhex("0000000032")),
    ("playback-state-query", 0, 28, 29, 0, True, bytes.fromhex("0000000000")),
    ("playback-state-query-outer4", 4, 0x16, 0x17, 4, True, bytes.fromhex("0000000000")),
    ("device-info-query", 0, 30, 31, 0, True, None),
    ("fixed-status-query", 0, 52, 53, 0, True, bytes.fromhex("0000000001")),
    ("version-query", 0, 54, 55, 0, False, b"2.1.5071614\x00"),
    ("empty-ack-request", 0, 26, 27, 0, True, b""),
    ("pause-report", 0, 4, 5, 0, True, b""),
    ("media-info-report-outer4", 4, 0x18, 0x19, 4, True, b""),
]


@pytest.mark.parametrize("case", COMMANDS, ids=[c[0] for c in COMMANDS])
def test_phone_commands_and_replies(receiver, case):
    _, outer, command, reply_command, reply_outer, encrypted, body = case
    phone = connect(receiver)
    phone.handshake()
    phone.send(command, b"{}" if command == 0x18 else b"", value_type=0x1234, outer=outer, encrypt=True)
    reply = phone.next_frame()
    assert (reply.command, reply.outer, reply.value_type, reply.encrypted) == (
        reply_command, reply_outer, 0x1234, encrypted)
    if body is None:
        body = device_info(id_code_of(IDM))
        assert len(body) == 201
        receiver.wait_event("interconnect_stage", stage="identity_exchanged")
    assert reply.body == body


def test_initial_state_request_sends_three_plain_notifications(receiver):
    phone = connect(receiver)
    phone.send(41, value_type=3)
    got = [phone.next_frame() for _ in range(3)]
    assert [(f.command, f.value_type, f.encrypted, f.outer) for f in got] == [
        (0x22, 5, False, 0), (0x22, 6, False, 0), (0x22, 7, False, 0)]
    assert [f.body for f in got] == [b"\x04mode\x03\x02", EMPTY_MEDIA_INFO, b"\x05state\x03\x00"]


@pytest.mark.parametrize("outer, command, full", [(0, 200, 200), (0, 1, 1), (4, 4, 1028)])
def test_unhandled_commands_are_traced_not_answered(receiver, outer, command, full):
    phone = connect(receiver)
    phone.send(command, b"\xab" * 100, value_type=6, outer=outer)
    phone.send(26, value_type=7)
    reply = phone.next_frame()
    assert (reply.command, reply.value_type) == (27, 7)
    ev = receiver.wait_event("protocol_trace", direction="unhandled")
    assert ev == {"event": "protocol_trace", "direction": "unhandled", "outer_type": outer, "command_id": command,
                  "full_command_id": full, "sequence": 6, "body_hex": "ab" * 96}


@pytest.mark.parametrize("body, stored", [
    ("00000032", 50), ("ffffffff", 0), ("00000100", 100), ("", 77), ("0000", 77)],
    ids=["fifty", "negative", "above-100", "empty-keeps", "short-keeps"])
def test_set_volume_reply_notification_and_event(receiver, body, stored):
    receiver.send({"command": "set_volume", "percent": 0})  # no source: nothing changes
    phone = connect(receiver)
    phone.send(12, bytes.fromhex("0000004d"), value_type=1, encrypt=True)  # 77 first
    assert phone.next_frame().command == 13
    assert phone.next_frame().body == b"\x06volume\x07" + struct.pack(">I", 77)
    phone.send(12, bytes.fromhex(body), value_type=2, encrypt=True)
    reply = phone.next_frame()
    note = phone.next_frame()
    assert (reply.command, reply.value_type, reply.body) == (13, 2, b"")
    assert (note.command, note.value_type, note.encrypted) == (0x22, 9, True)
    assert note.body == b"\x06volume\x07" + struct.pack(">I", stored)
    phone.send(14, value_type=3, encrypt=True)
    assert phone.next_frame().body == b"\x00" + struct.pack(">I", stored)
    receiver.wait_for(lambda e: e.get("event") == "volume" and len(receiver.named("volume")) >= 3)
    assert [e["percent"] for e in receiver.named("volume")] == [77, stored, stored]


class RtspListener:
    """Stands in for the phone's RTSP server: records every TCP connection it gets."""

    def __init__(self):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(4)
        self.port = self.sock.getsockname()[1]
        self.accepted = threading.Event()
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        try:
            self.conn, _ = self.sock.accept()
            self.accepted.set()
        except OSError:
            pass


def open_cast(receiver, phone, listener, with_keys=True, before_open=None):
    """Hands the media keys over (with `with_keys`) and sends the Open with a wfd:// URL of
    `listener`; `before_open` is called just before the Open goes out."""
    if with_keys:
        phone.send(108, json.dumps(KEYS).encode(), value_type=40, encrypt=True)
        reply = phone.next_frame()
        assert (reply.command, reply.value_type, reply.body, reply.encrypted) == (109, 40, b"\x00", True)
    if before_open is not None:
        before_open()
    phone.send(0, b"\x00wfd://127.0.0.1:%d?x=1:2\x00" % listener.port, value_type=41, encrypt=True)
    reply = phone.next_frame()
    assert (reply.command, reply.value_type, reply.body) == (1, 41, b"\x00" * 5)


def test_set_mirror_key_and_open_start_the_media_session(receiver):
    listener = RtspListener()
    phone = connect(receiver)
    phone.handshake()
    open_cast(receiver, phone, listener)
    note = phone.next_frame()
    assert (note.command, note.value_type, note.body) == (0x22, 8, EMPTY_MEDIA_INFO)
    remote = "%s:%d" % phone.address
    ready = receiver.wait_event("stream_keys_ready")
    assert ready["session_id"] == 1 and len(ready["key_fingerprint"]) == 16 and ready["remote"] == remote
    sel = receiver.wait_event("media_key_selected")
    assert sel == {"event": "media_key_selected", "protocol": "xiaomi_zedidi", "remote": remote,
                   "open_session_id": 1, "key_session_id": 1, "key_scope": "same_control_session",
                   "key_fingerprint": ready["key_fingerprint"], "encrypted_media_expected": True}
    assert receiver.wait_event("status", state="media_opening")["message"] == \
        "正在打开小米妙播媒体流：127.0.0.1:%d" % listener.port
    stage = receiver.wait_event("interconnect_stage", stage="media_session_established")
    assert stage["media_generation"] == 1 and stage["playable"] is True
    assert listener.accepted.wait(5), "the media session did not connect to the wfd:// address"
    # A second open: no second empty media notification, the next generation.
    phone.send(0, b"wfd://127.0.0.1:%d" % listener.port, value_type=42, encrypt=True)
    assert phone.next_frame().command == 1
    receiver.wait_for(lambda e: e.get("stage") == "media_session_established" and e["media_generation"] == 2)
    phone.send(26, value_type=43)
    assert phone.next_frame().command == 27


def test_open_without_keys_and_bad_url(receiver):
    listener = RtspListener()
    phone = connect(receiver)
    open_cast(receiver, phone, listener, with_keys=False)
    sel = receiver.wait_event("media_key_selected")
    assert (sel["key_scope"], sel["key_session_id"], sel["key_fingerprint"], sel["encrypted_media_expected"]) == (
        "tv_unprotected_stream", None, None, False)
    assert listener.accepted.wait(5)
    phone.send(0, b"wfd://127.0.0.1", encrypt=True)
    session_error(receiver, "Open URL is missing a port")


def confirm_within(receiver, phone_action, line, expect_body, route_phone, limit=1.5):
    """Sends a host command, checks the TLV on the preferred route, lets the phone confirm it and
    shows that the command loop was released long before the 3 s time-out."""
    receiver.send(line)
    note = route_phone.next_frame()
    assert (note.command, note.encrypted) == (0x22, True)
    assert note.body == expect_body
    start = time.monotonic()
    phone_action()
    marker = json.dumps({"command": "marker-%s" % line["command"]})
    receiver.send_line(marker)
    receiver.wait_for(lambda e: e.get("raw") == marker, timeout=3.0)
    assert time.monotonic() - start < limit
    return note


def test_host_commands_reach_the_preferred_route_and_are_confirmed(receiver):
    listener = RtspListener()
    active = connect(receiver)
    open_cast(receiver, active, listener)
    active.next_frame()  # empty media info
    other = connect(receiver)  # same address, a second connection
    other.send(20, value_type=1)  # reverse control ready: preferred route
    assert other.next_frame().body == EMPTY_MEDIA_INFO
    other.send(26, value_type=2)
    assert other.next_frame().command == 27  # the mark has been applied

    n1 = confirm_within(receiver, lambda: active.send(4, value_type=50, encrypt=True),
                        {"command": "pause"}, bytes.fromhex("096b65792d70617573650001"), other)
    assert n1.value_type == 9  # the route's own counter: 8 went to the empty media info
    receiver.wait_event("playback_state", playing=False)
    confirm_within(receiver, lambda: active.send(6, value_type=51, encrypt=True),
                   {"command": "resume"}, bytes.fromhex("0a6b65792d726573756d650001"), other)
    confirm_within(receiver, lambda: active.send(18, b'{"title":"Next song"}', value_type=52, encrypt=True),
                   {"command": "next"}, bytes.fromhex("086b65792d6e6578740001"), other)
    confirm_within(receiver, lambda: active.send(86, struct.pack(">Q", 91500), value_type=53, encrypt=True),
                   {"command": "seek", "position_ms": 90000},
                   bytes.fromhex("086b65792d7365656b090000000000015f90"), other)
    receiver.wait_event("progress", position_ms=91500)
    receiver.send({"command": "set_volume", "percent": 300})
    vol = other.next_frame()
    assert (vol.command, vol.body) == (0x22, b"\x06volume\x07\x00\x00\x00\x64")
    active.send(14, value_type=60, encrypt=True)
    got = [f for f in [active.next_frame() for _ in range(5)] if f.command == 15]
    assert got and got[0].body == b"\x00\x00\x00\x00\x64"


def test_unconfirmed_command_times_out_after_three_seconds(receiver):
    listener = RtspListener()
    phone = connect(receiver)
    open_cast(receiver, phone, listener)
    start = time.monotonic()
    receiver.send({"command": "previous"})
    receiver.send_line('{"command":"after-timeout"}')
    receiver.wait_for(lambda e: e.get("raw") == '{"command":"after-timeout"}', timeout=6)
    assert 2.8 < time.monotonic() - start < 5


def test_stop_takes_effect_at_once_behind_unconfirmed_commands(receiver, record_property):
    listener = RtspListener()
    phone = connect(receiver)
    open_cast(receiver, phone, listener, with_keys=False)  # the active source, which never confirms
    for command in [{"command": "pause"}, {"command": "resume"}, {"command": "next"},
                    {"command": "previous"}, {"command": "seek", "position_ms": 1000}]:
        receiver.send(command)
    behind = '{"command":"behind-the-commands"}'
    receiver.send_line(behind)
    # Phones are served meanwhile; the line behind the commands waits its turn.
    a_phone_still_authenticates(receiver)
    assert not [e for e in receiver.events if e.get("raw") == behind]
    start = time.monotonic()
    receiver.send({"command": "stop"})
    assert receiver.wait_exit() == 0
    took = time.monotonic() - start
    record_property("stop_to_exit_s", round(took, 3))
    assert took < 1.0, f"stop took {took:.2f} s"
    # Nothing read before the stop is lost: its report is written, in order, as the loop ends.
    assert [e for e in receiver.events if e.get("raw") == behind]


def test_lines_beyond_a_full_command_queue_are_dropped_with_a_warning_and_stop_still_works(receiver):
    listener = RtspListener()
    phone = connect(receiver)
    open_cast(receiver, phone, listener, with_keys=False)  # the active source, which never confirms
    # One pause runs, waiting for the phone; 256 wait behind it; the rest find no room.
    receiver.send_line("\n".join(['{"command":"pause"}'] * 300))
    warnings = lambda: [e for e in receiver.events if e.get("code") == "sonvale_command_queue_full"]
    receiver.wait_for(lambda e: len(warnings()) >= 43, timeout=5, what="a warning per dropped line")
    assert warnings()[0] == {"event": "warning", "code": "sonvale_command_queue_full",
                             "message": "等待执行的命令已达上限 256，已丢弃此行：host command queue is full"}
    start = time.monotonic()
    receiver.send({"command": "stop"})
    assert receiver.wait_exit() == 0
    took = time.monotonic() - start
    assert took < 1.0, f"stop took {took:.2f} s"
    assert 43 <= len(warnings()) <= 44  # the first pause may not yet have left the queue


def test_stop_with_two_phones_connected(relvox):
    r = relvox(*ARGS)
    r.wait_event("bridge_ready")
    phones = [connect(r), connect(r)]
    for p in phones:
        p.send(26, value_type=1)
        assert p.next_frame().command == 27
    r.send({"command": "stop"})
    for p in phones:
        p.wait_closed()
    assert r.wait_exit() == 0
    # The session threads are not waited for at exit, so their last events may not be written.
    assert not [e for e in r.events if e.get("event") == "error"]


def test_frame_errors_end_the_session_with_their_text(receiver):
    phone = connect(receiver)
    phone.send_raw(b"#" + b"\x01" * 8)
    err = session_error(receiver, "invalid ZeDidi control header")
    assert err["message"].endswith("invalid ZeDidi control header 230101010101010101")
    phone2 = connect(receiver)
    phone2.send_raw(struct.pack(">BBBHI", 0x24, 0, 26, 1, 16777217))
    session_error(receiver, "invalid ZeDidi body length 16777217")


def test_announced_large_body_costs_only_what_arrives(receiver):
    """A peer that announces 16 MiB and sends little: the session waits for the bytes and the
    receiver keeps serving other phones."""
    phone = connect(receiver)
    phone.send_raw(struct.pack(">BBBHI", 0x24, 0, 26, 1, 16777216) + b"x" * 10)
    other = connect(receiver)
    other.send(26, value_type=3)
    assert other.next_frame().command == 27
    phone.close()
    receiver.wait_event("interconnect_diagnostic", stage="probe_finished", remote="%s:%d" % phone.address)


def test_pause_already_in_force_sends_nothing_and_toggle_resumes(receiver):
    listener = RtspListener()
    phone = connect(receiver)
    open_cast(receiver, phone, listener)
    phone.next_frame()  # empty media info
    phone.send(4, value_type=70, encrypt=True)  # the phone paused by itself
    assert phone.next_frame().command == 5
    receiver.wait_event("playback_state", playing=False)
    start = time.monotonic()
    receiver.send({"command": "pause"})
    marker = '{"command":"marker-already"}'
    receiver.send_line(marker)
    receiver.wait_for(lambda e: e.get("raw") == marker)
    assert time.monotonic() - start < 1.0
    phone.send(26, value_type=71)
    assert phone.next_frame().command == 27  # no key command came before the reply
    receiver.send({"command": "toggle"})
    note = phone.next_frame()
    assert (note.command, note.body) == (0x22, bytes.fromhex("0a6b65792d726573756d650001"))
    phone.send(6, value_type=72, encrypt=True)
