#!/usr/bin/python3
"""Computes the golden vectors pasted into control_golden_test.cpp, independently of the C++ code:
a bit-by-bit CRC-32/MPEG-2, AES-128-CBC from Python's `cryptography`, and the byte layouts
written out by hand. Run: /usr/bin/python3 tests/unit/protocol/golden_vectors.py"""

import hashlib
import itertools
import os
import string
import sys

from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

# The bitwise CRC-32/MPEG-2 of the fake phone in tests/e2e serves as the one Python oracle.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "e2e"))
from fake_phone import crc32_mpeg2  # noqa: E402


def encrypt_chain(key, plaintexts):
    iv = key
    out = []
    for p in plaintexts:
        pad = 16 - len(p) % 16
        enc = Cipher(algorithms.AES(key), modes.CBC(iv)).encryptor()
        ct = enc.update(p + b"\0" * pad) + enc.finalize()
        iv = ct[-16:]
        out.append(b"\x00\x07\x01\xe0" + bytes([pad]) + crc32_mpeg2(ct).to_bytes(4, "little") + ct)
    return out


def wrap(key, data):
    return bytes([len(key)]) + key + (30).to_bytes(4, "little") + bytes([len(data)]) + data


def receiver_code(code):
    n = int.from_bytes(hashlib.md5(code.encode()).digest()[:8], "big") % 10**14
    return f"{n:014d}"


def tlv_str(key, value):
    return bytes([len(key)]) + key.encode() + b"\x0c" + len(value).to_bytes(2, "big") + value.encode()


def device_info(device_id, device_type, model):
    records = [("alonePlayCapacity", "0"), ("canAlonePlayCtrl", "0"), ("canHeadsetCtrl", "0"),
               ("canRevCtrl", "1"), ("channel", ""), ("deviceId", device_id),
               ("deviceType", str(device_type)), ("model", model), ("needAblum", "1"),
               ("needLrc", "1"), ("needPos", "1"), ("romVersion", ""), ("support", "audio")]
    return b"\x00\x01\x55" + b"".join(tlv_str(k, v) for k, v in records)


def flag(key):
    return bytes([len(key)]) + key.encode() + b"\x00\x01"


def main():
    print("crc 123456789:", hex(crc32_mpeg2(b"123456789")))
    key = b"0123456789abcdef"
    for name, body in zip(["empty", "hello-after-empty", "17-bytes-after"],
                          encrypt_chain(key, [b"", b"hello", b"seventeen bytes!!"])):
        print(f"encrypted {name}:", body.hex())
    print("wrap cmd:", wrap(b"cmd", b'{"a":1}').hex())
    print("wrap empty:", wrap(b"", b"").hex())
    for code in ["abc", "xYz", "Q-_"]:
        print(f"receiver code {code}:", receiver_code(code))
    alphabet = string.ascii_letters + string.digits + "-_"
    for code in map("".join, itertools.product(alphabet, repeat=3)):
        if receiver_code(code).startswith("0"):
            print(f"receiver code {code} (leading zero):", receiver_code(code))
            break
    info = device_info("xYz", 3, "Mac")
    print("device info xYz len", len(info), ":", info.hex())
    print("md5 prefix a-B:", hashlib.md5(b"a-B").digest()[:4].hex().upper())
    for k in ["key-pause", "key-resume", "key-prev", "key-next"]:
        print(k, flag(k).hex())
    print("key-seek 90000", (b"\x08key-seek\x09" + (90000).to_bytes(8, "big")).hex())
    print("volume 100", (b"\x06volume\x07" + (100).to_bytes(4, "big")).hex())
    inner = b"\x06mTitle\x14" + (0).to_bytes(4, "big")
    empty_info = b"\x0bmediaInfoEx\x16" + len(inner).to_bytes(4, "big") + inner
    print("empty media info len", len(empty_info), ":", empty_info.hex())
    title = hashlib.sha256(b"Song\0\0\0").digest()[:16].hex()
    print("track id Song:", "metadata:" + title)


if __name__ == "__main__":
    main()
