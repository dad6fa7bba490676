"""Multicast DNS of the real relvox against a hostile host on its link: forged sources never turn
the responder into a reflector towards a broadcast address or a host off the link, and a flood of
queries gets the group at most about one answer a second per service. Each test ends with a query
still answered and a Lyra phone that completes its handshake and connect."""

import socket
import time

import pytest

import netpair
from lyra_phone import lyra_road
from netpair import BROADCAST_V4, OFF_LINK_V4, RECEIVER_V4, SECOND_V4, TEST_IF, TEST_V4
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


def test_query_flood_gets_the_group_about_one_answer_a_second(pair, listener, relvox, asker):  # noqa: F811
    r = start(relvox, pair)
    startup_done(r)
    announced = listener.wait(from_responder, 12)
    legacy = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    legacy.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
    legacy.bind((TEST_V4, 0))
    legacy.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(TEST_V4))
    legacy.settimeout(2)
    try:
        # 500 queries a second from port 5353 to the group for 3 s, each asking for both services;
        # every 25th time a one-shot querier on the link asks too (answered by unicast).
        rate, seconds, legacy_every = 500, 3.0, 25
        began = time.monotonic()
        sent = legacy_sent = 0
        while sent < rate * seconds:
            due = began + sent / rate
            now = time.monotonic()
            if due > now:
                time.sleep(due - now)
            listener.sock.sendto(query(0x8000 + sent, BOTH), (GROUP, 5353))
            if sent % legacy_every == 0:
                legacy.sendto(query(0x4000 + legacy_sent, BOTH), (GROUP, 5353))
                legacy_sent += 1
            sent += 1
        flood_end = time.monotonic()
        # Every query was read before the next check: a late one asked from the link is answered.
        asker.sendto(query(0x0C0C, [(LYRA_WIRE, 12, 0x8001)]), (RECEIVER_V4, 5353))
        assert asker.recvfrom(9000)[0][:2] == b"\x0c\x0c"
        span = max(flood_end, time.monotonic()) - began

        def answers(wire):
            return [d for d in listener.got if from_responder(d) and d.dst == GROUP
                    and 0x8000 <= int.from_bytes(d.data[:2], "big") < 0x8000 + sent and wire in d.data[12:40]]

        for wire in (LYRA_WIRE, MI_WIRE):
            got = answers(wire)
            # One a second at the most, the first a second after the last announcement at the
            # earliest (judged with room for a late read of either on a loaded machine).
            assert 1 <= len(got) <= int(span) + 1, f"{len(got)} answers to the group in {span:.1f} s"
            assert got[0].at - announced[-1].at >= 0.5
        legacy_answers = []
        while len(legacy_answers) < 2 * legacy_sent:
            data, src = legacy.recvfrom(9000)
            assert src == (RECEIVER_V4, 5353)
            legacy_answers.append(int.from_bytes(data[:2], "big"))
        assert sorted(legacy_answers) == sorted([0x4000 + n for n in range(legacy_sent)] * 2)

        # A second after the group heard the last answer, a query from 5353 is answered to it again.
        last = max(d.at for d in listener.got if from_responder(d) and d.dst == GROUP)
        time.sleep(max(0.0, last + 1.05 - time.monotonic()))
        listener.sock.sendto(query(0x0D0D, BOTH), (GROUP, 5353))
        got = listener.wait(lambda d: d.data[:2] == b"\x0d\x0d" and from_responder(d), 2)
        assert all(d.dst == GROUP for d in got)
        still_served(r, asker)
    finally:
        legacy.close()


def test_forged_queries_get_a_host_of_the_link_at_most_three_times_their_bytes(pair, relvox, asker):  # noqa: F811
    """Queries asking for unicast answers, forged with the address of another host of the link,
    at 1000 a second for 2 s: each would be answered with both records, ten times its size. What
    reaches that host stays within three times what was sent in its name plus 4 KiB and the
    1 KiB a second it regains, headers counted; a querier elsewhere on the link is answered."""
    r = start(relvox, pair)
    startup_done(r)
    victim = catcher(SECOND_V4, 40000)
    victim.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8 << 20)
    spoofer = Spoofer(interface=TEST_IF)
    forged = query(0x7777, BOTH_QU)
    source = (SECOND_V4, 40000)
    try:
        began = time.monotonic()
        for n in range(2000):
            due = began + n / 1000
            if due > time.monotonic():
                time.sleep(due - time.monotonic())
            spoofer.send(source, (RECEIVER_V4, 5353), forged)
        # Every forged query was read before a later one from the link is answered.
        asker.sendto(query(0x0E0E, [(LYRA_WIRE, 12, 0x8001)]), (RECEIVER_V4, 5353))
        assert asker.recvfrom(9000)[0][:2] == b"\x0e\x0e"
        span = time.monotonic() - began
        got = drain(victim)
    finally:
        spoofer.close()
        victim.close()
    read = [e for e in r.named("discovery_packet_received") if e["source"] == "%s:%d" % source]
    sent_wire = sum(e["bytes"] + 28 for e in read)
    got_wire = sum(len(d) + 28 for d in got)
    print(f"{len(read)} forged queries read, {sent_wire} bytes with headers; {len(got)} answers, "
          f"{got_wire} bytes ({got_wire / sent_wire:.2f} times) in {span:.1f} s")
    assert len(read) > 1000
    assert 0 < got_wire <= 3 * sent_wire + 4096 + 1024 * (span + 1)
    still_served(r, asker)
