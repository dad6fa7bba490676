"""Soak of the whole receiver: one relvox process takes cast after cast, each the whole road a
phone walks, and /proc shows whether anything it holds grows with the number of casts.

One cycle, all against the same relvox (the fakes are those of tests/e2e):

  Lyra      a new phone socket: sync, keep-alive, logical sync, P-256 handshake, sealed connect
            (its answer names the control port), the phone's confirmation
  control   a new connection to that port, the receiver code, SafetyAuth, the media keys, Open
  RTSP      the receiver connects to the fake source: capabilities, SETUP, PLAY, data connections
  audio     ffmpeg's AAC tone, encrypted PES in MPEG-TS over RTP, sent at real time (the PCM queue
            holds 2 s, so nothing is dropped); every PCM byte must reach the --pcm-port listener
            and match ffmpeg's own decode within one step
  close     the phone closes its data, RTSP and control connections; the cycle ends when the
            receiver reports both the RTSP channel and the control transport closed

Thread count, open descriptors, VmRSS and RssAnon are read from /proc/<pid> before the first cycle and
after every --every cycles (once the session's threads have ended, waited for at most 2 s). The
figures are the samples, the least-squares slope per 100 cycles over the run after the first
sample interval (the warm-up: allocator arenas, codec and crypto tables, the Lyra session table
filling) and over its second half, and the wall time per cycle. A leak shows as a slope that
stays in the second half; allocator noise is a few hundred kB either way.

Binds the receiver's fixed ports: run it in a private network namespace.

  unshare -n sh -c 'ip link set lo up; RELVOX=build/bench/src/relvox \
      /usr/bin/python3 bench/soak.py --cycles 1000 --audio-seconds 1 --every 100'
"""

import argparse
import os
import socket
import statistics
import sys
import tempfile
import time

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))

import fake_rtsp  # noqa: E402
import media_stream as ms  # noqa: E402
import test_control  # noqa: E402
import test_media_session  # noqa: E402
from cast import send_paced, tone_rtp  # noqa: E402
from fake_phone import FakePhone  # noqa: E402
from lyra_phone import lyra_road  # noqa: E402
from media_stream import PcmListener  # noqa: E402
from proc_stats import descriptor_count, rss_kb, status_kb, thread_names  # noqa: E402
from relvox import Relvox  # noqa: E402

ARGS = [*test_control.ARGS, "--name", "Desk", "--lyra-instance-id", "1A2B3C4D"]


class DrainingPcmListener(PcmListener):
    """The e2e PCM listener, with the bytes of finished cycles taken out so that a long soak does
    not hold every byte it was sent."""

    def take(self, n, timeout=10.0):
        """Waits for `n` bytes and removes them; fewer if they do not come in time."""
        with self._cv:
            self._cv.wait_for(lambda: len(self.data) >= n, timeout)
            got = bytes(self.data[:n])
            del self.data[:n]
            return got

    def pending(self):
        with self._cv:
            return len(self.data)


class Soak:
    def __init__(self, workdir, audio_seconds):
        tone = os.path.join(workdir, "tone.aac")
        self.rtp, frames, _ = tone_rtp(tone, seconds=audio_seconds, encrypted=True,
                                       frames_per_pes=1, per_packet=1)
        self.send_seconds = len(frames) * 1024 / 48000
        self.reference, _ = ms.resample_reference(ms.reference_f32(tone))
        self.listener = DrainingPcmListener()
        self.receiver = Relvox(*ARGS, "--pcm-port", str(self.listener.port))
        self.rtsp = fake_rtsp.FakePhone()
        self.receiver.wait_event("lyra_command_ready")
        self.receiver.wait_event("bridge_ready")
        self.pid = self.receiver.proc.pid
        self.idle_threads = None

    def close(self):
        self.receiver.stop()
        self.rtsp.close()

    def after(self, start, pred, what, timeout=10.0):
        return self.receiver.wait_for(pred, timeout=timeout, what=what, start=start)

    def cycle(self, n):
        """One whole cast; `n` counts from 1 and is the receiver's media generation."""
        r = self.receiver
        seen = len(r.events)
        port = lyra_road("127.0.0.1", conv=0x5EED0000 + n, quiet_after_confirm=False)
        assert port == 8899, port
        control = FakePhone(port=port)
        image = audio = conn = None
        try:
            hello = control.next_frame()
            assert (hello.outer, hello.command) == (0, 40), hello
            _, _, ack = control.handshake()
            assert ack.command == 3 and b'"result": "0"' in ack.body, ack
            remote = "%s:%d" % control.address
            test_control.open_cast(r, control, self.rtsp, with_keys=True)
            conn = self.rtsp.accept_rtsp()
            assert control.next_frame().body == test_control.EMPTY_MEDIA_INFO
            image, audio = test_media_session.start_stream(self.rtsp, conn, r)
            self.after(seen, lambda e: e.get("event") == "interconnect_stage"
                       and e.get("stage") == "media_session_established"
                       and e.get("media_generation") == n, f"media generation {n}")
            self.after(seen, lambda e: e.get("event") == "stream_started", "stream_started")
            send_paced(audio, self.rtp, self.send_seconds)
            audio.shutdown(socket.SHUT_WR)
            want = self.reference.size * 2
            got = self.listener.take(want)
            assert len(got) == want, f"cycle {n}: {len(got)} of {want} PCM bytes"
            pcm = np.frombuffer(got, dtype="<i2").reshape(-1, 2)
            diff = np.abs(pcm.astype(np.int32) - self.reference.astype(np.int32)).max()
            assert diff <= 1, f"cycle {n}: PCM differs from the reference decode by {diff}"
        finally:
            for s in (image, audio):
                if s is not None:
                    s.close()
            if conn is not None:
                conn.close()
            control.close()
        self.after(seen, lambda e: e.get("event") == "media_channel_closed" and e.get("channel") == "rtsp"
                   and e.get("media_generation") == n, f"RTSP channel {n} closed")
        self.after(seen, lambda e: e.get("event") == "interconnect_stage"
                   and e.get("stage") == "transport_disconnected" and e.get("remote") == remote,
                   f"control transport {remote} closed")
        faults = [e for e in r.events[seen:] if e.get("code")]
        assert faults == [], f"cycle {n}: {faults}"
        assert self.listener.pending() == 0, f"cycle {n}: {self.listener.pending()} PCM bytes too many"

    def sample(self):
        """(threads, descriptors, VmRSS kB, RssAnon kB) once the last session's threads have
        ended. RssAnon leaves out the pages of shared libraries, which come in as code paths are
        first taken."""
        deadline = time.monotonic() + 2.0
        if self.idle_threads is None:
            # The receiver's own threads start and name themselves after its ready events: the
            # idle count is the one that has held for half a second.
            names, since = sorted(thread_names(self.pid)), time.monotonic()
            while time.monotonic() - since < 0.5 and time.monotonic() < deadline + 1.0:
                time.sleep(0.05)
                now = sorted(thread_names(self.pid))
                if now != names:
                    names, since = now, time.monotonic()
        while (self.idle_threads is not None and len(thread_names(self.pid)) > self.idle_threads
               and time.monotonic() < deadline):
            time.sleep(0.02)
        threads = len(thread_names(self.pid))
        if self.idle_threads is None:
            self.idle_threads = threads
        return threads, descriptor_count(self.pid), rss_kb(self.pid), status_kb(self.pid, "RssAnon")


def slope_per_100(points):
    """Least-squares slope of (cycle, value) points, per 100 cycles; None for fewer than 2."""
    if len(points) < 2:
        return None
    xs = [x for x, _ in points]
    ys = [y for _, y in points]
    mx, my = statistics.fmean(xs), statistics.fmean(ys)
    sxx = sum((x - mx) ** 2 for x in xs)
    return 100 * sum((x - mx) * (y - my) for x, y in zip(xs, ys)) / sxx


def percentile(values, p):
    """Nearest-rank percentile."""
    ordered = sorted(values)
    rank = max(1, -(-len(ordered) * p // 100))
    return ordered[int(rank) - 1]


def main():
    parser = argparse.ArgumentParser(description="soak of the whole receiver")
    parser.add_argument("--cycles", type=int, default=1000)
    parser.add_argument("--audio-seconds", type=float, default=1.0)
    parser.add_argument("--every", type=int, default=100, help="cycles between /proc samples")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="sonvale-soak-") as workdir:
        soak = Soak(workdir, args.audio_seconds)
        samples = []  # (cycle, threads, descriptors, VmRSS kB, RssAnon kB, mean s per cycle since last)
        durations = []
        try:
            samples.append((0, *soak.sample(), None))
            print(f"relvox pid {soak.pid}, {args.cycles} cycles of {soak.send_seconds:.3f} s of audio",
                  flush=True)
            print(f"  {'cycle':>6} {'threads':>8} {'fds':>5} {'VmRSS kB':>9} {'RssAnon kB':>11} {'s/cycle':>8}",
                  flush=True)
            _, t, f, kb, anon, _ = samples[0]
            print(f"  {0:>6} {t:>8} {f:>5} {kb:>9} {anon:>11}", flush=True)
            for n in range(1, args.cycles + 1):
                began = time.monotonic()
                soak.cycle(n)
                durations.append(time.monotonic() - began)
                if n % args.every == 0 or n == args.cycles:
                    recent = statistics.fmean(durations[samples[-1][0]:])
                    samples.append((n, *soak.sample(), recent))
                    c, t, f, kb, anon, s = samples[-1]
                    print(f"  {c:>6} {t:>8} {f:>5} {kb:>9} {anon:>11} {s:>8.3f}", flush=True)
        finally:
            soak.close()

    warm = [s for s in samples if s[0] >= min(args.every, args.cycles)]
    late = [s for s in samples if s[0] >= args.cycles // 2]
    print("least-squares slope per 100 cycles (after the first interval | second half):")
    for name, i, unit in (("threads", 1, ""), ("descriptors", 2, ""), ("VmRSS", 3, " kB"),
                          ("RssAnon", 4, " kB")):
        whole = slope_per_100([(s[0], s[i]) for s in warm])
        second = slope_per_100([(s[0], s[i]) for s in late])
        fmt = lambda v: "n/a" if v is None else f"{v:+.2f}{unit}"  # noqa: E731
        print(f"  {name}: {fmt(whole)} | {fmt(second)}")
    print(f"time per cycle: n={len(durations)}  median {statistics.median(durations) * 1000:.1f} ms  "
          f"p95 {percentile(durations, 95) * 1000:.1f} ms  max {max(durations) * 1000:.1f} ms  "
          f"(audio {soak.send_seconds * 1000:.1f} ms of it)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
