"""Black-box tests of a whole cast through the real relvox: the fake phone's control connection
opens the media session, the fake RTSP phone carries out the sink exchange and streams ffmpeg's
AAC over the audio connection, and the PCM comes out on a TCP listener or a sound server."""

import hashlib
import hmac
import re
import socket
import struct
import time

import numpy as np
import pytest

import media_stream as ms
from cast import AUTH, KEY, IV, Cast, send_paced, tone_rtp
from fake_rtsp import wait_closed
from fake_timer_server import FakeTimerServer
from media_stream import PcmListener
from test_clock_sync import name_timer_server, request_count_settles
from test_media_session import PAUSED, PLAYING

NO_LISTENER = ("--pcm-port", "9")
PAUSE_KEY = bytes.fromhex("096b65792d70617573650001")
RESUME_KEY = bytes.fromhex("0a6b65792d726573756d650001")


def fingerprint(key, iv):
    return hashlib.sha256(key + iv).digest()[:8].hex()


def playback_states(r, state):
    return [e for e in r.named("playback_state") if e == state]


def wait_playback(r, state, count):
    r.wait_for(lambda e: len(playback_states(r, state)) >= count, what=f"{count} x {state}")


def quiet_events(r):
    return [e for e in r.events
            if e.get("event") in ("error", "media_channel_closed", "media_session_replaced") or "code" in e]


@pytest.fixture
def tone(tmp_path):
    return str(tmp_path / "tone.aac")


@pytest.mark.parametrize("keys", [True, False], ids=["keys", "no-keys"])
def test_options_answer_follows_the_handed_over_keys(relvox, keys):
    cast = Cast(relvox, *NO_LISTENER, keys=keys)
    r, conn = cast.receiver, cast.conn
    assert r.wait_event("status", state="media_connecting")["message"] == \
        f"已连接小米妙播 RTSP 源 127.0.0.1:{cast.rtsp.port}"
    challenge = "0f1e2d3c4b5a69788796a5b4c3d2e1f0"
    conn.request("OPTIONS", uri="*", headers=[f"AuthMsg: {challenge}"], cseq="1")
    reply = conn.reply_to("1")
    own = conn.receiver_request("OPTIONS")
    assert reply.start_line == "RTSP/1.0 200 OK"
    if keys:
        assert reply.headers["authmsgack"] == hmac.new(AUTH, challenge.encode(), hashlib.sha256).hexdigest()
        assert re.fullmatch("[0-9a-f]{32}", own.headers["authmsg"])
    else:
        assert "authmsgack" not in reply.headers and "authmsg" not in own.headers
    cast.close()


def test_cast_session_gate_and_stop(relvox):
    cast = Cast(relvox, *NO_LISTENER)
    r, conn, control = cast.receiver, cast.conn, cast.control
    cast.start_stream()  # capability body, SETUP with the data ports, PLAY with the session id
    with FakeTimerServer() as timer:
        # The timer exchange holds while the gate is blocked: it shows the gate's state.
        name_timer_server(conn, timer)
        r.wait_event("clock_synchronized", timeout=10)

        conn.reply_to(conn.request("PAUSE"))
        wait_playback(r, PAUSED, 1)
        held = request_count_settles(timer)
        conn.reply_to(conn.request("PLAY"))
        wait_playback(r, PLAYING, 2)
        assert len(timer.wait_for_requests(held + 3, timeout=3)) >= held + 3

        # A pause from the host goes to the phone as a key command and holds the gate at once.
        r.send({"command": "pause"})
        note = control.next_frame()
        assert (note.command, note.body) == (0x22, PAUSE_KEY)
        control.send(4, value_type=50, encrypt=True)  # the phone confirms: it has paused
        assert control.next_frame().command == 5
        r.wait_event("playback_state", playing=False, raw_state=3)
        held = request_count_settles(timer)
        r.send({"command": "resume"})
        assert control.next_frame().body == RESUME_KEY
        control.send(6, value_type=51, encrypt=True)
        assert len(timer.wait_for_requests(held + 3, timeout=3)) >= held + 3

        r.send({"command": "stop"})
        assert r.wait_exit() == 0
    assert cast.conn.wait_eof()
    assert wait_closed(cast.audio)
    assert [e for e in quiet_events(r) if e.get("code") != "sonvale_control_session_failed"] == []
    cast.close()


def test_second_open_ends_the_first_session_quietly(relvox):
    cast = Cast(relvox, *NO_LISTENER)
    r = cast.receiver
    first = cast.conn
    cast.start_stream()
    image, audio = cast.image, cast.audio
    second = cast.open()
    assert first.wait_eof(timeout=2.0)
    assert wait_closed(image) and wait_closed(audio)
    second.request("OPTIONS", uri="*", cseq="1")
    assert second.reply_to("1").start_line == "RTSP/1.0 200 OK"
    r.wait_event("interconnect_stage", stage="media_session_established", media_generation=2)
    time.sleep(0.2)
    assert quiet_events(r) == []
    cast.close()


def test_phone_closing_rtsp_reports_a_normal_close(relvox):
    cast = Cast(relvox, *NO_LISTENER)
    r = cast.receiver
    cast.start_stream()
    cast.conn.close()
    assert r.wait_event("media_channel_closed") == {
        "event": "media_channel_closed", "bytes_expected": 0, "bytes_read": 0, "channel": "rtsp",
        "media_generation": 1, "outcome": "normal", "protocol": "xiaomi_zedidi"}
    assert wait_closed(cast.audio)
    time.sleep(0.2)
    assert quiet_events(r) == [r.named("media_channel_closed")[0]]
    cast.close()


@pytest.mark.parametrize("encrypted", [False, True], ids=["plain", "encrypted-iv-renewed"])
def test_cast_streams_the_reference_pcm(relvox, tone, encrypted):
    rtp, frames, payloads = tone_rtp(tone, encrypted=encrypted, renew=encrypted, frames_per_pes=1, per_packet=1)
    listener = PcmListener()
    cast = Cast(relvox, "--pcm-port", str(listener.port), keys=encrypted)
    r = cast.receiver
    audio = cast.start_stream()
    # Real-time pace: every decoded chunk reaches the listener on its own, so its boundaries show.
    send_paced(audio, rtp, seconds=len(frames) * 1024 / 48000)
    audio.shutdown(socket.SHUT_WR)
    assert r.wait_event("media_channel_closed", channel="audio")["bytes_expected"] == 4

    reference, counts = ms.resample_reference(ms.reference_f32(tone))
    assert counts[:11] == [941, 941, 941, 941, 941, 940, 941, 941, 941, 941, 940]
    got = np.frombuffer(listener.wait_bytes(reference.size * 2), dtype="<i2").reshape(-1, 2)
    assert got.shape == reference.shape
    diff = np.abs(got.astype(np.int32) - reference.astype(np.int32))
    assert diff.max() <= 1, f"largest difference {diff.max()} at frame {diff.argmax() // 2}"
    assert np.abs(got).max() > 2000
    chunk_ends = set(np.cumsum(counts[:11]) * 4)
    assert chunk_ends <= set(listener.read_ends), sorted(listener.read_ends)[:12]

    assert r.named("pcm_stream_connected") == [{"event": "pcm_stream_connected",
                                                "target": f"127.0.0.1:{listener.port}"}]
    assert r.named("audio_format") == [{
        "event": "audio_format", "codec": "AAC-LC", "sample_rate": 48000, "required_sample_rate": 48000,
        "channels": 2, "bits_per_sample": 16, "bitrate": len(frames[0]) * 48000 // 128,
        "encrypted": encrypted, "transport": "RTP/MP2T/TCP"}]
    assert r.named("aac_pes_layout") == [{"event": "aac_pes_layout", "protocol": "xiaomi_zedidi",
                                          "pes_payload_bytes": len(payloads[0]), "frames_in_pes": 1,
                                          "buffered_adts_bytes": 0}]
    decoded = r.named("audio_pcm_decoded")
    assert decoded[0]["decoded_frames"] == 1 and decoded[0]["samples"] == 2048
    assert decoded[0]["adts_header_hex"] == frames[0][:7].hex()
    assert {8, 32, 128} <= {e["decoded_frames"] for e in decoded}
    assert [e for e in r.events if e.get("code")] == []
    cast.close()
