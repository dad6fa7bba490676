"""Black-box tests of one media session against a fake phone, driven through the session harness."""

import hashlib
import hmac
import re
import socket
import time

import pytest

from fake_rtsp import USER_AGENT, Harness, free_port, wait_closed

AUTH_KEY, AES_KEY, AES_IV = "A1b2C3d4E5f6G7h8", "0123456789abcdef", "fedcba9876543210"
KEYS_ARG = f"{AUTH_KEY},{AES_KEY},{AES_IV}"

CAPABILITY_BODY = (
    "wfd_audio_codecs_v2: 15 3 3\r\n"
    "wfd_video_formats: none\r\n"
    "wfd_video_enctype: none\r\n"
    "wfd_video_gamuttype: none\r\n"
    "wfd_video_bitrate: none\r\n"
    "wfd_current_video_info: none\r\n"
    "wfd_client_rtp_ports: RTP/AVP/TCP;interleaved mode=play\r\n"
    "zedidi_support_image: none\r\n"
    "wfd_standby_resume_capability: supported\r\n"
    "wfd_content_SP_protection: 4 1 256 3 1 1 0 0\r\n"
    "wfd_support_secure_win:enable\r\n"
    "device_info: -1 -1 -1 -1 -1 -1 -1\r\n"
).encode()

PLAYING = {"event": "playback_state", "raw_state": 2, "playing": True, "session_active": True}
PAUSED = {"event": "playback_state", "raw_state": 3, "playing": False, "session_active": True}
FAILED = {"event": "playback_state", "raw_state": 4, "playing": False, "session_active": False}
STREAM_STARTED = {
    "event": "stream_started",
    "source_codec": "aac",
    "source_sample_rate": 48000,
    "source_channels": 2,
    "source_bits": 16,
    "transport": "rtp_mpegts_tcp",
}


@pytest.fixture
def harness():
    started = []

    def start(*args):
        h = Harness(*args)
        started.append(h)
        return h

    yield start
    for h in started:
        h.stop()


def open_session(phone, harness, *args, generation=1):
    # The media reader streams PCM (to a port nothing listens on; no audio arrives in these tests):
    # with no output device it would open the native output, which this machine does not have.
    h = harness("--port", phone.port, "--generation", generation, "--output-device", "stream:127.0.0.1:9", *args)
    conn = phone.accept_rtsp()
    h.wait_event("status")
    return h, conn


def ok_reply(cseq, body=b""):
    return (
        f"RTSP/1.0 200 OK\r\n{USER_AGENT}\r\nCSeq: {cseq}\r\nContent-Type: text/parameters\r\n"
        f"Content-Length: {len(body)}\r\n\r\n"
    ).encode() + body


def capability_query(phone, conn):
    """The phone's audio capability query; returns the accepted (image, audio) sockets and peers."""
    cseq = conn.request("GET_PARAMETER", body="wfd_audio_codecs_v2\r\nwfd_video_formats\r\n")
    image, image_peer = phone.accept()
    audio, audio_peer = phone.accept()
    assert conn.reply_to(cseq).raw == ok_reply(cseq, CAPABILITY_BODY)
    return (image, image_peer), (audio, audio_peer)


def start_stream(phone, conn, h, session_header="Session: 4D51F3;timeout=60", url=None):
    """Capability query, SETUP trigger, SETUP, PLAY; returns the data sockets."""
    (image, image_peer), (audio, audio_peer) = capability_query(phone, conn)
    body = "wfd_trigger_method: SETUP\r\n"
    if url:
        body = f"wfd_presentation_URL: {url} none\r\n" + body
    cseq = conn.request("SET_PARAMETER", body=body)
    assert conn.reply_to(cseq).raw == ok_reply(cseq)
    setup = conn.receiver_request("SETUP")
    expected_url = url or "rtsp://127.0.0.1/wfd1.0/streamid=0"
    assert setup.raw == (
        f"SETUP {expected_url} RTSP/1.0\r\n{USER_AGENT}\r\nCSeq: 2\r\n"
        "Transport: RTP/AVP/TCP;interleaved=0-1\r\n"
        f"MultiPort: image_port={image_peer[1]};multi_port={audio_peer[1]}\r\n\r\n"
    ).encode()
    conn.respond("2", headers=[session_header] if session_header else [])
    play = conn.receiver_request("PLAY")
    session_id = session_header.split(":", 1)[1].split(";")[0].strip() if session_header else ""
    assert play.raw == (
        f"PLAY {expected_url} RTSP/1.0\r\n{USER_AGENT}\r\nCSeq: 3\r\nSession: {session_id}\r\n\r\n"
    ).encode()
    conn.respond("3")
    assert h.wait_event("stream_started") == STREAM_STARTED
    assert h.wait_event("playback_state") == PLAYING
    return image, audio


def gate(h):
    n = len(h.named("harness_gate"))
    h.send_line("gate")
    h.wait_for(lambda e: e.get("event") == "harness_gate" and len(h.named("harness_gate")) > n)
    return h.named("harness_gate")[-1]


def quiet_events(h, names):
    return [e for e in h.session_events() if e.get("event") in names or e.get("code")]


def test_status_event_and_options_without_keys(phone, harness):
    h, conn = open_session(phone, harness)
    assert h.named("status") == [{
        "event": "status",
        "message": f"已连接小米妙播 RTSP 源 127.0.0.1:{phone.port}",
        "state": "media_connecting",
    }]
    for cseq in ("1", "2", "3"):
        conn.request("OPTIONS", uri="*", headers=["Require: org.wfa.wfd1.0"], cseq=cseq)
        assert conn.reply_to(cseq).raw == (
            f"RTSP/1.0 200 OK\r\n{USER_AGENT}\r\nCSeq: {cseq}\r\n"
            "Public: org.wfa.wfd1.0, GET_PARAMETER, SET_PARAMETER\r\n\r\n"
        ).encode()
    # Anything the receiver wrote for the OPTIONS requests comes before this reply.
    conn.reply_to(conn.request("GET_PARAMETER", cseq="9"))
    options = conn.all_requests("OPTIONS")
    assert [m.raw for m in options] == [(
        f"OPTIONS * RTSP/1.0\r\n{USER_AGENT}\r\nCSeq: 1\r\nRequire: org.wfa.wfd1.0\r\n"
        "lib_version: audio-display-release2.1 2.1.5071614\r\n\r\n"
    ).encode()]


@pytest.mark.parametrize("auth_msg", ["0f1e2d3c4b5a69788796a5b4c3d2e1f0", None], ids=["challenge", "no-challenge"])
def test_options_with_keys_answers_the_challenge(phone, harness, auth_msg):
    h, conn = open_session(phone, harness, "--keys", KEYS_ARG)
    headers = [f"AuthMsg:  {auth_msg} "] if auth_msg else []
    conn.request("OPTIONS", uri="*", headers=headers, cseq="7")
    ack = hmac.new(AUTH_KEY.encode(), auth_msg.encode(), hashlib.sha256).hexdigest() if auth_msg else ""
    assert conn.reply_to("7").raw == (
        f"RTSP/1.0 200 OK\r\n{USER_AGENT}\r\nCSeq: 7\r\n"
        "Public: org.wfa.wfd1.0, GET_PARAMETER, SET_PARAMETER\r\n"
        f"authKeyType:2\r\nauthAlgorithmVal:4\r\nauthMsgAck:{ack}\r\n\r\n"
    ).encode()
    own = conn.receiver_request("OPTIONS").raw.decode()
    assert re.fullmatch(
        re.escape(f"OPTIONS * RTSP/1.0\r\n{USER_AGENT}\r\nCSeq: 1\r\nRequire: org.wfa.wfd1.0\r\n"
                  "lib_version: audio-display-release2.1 2.1.5071614\r\n") + "authMsg:[0-9a-f]{32}\r\n\r\n",
        own,
    ), own


def test_full_exchange_gate_and_teardown(phone, harness):
    h, conn = open_session(phone, harness, generation=5)
    image, audio = start_stream(phone, conn, h)

    # A second capability query opens nothing new and gets the same body.
    cseq = conn.request("GET_PARAMETER", body="wfd_audio_codecs_v2\r\n")
    assert conn.reply_to(cseq).raw == ok_reply(cseq, CAPABILITY_BODY)
    with pytest.raises(socket.timeout):
        phone.accept(timeout=0.3)
    # Other parameters get an empty answer.
    cseq = conn.request("GET_PARAMETER", body="wfd_video_formats\r\n")
    assert conn.reply_to(cseq).raw == ok_reply(cseq)

    cseq = conn.request("PAUSE")
    assert conn.reply_to(cseq).raw == ok_reply(cseq)
    h.wait_for(lambda e: e == PAUSED)
    assert gate(h)["blocked"] is True
    cseq = conn.request("play")  # methods match in any case
    assert conn.reply_to(cseq).raw == ok_reply(cseq)
    h.wait_for(lambda e: e == PLAYING and h.events.count(PLAYING) == 2)
    assert gate(h)["blocked"] is False

    # Image data is drained without events.
    image.sendall(b"\x00" * 200_000)

    cseq = conn.request("TEARDOWN")
    assert conn.reply_to(cseq).raw == ok_reply(cseq)
    assert h.wait_event("stream_stopped") == {"event": "stream_stopped", "source": "xiaomi", "media_generation": 5}
    assert conn.wait_eof()
    # The session's end shuts its data connections down, so no data thread outlives it.
    assert wait_closed(image)
    assert wait_closed(audio)
    time.sleep(0.2)
    assert quiet_events(h, {"error", "media_channel_closed", "media_session_replaced"}) == []


def test_answers_that_do_not_match_are_ignored(phone, harness):
    h, conn = open_session(phone, harness)
    capability_query(phone, conn)
    conn.reply_to(conn.request("SET_PARAMETER", body="wfd_trigger_method: SETUP\r\n"))
    conn.receiver_request("SETUP")
    conn.respond("2", status="454 Session Not Found", headers=["Session: X"])
    conn.respond("02", headers=["Session: X"])
    conn.reply_to(conn.request("GET_PARAMETER", cseq="50"))
    assert conn.all_requests("PLAY") == []
    conn.respond("2", headers=["Session:  ABC ; timeout=60"])
    assert conn.receiver_request("PLAY").raw.endswith(b"Session: ABC\r\n\r\n")


def test_phone_closing_rtsp_is_a_normal_close(phone, harness):
    h, conn = open_session(phone, harness, generation=3)
    image, audio = start_stream(phone, conn, h)
    conn.close()
    assert h.wait_event("media_channel_closed") == {
        "event": "media_channel_closed",
        "bytes_expected": 0,
        "bytes_read": 0,
        "channel": "rtsp",
        "media_generation": 3,
        "outcome": "normal",
        "protocol": "xiaomi_zedidi",
    }
    assert wait_closed(image)
    assert wait_closed(audio)
    time.sleep(0.2)
    assert [e for e in h.session_events() if e.get("event") in ("error", "media_channel_closed")] == [
        h.named("media_channel_closed")[0]
    ]
    assert FAILED not in h.events


def test_refused_connection_fails_the_session(harness):
    port = free_port()
    h = harness("--port", port, "--generation", 4)
    err = h.wait_event("error")
    assert err["code"] == "sonvale_rtsp_failed"
    assert err["media_generation"] == 4
    assert err["message"].startswith(f"小米妙播媒体通道失败：connect RTSP source 127.0.0.1:{port}: Connection refused")
    h.wait_for(lambda e: e == FAILED)
    names = [e["event"] for e in h.session_events()]
    assert names == ["error", "playback_state"]


def test_refused_connection_after_replacement_only_reports_replacement(harness):
    h = harness("--port", free_port(), "--generation", 4, "--counter", 5)
    assert h.wait_event("media_session_replaced") == {
        "event": "media_session_replaced", "media_generation": 4, "protocol": "xiaomi_zedidi"}
    time.sleep(0.2)
    assert [e["event"] for e in h.session_events()] == ["media_session_replaced"]


def test_session_retired_while_connecting_says_nothing_more(phone, harness):
    h, conn = open_session(phone, harness, "--counter", 2, generation=1)
    assert conn.wait_eof()
    time.sleep(0.2)
    assert [e["event"] for e in h.session_events()] == ["status"]
    assert conn.messages == []


def test_setup_trigger_before_capability_query_fails(phone, harness):
    h, conn = open_session(phone, harness, generation=2)
    cseq = conn.request("SET_PARAMETER", body="wfd_trigger_method: SETUP\r\n")
    assert conn.reply_to(cseq).raw == ok_reply(cseq)
    err = h.wait_event("error")
    assert err == {
        "event": "error",
        "code": "sonvale_rtsp_failed",
        "media_generation": 2,
        "message": "小米妙播媒体通道失败：ZeDidi requested SETUP before data sockets were negotiated",
    }
    h.wait_for(lambda e: e == FAILED)
    assert conn.wait_eof()
    assert conn.all_requests("SETUP") == []


def test_newer_session_ends_the_first_quietly(phone, harness):
    h, first = open_session(phone, harness, generation=1)
    image, audio = start_stream(phone, first, h)
    h.send_line("spawn")
    second = phone.accept_rtsp()
    assert first.wait_eof(timeout=2.0)
    assert wait_closed(image)
    assert wait_closed(audio)
    # The second session works on.
    second.request("OPTIONS", uri="*", cseq="1")
    assert second.reply_to("1").start_line == "RTSP/1.0 200 OK"
    time.sleep(0.2)
    assert [e["event"] for e in h.session_events()].count("status") == 2
    assert quiet_events(h, {"error", "media_channel_closed", "media_session_replaced", "stream_stopped"}) == []


@pytest.mark.parametrize(
    "raw, message",
    [
        (b"GET_PARAMETER x RTSP/1.0\r\nCSeq: 1\r\nContent-Length: \r\n\r\n",
         "invalid RTSP Content-Length: "),
        (b"GET_PARAMETER x RTSP/1.0\r\nCSeq: 1\r\nContent-Length: -1\r\n\r\n",
         "invalid RTSP Content-Length: "),
        (b"GET_PARAMETER x RTSP/1.0\r\nCSeq: \xff\r\n\r\n", "RTSP header is not UTF-8: "),
        (b"GET_PARAMETER x RTSP/1.0\r\nContent-Length: 1048576\r\n\r\n",
         "ZeDidi RTSP message exceeds 1048576 bytes"),
        (b"X" * (1048576 + 1), "ZeDidi RTSP header exceeds 1048576 bytes"),
    ],
    ids=["empty-length", "negative-length", "not-utf8", "message-limit", "header-limit"],
)
def test_framing_failures_end_the_session(phone, harness, raw, message):
    h, conn = open_session(phone, harness)
    conn.send_raw(raw)
    err = h.wait_event("error")
    assert err["code"] == "sonvale_rtsp_failed"
    assert err["message"].startswith("小米妙播媒体通道失败：" + message)
    h.wait_for(lambda e: e == FAILED)


def test_messages_split_and_joined_on_the_wire(phone, harness):
    h, conn = open_session(phone, harness)
    # Two requests in one write; the second without CSeq is answered with CSeq 0.
    body = b"wfd_video_formats\r\n"
    first = b"GET_PARAMETER rtsp://x RTSP/1.0\r\nCSeq:  11 \r\nContent-Length: +%d\r\n\r\n" % len(body) + body
    second = b"get_parameter rtsp://x RTSP/1.0\r\nno colon here\r\n\r\n"
    conn.send_raw(first + second)
    assert conn.reply_to("11").raw == ok_reply("11")
    assert conn.reply_to("0").raw == ok_reply("0")
    # One request dribbled byte by byte, CRLF CRLF split across writes.
    for b in b"SET_PARAMETER x RTSP/1.0\r\nCSeq: 12\r\n\r\n":
        conn.send_raw(bytes([b]))
        time.sleep(0.002)
    assert conn.reply_to("12").raw == ok_reply("12")


@pytest.mark.parametrize(
    "method, headers, body, offset",
    [
        ("SET_PARAMETER", [], "wfd_timeoffset: -1500\r\n", -1500),
        ("TIME_OFFSET", ["timeoffset: -1500"], "", -1500),
        ("TIME_OFFSET", ["TimeOffset: +250"], "", 250),
        ("TIME_OFFSET", ["timeoffset: +"], "", None),
        ("TIME_OFFSET", ["timeoffset:"], "", None),
        ("SET_PARAMETER", [], "wfd_timeoffset: 12a\r\n", None),
    ],
)
def test_time_offset(phone, harness, method, headers, body, offset):
    h, conn = open_session(phone, harness)
    cseq = conn.request(method, headers=headers, body=body)
    assert conn.reply_to(cseq).raw == ok_reply(cseq)
    if offset is None:
        time.sleep(0.1)
        assert h.named("presentation_clock_updated") == []
    else:
        assert h.wait_event("presentation_clock_updated") == {
            "event": "presentation_clock_updated",
            "protocol": "xiaomi_zedidi",
            "time_offset_us": offset,
            "clock_synchronized": False,
        }


def test_presentation_url_from_set_parameter(phone, harness):
    h, conn = open_session(phone, harness)
    start_stream(phone, conn, h, url="rtsp://192.168.1.5/wfd1.0/streamid=0")


def feedback_requests(conn):
    return conn.all_requests("VIDEO_LATENCY")


def telemetry(h):
    n = len(h.named("harness_telemetry"))
    h.send_line("telemetry")
    h.wait_for(lambda e: e.get("event") == "harness_telemetry" and len(h.named("harness_telemetry")) > n)
    return h.named("harness_telemetry")[-1]


def test_latency_feedback(phone, harness):
    h, conn = open_session(phone, harness, "--telemetry")
    h.send_line("queued 4800")
    h.send_line("output-latency 30000")
    start_stream(phone, conn, h)
    # No packet yet: no feedback, however long the deadline has passed.
    time.sleep(0.6)
    assert feedback_requests(conn) == []
    h.send_line("rtp 7 90000 1200")
    h.send_line("rtp 9 93000 1200")
    first = conn.receiver_request("VIDEO_LATENCY")
    t = telemetry(h)
    assert t["highest_sequence"] == 9
    assert first.raw == (
        f"VIDEO_LATENCY rtsp://localhost/wfd1.0 RTSP/1.0\r\n{USER_AGENT}\r\nCSeq: 1000\r\n"
        f"Content-Type: text/parameters\r\nlatency:130\r\nbitrate:{t['bitrate_bps']}\r\n"
        "rtpPacketNum:9\r\nContent-Length:0\r\n\r\n"
    ).encode()
    conn.respond("1000")  # answers to feedback are ignored
    started = h.wait_event("latency_feedback_started")
    assert {k: v for k, v in started.items() if k != "arrival_residual_ms"} == {
        "event": "latency_feedback_started",
        "protocol": "xiaomi_zedidi",
        "interval_ms": 250,
        "rtp_clock_hz": 90000,
        "latency_ms": 130,
        "bitrate_bps": t["bitrate_bps"],
        "rtp_packet_number": 9,
    }
    # Paused, the feedback goes on and follows the queue.
    conn.reply_to(conn.request("PAUSE"))
    h.send_line("queued 24")
    h.send_line("output-latency 0")
    deadline = time.monotonic() + 5
    while len(feedback_requests(conn)) < 6 and time.monotonic() < deadline:
        time.sleep(0.05)
    reqs = feedback_requests(conn)
    assert [r.cseq for r in reqs[:6]] == [str(1000 + i) for i in range(6)]
    gaps = [b.arrival - a.arrival for a, b in zip(reqs, reqs[1:6])]
    assert all(0.23 <= g <= 0.40 for g in gaps), gaps
    assert b"latency:1\r\n" in reqs[5].raw
    assert len(h.named("latency_feedback_started")) == 1


def test_no_feedback_without_session_id(phone, harness):
    h, conn = open_session(phone, harness, "--telemetry")
    h.send_line("rtp 1 0 100")
    start_stream(phone, conn, h, session_header=None)
    time.sleep(0.8)
    assert feedback_requests(conn) == []


def test_feedback_rate_holds_under_busy_traffic(phone, harness):
    h, conn = open_session(phone, harness, "--telemetry")
    h.send_line("rtp 1 0 100")
    start_stream(phone, conn, h)
    end = time.monotonic() + 1.5
    while time.monotonic() < end:
        conn.request("GET_PARAMETER")
        time.sleep(0.01)
    reqs = feedback_requests(conn)
    assert len(reqs) >= 4
    gaps = [b.arrival - a.arrival for a, b in zip(reqs, reqs[1:])]
    assert min(gaps) >= 0.23, gaps
