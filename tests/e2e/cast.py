"""A whole cast against the real relvox: the fake phone's control connection authenticates,
hands over its media keys and opens the media session on the fake RTSP phone, whose data
connections then carry the audio."""

import time

import fake_rtsp
import media_stream as ms
import test_control
import test_media_session

AUTH = test_control.KEYS["authKey"].encode()
KEY = test_control.KEYS["streamKey"].encode()
IV = test_control.KEYS["streamIV"].encode()


class Cast:
    """relvox with one control connection that has opened a media session. `rtsp` is the phone's
    RTSP side (listener), `conn` its RTSP connection; after `start_stream`, `image` and `audio`
    are the data connections."""

    def __init__(self, relvox, *args, keys=True):
        self.rtsp = fake_rtsp.FakePhone()
        self.receiver = relvox(*test_control.ARGS, *args)
        self.receiver.wait_event("bridge_ready")
        self.control = test_control.connect(self.receiver)
        self.control.handshake()
        self.conn = self.open(keys)
        assert self.control.next_frame().body == test_control.EMPTY_MEDIA_INFO

    def open(self, keys=True):
        """An Open on the control connection; returns the new RTSP connection."""
        def connecting():
            return [e for e in self.receiver.named("status") if e.get("state") == "media_connecting"]

        n = len(connecting())
        test_control.open_cast(self.receiver, self.control, self.rtsp, with_keys=keys)
        conn = self.rtsp.accept_rtsp()
        self.receiver.wait_for(lambda e: len(connecting()) > n, what="media_connecting status")
        return conn

    def start_stream(self, **kwargs):
        self.image, self.audio = test_media_session.start_stream(self.rtsp, self.conn, self.receiver, **kwargs)
        return self.audio

    def close(self):
        self.rtsp.close()


def tone_rtp(path, seconds=3, rate=48000, encrypted=False, renew=False, frames_per_pes=4, per_packet=7,
             frequency=1000):
    """ffmpeg's AAC-LC tone as '$'-framed RTP; returns (rtp frames, adts frames, plain payloads)."""
    ms.make_aac(path, seconds=seconds, rate=rate, frequency=frequency)
    with open(path, "rb") as f:
        frames = ms.adts_frames(f.read())
    if encrypted:
        renew_at = len(frames) // frames_per_pes // 2 if renew else None
        ts, payloads = ms.mux(frames, frames_per_pes, KEY, IV, renew_at=renew_at, new_iv=b"renewed-iv-54321")
    else:
        ts, payloads = ms.mux(frames, frames_per_pes)
    return ms.rtp_frames(ts, per_packet), frames, payloads


def send_paced(sock, rtp, seconds, on_sent=None):
    """Sends the frames spread evenly over `seconds` of wall time, as a phone streams them."""
    start = time.monotonic()
    for n, frame in enumerate(rtp):
        due = start + seconds * n / len(rtp)
        delay = due - time.monotonic()
        if delay > 0:
            time.sleep(delay)
        sock.sendall(frame)
        if on_sent is not None:
            on_sent(n, frame)
