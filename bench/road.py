"""Figures of the whole receiver, measured from outside against the real relvox and the paced
playout harness with the fake peers of tests/e2e (a fake phone's control connection, a fake RTSP
source streaming ffmpeg's AAC in MPEG-TS over RTP, a PCM listener):

  time_to_sound   control Open -> first PCM byte at the --pcm-port listener (one relvox, a new
                  control connection and media session per cast); and, on the paced fake audio
                  host, the media session's RTSP connect -> first non-silent render callback
  command_to_wire "pause" line on standard input -> the phone has read the pause frame
  start_stop      process start -> "receiver_ready"; "stop" line -> process exit, with multicast
                  DNS announcing over a veth link and the Lyra channel answering

Each figure is a distribution (median and a high percentile) of wall-clock intervals on this
machine; they hold as orders of magnitude on a busy machine, not to the millisecond.

Binds the fixed ports: run inside its own network namespace (bench/run_road.sh does). RELVOX
names the relvox binary; the paced harness is taken from the same build.

  /usr/bin/python3 bench/road.py [--only NAME ...] [--casts 50] [--commands 1000] [--starts 30]
"""

import argparse
import ctypes
import os
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))

import fake_rtsp  # noqa: E402
import media_stream as ms  # noqa: E402
import netpair  # noqa: E402
import test_control  # noqa: E402
import test_discovery  # noqa: E402
import test_media_session  # noqa: E402
from cast import Cast, send_paced, tone_rtp  # noqa: E402
from lyra_phone import LyraPhone, sync_request  # noqa: E402
from media_stream import PcmListener  # noqa: E402
from relvox import Relvox  # noqa: E402
from test_cast import NO_LISTENER, PAUSE_KEY, RESUME_KEY  # noqa: E402
from test_paced_playout import PacedHarness, rtp_packets, send_in_real_time  # noqa: E402


def percentile(values, p):
    """Nearest-rank percentile."""
    ordered = sorted(values)
    rank = max(1, -(-len(ordered) * p // 100))
    return ordered[int(rank) - 1]


def report(name, seconds, high=95):
    ms_values = [s * 1000 for s in seconds]
    print(f"  {name}: n={len(ms_values)}  median {percentile(ms_values, 50):.2f} ms  "
          f"p{high} {percentile(ms_values, high):.2f} ms  max {max(ms_values):.2f} ms", flush=True)


def close_quietly(*socks):
    for s in socks:
        try:
            s.close()
        except OSError:
            pass


def time_to_pcm(casts, workdir):
    """Open -> first PCM byte, and Open -> the receiver's RTSP connection, over `casts` casts."""
    rtp, _, _ = tone_rtp(os.path.join(workdir, "tone.aac"), seconds=1)
    listener = PcmListener()
    receiver = Relvox(*test_control.ARGS, "--pcm-port", str(listener.port))
    rtsp = fake_rtsp.FakePhone()
    to_sound, to_connect = [], []
    try:
        receiver.wait_event("bridge_ready")
        for _ in range(casts):
            control = test_control.connect(receiver)
            control.handshake()
            opened = []
            heard = len(listener.first_bytes)
            test_control.open_cast(receiver, control, rtsp,
                                   before_open=lambda: opened.append(time.monotonic()))
            conn = rtsp.accept_rtsp()
            to_connect.append(time.monotonic() - opened[0])
            image, audio = test_media_session.start_stream(rtsp, conn, receiver)
            # The phone streams in real time, as it encodes; the first packets go at once.
            sender = threading.Thread(target=send_paced, args=(audio, rtp[:60], 0.3), daemon=True)
            sender.start()
            to_sound.append(listener.wait_first_bytes(heard + 1)[heard] - opened[0])
            sender.join()
            close_quietly(image, audio)
            conn.close()
            control.close()
    finally:
        receiver.stop()
        rtsp.close()
    report("Open -> receiver's RTSP connect", to_connect)
    report("Open -> first PCM byte at the listener", to_sound)


def time_to_render(casts, workdir):
    """RTSP connect -> first non-silent render callback on the paced fake host, buffer-window
    pacing (the phone names no timer server): the queue fills to its 800 ms target first."""
    aac = os.path.join(workdir, "paced.aac")
    ms.make_aac(aac, seconds=2)
    with open(aac, "rb") as f:
        packets = rtp_packets(ms.adts_frames(f.read()))
    waits = []
    for k in range(casts):
        phone = fake_rtsp.FakePhone()
        h = PacedHarness("--port", phone.port, "--out", os.path.join(workdir, f"rendered{k}"),
                         "--latency-us", 20000)
        try:
            conn = phone.accept_rtsp()
            connected = time.monotonic()
            h.wait_event("status")
            _, audio = test_media_session.start_stream(phone, conn, h)
            sender = threading.Thread(target=send_in_real_time,
                                      args=(audio, packets, time.monotonic_ns()), daemon=True)
            sender.start()
            h.wait_event("audio_output_signal_started", timeout=10)
            waits.append(h.arrivals[h.events.index(h.named("audio_output_signal_started")[0])]
                         - connected)
            sender.join()
        finally:
            h.stop()
            phone.close()
    report("RTSP connect -> first non-silent render callback (paced host, buffer window)", waits)


def wait_frame(control, body, timeout=5.0):
    """The next frame of the phone's control connection with this body (others are skipped)."""
    while True:
        frame = control.next_frame(timeout)
        if frame.body == body:
            return frame


def command_to_wire(commands):
    """A "pause" line -> the pause frame at the phone; the phone confirms every command, so the
    next one is not skipped as already in force."""
    cast = Cast(Relvox, *NO_LISTENER)
    r, control = cast.receiver, cast.control
    pauses, resumes = [], []
    try:
        cast.start_stream()
        for _ in range(commands):
            for line, key, confirm, playing, out in (
                    ("pause", PAUSE_KEY, 4, False, pauses), ("resume", RESUME_KEY, 6, True, resumes)):
                seen = len(r.events)
                sent = time.monotonic()
                r.send({"command": line})
                out.append(wait_frame(control, key).arrival - sent)
                control.send(confirm, value_type=50 if line == "pause" else 51, encrypt=True)
                r.wait_for(lambda e: e.get("event") == "playback_state" and e.get("playing") is playing,
                           start=seen, what=f"playback_state playing={playing}")
    finally:
        r.stop()
        cast.close()
    report('"pause" line -> pause frame at the phone', pauses, high=99)
    report('"resume" line -> resume frame at the phone', resumes, high=99)


def into_namespace(pid):
    """A preexec_fn that moves the child into the network namespace of `pid` before it execs:
    the process started is relvox itself, with no nsenter in front of it to time as well."""
    libc = ctypes.CDLL(None, use_errno=True)
    fd = os.open(f"/proc/{pid}/ns/net", os.O_RDONLY)

    def enter():
        if libc.setns(fd, 0x40000000) != 0:  # CLONE_NEWNET
            os._exit(126)

    return enter, fd


def start_stop(starts):
    """Start -> "receiver_ready", "stop" -> exit, with discovery and Lyra running on a real
    link: relvox alone in the far namespace of a veth pair (tests/e2e/netpair.py), announcing on
    the interface it is told to use. Each run must show all of it working before it is timed
    out: the twelve startup datagrams (three rounds of both services to the group and the
    broadcast address) arrive on this side of the link, a Lyra sync from this side is answered,
    and after the stop the twelve goodbyes arrive too. The stop is sent once the startup rounds
    are over, to a receiver in its steady state."""
    pair = netpair.NetPair()
    listener = test_discovery.Listener()
    enter, ns_fd = into_namespace(pair.holder.pid)
    ready, stopped = [], []
    try:
        for _ in range(starts):
            heard = len([d for d in listener.got if test_discovery.from_responder(d)])
            began = time.monotonic()
            r = Relvox("--expected-ip", netpair.RECEIVER_V4, "--interface-name", netpair.RECEIVER_IF,
                       "--name", "Kitchen", "--lyra-instance-id", "C0A80117", "--idm-instance-id", "abc",
                       preexec_fn=enter)
            try:
                ev = r.wait_event("receiver_ready")
                ready.append(r.arrivals[r.events.index(ev)] - began)
                r.wait_event("bridge_ready")
                test_discovery.startup_done(r)
                listener.wait(test_discovery.from_responder, heard + 12)
                phone = LyraPhone(server=(netpair.RECEIVER_V4, 55982), bind=(netpair.TEST_V4, 0))
                try:
                    phone.request(sync_request())
                finally:
                    phone.close()
                asked = time.monotonic()
                r.send({"command": "stop"})
                assert r.wait_exit() == 0
                stopped.append(time.monotonic() - asked)
                listener.wait(test_discovery.from_responder, heard + 24)
                goodbyes = r.named("discovery_goodbye")
                assert len(goodbyes) == 6 and all(e["success"] for e in goodbyes), goodbyes
                faults = [e for e in r.events if e.get("code")]
                assert faults == [], faults
            finally:
                r.stop()
    finally:
        os.close(ns_fd)
        listener.close()
        pair.close()
    report('start -> "receiver_ready" (discovery on a veth link, Lyra)', ready)
    report('"stop" -> exit (goodbyes sent)', stopped)


def main():
    parser = argparse.ArgumentParser(description="figures of the whole receiver")
    parser.add_argument("--only", nargs="*", default=None)
    parser.add_argument("--casts", type=int, default=50)
    parser.add_argument("--commands", type=int, default=1000)
    parser.add_argument("--starts", type=int, default=30)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="sonvale-road-") as workdir:
        # Each step of the road, in order; discovery and Lyra steps join here as they land.
        steps = [
            ("time_to_sound", lambda: (time_to_pcm(args.casts, workdir),
                                       time_to_render(args.casts, workdir))),
            ("command_to_wire", lambda: command_to_wire(args.commands)),
            ("start_stop", lambda: start_stop(args.starts)),
        ]
        for name, run in steps:
            if args.only is None or name in args.only:
                print(f"{name}:", flush=True)
                run()
    return 0


if __name__ == "__main__":
    sys.exit(main())
