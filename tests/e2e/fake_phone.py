"""A phone's side of the control connection (TCP 8899), written from the wire format alone:
9-byte frames, wrapper entries, AES-128-CBC bodies with a CRC-32/MPEG-2 checksum and an IV that
chains from frame to frame, keys derived from the two socket addresses, HMAC-SHA256 handshake."""

import base64
import hashlib
import hmac
import json
import socket
import struct
import threading
import time

from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

MARKER = b"\x00\x07\x01\xe0"


def crc32_mpeg2(data):
    crc = 0xFFFFFFFF
    for byte in data:
        crc ^= byte << 24
        for _ in range(8):
            crc = ((crc << 1) ^ 0x04C11DB7) if crc & 0x80000000 else (crc << 1)
            crc &= 0xFFFFFFFF
    return crc


def auth_key_for(local, peer):
    """The session auth key as the receiver derives it: its own address first."""
    text = f"{local[0]}{local[1]}{peer[0]}{peer[1]}"
    text = "".join(chr(ord("a") + int(c)) if c.isdigit() else c for c in text)
    return hashlib.md5(text.encode()).hexdigest()


def hmac_hex(key, message):
    return hmac.new(key.encode(), message.encode(), hashlib.sha256).hexdigest()


def id_code_of(idm_instance_id):
    digest = hashlib.sha256(idm_instance_id.encode()).digest()
    return base64.urlsafe_b64encode(digest).decode().rstrip("=")[:3]


def receiver_code(id_code):
    n = int.from_bytes(hashlib.md5(id_code.encode()).digest()[:8], "big") % 10**14
    return f"{n:014d}"


def wrap(key, data):
    return bytes([len(key)]) + key + struct.pack("<I", 30) + bytes([len(data)]) + data


def unwrap(body):
    k = body[0]
    key = body[1 : 1 + k]
    (entry_type,) = struct.unpack("<I", body[1 + k : 5 + k])
    d = body[5 + k]
    return key, entry_type, body[6 + k : 6 + k + d]


class Chain:
    """One direction's body cipher: key fixed, IV chained across encrypted bodies."""

    def __init__(self, key):
        self.key = key
        self.iv = key

    def encrypt(self, plain):
        pad = 16 - len(plain) % 16
        enc = Cipher(algorithms.AES(self.key), modes.CBC(self.iv)).encryptor()
        ct = enc.update(plain + b"\0" * pad) + enc.finalize()
        self.iv = ct[-16:]
        return MARKER + bytes([pad]) + struct.pack("<I", crc32_mpeg2(ct)) + ct

    def decrypt(self, body):
        pad = body[4]
        (crc,) = struct.unpack("<I", body[5:9])
        ct = body[9:]
        assert len(ct) % 16 == 0 and len(ct) >= 16, len(body)
        assert crc == crc32_mpeg2(ct), "checksum"
        dec = Cipher(algorithms.AES(self.key), modes.CBC(self.iv)).decryptor()
        plain = dec.update(ct) + dec.finalize()
        self.iv = ct[-16:]
        assert 1 <= pad <= 16
        return plain[: len(plain) - pad]


class Frame:
    def __init__(self, outer, command, value_type, wire, body, encrypted, wrapper_key, arrival=None):
        self.outer = outer
        self.command = command
        self.value_type = value_type
        self.wire = wire
        self.body = body
        self.encrypted = encrypted
        self.wrapper_key = wrapper_key
        self.arrival = arrival  # time.monotonic() at which the whole frame had been read

    def __repr__(self):
        return (f"Frame(outer={self.outer}, command={self.command}, vt={self.value_type}, "
                f"enc={self.encrypted}, key={self.wrapper_key}, body={self.body[:64]!r})")


class FakePhone:
    def __init__(self, host="127.0.0.1", port=8899, timeout=5.0, source=None):
        """`source`: the local address to connect from (another host of the loopback net)."""
        self.sock = socket.create_connection((host, port), timeout=timeout,
                                             source_address=(source, 0) if source else None)
        self.sock.settimeout(None)
        local = self.sock.getsockname()
        remote = self.sock.getpeername()
        self.address = local
        self.auth_key = auth_key_for(remote, local)
        key = self.auth_key[:16].encode()
        self.tx = Chain(key)
        self.rx = Chain(key)
        self.frames = []
        self.closed = False
        self._cv = threading.Condition()
        self._seen = 0
        threading.Thread(target=self._read_loop, daemon=True).start()

    # --- reading ---
    def _read_exact(self, n):
        buf = b""
        while len(buf) < n:
            chunk = self.sock.recv(n - len(buf))
            if not chunk:
                raise EOFError
            buf += chunk
        return buf

    def _read_loop(self):
        try:
            while True:
                header = self._read_exact(9)
                magic, outer, command, value_type, length = struct.unpack(">BBBHI", header)
                assert magic == 0x24
                wire = self._read_exact(length)
                arrival = time.monotonic()
                encrypted = wire[:4] == MARKER
                body = self.rx.decrypt(wire) if encrypted else wire
                wrapper_key = None
                if outer == 20:
                    key, _, data = unwrap(body)
                    wrapper_key = key.decode()
                    body = data
                with self._cv:
                    self.frames.append(Frame(outer, command, value_type, wire, body, encrypted, wrapper_key,
                                             arrival))
                    self._cv.notify_all()
        except (EOFError, OSError):
            pass
        with self._cv:
            self.closed = True
            self._cv.notify_all()

    def next_frame(self, timeout=5.0):
        """The next frame not yet taken, in arrival order."""
        deadline = time.monotonic() + timeout
        with self._cv:
            while self._seen >= len(self.frames):
                left = deadline - time.monotonic()
                if self.closed or left <= 0:
                    raise AssertionError(f"no frame within {timeout}s (closed={self.closed}); got {self.frames}")
                self._cv.wait(left)
            frame = self.frames[self._seen]
            self._seen += 1
            return frame

    def wait_closed(self, timeout=5.0):
        deadline = time.monotonic() + timeout
        with self._cv:
            while not self.closed:
                left = deadline - time.monotonic()
                assert left > 0, "connection still open"
                self._cv.wait(left)

    # --- writing ---
    def send(self, command, body=b"", value_type=0, outer=0, encrypt=False, wrap_key=None):
        payload = wrap(wrap_key, body) if wrap_key is not None else body
        if encrypt:
            payload = self.tx.encrypt(payload)
        self.sock.sendall(struct.pack(">BBBHI", 0x24, outer, command, value_type, len(payload)) + payload)

    def send_raw(self, data):
        self.sock.sendall(data)

    def close(self):
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.sock.close()

    # --- the handshake ---
    def handshake(self, value_type=77):
        """Capability exchange and the complete SafetyAuth; returns (caps, challenge, ack frame)."""
        self.send(0, value_type=value_type)
        caps = self.next_frame()
        challenge_frame = self.next_frame()
        challenge = json.loads(challenge_frame.body)["authMsg"]
        self.own_challenge = "00112233445566778899aabbccddeeff"
        self.send(2, json.dumps({"authMsg": self.own_challenge}).encode(), value_type=value_type,
                  encrypt=True, wrap_key=b"cmd")
        self.send(3, json.dumps({"authMsgAck": hmac_hex(self.auth_key, challenge)}).encode(),
                  value_type=5, encrypt=True, wrap_key=b"ack")
        ack = self.next_frame()
        return caps, challenge_frame, ack
