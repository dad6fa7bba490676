"""Multicast DNS of the real relvox against a hostile host on its link: forged sources never turn
the responder into a reflector towards a broadcast address or a host off the link. Each test ends
with a query still answered and a Lyra phone that completes its handshake and connect."""

import socket

import pytest

import netpair
from lyra_phone import lyra_road
from netpair import BROADCAST_V4, OFF_LINK_V4, RECEIVER_V4, TEST_IF
from spoof import Spoofer
from test_discovery import (GROUP, LYRA_WIRE, MI_WIRE, asker, from_responder, listener, pair,  # noqa: F401
                            query, start, startup_done)

pytestmark = pytest.mark.skipif(not netpair.available(), reason="needs root and network namespaces")

BOTH = [(LYRA_WIRE, 12, 1), (MI_WIRE, 12, 1)]
BOTH_QU = [(LYRA_WIRE, 12, 0x8001), (MI_WIRE, 12, 0x8001)]


def still_served(r, asker):  # noqa: F811 (the fixture's socket)
    """A query from a host on the link gets both answers, and a phone completes the Lyra road."""
    asker.sendto(query(0x0A0A, BOTH_QU), (RECEIVER_V4, 5353))
    answers = [asker.recvfrom(9000) for _ in range(2)]
    assert all(data[:2] == b"\x0a\x0a" and src == (RECEIVER_V4, 5353) for data, src in answers)
    r.wait_event("lyra_command_ready")
    assert lyra_road(RECEIVER_V4) == 8899
    r.wait_event("lyra_logical_connection_accepted")


def catcher(address, port):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind((address, port))
    s.settimeout(0.3)
    return s


def drain(sock):
    got = []
    try:
        while True:
            got.append(sock.recvfrom(9000)[0])
    except socket.timeout:
        return got


# (case, forged source, where the query is sent, its questions, who would receive a reflected
# answer on the test's side: a socket bound there, or None where only the receiver's own events
# can show it)
FORGED = [
    ("subnet_broadcast_source", (BROADCAST_V4, 40000), (RECEIVER_V4, 5353), BOTH_QU, ("0.0.0.0", 40000)),
    ("network_address_source", ("10.77.0.0", 40000), (RECEIVER_V4, 5353), BOTH_QU, None),
    ("off_link_source_other_port_to_group", (OFF_LINK_V4, 40000), (GROUP, 5353), BOTH, (OFF_LINK_V4, 40000)),
    ("off_link_source_unicast_bit_to_group", (OFF_LINK_V4, 5353), (GROUP, 5353), BOTH_QU, (OFF_LINK_V4, 5353)),
]


@pytest.mark.parametrize("case,source,to,questions,reflected_to", FORGED, ids=[f[0] for f in FORGED])
def test_forged_sources_get_nothing(pair, listener, relvox, asker, case, source, to, questions,  # noqa: F811
                                    reflected_to):
    r = start(relvox, pair)
    startup_done(r)
    catch = catcher(*reflected_to) if reflected_to else None
    spoofer = Spoofer(interface=TEST_IF)
    try:
        forged = query(0x6666, questions)
        for _ in range(3):
            spoofer.send(source, to, forged)
        source_text = "%s:%d" % source
        r.wait_for(lambda e: e.get("event") == "discovery_packet_received" and e["source"] == source_text,
                   what="the forged query")
        # The responder works one datagram at a time: once a later query is answered, the forged
        # ones are done with.
        asker.sendto(query(0x0B0B, [(LYRA_WIRE, 12, 0x8001)]), (RECEIVER_V4, 5353))
        assert asker.recvfrom(9000)[0][:2] == b"\x0b\x0b"
        replies = [e for e in r.named("discovery_query") if e["query_wire_hex"] == forged.hex()]
        sent = sum(e["bytes"] for e in replies if e["success"])
        caught = drain(catch) if catch is not None else []
        assert not replies and not caught, (
            f"{len(forged)}-byte query x3 from {source_text}: {len(replies)} replies, {sent} bytes to "
            f"{sorted({e['destination'] for e in replies})}; {sum(map(len, caught))} bytes reached {reflected_to}")
        assert not [d for d in listener.got if d.data[:2] == b"\x66\x66" and from_responder(d)]
        still_served(r, asker)
    finally:
        spoofer.close()
        if catch is not None:
            catch.close()
