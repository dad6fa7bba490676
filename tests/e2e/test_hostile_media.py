"""The media path of the real relvox against hostile RTSP sources: a retired session ends whatever
its source sends, a huge header that trickles in costs little CPU, and a media reader that fails
lets go of its audio connection at once. Each test ends with a phone that still authenticates."""

import socket
import threading
import time

import pytest

from test_control import a_phone_still_authenticates
from fake_rtsp import wait_closed
from proc_stats import cpu_seconds, descriptor_count, thread_names

NO_LISTENER = ("--pcm-port", "9")


def rtsp_sessions(r):
    return thread_names(r.proc.pid).count("sonvale-rtsp")


class Trickle:
    """Sends one byte every 20 ms on every connection it was given, a header that never ends."""

    def __init__(self):
        self.socks = []
        self._lock = threading.Lock()
        self._done = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def add(self, sock):
        with self._lock:
            self.socks.append(sock)

    def _run(self):
        while not self._done.wait(0.02):
            with self._lock:
                socks = list(self.socks)
            for s in socks:
                try:
                    s.send(b"X")
                except OSError:
                    pass  # the receiver has closed this one

    def stop(self):
        self._done.set()
        self._thread.join()


def test_replaced_sessions_end_while_their_sources_trickle(start_cast):
    cast = start_cast(*NO_LISTENER, keys=False)
    r = cast.receiver
    trickle = Trickle()
    conns = [cast.conn]
    try:
        trickle.add(cast.conn.sock)
        first_descriptors = descriptor_count(r.proc.pid)
        for n in range(2, 21):
            conns.append(cast.open(keys=False))
            trickle.add(conns[-1].sock)
            # The earlier session reads on as long as bytes come: it must still end within 1 s.
            deadline = time.monotonic() + 1.0
            while rtsp_sessions(r) > 1 and time.monotonic() < deadline:
                time.sleep(0.01)
            assert rtsp_sessions(r) <= 1, f"after Open {n}: {sorted(thread_names(r.proc.pid))}"
        # The retired sessions closed their RTSP connections: nothing piles up.
        assert all(c.wait_eof(timeout=1.0) for c in conns[:-1])
        assert descriptor_count(r.proc.pid) <= first_descriptors + 2
    finally:
        trickle.stop()
    assert [e for e in r.events if e.get("event") == "error"] == []
    a_phone_still_authenticates(r)


def test_huge_header_trickled_in_short_pieces_costs_little_cpu(start_cast):
    cast = start_cast(*NO_LISTENER, keys=False)
    r, conn = cast.receiver, cast.conn
    conn.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    body = b"x" * 6000
    lines = [b"GET_PARAMETER rtsp://localhost/wfd1.0 RTSP/1.0\r\n", b"CSeq: 9\r\n",
             b"Content-Length: %d\r\n" % len(body)]
    lines += [b"P%05d:ab\r\n" % i for i in range(40000)]  # 440 KB of header in short lines
    lines.append(b"\r\n")

    pid = r.proc.pid
    cpu_before, wall_before = cpu_seconds(pid), time.monotonic()
    for line in lines:
        conn.send_raw(line)
    for i in range(0, len(body), 10):  # the body in 10-byte pieces, over about 3 s
        conn.send_raw(body[i:i + 10])
        time.sleep(0.005)
    reply = conn.reply_to("9", timeout=10)
    cpu, wall = cpu_seconds(pid) - cpu_before, time.monotonic() - wall_before

    assert reply.start_line == "RTSP/1.0 200 OK"
    assert cpu < 0.25 * wall, f"relvox used {cpu:.2f} s of CPU over {wall:.2f} s of trickle"
    assert [e for e in r.events if e.get("event") == "error"] == []
    a_phone_still_authenticates(r)


def short_rtp_frame(audio):
    audio.sendall(b"$\x00\x00\x0b")  # an RTP packet cannot be 11 bytes long


def wrong_marker(audio):
    audio.sendall(b"#\x00\x00\x20")


def half_close_mid_header(audio):
    audio.sendall(b"$\x00")
    audio.shutdown(socket.SHUT_WR)


@pytest.mark.parametrize("fault, report", [
    (short_rtp_frame, "invalid ZeDidi RTP frame length 11"),
    (wrong_marker, "unexpected ZeDidi data marker 0x23"),
    (half_close_mid_header, None),
], ids=["short-rtp-frame", "wrong-marker", "phone-half-closes"])
def test_failed_reader_lets_go_of_its_audio_connection(start_cast, fault, report):
    cast = start_cast(*NO_LISTENER, keys=False)
    r = cast.receiver
    audio = cast.start_stream()
    fault(audio)
    # The phone sees the end of the audio connection at once, not when the session ends.
    assert wait_closed(audio, timeout=1.0), "the audio connection is still open"
    if report is None:
        r.wait_event("media_channel_closed", channel="audio")
    else:
        err = r.wait_event("error", code="sonvale_audio_stream_failed")
        assert report in err["message"], err["message"]
    # The RTSP session goes on.
    assert cast.conn.reply_to(cast.conn.request("GET_PARAMETER")).start_line == "RTSP/1.0 200 OK"
    a_phone_still_authenticates(r)
