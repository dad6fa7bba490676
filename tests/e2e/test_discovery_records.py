"""The two prepared multicast DNS packets, as python-zeroconf's own parser reads them.

harness_records prints the packets that the registration builds for given inputs; DNSIncoming
is an independent reader of RFC 1035/6762 messages (compression, record classes, TXT)."""

import base64
import json
import os
import subprocess

import pytest
from zeroconf import DNSIncoming, ServiceInfo

from relvox import relvox_path

LYRA = "_lyra-mdns._udp.local."
MI = "_mi-connect._udp.local."


def harness_path():
    build = os.path.dirname(os.path.dirname(relvox_path()))
    return os.path.join(build, "tests", "harness_records", "harness_records")


def packets(*args, env_account=None):
    env = {k: v for k, v in os.environ.items() if k != "QUARNET_SONVALE_DIAGNOSTIC_ACCOUNT_ID"}
    if env_account is not None:
        env["QUARNET_SONVALE_DIAGNOSTIC_ACCOUNT_ID"] = env_account
    out = subprocess.run([harness_path(), *args], capture_output=True, check=True, env=env).stdout
    return json.loads(out)


def records(hex_packet):
    msg = DNSIncoming(bytes.fromhex(hex_packet))
    assert msg.valid and msg.is_response()
    assert (msg.num_questions, msg.num_answers, msg.num_authorities) == (0, 1, 0)
    return msg, list(msg.answers)


def properties(text_record, type_, name):
    return ServiceInfo(type_, name, properties=text_record.text).properties


KITCHEN = ["Kitchen", "C0A80117", "abc", "aa:bb:cc:dd:ee:ff", "3", "192.168.1.23", "en0"]


@pytest.mark.parametrize("link_local", [None, "fe80::1c2b:3d4e:5f6a:7b8c"])
def test_lyra_packet(link_local):
    out = packets(*KITCHEN, *([link_local] if link_local else []))
    msg, recs = records(out["lyra"])
    kinds = [type(r).__name__ for r in recs]
    assert kinds == ["DNSPointer", "DNSService", "DNSText", "DNSAddress"] + (["DNSAddress"] if link_local else [])
    assert msg.num_additionals == len(recs) - 1
    ptr, srv, txt, a = recs[:4]
    assert (ptr.name, ptr.alias, ptr.unique) == (LYRA, "C0A80117." + LYRA, False)
    assert (srv.name, srv.server, srv.port, srv.priority, srv.weight, srv.unique) == (
        "C0A80117." + LYRA, "C0A80117.local.", 5353, 0, 0, True)
    assert (a.name, a.address, a.type) == ("C0A80117.local.", bytes([192, 168, 1, 23]), 1)
    assert all(r.ttl == 120 for r in recs)
    props = properties(txt, LYRA, "C0A80117." + LYRA)
    debug = b"{msg:reply, ifname:en0, v4:192.$)+.$.23" + (b", v6:fe80::$=%<:&>'?:(@);:7b8c}" if link_local else b"}")
    assert props == {
        b"AppData": b"AEAVwKgBFwAFGSQQAQMKAwHargEBgAIHS2l0Y2hlbiUBAw==",
        b"MediumType": b"8192",
        b"CH": b"0",
        b"DebugInfo": debug,
        b"TS": b"1700000000000",
    }
    if link_local:
        aaaa = recs[4]
        assert (aaaa.name, aaaa.type, aaaa.unique) == ("C0A80117.local.", 28, True)
        assert aaaa.address == bytes.fromhex("fe800000000000001c2b3d4e5f6a7b8c")
    _, bye = records(out["lyra_goodbye"])
    assert [r.ttl for r in bye] == [0] * len(recs)
    assert [(type(r), r.name) for r in bye] == [(type(r), r.name) for r in recs]


@pytest.mark.parametrize("media, v6, mac", [
    ("aa:bb:cc:dd:ee:ff", "2001:db8::23", base64.b64encode(bytes.fromhex("aabbccddeeff"))),
    ("3f2a9c1e-0b4d-4e6f-8a7b-1c2d3e4f5a6b", None, None),
])
def test_mi_connect_packet(media, v6, mac):
    args = KITCHEN[:3] + [media] + KITCHEN[4:]
    out = packets(*args, *(["fe80::1", v6] if v6 else []))
    assert out["instance"] == "Kitchen(ungWv48Bz-)"
    instance = "Kitchen(ungWv48Bz-)." + MI
    msg, recs = records(out["mi_connect"])
    ptr, srv, txt, a = recs[:4]
    assert (ptr.name, ptr.alias, ptr.unique) == (MI, instance, False)
    assert (srv.name, srv.server, srv.port, srv.unique) == (instance, "Kitchen(ungWv48Bz-).local.", 56666, True)
    assert (a.name, a.address) == ("Kitchen(ungWv48Bz-).local.", bytes([192, 168, 1, 23]))
    assert all(r.ttl == 120 for r in recs)
    expected = {
        b"version": b"196608", b"apps": b"[5]", b"flags": b"CgE=", b"name": b"Kitchen",
        b"idHash": b"dW5n", b"dev": b"3", b"sec": b"2", b"appsData": b"gQAEBIMiww==",
    }
    if mac:
        expected[b"mac"] = mac
    assert properties(txt, MI, instance) == expected
    if v6:
        assert len(recs) == 5 and msg.num_additionals == 4
        assert (recs[4].name, recs[4].type) == ("Kitchen(ungWv48Bz-).local.", 28)
        assert recs[4].address == bytes.fromhex("20010db8000000000000000000000023")
    else:
        assert len(recs) == 4 and msg.num_additionals == 3
    _, bye = records(out["mi_connect_goodbye"])
    assert [r.ttl for r in bye] == [0] * len(recs)


@pytest.mark.parametrize("value, id_hash", [
    ("ab7", b"YWI3"),
    ("a_b", b"dW5n"),
    ("ab", b"dW5n"),
])
def test_mi_connect_account_from_environment(value, id_hash):
    out = packets(*KITCHEN, env_account=value)
    _, recs = records(out["mi_connect"])
    assert properties(recs[2], MI, "Kitchen(ungWv48Bz-)." + MI)[b"idHash"] == id_hash


def test_long_inputs_stay_parseable():
    name = "\u00e9" * 140  # 280 bytes: AppData cut to 31 characters, "name=" to 255 bytes
    out = packets(name, "0123ABCD", "idm", "", "255", "10.0.0.5", "i" * 300, "fe80::1")
    _, lyra = records(out["lyra"])
    props = properties(lyra[2], LYRA, "0123ABCD." + LYRA)
    assert len(b"DebugInfo=" + props[b"DebugInfo"]) == 255
    _, mi = records(out["mi_connect"])
    assert mi[0].alias == "Quarnet(" + out["instance"][8:-1] + ")." + MI
    # The 255-byte "name=" entry is cut inside a two-byte character.
    raw = mi[2].text
    assert raw[raw.index(b"name=") - 1] == 255
