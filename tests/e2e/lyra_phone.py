"""A phone's side of the Lyra command channel (UDP 55982), written from the wire format alone:
24-byte little-endian segment headers (push 0x51, ack 0x52), 4-byte transport frame headers,
schema-less protobuf messages, and (for the secure channel) P-256 ECDH, HKDF-SHA256 and
AES-256-GCM through Python's `cryptography`."""

import os
import socket
import struct
import time

import pytest

PUSH = 0x51
ACK = 0x52
HEADER = struct.Struct("<IBBHIIII")
HKDF_SALT = bytes.fromhex("c3e917a05b2d48f6913e0d7c5a6b2f84d1e07a39c6b5f2e80a4d913c7e6b5a20")


# ---- protobuf wire format -------------------------------------------------------------------

def varint(v):
    out = bytearray()
    while v >= 0x80:
        out.append((v & 0x7F) | 0x80)
        v >>= 7
    out.append(v)
    return bytes(out)


def pv(number, value):
    return varint(number << 3) + varint(value)


def pb(number, data):
    if isinstance(data, str):
        data = data.encode()
    return varint((number << 3) | 2) + varint(len(data)) + data


def fields(data):
    """[(number, wire_type, value)] of one message; bytes values as bytes."""
    out, pos = [], 0

    def read_varint():
        nonlocal pos
        shift, value = 0, 0
        while True:
            b = data[pos]
            pos += 1
            value |= (b & 0x7F) << shift
            shift += 7
            if not b & 0x80:
                return value

    while pos < len(data):
        key = read_varint()
        number, wire = key >> 3, key & 7
        if wire == 0:
            out.append((number, 0, read_varint()))
        elif wire == 2:
            n = read_varint()
            out.append((number, 2, data[pos:pos + n]))
            pos += n
        elif wire == 1:
            pos += 8
            out.append((number, 1, None))
        elif wire == 5:
            pos += 4
            out.append((number, 5, None))
        else:
            raise ValueError(f"wire type {wire}")
    return out


def first(data, number, wire=2):
    for n, w, v in fields(data):
        if n == number and w == wire:
            return v
    return None


def path(data, *numbers):
    for n in numbers:
        data = first(data, n)
        if data is None:
            return None
    return data


# ---- transport frames -----------------------------------------------------------------------

def frame(kind, body):
    return bytes([kind, 4]) + struct.pack(">H", len(body) + 4) + body


def physical(message):
    return frame(0x09, pb(2, pb(2, message)))


def sync_request(account=b"\xa1\xb2\xc3"):
    return physical(pv(2, 1) + pb(3, pb(2, pb(4, account))))


def keep_alive(body=b"ab"):
    return physical(pv(2, 4) + pb(7, body))


def logical(outer, inner):
    record = b"".join(pv(n, v) for n, v in outer) + pb(5, inner)
    return frame(0x11, pb(2, pb(1, record)))


def inner_frame(frame_type, message=None):
    return pv(1, frame_type) + (pb(2, message) if message is not None else b"")


def logical_inner(reply):
    """(outer scalars, field 5) of a logical reply frame."""
    assert reply[0] == 0x11 and reply[1] == 4
    assert struct.unpack(">H", reply[2:4])[0] == len(reply)
    record = path(reply[4:], 2, 1)
    outer = [(n, v) for n, w, v in fields(record) if w == 0 and n < 5]
    return outer, first(record, 5)


def physical_message(reply):
    assert reply[0] == 0x09 and reply[1] == 4
    assert struct.unpack(">H", reply[2:4])[0] == len(reply)
    return path(reply[4:], 2, 2)


# ---- segments -------------------------------------------------------------------------------

def segment(conv, cmd, sn, payload=b"", wnd=32, ts=0, una=0):
    return HEADER.pack(conv, cmd, 0, wnd, ts, sn, una, len(payload)) + payload


def split(datagram):
    out, pos = [], 0
    while len(datagram) - pos >= 24:
        conv, cmd, frg, wnd, ts, sn, una, length = HEADER.unpack_from(datagram, pos)
        payload = datagram[pos + 24:pos + 24 + length]
        out.append(dict(conv=conv, cmd=cmd, wnd=wnd, ts=ts, sn=sn, una=una, payload=payload))
        pos += 24 + length
    return out


class LyraPhone:
    """One phone socket. `request` pushes a frame and returns its reply payload, acking it."""

    def __init__(self, server=("127.0.0.1", 55982), conv=0x5EED, bind=("127.0.0.1", 0)):
        self.server = server
        self.conv = conv
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(bind)
        self.sock.settimeout(2.0)
        self.sn = 0
        self.session_key = None

    def close(self):
        self.sock.close()

    @property
    def address(self):
        host, port = self.sock.getsockname()
        return f"{host}:{port}"

    def send_push(self, payload, sn=None):
        if sn is None:
            sn = self.sn
            self.sn += 1
        self.sock.sendto(segment(self.conv, PUSH, sn, payload), self.server)
        return sn

    def recv_segment(self, timeout=2.0):
        self.sock.settimeout(timeout)
        data, _ = self.sock.recvfrom(65535)
        segs = split(data)
        assert len(segs) == 1, segs
        return segs[0], data

    def ack(self, seg):
        self.sock.sendto(segment(self.conv, ACK, seg["sn"], una=seg["sn"] + 1), self.server)

    def request(self, payload, sn=None, ack=True):
        """Pushes `payload`; returns (ack segment, reply segment, raw reply datagram)."""
        sn = self.send_push(payload, sn)
        ack_seg, _ = self.recv_segment()
        assert ack_seg["cmd"] == ACK and ack_seg["sn"] == sn, ack_seg
        reply, raw = self.recv_segment()
        assert reply["cmd"] == PUSH and reply["una"] == (sn + 1) & 0xFFFFFFFF, reply
        if ack:
            self.ack(reply)
        return ack_seg, reply, raw

    def expect_silence(self, timeout=0.3):
        self.sock.settimeout(timeout)
        try:
            data, _ = self.sock.recvfrom(65535)
        except socket.timeout:
            return
        raise AssertionError(f"unexpected datagram {data.hex()}")

    def push_expect_ack_only(self, payload):
        sn = self.send_push(payload)
        ack_seg, _ = self.recv_segment()
        assert ack_seg["cmd"] == ACK and ack_seg["sn"] == sn
        self.expect_silence()


def wait_until(pred, timeout=5.0, step=0.02):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if pred():
            return True
        time.sleep(step)
    return pred()


def random_bytes(n):
    return os.urandom(n)


# ---- secure channel -------------------------------------------------------------------------

def handshake_message(nonce, point, key_index=None):
    suite = pb(2, nonce) + pb(5, pb(2, point))
    body = pb(2, pb(8, pb(2, pb(1, suite))))
    return (pv(1, key_index) if key_index is not None else b"") + body


class SecurePhone(LyraPhone):
    """A phone that also runs the P-256 handshake and seals with AES-256-GCM, using
    Python's `cryptography` only."""

    def handshake(self, logical_id=0x10, key_index=3):
        from cryptography.hazmat.primitives import hashes, serialization
        from cryptography.hazmat.primitives.asymmetric import ec
        from cryptography.hazmat.primitives.kdf.hkdf import HKDF

        private = ec.generate_private_key(ec.SECP256R1())
        point = private.public_key().public_bytes(serialization.Encoding.X962,
                                                  serialization.PublicFormat.UncompressedPoint)
        nonce = os.urandom(32)
        _, reply, _ = self.request(logical([(3, logical_id)], inner_frame(6, handshake_message(nonce, point, key_index))))
        outer, inner = logical_inner(reply["payload"])
        assert outer == [(3, logical_id)]
        assert first(inner, 1, wire=0) == 6
        message = first(inner, 7)
        assert first(message, 1, wire=0) == key_index
        entry = path(message, 2, 8, 3, 1)
        server_nonce = first(entry, 2)
        server_point = path(entry, 5, 2)
        assert len(server_nonce) == 32 and len(server_point) == 65 and server_point[0] == 4
        peer = ec.EllipticCurvePublicKey.from_encoded_point(ec.SECP256R1(), server_point)
        shared = private.exchange(ec.ECDH(), peer)
        self.session_key = HKDF(hashes.SHA256(), 32, HKDF_SALT, nonce + server_nonce).derive(shared)
        return server_nonce, server_point

    def seal(self, plaintext):
        from cryptography.hazmat.primitives.ciphers.aead import AESGCM
        nonce = os.urandom(12)
        return nonce + AESGCM(self.session_key).encrypt(nonce, plaintext, None)

    def open(self, sealed):
        from cryptography.hazmat.primitives.ciphers.aead import AESGCM
        return AESGCM(self.session_key).decrypt(sealed[:12], sealed[12:], None)

    def connect(self, channel_id, logical_id=0x10, service="com.milink.service:smartplay"):
        """Sends the encrypted connect with a peer-port request; returns the opened inner frame."""
        request = pv(1, 5) + pb(10, pv(1, channel_id))
        message = pb(2, service) + pb(3, request)
        _, reply, _ = self.request(logical([(3, logical_id), (4, 1)], self.seal(inner_frame(1, message))))
        outer, sealed = logical_inner(reply["payload"])
        assert outer == [(3, logical_id), (4, 1)]
        return self.open(sealed)


# ---- fixtures -------------------------------------------------------------------------------

RECEIVER_ARGS = ["--expected-ip", "127.0.0.1", "--pcm-port", "7238", "--name", "Desk",
                 "--lyra-instance-id", "1A2B3C4D"]


@pytest.fixture
def receiver(relvox):
    """A relvox on 127.0.0.1 whose Lyra server is up."""
    r = relvox(*RECEIVER_ARGS)
    r.wait_event("lyra_command_ready")
    r.wait_event("bridge_ready")
    return r


@pytest.fixture
def lean_receiver(relvox, no_sanitizer_quarantine):
    """As `receiver`, for memory measurements: under AddressSanitizer freed blocks are reused at
    once instead of being held in quarantine, so RSS shows what the receiver keeps."""
    r = relvox(*RECEIVER_ARGS)
    r.wait_event("lyra_command_ready")
    r.wait_event("bridge_ready")
    return r


@pytest.fixture
def phone():
    p = SecurePhone()
    yield p
    p.close()


def lyra_road(address, conv=0x5EED, quiet_after_confirm=True, between=None, then=None):
    """Runs the Lyra road against `address`: sync, keep-alive, logical sync, the handshake, the
    sealed connect and the phone's confirmation; returns the control port the receiver names.
    `quiet_after_confirm` also waits out a silent spell after the confirmation's acknowledgement
    (nothing more may come back); a soak skips that wait. `between(done)` runs after each of the
    first five steps with the number of steps done (the phone's think time); `then(phone)` runs
    after the confirmation, before the phone closes."""
    phone = SecurePhone(server=(address, 55982), conv=conv, bind=("0.0.0.0", 0))
    inner = None

    def connect():
        nonlocal inner
        inner = phone.connect(channel_id=3, logical_id=0x21)

    steps = [
        lambda: phone.request(sync_request(b"\x42")),
        lambda: phone.request(keep_alive(b"ka")),
        lambda: phone.request(logical([(3, 0x21)], inner_frame(5, b""))),
        lambda: phone.handshake(logical_id=0x21),
        connect,
    ]
    try:
        for done, step in enumerate(steps, 1):
            step()
            if between is not None:
                between(done)
        answer = first(first(first(inner, 3), 2), 11)
        confirm = logical([(3, 0x21), (4, 1)], phone.seal(inner_frame(3)))
        if quiet_after_confirm:
            phone.push_expect_ack_only(confirm)
        else:
            sn = phone.send_push(confirm)
            ack, _ = phone.recv_segment()
            assert ack["cmd"] == ACK and ack["sn"] == sn, ack
        if then is not None:
            then(phone)
        return first(answer, 3, wire=0)
    finally:
        phone.close()
