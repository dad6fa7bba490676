"""CPU of the whole media path of the real relvox against the ffmpeg command line, and the time
from the first RTP packet to the first PCM byte, measured from outside.

  cpu        600 s of ffmpeg's AAC-LC tone, encrypted PES starts (the IV renewed half-way) in
             MPEG-TS over '$'-framed RTP, written at once to the audio data connection of a cast
             (the fakes of tests/e2e: control Open, RTSP sink exchange); the PCM is read at the
             --pcm-port listener. relvox's CPU is utime + stime of the whole process from
             /proc/<pid>/stat, from just before the first byte is written until the listener has
             the last PCM byte (the phone closes the audio connection after the last packet, and
             relvox then closes the PCM stream); the baseline is
             `ffmpeg -nostdin -i <the same audio as plain .ts> -f s16le -ar 44100 -` to /dev/null
             (its utime + stime from wait4). Runs alternate, a fresh relvox each time, both at
             the same raised priority. Prints each run, the ratio of the medians, real-time
             factors (audio seconds per CPU second) and peak RSS (VmHWM of relvox, ru_maxrss of
             ffmpeg); then sends the cast once more at 100 times real time and prints the
             SHA-256 of the whole PCM stream, which must be the same from one build to the next.
  first_pcm  one relvox, cast after cast: the phone writes its first second of audio at once;
             the time from that write to the first PCM byte at the listener (median, min, max).

Binds the receiver's fixed ports: run it in a private network namespace (bench/run_media_cpu.sh
does). RELVOX names the relvox binary.

  /usr/bin/python3 bench/media_cpu.py [--only cpu|first_pcm] [--seconds 600] [--runs 3]
                                      [--casts 20] [--perf perf.data]
"""

import argparse
import hashlib
import os
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))

import fake_rtsp  # noqa: E402
import media_stream as ms  # noqa: E402
import test_control  # noqa: E402
import test_media_session  # noqa: E402
from cast import Cast, tone_rtp  # noqa: E402
from media_stream import PcmListener  # noqa: E402
from proc_stats import cpu_seconds, status_kb  # noqa: E402
from relvox import Relvox  # noqa: E402


SO_RCVBUFFORCE = getattr(socket, "SO_RCVBUFFORCE", 33)  # Linux; needs CAP_NET_ADMIN
# Both sides of the comparison run at a raised priority (nice execs the command in its own
# process): on a machine shared with builds, the PCM streamer must not wait for a CPU for longer
# than relvox's 2 s queue lasts at a thousand times real time, a few milliseconds.
PRIORITY = ("nice", "-n", "-10")


def pcm_stream_bytes(chunks, frames_per_chunk=1024):
    """Bytes of the 44100 Hz s16 stereo stream made from `chunks` decoded frames: per chunk the
    output positions p, p + step, ... below the chunk's frame count, summed one after the other
    in 64-bit floats as the resampler does (numpy's cumsum adds sequentially)."""
    step = 48000 / 44100
    tail = np.full(frames_per_chunk, step)
    p, total = 0.0, 0
    for _ in range(chunks):
        positions = np.cumsum(np.concatenate(([p], tail)))
        n = int(np.searchsorted(positions, float(frames_per_chunk)))
        total += n
        p = positions[n] - frames_per_chunk
    return total * 4


class CountingListener:
    """Takes one PCM connection and reads it as fast as it comes, hashing and counting the bytes,
    until relvox closes it; samples the process's CPU time at once then."""

    def __init__(self, pid):
        self.sock = socket.socket()
        # A receive buffer of its own size, set before listen() so the window scale allows it:
        # the 2 s queue of relvox covers a few milliseconds here, so a listener that the
        # scheduler holds up must not make it drop what it has.
        try:
            self.sock.setsockopt(socket.SOL_SOCKET, SO_RCVBUFFORCE, 32 << 20)
        except OSError:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 32 << 20)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(1)
        self.port = self.sock.getsockname()[1]
        self.pid = pid
        self.got = 0
        self.digest = hashlib.sha256()
        self.done = threading.Event()
        self.end_cpu = self.end_time = None
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        try:
            conn, _ = self.sock.accept()
        except OSError:
            self.done.set()
            return
        buf = bytearray(1 << 20)
        view = memoryview(buf)
        while n := conn.recv_into(buf):
            self.digest.update(view[:n])
            self.got += n
        self.end_cpu = cpu_seconds(self.pid())
        self.end_time = time.monotonic()
        self.done.set()
        conn.close()

    def close(self):
        self.sock.close()


def send_and_close(sock, data, bytes_per_second=None):
    """The whole stream at once, or spread evenly at `bytes_per_second`; then the phone's close."""
    if bytes_per_second is None:
        sock.sendall(data)
    else:
        start = time.monotonic()
        for pos in range(0, len(data), 16384):
            delay = start + pos / bytes_per_second - time.monotonic()
            if delay > 0:
                time.sleep(delay)
            sock.sendall(data[pos:pos + 16384])
    sock.shutdown(socket.SHUT_WR)


def relvox_run(stream, bytes_per_second=None, perf_out=None):
    """One cast of the whole stream, which the phone then closes: relvox's reader ends, its PCM
    streamer writes what is queued and closes the PCM connection. Returns (cpu s, wall s, PCM
    bytes, VmHWM kB, digest)."""
    pid = [None]
    listener = CountingListener(lambda: pid[0])
    cast = Cast(lambda *args: Relvox(*args, prefix=PRIORITY), "--pcm-port", str(listener.port))
    pid[0] = cast.receiver.proc.pid
    profiler = None
    try:
        audio = cast.start_stream()
        if perf_out:
            profiler = subprocess.Popen(["perf", "record", "-g", "-q", "-o", perf_out, "-p", str(pid[0])],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            time.sleep(1.0)  # perf attaches to every thread before the audio starts
        start_cpu = cpu_seconds(pid[0])
        start_time = time.monotonic()
        threading.Thread(target=send_and_close, args=(audio, stream, bytes_per_second), daemon=True).start()
        if not listener.done.wait(120) or listener.end_cpu is None:
            raise SystemExit(f"relvox did not close the PCM stream; {listener.got} bytes came")
        if profiler:
            profiler.send_signal(2)
            profiler.wait()
        cast.receiver.wait_event("media_channel_closed", channel="audio")
        faults = [e for e in cast.receiver.events if e.get("code")]
        if faults:
            raise SystemExit(f"relvox reported {faults}")
        hwm = status_kb(pid[0], "VmHWM")
        return (listener.end_cpu - start_cpu, listener.end_time - start_time, listener.got, hwm,
                listener.digest.hexdigest())
    finally:
        cast.receiver.stop()
        cast.close()
        listener.close()


def ffmpeg_run(ts_path):
    """The baseline: ffmpeg's CPU seconds and peak RSS (kB) for the same audio."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        pid = os.posix_spawnp(PRIORITY[0], [*PRIORITY, "ffmpeg", "-nostdin", "-i", ts_path, "-f", "s16le", "-ar",
                                            "44100", "-"],
                              os.environ, file_actions=[(os.POSIX_SPAWN_DUP2, devnull, 1),
                                                        (os.POSIX_SPAWN_DUP2, devnull, 2)])
    finally:
        os.close(devnull)
    start = time.monotonic()
    _, status, usage = os.wait4(pid, 0)
    wall = time.monotonic() - start
    if os.waitstatus_to_exitcode(status) != 0:
        raise SystemExit(f"ffmpeg failed on {ts_path}")
    return usage.ru_utime + usage.ru_stime, wall, usage.ru_maxrss


def load_average():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def cpu_against_ffmpeg(seconds, runs, workdir, perf_out):
    aac = os.path.join(workdir, "tone.aac")
    rtp, frames, _ = tone_rtp(aac, seconds=seconds, encrypted=True, renew=True)
    stream = b"".join(rtp)
    ts_path = os.path.join(workdir, "tone.ts")
    ms.ffmpeg("-i", aac, "-c:a", "copy", "-f", "mpegts", "-mpegts_start_pid", "0x1100", ts_path)
    expected = pcm_stream_bytes(len(frames))
    audio_seconds = len(frames) * 1024 / 48000
    print(f"  stream: {audio_seconds:.1f} s, {len(frames)} AAC frames, {len(rtp)} RTP packets, "
          f"{len(stream)} bytes; {expected} bytes of PCM expected; load average {load_average()}",
          flush=True)

    ours, theirs = [], []
    for k in range(runs):
        cpu, wall, got, hwm, _ = relvox_run(stream)
        ours.append((cpu, wall, hwm))
        f_cpu, f_wall, f_rss = ffmpeg_run(ts_path)
        theirs.append((f_cpu, f_wall, f_rss))
        # The 2 s queue lasts a few milliseconds at this speed: when the scheduler holds the PCM
        # streamer up for longer, the oldest chunks go, as designed. Their decoding was done.
        short = "" if got == expected else f", {expected - got} PCM bytes dropped by the queue"
        print(f"  run {k + 1}: relvox {cpu:.3f} s CPU ({wall:.3f} s wall, VmHWM {hwm / 1024:.1f} MiB{short})   "
              f"ffmpeg {f_cpu:.3f} s CPU ({f_wall:.3f} s wall, maxrss {f_rss / 1024:.1f} MiB)   "
              f"load {load_average()}", flush=True)
    if perf_out:
        relvox_run(stream, perf_out=perf_out)
        print(f"  profile of one more relvox run in {perf_out}")

    ours_cpu = statistics.median(c for c, _, _ in ours)
    theirs_cpu = statistics.median(c for c, _, _ in theirs)
    print(f"  relvox CPU (median):  {ours_cpu:.3f} s   real-time factor {audio_seconds / ours_cpu:.0f}x")
    print(f"  ffmpeg CPU (median):  {theirs_cpu:.3f} s   real-time factor {audio_seconds / theirs_cpu:.0f}x")
    print(f"  ratio relvox/ffmpeg:  {ours_cpu / theirs_cpu:.3f}")
    print(f"  peak RSS: relvox {max(h for _, _, h in ours) / 1024:.1f} MiB, "
          f"ffmpeg {max(r for _, _, r in theirs) / 1024:.1f} MiB", flush=True)

    # Every byte, for a stream to compare from one build to the next: the same cast sent at
    # 100 times real time, where the queue holds 20 ms.
    _, _, got, _, digest = relvox_run(stream, bytes_per_second=100 * len(stream) / audio_seconds)
    if got != expected:
        print(f"  PCM stream at 100x real time: {got} of {expected} bytes, no digest")
    else:
        print(f"  PCM stream SHA-256 (100x real time, all {got} bytes): {digest}")


def first_rtp_to_first_pcm(casts, workdir):
    """The phone writes its first second at once; the first PCM byte at the listener. relvox runs
    at the raised priority of the CPU runs, so that its own path is timed rather than the wait
    of its threads for a CPU of a busy machine."""
    rtp, _, _ = tone_rtp(os.path.join(workdir, "first.aac"), seconds=1, encrypted=True)
    opening = b"".join(rtp)
    listener = PcmListener()
    receiver = Relvox(*test_control.ARGS, "--pcm-port", str(listener.port), prefix=PRIORITY)
    rtsp = fake_rtsp.FakePhone()
    waits = []
    try:
        receiver.wait_event("bridge_ready")
        for _ in range(casts):
            control = test_control.connect(receiver)
            control.handshake()
            heard = len(listener.first_bytes)
            test_control.open_cast(receiver, control, rtsp)
            conn = rtsp.accept_rtsp()
            image, audio = test_media_session.start_stream(rtsp, conn, receiver)
            sent = time.monotonic()
            audio.sendall(opening)
            waits.append(listener.wait_first_bytes(heard + 1)[heard] - sent)
            for s in (image, audio):
                s.close()
            conn.close()
            control.close()
    finally:
        receiver.stop()
        rtsp.close()
    values = sorted(w * 1000 for w in waits)
    print(f"  first RTP packet -> first PCM byte: n={len(values)}  median {statistics.median(values):.2f} ms  "
          f"min {values[0]:.2f} ms  max {values[-1]:.2f} ms  (load average {load_average()})")


def main():
    parser = argparse.ArgumentParser(description="media path CPU against ffmpeg; first RTP -> first PCM")
    parser.add_argument("--only", choices=["cpu", "first_pcm"], default=None)
    parser.add_argument("--seconds", type=int, default=600)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--casts", type=int, default=20)
    parser.add_argument("--perf", default=None, help="record one more relvox run with perf into this file")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="sonvale-media-cpu-") as workdir:
        if args.only in (None, "cpu"):
            print("cpu:", flush=True)
            cpu_against_ffmpeg(args.seconds, args.runs, workdir, args.perf)
        if args.only in (None, "first_pcm"):
            print("first_pcm:", flush=True)
            first_rtp_to_first_pcm(args.casts, workdir)
    return 0


if __name__ == "__main__":
    sys.exit(main())
