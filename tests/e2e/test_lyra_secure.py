"""The Lyra secure channel of the real relvox against a phone that uses only Python's
`cryptography`: handshake, encrypted connect that names the control port, confirm, channel
frames."""

import socket

import pytest

from lyra_phone import (first, frame, handshake_message, inner_frame, keep_alive, logical,
                        pb, pv, sync_request)

from lyra_phone import phone, receiver  # noqa: F401 (fixtures)


def test_whole_lyra_road_tells_the_control_port(receiver, phone):
    peer = phone.address
    phone.request(sync_request(b"\x01\x02"))
    phone.request(keep_alive(b"ka"))
    phone.request(logical([(3, 0x10)], inner_frame(5, b"")))
    phone.handshake(logical_id=0x10, key_index=3)
    assert receiver.wait_event("lyra_secure_channel_established") == {
        "event": "lyra_secure_channel_established", "protocol": "xiaomi_zedidi", "peer": peer,
        "logical_id": "00000010", "key_index": 3, "cipher": "P-256/HKDF-SHA256/AES-256-GCM",
        "external_account_required": False}

    inner = phone.connect(channel_id=0x2B)
    assert first(inner, 1, wire=0) == 2
    part = first(inner, 3)
    assert first(part, 1, wire=0) == 0
    rebuilt = first(part, 2)
    answer = first(rebuilt, 11)
    assert answer == pv(1, 0x2B) + pv(2, 1) + pv(3, 8899) + pv(5, 1) + pv(6, 0)
    port = first(answer, 3, wire=0)
    assert port == 8899
    assert receiver.wait_event("lyra_logical_connection_accepted") == {
        "event": "lyra_logical_connection_accepted", "protocol": "xiaomi_zedidi", "peer": peer,
        "logical_id": "00000010", "service": "com.milink.service:smartplay", "client_channel_id": 0x2B,
        "server_channel_id": 1, "server_port": 8899}

    # The port read from the sealed reply is the control port: it accepts a connection.
    control = socket.create_connection(("127.0.0.1", port), timeout=2)
    control.close()

    phone.push_expect_ack_only(logical([(3, 0x10), (4, 1)], phone.seal(inner_frame(3))))
    assert receiver.wait_event("lyra_logical_connection_confirmed")["playable"] is False

    phone.push_expect_ack_only(frame(0x21, bytes([1]) + phone.seal(b"ping")))
    assert receiver.wait_event("lyra_channel_frame_decrypted") == {
        "event": "lyra_channel_frame_decrypted", "protocol": "xiaomi_zedidi", "peer": peer,
        "channel_id": 1, "expected_channel_id": 1, "client_channel_id": 0x2B,
        "payload_hex": b"ping".hex(), "payload_utf8": "ping"}


def test_identical_handshakes_get_different_keys(receiver, phone):
    a = phone.handshake()
    key_a = phone.session_key
    b = phone.handshake()
    assert a != b and phone.session_key != key_a
    # The old key no longer opens: a frame sealed under it fails.
    phone.session_key, new_key = key_a, phone.session_key
    phone.push_expect_ack_only(logical([(3, 1), (4, 1)], phone.seal(inner_frame(3))))
    err = receiver.wait_event("error", code="zedidi_lyra_frame_failed")
    assert err["message"] == "decrypt Lyra logical payload"
    phone.session_key = new_key
    phone.connect(channel_id=5)


@pytest.mark.parametrize("mutate, error", [
    (lambda n, p: (n[:31], p), "invalid P-256 client notify"),
    (lambda n, p: (n + b"\x00", p), "invalid P-256 client notify"),
    (lambda n, p: (n, b"\x02" + p[1:33]), "invalid P-256 client notify"),
    (lambda n, p: (n, b"\x06" + p[1:]), "invalid P-256 client notify"),
    (lambda n, p: (n, p[:64] + bytes([p[64] ^ 1])), "parse client P-256 key: P-256 point is not on the curve"),
], ids=["nonce-31", "nonce-33", "compressed", "hybrid", "off-curve"])
def test_bad_handshakes_are_refused_and_keep_the_key(receiver, phone, mutate, error):
    from cryptography.hazmat.primitives import serialization
    from cryptography.hazmat.primitives.asymmetric import ec
    phone.handshake()
    point = ec.generate_private_key(ec.SECP256R1()).public_key().public_bytes(
        serialization.Encoding.X962, serialization.PublicFormat.UncompressedPoint)
    nonce, point = mutate(b"\x11" * 32, point)
    phone.push_expect_ack_only(logical([(3, 1)], inner_frame(6, handshake_message(nonce, point))))
    assert receiver.wait_event("error", code="zedidi_lyra_frame_failed")["message"] == error
    assert len(receiver.named("lyra_secure_channel_established")) == 1
    phone.connect(channel_id=9)  # the first key still holds


def test_encrypted_frames_before_the_handshake(receiver, phone):
    phone.push_expect_ack_only(logical([(3, 1), (4, 1)], b"\x00" * 40))
    assert receiver.wait_event("error", code="zedidi_lyra_frame_failed")["message"] == \
        "encrypted logical frame before ECDH"
    phone.push_expect_ack_only(frame(0x21, b"\x03" + b"\x00" * 30))
    ev = receiver.wait_event("lyra_channel_frame_rejected")
    assert ev["reason"] == "missing_session_key" and ev["channel_id"] == 3


def test_tampered_channel_frame_reports_no_plaintext(receiver, phone):
    phone.handshake()
    sealed = bytearray(phone.seal(b"top secret"))
    sealed[-1] ^= 1
    phone.push_expect_ack_only(frame(0x21, b"\x01" + bytes(sealed)))
    ev = receiver.wait_event("lyra_channel_frame_decrypt_failed")
    assert ev["error"] == "decrypt Lyra logical payload"
    assert all(b"top secret".hex() not in str(e) for e in receiver.events)


def test_peer_port_request_without_channel_id(receiver, phone):
    phone.handshake()
    message = pb(3, pb(10, pv(2, 1)))
    phone.push_expect_ack_only(logical([(3, 1), (4, 1)], phone.seal(inner_frame(1, message))))
    assert receiver.wait_event("error", code="zedidi_lyra_frame_failed")["message"] == \
        "Lyra peer-port request is missing client channel id"
