"""The fake timer server answers as its settings say; the black-box clock tests rely on it."""

import socket
import struct
import time

import pytest

from fake_timer_server import FakeTimerServer


def exchange(server, sequence, originate=1234, timeout=0.5):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.settimeout(timeout)
        s.connect(server.address)
        s.send(struct.pack("<q24xI4x", originate, sequence))
        try:
            return s.recv(2048)
        except socket.timeout:
            return None


@pytest.mark.parametrize(
    "mode, size, echoed",
    [("normal", 40, 7), ("wrong_sequence", 40, 6), ("short", 39, None), ("long", 41, 7), ("silent", None, None)],
)
def test_reply_modes(mode, size, echoed):
    with FakeTimerServer(mode=mode) as server:
        reply = exchange(server, 7, timeout=0.3 if mode == "silent" else 2.0)
        if size is None:
            assert reply is None
            return
        assert len(reply) == size
        assert struct.unpack_from("<q", reply, 0)[0] == 1234
        if echoed is not None:
            assert struct.unpack_from("<I", reply, 32)[0] == echoed
        assert server.wait_for_requests(1)[0] == {"sequence": 7, "originate_us": 1234, "size": 40}


def test_clock_offset_drift_and_hold():
    epoch = time.monotonic_ns()
    with FakeTimerServer(epoch_ns=epoch, offset_us=5_000_000, drift_ppm=200.0, hold_us=20_000) as server:
        # 10 s after the epoch the clock is 2000 µs ahead of the offset plus elapsed time.
        assert server.server_time_us(epoch + 10_000_000_000) == 5_000_000 + 10_000_000 + 2_000
        reply = exchange(server, 1, timeout=2.0)
        transmit, receive = struct.unpack_from("<qq", reply, 16)
        assert transmit - receive >= 20_000


def test_wrong_sequence_wraps_and_loss_drops_requests():
    with FakeTimerServer(mode="wrong_sequence") as server:
        assert struct.unpack_from("<I", exchange(server, 0, timeout=2.0), 32)[0] == 0xFFFFFFFF
    with FakeTimerServer(loss=1.0) as server:
        assert exchange(server, 1, timeout=0.3) is None
        assert len(server.wait_for_requests(1)) == 1


def test_unknown_settings_are_refused():
    with FakeTimerServer() as server:
        with pytest.raises(ValueError):
            server.configure(mode="sometimes")
        with pytest.raises(ValueError):
            server.configure(offset=1)
