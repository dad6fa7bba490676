"""Test media for the decoding road: AAC-LC made by the ffmpeg CLI, muxed into an MPEG transport
stream (ISO/IEC 13818-1) with optionally AES-128-CBC encrypted PES starts, framed as '$'-prefixed
RTP packets (RFC 3550 over RTSP interleaving), and the independent reference of the PCM stream."""

import os
import socket
import struct
import subprocess
import threading
import time

import numpy as np
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

AUDIO_PID = 0x1100
STREAM_ID = 0xC0


def ffmpeg(*args):
    subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-y", *args], check=True)


def make_aac(path, seconds, rate=48000, frequency=1000):
    ffmpeg("-f", "lavfi", "-i", f"sine=frequency={frequency}:sample_rate={rate}:duration={seconds}",
           "-ac", "2", "-ar", str(rate), "-c:a", "aac", "-f", "adts", path)


def adts_frames(data):
    frames, pos = [], 0
    while pos + 7 <= len(data):
        length = ((data[pos + 3] & 3) << 11) | (data[pos + 4] << 3) | (data[pos + 5] >> 5)
        frames.append(data[pos:pos + length])
        pos += length
    return frames


def reference_f32(path):
    """ffmpeg's own decode of the AAC file: interleaved stereo float32 at 48000 Hz."""
    out = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-i", path, "-f", "f32le", "-ar", "48000",
                          "-ac", "2", "-"], check=True, stdout=subprocess.PIPE).stdout
    return np.frombuffer(out, dtype="<f4").reshape(-1, 2)


def resample_reference(frames_f32, chunk_frames=1024):
    """The PCM stream as defined: per decoded chunk, output frames at positions p, p + step, ...
    below the chunk's frame count, each interpolated in float32 between input frames i - 1 and i
    (silence before the first), then s16 by clamp, x32767, round half away from zero.
    Returns (s16 array of shape (n, 2), list of chunk frame counts)."""
    step = 48000 / 44100
    x = np.concatenate([np.zeros((1, 2), np.float32), frames_f32.astype(np.float32)])
    positions, counts, base, pos = [], [], 0, 0.0
    for start in range(0, len(frames_f32), chunk_frames):
        n = min(chunk_frames, len(frames_f32) - start)
        ps = []
        p = pos
        while p < n:
            ps.append(base + p)
            p += step
        pos = p - n
        base += n
        positions.extend(ps)
        counts.append(len(ps))
    p = np.array(positions)
    i = np.floor(p).astype(np.int64)
    f = (p - i).astype(np.float32)[:, None]
    a, b = x[i], x[i + 1]  # input frame i - 1 and i, shifted by the leading silence
    v = (a + (b - a) * f).astype(np.float32)
    v = np.clip(v, np.float32(-1), np.float32(1)) * np.float32(32767)
    s = np.sign(v) * np.floor(np.abs(v) + 0.5)
    return s.astype(np.int16), counts


def _timestamp(prefix, t):
    return bytes([(prefix << 4) | ((t >> 29) & 0x0E) | 1, (t >> 22) & 0xFF, ((t >> 14) & 0xFE) | 1,
                  (t >> 7) & 0xFF, ((t << 1) & 0xFE) | 1])


def pes_packet(payload, pts, iv=None):
    header, flags = _timestamp(2, pts), 0x80
    if iv is not None:
        flags |= 0x01
        header += b"\x80" + iv
    body = bytes([0x80, flags, len(header)]) + header + payload
    return b"\x00\x00\x01" + bytes([STREAM_ID]) + struct.pack(">H", len(body)) + body


def ts_packets(pes, counter):
    out, pos = [], 0
    while pos < len(pes):
        chunk = pes[pos:pos + 184]
        first = (0x40 if pos == 0 else 0) | (AUDIO_PID >> 8)
        if len(chunk) == 184:
            out.append(bytes([0x47, first, AUDIO_PID & 0xFF, 0x10 | (counter & 0xF)]) + chunk)
        else:
            af = 183 - len(chunk)
            stuffing = (b"\x00" + b"\xff" * (af - 1)) if af else b""
            out.append(bytes([0x47, first, AUDIO_PID & 0xFF, 0x30 | (counter & 0xF), af]) + stuffing + chunk)
        counter += 1
        pos += 184
    return out, counter


def encrypt_start(payload, key, iv):
    n = min(len(payload), 256) // 16 * 16
    if n == 0:
        return payload
    enc = Cipher(algorithms.AES(key), modes.CBC(iv)).encryptor()
    return enc.update(payload[:n]) + enc.finalize() + payload[n:]


def mux(frames, frames_per_pes, key=None, iv=None, renew_at=None, new_iv=None):
    """Transport stream packets of the audio PES; with `key`, each PES payload start encrypted;
    the PES with index `renew_at` carries `new_iv`, in force from then on. Returns
    (packets, payloads) with the plain PES payloads."""
    packets, payloads, counter, current_iv = [], [], 0, iv
    for n, start in enumerate(range(0, len(frames), frames_per_pes)):
        payload = b"".join(frames[start:start + frames_per_pes])
        payloads.append(payload)
        carried = None
        if key is not None and n == renew_at:
            current_iv = carried = new_iv
        wire = encrypt_start(payload, key, current_iv) if key is not None else payload
        pts = 90000 + start * 1920
        pk, counter = ts_packets(pes_packet(wire, pts, carried), counter)
        packets.extend(pk)
    return packets, payloads


def rtp_frames(ts, per_packet=7):
    out = []
    for n, start in enumerate(range(0, len(ts), per_packet)):
        payload = b"".join(ts[start:start + per_packet])
        rtp = struct.pack(">BBHII", 0x80, 0x21, n & 0xFFFF, (n * 1800) & 0xFFFFFFFF, 0x5EED) + payload
        out.append(b"$" + bytes([0]) + struct.pack(">H", len(rtp)) + rtp)
    return out


class PcmListener:
    """A TCP listener that collects the PCM stream: the bytes of every connection it accepts, in
    arrival order, in `data`; `read_ends` holds the running byte count after each read and
    `first_bytes` the time.monotonic() of each connection's first bytes, in arrival order. With
    `close_after`, the first connection is closed once that many bytes have come; with
    `reading=False`, connections are accepted and never read."""

    def __init__(self, close_after=None, reading=True):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(4)
        self.port = self.sock.getsockname()[1]
        self.data = bytearray()
        self.read_ends = []
        self.first_bytes = []
        self.connections = []
        self._close_after = close_after
        self._reading = reading
        self._cv = threading.Condition()
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            with self._cv:
                self.connections.append(conn)
                self._cv.notify_all()
            if self._reading:
                threading.Thread(target=self._read, args=(conn, len(self.connections) == 1), daemon=True).start()

    def _read(self, conn, first):
        got = 0
        while True:
            chunk = conn.recv(65536)
            if not chunk:
                break
            arrival = time.monotonic()
            with self._cv:
                if got == 0:
                    self.first_bytes.append(arrival)
                got += len(chunk)
                self.data += chunk
                self.read_ends.append(len(self.data))
                self._cv.notify_all()
            if first and self._close_after is not None and got >= self._close_after:
                conn.close()
                return

    def wait_bytes(self, n, timeout=20.0):
        with self._cv:
            self._cv.wait_for(lambda: len(self.data) >= n, timeout)
            return bytes(self.data)

    def wait_first_bytes(self, n, timeout=10.0):
        """The first-byte times once `n` connections have sent bytes."""
        with self._cv:
            assert self._cv.wait_for(lambda: len(self.first_bytes) >= n, timeout), self.first_bytes
            return list(self.first_bytes)

    def wait_connections(self, n, timeout=10.0):
        with self._cv:
            assert self._cv.wait_for(lambda: len(self.connections) >= n, timeout), self.connections
