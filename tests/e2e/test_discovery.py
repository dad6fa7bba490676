"""Multicast DNS discovery of the real relvox, seen from the other end of a veth pair.

relvox runs alone in its own network namespace (netpair.py); every socket of these tests lives
in the test's namespace on the other end of the link, so nothing else in relvox's namespace
listens on 5353."""

import socket
import struct
import threading
import time

import pytest
from zeroconf import DNSIncoming, ServiceBrowser, ServiceStateChange, Zeroconf, IPVersion

import netpair
from netpair import BROADCAST_V4, OFF_LINK_V4, RECEIVER_IF, RECEIVER_LL, RECEIVER_V4, TEST_V4
from proc_stats import descriptor_count, rss_kb, thread_names
from relvox import Relvox

pytestmark = pytest.mark.skipif(not netpair.available(), reason="needs root and network namespaces")

LYRA = "_lyra-mdns._udp.local."
MI = "_mi-connect._udp.local."
GROUP = "224.0.0.251"
IP_PKTINFO = 8
LYRA_WIRE = b"\x0a_lyra-mdns\x04_udp\x05local\x00"
MI_WIRE = b"\x0b_mi-connect\x04_udp\x05local\x00"
MI_INSTANCE = "Kitchen(ungWv48Bz-)"


def query(qid, questions, flags=0):
    out = struct.pack(">HHHHHH", qid, flags, len(questions), 0, 0, 0)
    for name, qtype, qclass in questions:
        out += name + struct.pack(">HH", qtype, qclass)
    return out


class Datagram:
    def __init__(self, data, src, dst):
        self.at = time.monotonic()
        self.data, self.src, self.dst = data, src, dst


class Listener:
    """A socket on 0.0.0.0:5353 in the group on the test's side of the link; records every
    datagram with its source and destination address."""

    def __init__(self):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.bind(("0.0.0.0", 5353))
        s.setsockopt(socket.IPPROTO_IP, IP_PKTINFO, 1)
        mreq = socket.inet_aton(GROUP) + socket.inet_aton(TEST_V4)
        s.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, mreq)
        s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(TEST_V4))
        s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_LOOP, 0)
        s.settimeout(0.2)
        self.sock = s
        self.got = []
        self.cv = threading.Condition()
        self.running = True
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while self.running:
            try:
                data, anc, _, src = self.sock.recvmsg(9000, socket.CMSG_SPACE(12))
            except socket.timeout:
                continue
            except OSError:
                return
            dst = None
            for level, kind, value in anc:
                if level == socket.IPPROTO_IP and kind == IP_PKTINFO:
                    dst = socket.inet_ntoa(value[8:12])
            with self.cv:
                self.got.append(Datagram(data, src, dst))
                self.cv.notify_all()

    def wait(self, pred, count, timeout=5.0):
        deadline = time.monotonic() + timeout
        with self.cv:
            while True:
                hits = [d for d in self.got if pred(d)]
                if len(hits) >= count:
                    return hits
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError(f"{len(hits)} of {count} datagrams: {[(d.src, d.dst, d.data[:16]) for d in self.got]}")
                self.cv.wait(left)

    def close(self):
        self.running = False
        self.thread.join()
        self.sock.close()


def from_responder(d):
    return d.src == (RECEIVER_V4, 5353)


@pytest.fixture
def pair():
    p = netpair.NetPair()
    yield p
    p.close()


@pytest.fixture
def listener(pair):
    l = Listener()
    yield l
    l.close()


def start(relvox, pair, *extra, interface=RECEIVER_IF):
    return relvox("--expected-ip", RECEIVER_V4, "--interface-name", interface, "--name", "Kitchen",
                  "--lyra-instance-id", "C0A80117", "--idm-instance-id", "abc",
                  "--media-device-id", "aa:bb:cc:dd:ee:ff", *extra, prefix=pair.prefix())


def startup_done(r):
    return r.wait_for(lambda e: e.get("event") == "discovery_announcement" and e.get("round") == 3
                      and e.get("service") == MI, what="third startup round")


def records(data):
    msg = DNSIncoming(data)
    assert msg.valid
    return list(msg.answers)


def test_startup_announcements_reach_group_and_broadcast(pair, listener, relvox):
    r = start(relvox, pair)
    startup_done(r)
    got = listener.wait(from_responder, 12)
    assert len(got) == 12
    kinds = [("lyra" if LYRA_WIRE in d.data[12:40] else "mi", d.dst) for d in got]
    one_round = [("lyra", GROUP), ("lyra", BROADCAST_V4), ("mi", GROUP), ("mi", BROADCAST_V4)]
    assert kinds == one_round * 3
    starts = [got[i].at for i in (0, 4, 8)]
    assert starts[1] - starts[0] >= 0.2 and starts[2] - starts[1] >= 0.2
    lyra, mi = got[0].data, got[2].data
    assert all(d.data == (lyra if k == "lyra" else mi) for d, (k, _) in zip(got, kinds))
    recs = records(lyra)
    assert [type(x).__name__ for x in recs] == ["DNSPointer", "DNSService", "DNSText", "DNSAddress", "DNSAddress"]
    assert recs[0].alias == "C0A80117." + LYRA
    assert recs[3].address == socket.inet_aton(RECEIVER_V4)
    assert recs[4].address == socket.inet_pton(socket.AF_INET6, RECEIVER_LL)
    assert b"DebugInfo={msg:reply, ifname:svb, v4:10.**.#.1, v6:fe80::1}" in recs[2].text
    mi_recs = records(mi)
    assert mi_recs[0].alias == MI_INSTANCE + "." + MI
    assert mi_recs[1].port == 56666
    events = r.named("discovery_announcement")
    assert [(e["service"], e["round"]) for e in events] == [(s, n) for n in (1, 2, 3) for s in (LYRA, MI)]
    assert all(e["success"] and e["wired_broadcast_success"] and e["reason"] == "startup"
               and e["destination"] == "224.0.0.251:5353" for e in events)
    assert events[0]["bytes"] == len(lyra) and events[1]["bytes"] == len(mi)
    inventory = r.named("discovery_interface_inventory")[0]
    assert inventory["selected_link_local_v6"] == RECEIVER_LL
    assert inventory["selected_mi_connect_ipv6"] == RECEIVER_LL
    ready = r.wait_event("receiver_ready")
    assert ready["mdns_service"] == "C0A80117._lyra-mdns._udp.local."
    names = thread_names(r.proc.pid)
    for name in ("sonvale-lyra-di", "sonvale-ipv4-pe", "sonvale-ipv6-pe"):
        assert name in names, names


def ttl_offsets(data):
    """Offsets of every record's TTL, walking the message as RFC 1035 lays it out."""
    msg = DNSIncoming(data)
    offsets, pos = [], 12
    for _ in range(msg.num_answers + msg.num_authorities + msg.num_additionals):
        while data[pos] != 0 and data[pos] < 0xC0:
            pos += 1 + data[pos]
        pos += 2 if data[pos] >= 0xC0 else 1
        offsets.append(pos + 4)
        pos += 10 + struct.unpack(">H", data[pos + 8:pos + 10])[0]
    return offsets


@pytest.mark.parametrize("how", ["stop", "end_of_input"])
def test_goodbyes_before_exit(pair, listener, relvox, how):
    r = start(relvox, pair)
    startup_done(r)
    announced = listener.wait(from_responder, 12)
    if how == "stop":
        r.send({"command": "stop"})
    r.close_stdin()
    assert r.wait_exit() == 0
    # Every goodbye event was written before the process ended.
    goodbyes = r.named("discovery_goodbye")
    assert [(e["service"], e["round"]) for e in goodbyes] == [(s, n) for n in (1, 2, 3) for s in (LYRA, MI)]
    assert all(e["success"] and e["wired_broadcast_success"] and e["reason"] == "shutdown" for e in goodbyes)
    got = listener.wait(lambda d: from_responder(d) and d not in announced, 12)
    for d, source in zip(got, [announced[0], announced[1], announced[2], announced[3]] * 3):
        live = source.data
        assert len(d.data) == len(live)
        offsets = ttl_offsets(live)
        assert len(offsets) == 5
        changed = {i for i in range(len(live)) if d.data[i] != live[i]}
        ttl_bytes = {o + k for o in offsets for k in range(4)}
        assert changed <= ttl_bytes
        assert all(d.data[o:o + 4] == b"\0\0\0\0" for o in offsets)
        assert all(x.ttl == 0 for x in records(d.data))


@pytest.fixture
def asker(pair):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind((TEST_V4, 0))
    s.settimeout(2)
    yield s
    s.close()


def with_id(packet, qid):
    return struct.pack(">H", qid) + packet[2:]


def test_answer_destinations(pair, listener, relvox, asker):
    r = start(relvox, pair)
    startup_done(r)
    announced = listener.wait(from_responder, 12)
    lyra, mi = announced[0].data, announced[2].data
    seen = len(listener.got)

    # From port 5353 to the group, class IN: answered to the group with the query's id, once a
    # second has passed since the group heard the records last.
    time.sleep(max(0.0, announced[-1].at + 1.05 - time.monotonic()))
    listener.sock.sendto(query(0x1111, [(LYRA_WIRE, 12, 1)]), (GROUP, 5353))
    got = listener.wait(lambda d: d.data[:2] == b"\x11\x11" and from_responder(d), 1)[0]
    assert got.dst == GROUP and got.data == with_id(lyra, 0x1111)
    ev = r.wait_event("discovery_query", unicast=False)
    assert (ev["destination"], ev["source"], ev["service"]) == ("224.0.0.251:5353", f"{TEST_V4}:5353", LYRA)
    assert ev["reply_wire_hex"] == with_id(lyra, 0x1111).hex()

    # The unicast-response bit: answered to the sender.
    listener.sock.sendto(query(0x2222, [(MI_WIRE, 12, 0x8001)]), (GROUP, 5353))
    got = listener.wait(lambda d: d.data[:2] == b"\x22\x22" and from_responder(d), 1)[0]
    assert got.dst == TEST_V4 and got.data == with_id(mi, 0x2222)
    ev = r.wait_event("discovery_query", unicast=True, service=MI)
    assert ev["destination"] == f"{TEST_V4}:5353"

    # Unicast from another port, both services asked (names in any letter case): two replies to
    # the asker, Lyra first.
    asker.sendto(query(0x3333, [(LYRA_WIRE.upper(), 12, 1), (MI_WIRE, 255, 1)]), (RECEIVER_V4, 5353))
    first, _ = asker.recvfrom(9000)
    second, src = asker.recvfrom(9000)
    assert src == (RECEIVER_V4, 5353)
    assert (first, second) == (with_id(lyra, 0x3333), with_id(mi, 0x3333))
    assert all(not (d.data[:2] == b"\x33\x33") for d in listener.got[seen:])


def test_unsupported_malformed_and_oversized(pair, listener, relvox, asker):
    r = start(relvox, pair)
    startup_done(r)
    other = b"\x07_airtag\x04_udp\x05local\x00"
    many = query(7, [(other, 12, 1)] + [(b"\xc0\x0c", 16, 0x8001)] * 39)
    asker.sendto(many, (RECEIVER_V4, 5353))
    ev = r.wait_event("discovery_query_unsupported")
    assert ev["query"] == ["_airtag._udp.local/12/0x0001"] + ["_airtag._udp.local/16/0x8001"] * 31
    assert ev["bytes"] == len(many) and ev["wire_hex"] == many.hex()
    assert ev["source"] == "%s:%d" % asker.getsockname()

    before = len(r.events)
    bomb = bytearray(struct.pack(">HHHHHH", 0, 0, 65535, 0, 0, 0))
    for _ in range(11):
        bomb += b"\xbf" + b"\x01" * 191
    bomb += b"\x00\x00\x0c\x00\x01"
    while len(bomb) + 6 <= 4096:
        bomb += b"\xc0\x0c\x00\x0c\x00\x01"
    bad = [b"\x01\x02\x03\x04\x05", query(8, [(b"\xc0\x0e\xc0\x0c", 12, 1)]), bytes(bomb),
           b"\x84" * 6000, query(9, []) + LYRA_WIRE]
    for d in bad:
        asker.sendto(d, (RECEIVER_V4, 5353))
    received = r.wait_for(lambda e: e.get("event") == "discovery_packet_received" and e["bytes"] == 4096
                          and e["wire_hex"].startswith("84"), what="the oversized datagram")
    assert received["source"] == "%s:%d" % asker.getsockname()
    asker.sendto(query(10, [(LYRA_WIRE, 12, 1)]), (RECEIVER_V4, 5353))
    r.wait_event("discovery_query")  # the loop goes on
    mine = [e for e in r.events[before:] if e.get("source") == "%s:%d" % asker.getsockname()]
    assert [e["event"] for e in mine] == ["discovery_packet_received"] * 6 + ["discovery_query"]
    assert [e["bytes"] for e in mine[:5]] == [5, len(bad[1]), len(bomb), 4096, len(bad[4])]


def test_unicast_queries_from_off_link_sources_get_no_answer(pair, listener, relvox, asker):
    r = start(relvox, pair)
    startup_done(r)
    spoofed = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    spoofed.bind((OFF_LINK_V4, 0))
    spoofed.settimeout(1)
    q = query(0x4444, [(LYRA_WIRE, 12, 0x8001), (MI_WIRE, 12, 0x8001)])
    spoofed.sendto(q, (RECEIVER_V4, 5353))
    ev = r.wait_event("discovery_packet_received", source="%s:%d" % spoofed.getsockname())
    assert ev["wire_hex"] == q.hex()
    with pytest.raises(socket.timeout):
        spoofed.recvfrom(9000)
    spoofed.close()
    # The same query from the link is answered.
    asker.sendto(q, (RECEIVER_V4, 5353))
    assert asker.recvfrom(9000)[0][:2] == b"\x44\x44"
    answered = r.named("discovery_query") + r.named("discovery_query_unsupported")
    assert not any(e["source"].startswith(OFF_LINK_V4 + ":") for e in answered)


def test_peer_browsers_on_both_families(pair, listener, relvox):
    r = start(relvox, pair)
    ipv4_query = r.wait_event("discovery_peer_query", address_family="ipv4")
    ipv6_query = r.wait_event("discovery_peer_query", address_family="ipv6")
    index = pair.receiver_index()
    assert ipv6_query["destination"] == f"[ff02::fb%{index}]:5353"
    assert ipv6_query["source"].startswith(f"[{RECEIVER_LL}%{index}]:")
    assert ipv4_query["destination"] == "224.0.0.251:5353" and ipv4_query["success"]
    peer_query = bytes.fromhex(ipv4_query["wire_hex"])
    # IPv4: the query reaches the group on the link; a response naming the service is a peer.
    got = listener.wait(lambda d: d.data == peer_query and d.src[0] == RECEIVER_V4, 1)[0]
    response = b"\x00\x00\x84\x00\x00\x00\x00\x01\x00\x00\x00\x00" + LYRA_WIRE
    listener.sock.sendto(response, got.src)
    found = r.wait_event("discovery_peer_found", address_family="ipv4")
    assert (found["source"], found["destination"], found["bytes"]) == (f"{TEST_V4}:5353", "%s:%d" % got.src, 35)
    listener.sock.sendto(b"\x00" * 22, got.src)
    ignored = r.wait_event("discovery_peer_packet_ignored", address_family="ipv4")
    assert (ignored["service"], ignored["bytes"]) == (None, 22)

    # IPv6 on the nodad link-local address.
    s6 = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
    s6.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s6.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
    s6.bind(("::", 5353))
    mreq = socket.inet_pton(socket.AF_INET6, "ff02::fb") + struct.pack("@I", pair.test_index)
    s6.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_JOIN_GROUP, mreq)
    s6.settimeout(5)
    try:
        while True:  # the next round (1 s after the first) reaches the link
            data, src = s6.recvfrom(9000)
            if data == peer_query:
                break
        assert src[0].split("%")[0] == RECEIVER_LL
        s6.sendto(response, src)
        found6 = r.wait_event("discovery_peer_found", address_family="ipv6")
        assert found6["source"] == f"[{netpair.TEST_LL}%{index}]:5353"
        assert found6["destination"] == ipv6_query["source"]
    finally:
        s6.close()


def test_interface_name_in_other_letter_case_has_no_ipv6_browser(pair, relvox):
    """The registration matches the name ignoring case and still finds the link-local address;
    the IPv6 browser needs the name exactly as listed, so it does not start."""
    r = start(relvox, pair, interface=RECEIVER_IF.upper())
    inventory = r.wait_event("discovery_interface_inventory")
    assert inventory["selected_link_local_v6"] == RECEIVER_LL
    r.wait_event("discovery_peer_query", address_family="ipv4", round=2)
    assert not [e for e in r.named("discovery_peer_query") if e["address_family"] == "ipv6"]
    names = thread_names(r.proc.pid)
    assert "sonvale-ipv4-pe" in names and "sonvale-ipv6-pe" not in names


def test_flood_of_datagrams_leaves_threads_and_descriptors_flat(pair, listener, relvox, asker,
                                                               no_sanitizer_quarantine):
    r = start(relvox, pair)
    startup_done(r)
    pid = r.proc.pid
    threads, fds = len(thread_names(pid)), descriptor_count(pid)
    # The longest legal name, then as many questions pointing at it as fit in 4096 bytes: the
    # most a datagram can make the receiver decode and list.
    junk = bytearray(struct.pack(">HHHHHH", 0, 0, 65535, 0, 0, 0))
    junk += (b"\x3f" + b"c" * 63) * 3 + b"\x3d" + b"d" * 61 + b"\x00" + b"\x00\x0c\x00\x01"
    while len(junk) + 6 <= 4096:
        junk += b"\xc0\x0c\x00\x0c\x00\x01"
    junk = bytes(junk)
    for _ in range(100):
        asker.sendto(junk, (RECEIVER_V4, 5353))
    time.sleep(0.5)
    rss = rss_kb(pid)
    for _ in range(500):
        asker.sendto(junk, (RECEIVER_V4, 5353))
    asker.sendto(query(0x5555, [(LYRA_WIRE, 12, 1)]), (RECEIVER_V4, 5353))
    r.wait_for(lambda e: e.get("event") == "discovery_query" and e["query_wire_hex"].startswith("5555"),
               timeout=20, what="the query behind the flood")
    assert len(thread_names(pid)) == threads
    assert descriptor_count(pid) == fds
    assert rss_kb(pid) - rss < 4096
    unsupported = r.named("discovery_query_unsupported")
    assert unsupported and all(len(e["query"]) == 32 for e in unsupported)  # datagrams beyond the socket buffer drop
    assert max(len(line) for line in r.raw_lines) < 40000


def test_python_zeroconf_browser_sees_both_services_come_and_go(pair, relvox):
    zc = Zeroconf(interfaces=[TEST_V4], ip_version=IPVersion.V4Only)
    changes = []
    cv = threading.Condition()

    def on_change(zeroconf, service_type, name, state_change):
        with cv:
            changes.append((state_change, service_type, name))
            cv.notify_all()

    def wait_change(state, name, timeout=10):
        deadline = time.monotonic() + timeout
        with cv:
            while (state, name) not in [(c[0], c[2]) for c in changes]:
                left = deadline - time.monotonic()
                assert left > 0, changes
                cv.wait(left)

    browser = ServiceBrowser(zc, [LYRA, MI], handlers=[on_change])
    try:
        r = start(relvox, pair)
        wait_change(ServiceStateChange.Added, "C0A80117." + LYRA)
        wait_change(ServiceStateChange.Added, MI_INSTANCE + "." + MI)
        lyra = zc.get_service_info(LYRA, "C0A80117." + LYRA, timeout=3000)
        assert (lyra.port, lyra.server) == (5353, "C0A80117.local.")
        assert lyra.parsed_addresses() == [RECEIVER_V4, RECEIVER_LL]
        assert set(lyra.properties) == {b"AppData", b"MediumType", b"CH", b"DebugInfo", b"TS"}
        assert lyra.properties[b"MediumType"] == b"8192"
        mi = zc.get_service_info(MI, MI_INSTANCE + "." + MI, timeout=3000)
        assert (mi.port, mi.server) == (56666, MI_INSTANCE + ".local.")
        assert mi.parsed_addresses() == [RECEIVER_V4, RECEIVER_LL]
        assert mi.properties[b"name"] == b"Kitchen" and mi.properties[b"idHash"] == b"dW5n"
        assert mi.properties[b"mac"] == b"qrvM3e7/" and mi.properties[b"dev"] == b"3"
        r.send({"command": "stop"})
        assert r.wait_exit() == 0
        wait_change(ServiceStateChange.Removed, "C0A80117." + LYRA)
        wait_change(ServiceStateChange.Removed, MI_INSTANCE + "." + MI)
    finally:
        browser.cancel()
        zc.close()


def test_exclusive_holder_of_port_5353_fails_the_start():
    """Here relvox runs in the test's own namespace on loopback."""
    holder = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    holder.bind(("0.0.0.0", 5353))
    try:
        r = Relvox("--expected-ip", "127.0.0.1", stdin_data=b"")
        assert r.wait_exit() == 1
    finally:
        holder.close()
    err = r.named("error")[0]
    assert err["code"] == "start_failed"
    assert err["message"].endswith(
        ": bind ZeDidi discovery socket to 0.0.0.0:5353: Address already in use (os error 98)")
    names = [e["event"] for e in r.events]
    assert "zedidi_lan_removed" in names and "receiver_ready" not in names
    assert names[-1] == "error"
