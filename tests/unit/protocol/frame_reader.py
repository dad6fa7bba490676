#!/usr/bin/python3
"""Decodes a stream of control frames written by the receiver, independently of its code.
Usage: frame_reader.py <16-character cipher key> <file of raw stream bytes>
Prints one JSON object per frame: outer, command, value_type, length, encrypted, wrapper_key,
plaintext (hex, after decryption and unwrapping)."""

import json
import os
import struct
import sys

from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

# The bitwise CRC-32/MPEG-2 of the fake phone in tests/e2e serves as the one Python oracle.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "e2e"))
from fake_phone import crc32_mpeg2  # noqa: E402


def main():
    key = sys.argv[1].encode()
    data = open(sys.argv[2], "rb").read()
    iv = key
    pos = 0
    while pos < len(data):
        magic, outer, command, value_type, length = struct.unpack(">BBBHI", data[pos:pos + 9])
        assert magic == 0x24, "magic"
        body = data[pos + 9:pos + 9 + length]
        assert len(body) == length, "short body"
        pos += 9 + length
        encrypted = body[:4] == b"\x00\x07\x01\xe0"
        if encrypted:
            pad = body[4]
            ct = body[9:]
            assert struct.unpack("<I", body[5:9])[0] == crc32_mpeg2(ct), "checksum"
            dec = Cipher(algorithms.AES(key), modes.CBC(iv)).decryptor()
            plain = dec.update(ct) + dec.finalize()
            iv = ct[-16:]
            assert plain[len(plain) - pad:] == b"\0" * pad, "zero padding"
            body = plain[:len(plain) - pad]
        wrapper_key = None
        if outer == 20:
            k = body[0]
            wrapper_key = body[1:1 + k].decode()
            assert struct.unpack("<I", body[1 + k:5 + k])[0] == 30, "entry type"
            d = body[5 + k]
            assert len(body) == 6 + k + d, "entry length"
            body = body[6 + k:]
        print(json.dumps({"outer": outer, "command": command, "value_type": value_type, "length": length,
                          "encrypted": encrypted, "wrapper_key": wrapper_key, "plaintext": body.hex()}))


if __name__ == "__main__":
    main()
