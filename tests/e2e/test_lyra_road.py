"""The road of one cast with nothing set up by hand but the receiver's address: a phone runs
the Lyra channel (sync, keep-alive, logical sync, handshake, encrypted connect), reads the
control port from the sealed reply, opens the control session there and casts a tone whose PCM
must match ffmpeg's reference decode."""

import contextlib
import ctypes
import os
import socket

import numpy as np
import pytest

import fake_rtsp
import media_stream as ms
import netpair
import test_control
import test_media_session
from cast import send_paced, tone_rtp
from fake_phone import FakePhone
from lyra_phone import lyra_road
from media_stream import PcmListener
from test_discovery import GROUP, LYRA, LYRA_WIRE, pair, query, records, start  # noqa: F401 (pair: fixture)


def cast_tone(receiver, address, port, listener, tone, receiver_side=contextlib.nullcontext):
    """`receiver_side` is entered while the phone's RTSP listener is made: the Open names it
    as 127.0.0.1, an address of the receiver's own host."""
    with receiver_side():
        rtsp = fake_rtsp.FakePhone()
    try:
        control = FakePhone(host=address, port=port)
        first_frame = control.next_frame()
        assert (first_frame.outer, first_frame.command) == (0, 40)
        control.handshake()
        test_control.open_cast(receiver, control, rtsp, with_keys=True)
        conn = rtsp.accept_rtsp()
        assert control.next_frame().body == test_control.EMPTY_MEDIA_INFO
        rtp, frames, _ = tone_rtp(tone, seconds=2, encrypted=True, frames_per_pes=1, per_packet=1)
        _, audio = test_media_session.start_stream(rtsp, conn, receiver)
        send_paced(audio, rtp, seconds=len(frames) * 1024 / 48000)
        audio.shutdown(socket.SHUT_WR)
        reference, _ = ms.resample_reference(ms.reference_f32(tone))
        got = np.frombuffer(listener.wait_bytes(reference.size * 2), dtype="<i2").reshape(-1, 2)
        assert got.shape == reference.shape
        assert np.abs(got.astype(np.int32) - reference.astype(np.int32)).max() <= 1
        assert np.abs(got).max() > 2000
    finally:
        rtsp.close()


def test_lyra_road_to_playback_on_loopback(relvox, tmp_path):
    listener = PcmListener()
    receiver = relvox(*test_control.ARGS, "--pcm-port", str(listener.port))
    receiver.wait_event("lyra_command_ready")
    port = lyra_road("127.0.0.1")
    assert port == 8899
    assert receiver.wait_event("lyra_logical_connection_accepted")["server_port"] == port
    cast_tone(receiver, "127.0.0.1", port, listener, str(tmp_path / "tone.aac"))
    assert [e for e in receiver.events if e.get("code")] == []


@contextlib.contextmanager
def inside(pair):
    """Runs the block with the calling thread in the receiver's network namespace; sockets made
    there stay in it after the thread comes back."""
    libc = ctypes.CDLL("libc.so.6", use_errno=True)
    own = os.open("/proc/thread-self/ns/net", os.O_RDONLY)
    other = os.open(f"/proc/{pair.holder.pid}/ns/net", os.O_RDONLY)
    try:
        if libc.setns(other, 0x40000000) != 0:  # CLONE_NEWNET
            raise OSError(ctypes.get_errno(), "setns into the receiver's namespace")
        try:
            yield
        finally:
            if libc.setns(own, 0x40000000) != 0:
                raise OSError(ctypes.get_errno(), "setns back")
    finally:
        os.close(own)
        os.close(other)


def discover(service_wire, service, timeout=2.0, attempts=3):
    """Asks the link's multicast group for `service` from an ephemeral port (a one-shot query,
    answered by unicast) and resolves PTR -> SRV -> A; returns the IPv4 address."""
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        s.bind(("0.0.0.0", 0))
        s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(netpair.TEST_V4))
        s.settimeout(timeout)
        for qid in range(0x7100, 0x7100 + attempts):
            s.sendto(query(qid, [(service_wire, 12, 1)]), (GROUP, 5353))
            try:
                while True:
                    data, _ = s.recvfrom(9000)
                    if data[:2] == qid.to_bytes(2, "big"):
                        break
            except socket.timeout:
                continue
            recs = records(data)
            instance = [r.alias for r in recs if type(r).__name__ == "DNSPointer" and r.name == service]
            assert len(instance) == 1, recs
            host = [r.server for r in recs if type(r).__name__ == "DNSService" and r.name == instance[0]]
            assert len(host) == 1, recs
            v4 = [r.address for r in recs if type(r).__name__ == "DNSAddress" and r.name == host[0]
                  and len(r.address) == 4]
            assert len(v4) == 1, recs
            return socket.inet_ntoa(v4[0])
        raise AssertionError(f"no answer for {service} in {attempts} queries")
    finally:
        s.close()


@pytest.mark.skipif(not netpair.available(), reason="needs root and network namespaces")
def test_whole_road_from_discovery_to_playback(pair, relvox, tmp_path):
    """In a private network namespace with a veth peer: a multicast DNS query for
    `_lyra-mdns._udp.local.` finds the receiver's address; then `lyra_road` and `cast_tone`
    run against that address, knowing only UDP 55982 and the service type beforehand. The PCM
    sink and the phone's RTSP listener (named 127.0.0.1 in the Open) live on the receiver's side."""
    with inside(pair):
        listener = PcmListener()
    receiver = start(relvox, pair, "--pcm-port", str(listener.port))
    receiver.wait_event("lyra_command_ready")
    receiver.wait_event("receiver_ready")
    address = discover(LYRA_WIRE, LYRA)
    assert address == netpair.RECEIVER_V4
    port = lyra_road(address)
    accepted = receiver.wait_event("lyra_logical_connection_accepted")
    assert accepted["server_port"] == port
    cast_tone(receiver, address, port, listener, str(tmp_path / "tone.aac"),
              receiver_side=lambda: inside(pair))
    assert [e for e in receiver.events if e.get("code")] == []
