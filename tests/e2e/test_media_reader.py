"""Black-box tests of the media reader's decoding road through the harness_reader executable:
'$'-framed RTP carrying MPEG-TS with AAC-LC from ffmpeg, plain or with encrypted PES starts, in
PCM-stream mode to a TCP listener, against ffmpeg's own decode passed through an independent
resampler."""

import os
import shutil
import socket
import struct
import subprocess

import numpy as np
import pytest

import media_stream as ms
from harness_reader import HarnessReader, harness_path
from media_stream import PcmListener

pytestmark = pytest.mark.skipif(not os.path.exists(harness_path()), reason="harness_reader not built")

AUTH, KEY, IV = b"AAAAAAAAAAAAAAAA", b"0123456789abcdef", b"fedcba9876543210"
NEW_IV = b"renewed-iv-54321"


@pytest.fixture
def harness():
    started = []

    def start(*args):
        h = HarnessReader(*args)
        started.append(h)
        return h

    yield start
    for h in started:
        h.stop()


@pytest.fixture(scope="module")
def tone(tmp_path_factory):
    path = str(tmp_path_factory.mktemp("media") / "tone.aac")
    ms.make_aac(path, seconds=3)
    with open(path, "rb") as f:
        return path, ms.adts_frames(f.read())


@pytest.mark.parametrize("encrypted", [False, True], ids=["plain", "encrypted"])
def test_pcm_stream_matches_the_reference(harness, tone, encrypted):
    path, frames = tone
    frames_per_pes = 4
    if encrypted:
        ts, payloads = ms.mux(frames, frames_per_pes, KEY, IV, renew_at=len(frames) // frames_per_pes // 2, new_iv=NEW_IV)
        args = ["--keys", ",".join(k.decode() for k in (AUTH, KEY, IV))]
    else:
        ts, payloads = ms.mux(frames, frames_per_pes)
        args = []
    listener = PcmListener()
    h = harness(*args, "--output-device", f"stream:127.0.0.1:{listener.port}")
    rtp = ms.rtp_frames(ts)
    total = sum(len(f) for f in rtp)
    sent = 0
    with h.connect() as conn:
        for frame in rtp:
            conn.sendall(frame)
            sent += len(frame)
            # The streamer keeps at most 2 s of PCM queued and drops the oldest beyond that: keep
            # what has been sent within about 1.3 s of what the listener has received.
            frames_sent = len(frames) * sent // total
            listener.wait_bytes((frames_sent - 60) * 3700)
        conn.shutdown(socket.SHUT_WR)
        result = h.wait_event("harness_reader_result")
    assert result["remote_closed"] == {"channel": "audio", "bytes_read": 0, "bytes_expected": 4}

    reference, counts = ms.resample_reference(ms.reference_f32(path))
    assert len(ms.reference_f32(path)) == len(frames) * 1024
    assert counts[:11] == [941, 941, 941, 941, 941, 940, 941, 941, 941, 941, 940]
    got = np.frombuffer(listener.wait_bytes(reference.size * 2), dtype="<i2").reshape(-1, 2)
    assert got.shape == reference.shape
    diff = np.abs(got.astype(np.int32) - reference.astype(np.int32))
    assert diff.max() <= 1, f"largest difference {diff.max()} at frame {diff.argmax() // 2}"
    assert np.abs(got).max() > 2000  # the tone (amplitude 1/8) is there, not silence

    fmt = h.named("audio_format")
    assert fmt == [{"event": "audio_format", "codec": "AAC-LC", "sample_rate": 48000,
                    "required_sample_rate": 48000, "channels": 2, "bits_per_sample": 16,
                    "bitrate": len(frames[0]) * 48000 // 128, "encrypted": encrypted,
                    "transport": "RTP/MP2T/TCP"}]
    assert h.named("aac_pes_layout") == [{"event": "aac_pes_layout", "protocol": "xiaomi_zedidi",
                                          "pes_payload_bytes": len(payloads[0]),
                                          "frames_in_pes": frames_per_pes, "buffered_adts_bytes": 0}]
    decoded = h.named("audio_pcm_decoded")
    numbers = [e["decoded_frames"] for e in decoded]
    assert numbers[0] == 1 and {8, 32, 128} <= set(numbers)
    first = decoded[0]
    assert first["adts_frame_bytes"] == len(frames[0])
    assert first["adts_header_hex"] == frames[0][:7].hex()
    assert first["aac_payload_prefix_hex"] == frames[0][7:39].hex()
    assert first["samples"] == 2048
    loud = [e for e in decoded if e["non_silent"]]
    assert loud and loud[-1]["peak"] > 0.05


def test_close_after_two_header_bytes_is_an_orderly_close(harness):
    h = harness("--output-device", "stream:127.0.0.1:9")
    with h.connect() as conn:
        conn.sendall(b"$\x00")
        conn.shutdown(socket.SHUT_WR)
        result = h.wait_event("harness_reader_result")
    assert result["remote_closed"] == {"channel": "audio", "bytes_read": 2, "bytes_expected": 4}


def test_reset_is_a_read_error(harness):
    h = harness("--output-device", "stream:127.0.0.1:9")
    conn = h.connect()
    conn.sendall(b"$\x00")
    conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    conn.close()
    result = h.wait_event("harness_reader_result")
    assert result["remote_closed"] is None
    assert result["error"].startswith("read ZeDidi media stream: ")


def test_44100_hz_stream_is_refused(harness, tmp_path):
    path = str(tmp_path / "tone44.aac")
    ms.make_aac(path, seconds=0.5, rate=44100)
    with open(path, "rb") as f:
        frames = ms.adts_frames(f.read())
    ts, _ = ms.mux(frames, 2)
    h = harness("--output-device", "stream:127.0.0.1:9")
    with h.connect() as conn:
        try:
            for frame in ms.rtp_frames(ts):
                conn.sendall(frame)
        except OSError:
            pass  # the reader may have ended and closed already
        result = h.wait_event("harness_reader_result")
    assert result["error"] == "unsupported ZeDidi AAC sample rate 44100 Hz; expected 48000 Hz"
    assert h.named("audio_format")[0]["sample_rate"] == 44100


def machine_has_audio_output():
    """A sound server or an ALSA card would give the reader a real default output."""
    if shutil.which("pactl") and subprocess.run(["pactl", "info"], capture_output=True).returncode == 0:
        return True
    try:
        with open("/proc/asound/cards") as f:
            return "no soundcards" not in f.read()
    except OSError:
        return False


@pytest.mark.skipif(machine_has_audio_output(), reason="this machine has an audio output")
def test_native_output_unavailable_ends_the_reader(harness):
    h = harness()
    with h.connect():
        result = h.wait_event("harness_reader_result")
    assert result["error"] == "no native audio output device"
