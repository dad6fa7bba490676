"""Black-box tests of a whole cast through the real relvox: the fake phone's control connection
opens the media session, the fake RTSP phone carries out the sink exchange and streams ffmpeg's
AAC over the audio connection, and the PCM comes out on a TCP listener or a sound server."""

import hashlib
import hmac
import re
import socket
import struct
import threading
import time

import numpy as np
import pytest

import media_stream as ms
from cast import AUTH, KEY, IV, send_paced, tone_rtp
from fake_rtsp import wait_closed
import fake_timer_server as fts
from fake_timer_server import FakeTimerServer
from media_stream import PcmListener
from proc_stats import rss_kb
from pulse_server import MonitorRecorder, PulseServer
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
def test_options_answer_follows_the_handed_over_keys(start_cast, keys):
    cast = start_cast(*NO_LISTENER, keys=keys)
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


def test_cast_session_gate_and_stop(start_cast):
    cast = start_cast(*NO_LISTENER)
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
    assert quiet_events(r) == []


def test_second_open_ends_the_first_session_quietly(start_cast):
    cast = start_cast(*NO_LISTENER)
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


def test_phone_closing_rtsp_reports_a_normal_close(start_cast):
    cast = start_cast(*NO_LISTENER)
    r = cast.receiver
    cast.start_stream()
    cast.conn.close()
    assert r.wait_event("media_channel_closed") == {
        "event": "media_channel_closed", "bytes_expected": 0, "bytes_read": 0, "channel": "rtsp",
        "media_generation": 1, "outcome": "normal", "protocol": "xiaomi_zedidi"}
    assert wait_closed(cast.audio)
    time.sleep(0.2)
    assert quiet_events(r) == [r.named("media_channel_closed")[0]]


@pytest.mark.parametrize("encrypted", [False, True], ids=["plain", "encrypted-iv-renewed"])
def test_cast_streams_the_reference_pcm(start_cast, tone, encrypted):
    rtp, frames, payloads = tone_rtp(tone, encrypted=encrypted, renew=encrypted, frames_per_pes=1, per_packet=1)
    listener = PcmListener()
    cast = start_cast("--pcm-port", str(listener.port), keys=encrypted)
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


FEEDBACK = re.compile(
    rb"VIDEO_LATENCY rtsp://localhost/wfd1\.0 RTSP/1\.0\r\nUser-Agent: stagefright/1\.1 \(Linux;Android 4\.1\)\r\n"
    rb"CSeq: (\d+)\r\nContent-Type: text/parameters\r\nlatency:(\d+)\r\nbitrate:(\d+)\r\nrtpPacketNum:(\d+)\r\n"
    rb"Content-Length:0\r\n\r\n")


def test_latency_feedback_while_audio_flows(start_cast, tone):
    rtp, frames, _ = tone_rtp(tone, seconds=2.5)
    listener = PcmListener()
    cast = start_cast("--pcm-port", str(listener.port))
    audio = cast.start_stream()
    sent = []  # (time, RTP sequence number, RTP bytes sent so far)

    def on_sent(n, frame):
        sent.append((time.monotonic(), n, (sent[-1][2] if sent else 0) + len(frame) - 4))

    send_paced(audio, rtp, seconds=len(frames) * 1024 / 48000, on_sent=on_sent)
    end = sent[-1][0]
    reqs = [m for m in cast.conn.all_requests("VIDEO_LATENCY") if m.arrival <= end]
    assert len(reqs) >= 6, reqs
    parsed = []
    for m in reqs:
        match = FEEDBACK.fullmatch(m.raw)
        assert match, m.raw
        parsed.append([int(v) for v in match.groups()])
    assert [p[0] for p in parsed] == list(range(1000, 1000 + len(parsed)))
    gaps = [b.arrival - a.arrival for a, b in zip(reqs, reqs[1:])]
    assert all(0.23 <= g <= 0.33 for g in gaps), gaps

    start = sent[0][0]
    for m, (_, _, bitrate, number) in zip(reqs, parsed):
        before = [s for s in sent if s[0] <= m.arrival]
        # The highest packet number the reader has seen: sent, and not long before.
        recent = [s[1] for s in before if s[0] >= m.arrival - 0.3]
        assert number <= before[-1][1] and (not recent or number >= recent[0]), (number, before[-1][1])
        if m.arrival - start >= 0.6:
            window = [s for s in before if s[0] >= m.arrival - 2.0]
            rate = (window[-1][2] - window[0][2]) * 8 / (window[-1][0] - window[0][0])
            assert abs(bitrate - rate) <= 0.15 * rate, (bitrate, rate)
    started = cast.receiver.named("latency_feedback_started")
    assert len(started) == 1 and started[0]["rtp_packet_number"] == parsed[0][3]
    assert started[0]["bitrate_bps"] == parsed[0][2] and started[0]["latency_ms"] == parsed[0][1]


def close_after_two_header_bytes(audio, tone):
    audio.sendall(b"$\x00")
    audio.shutdown(socket.SHUT_WR)


def reset_after_two_header_bytes(audio, tone):
    audio.sendall(b"$\x00")
    audio.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    audio.close()


def send_44100_hz_tone(audio, tone):
    rtp, _, _ = tone_rtp(tone, seconds=0.5, rate=44100)
    try:
        for frame in rtp:
            audio.sendall(frame)
    except OSError:
        pass  # the reader may have ended and closed already


CLOSED_2_OF_4 = {"event": "media_channel_closed", "bytes_expected": 4, "bytes_read": 2, "channel": "audio",
                 "media_generation": 1, "outcome": "normal", "protocol": "xiaomi_zedidi"}
AUDIO_FAILED = "小米妙播音频流失败："


@pytest.mark.parametrize("fault, event, message", [
    (close_after_two_header_bytes, CLOSED_2_OF_4, None),
    (reset_after_two_header_bytes, "error", AUDIO_FAILED + "read ZeDidi media stream: "),
    (send_44100_hz_tone, "error", AUDIO_FAILED + "unsupported ZeDidi AAC sample rate 44100 Hz; expected 48000 Hz"),
], ids=["closed-after-2-bytes", "reset", "44100-hz"])
def test_audio_connection_faults(start_cast, tone, fault, event, message):
    cast = start_cast(*NO_LISTENER)
    r = cast.receiver
    audio = cast.start_stream()
    fault(audio, tone)
    if message is None:
        assert r.wait_event(event["event"], channel="audio") == event
        unexpected = [e for e in quiet_events(r) if e != event]
    else:
        err = r.wait_event("error")
        assert {k: v for k, v in err.items() if k != "message"} == {
            "event": "error", "code": "sonvale_audio_stream_failed", "key_fingerprint": fingerprint(KEY, IV),
            "media_generation": 1}
        assert err["message"].startswith(message), err["message"]
        unexpected = [e for e in quiet_events(r) if e != err and e.get("code") != "pcm_stream_connect_failed"]
    # The RTSP session goes on; only the audio road ended.
    cast.conn.reply_to(cast.conn.request("GET_PARAMETER"))
    assert unexpected == []


def test_pcm_listener_that_closes_gets_one_warning_and_a_new_connection(start_cast, tone):
    rtp, frames, _ = tone_rtp(tone, seconds=2)
    listener = PcmListener(close_after=100_000)
    cast = start_cast("--pcm-port", str(listener.port))
    r = cast.receiver
    send_paced(cast.start_stream(), rtp, seconds=1.0)
    r.wait_for(lambda e: len(r.named("pcm_stream_connected")) >= 2, what="second pcm_stream_connected")
    listener.wait_connections(2)
    failed = [e for e in r.events if e.get("code") == "pcm_stream_write_failed"]
    assert len(failed) == 1 and failed[0]["event"] == "warning"
    assert failed[0]["message"].startswith("PCM stream write failed: ")
    # The stream goes on over the new connection.
    listener.wait_bytes(200_000, timeout=5)
    assert len(listener.data) >= 200_000


def test_listener_that_stops_reading_keeps_memory_flat(start_cast, tone, no_sanitizer_quarantine):
    rtp, _, _ = tone_rtp(tone, seconds=10)
    listener = PcmListener(reading=False)
    cast = start_cast("--pcm-port", str(listener.port))
    r = cast.receiver
    audio = cast.start_stream()
    samples = []  # (seconds since sending began, VmRSS in kB, packets sent)
    start = time.monotonic()
    done = threading.Event()

    def sample():
        while not done.wait(0.2):
            samples.append((time.monotonic() - start, rss_kb(r.proc.pid), n))

    sampler = threading.Thread(target=sample, daemon=True)
    sampler.start()
    n = 0
    while time.monotonic() - start < 10.0:
        audio.sendall(rtp[n % len(rtp)])  # as fast as the receiver takes it, the tone over and over
        n += 1
    done.set()
    sampler.join()
    listener.wait_connections(1)
    assert n > 3 * len(rtp), f"only {n} packets taken: the test did not load the receiver"
    base = max(kb for t, kb, _ in samples if t <= 1.0)
    late = max(kb for t, kb, _ in samples if t > 1.0)
    assert late - base < 6 * 1024, samples



# Replies the receiver must not take: a short one, a long one, one for the previous request.
BAD_REPLIES = {1: fts.SHORT, 4: fts.LONG, 6: fts.WRONG_SEQUENCE, 9: fts.SHORT, 10: fts.WRONG_SEQUENCE}


def test_first_round_through_the_announced_timer_server(start_cast):
    cast = start_cast(*NO_LISTENER)
    r = cast.receiver
    offset = 987_654_321
    server = FakeTimerServer(offset_us=offset)
    received = {}  # sequence -> (originate time, monotonic µs at arrival)

    def on_request(req):
        received[req["sequence"]] = (req["originate_us"], time.monotonic_ns() / 1000)
        server.configure(mode=BAD_REPLIES.get(req["sequence"], fts.NORMAL))  # how this one is answered

    server._on_request = on_request
    with server:
        cast.start_stream()
        name_timer_server(cast.conn, server)
        sync = r.wait_event("clock_synchronized", timeout=10)
    assert [q["sequence"] for q in server.requests[:10]] == list(range(1, 11))
    assert sync["filtered_samples"] == 10 - len(BAD_REPLIES)
    assert sync["timer_server"] == f"127.0.0.1:{server.address[1]}"
    # Local times count from the session's clock base; each request shows where that base lies on
    # the monotonic clock, late by its one-way delay. The server's clock is offset + (monotonic - epoch).
    base = min(arrival - originate for originate, arrival in received.values())
    expected = offset - server.epoch_ns / 1000 + base
    assert abs(sync["server_minus_local_us"] - expected) <= sync["round_trip_us"] + 100, (sync, expected)


def test_frequency_follows_a_drifting_server(start_cast):
    cast = start_cast(*NO_LISTENER)
    r, conn = cast.receiver, cast.conn
    with FakeTimerServer(offset_us=5_000_000, drift_ppm=200.0) as server:
        cast.start_stream()
        name_timer_server(conn, server)
        # A PLAY ends the pause between rounds; sent 250 ms after the last round began, the
        # rounds come fast while the 32 latest still span more than the 5 s a rate fit needs.
        end = time.monotonic() + 14.0
        rounds, next_play = 0, time.monotonic()
        while time.monotonic() < end:
            rounds += 1
            r.wait_for(lambda e: len(r.named("clock_synchronized")) >= rounds, timeout=10, what=f"round {rounds}")
            next_play += 0.25
            time.sleep(max(0.0, next_play - time.monotonic()))
            conn.request("PLAY")
    ppm = [e["frequency_ppm"] for e in r.named("clock_synchronized")]
    print(f"frequency_ppm after {len(ppm)} rounds: {ppm[-1]:.2f} (every fifth: {ppm[::5]})")
    # Nothing is fitted before twenty rounds spanning 5 s; from then on the frequency closes in.
    assert ppm[:19] == [0.0] * 19
    assert abs(ppm[-1] - 200.0) <= 10.0, ppm


@pytest.fixture
def pulse(monkeypatch):
    server = PulseServer(monkeypatch)
    if not server.running:
        server.stop()
        pytest.skip("no PulseAudio server can be started here")
    yield server
    server.stop()


def test_native_output_plays_the_tone(start_cast, pulse, tone):
    frequency = 750
    rtp, frames, _ = tone_rtp(tone, seconds=2, frequency=frequency)
    recorder = MonitorRecorder()
    cast = start_cast()  # the default output: the sound server's default sink
    r = cast.receiver
    audio = cast.start_stream()
    send_paced(audio, rtp, seconds=len(frames) * 1024 / 48000)
    ready = r.wait_event("audio_output_ready")
    assert (ready["sample_rate"], ready["requested_device"]) == (48000, None)
    segment = recorder.wait_for_signal(0.02, 32768)  # from 100 ms after the onset
    recorder.stop()
    assert segment is not None, f"the sink's monitor did not hear the tone: {len(recorder.recorded())} frames"
    spectrum = np.abs(np.fft.rfft(segment * np.hanning(len(segment))))
    peak = np.argmax(spectrum) * 48000 / len(segment)
    assert abs(peak - frequency) < 3, peak
    assert [e for e in r.events if e.get("code")] == []
