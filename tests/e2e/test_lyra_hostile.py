"""The Lyra command channel of the real relvox against a hostile host on its link. relvox runs in
its own network namespace (netpair.py); the test's side of the veth pair sends datagrams with
source addresses of its choosing (spoof.py) and holds 10.88.0.2, an off-link address that the
receiver routes back over the link, so a socket there sees what a spoofed victim would get. Each
test ends with a good phone that runs the whole road and is told control port 8899."""

import os
import socket
import threading
import time

import pytest

import netpair
from lyra_phone import (ACK, PUSH, LyraPhone, SecurePhone, frame, handshake_message, inner_frame,
                        keep_alive, logical, lyra_road, segment, sync_request, wait_until)
from netpair import OFF_LINK_V4, RECEIVER_V4, TEST_V4
from spoof import Spoofer
from test_discovery import asker, pair, start  # noqa: F401 (asker, pair: fixtures)
from test_hostile_discovery import still_served

pytestmark = pytest.mark.skipif(not netpair.available(), reason="needs root and network namespaces")

LYRA = (RECEIVER_V4, 55982)
# 300 spoofed (address, port) pairs, more than the receiver keeps sessions for.
PAIRS = [(f"10.88.0.{10 + i // 30}", 40000 + i % 30) for i in range(300)]
BARE_KEEP_ALIVE = bytes.fromhex("0904000a120412021004")  # physical type 4, no body
BARE_SYNC = bytes.fromhex("0904000a120412021001")  # physical type 1, no peer device info
HEADERS = 28  # IPv4 and UDP: what each datagram costs the link beyond its payload


@pytest.fixture
def receiver(pair, relvox):  # noqa: F811 (pair: fixture)
    r = start(relvox, pair)
    r.wait_event("lyra_command_ready")
    r.wait_event("receiver_ready")
    return r


class Flood:
    """Sends (source, payload) pairs, cycled, to the receiver's Lyra port from a thread, `rate`
    datagrams a second, until it is stopped."""

    def __init__(self, datagrams, rate):
        self.spoofer = Spoofer()
        self.sent = 0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, args=(datagrams, rate), daemon=True)
        self._thread.start()

    def _run(self, datagrams, rate):
        began = time.monotonic()
        while not self._stop.is_set():
            due = int((time.monotonic() - began) * rate)
            while self.sent < due:
                source, payload = datagrams[self.sent % len(datagrams)]
                self.spoofer.send(source, LYRA, payload)
                self.sent += 1
            self._stop.wait(0.005)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join()
        self.spoofer.close()


def p256_point():
    from cryptography.hazmat.primitives import serialization
    from cryptography.hazmat.primitives.asymmetric import ec
    key = ec.generate_private_key(ec.SECP256R1())
    return key.public_key().public_bytes(serialization.Encoding.X962,
                                         serialization.PublicFormat.UncompressedPoint)


def flood_segment(kind, n):
    if kind == "acks":
        return segment(0x5EED, ACK, n, una=n + 1)
    return segment(1, PUSH, n, keep_alive(b"x"))


def phone_peer(phone):
    return f"{TEST_V4}:{phone.sock.getsockname()[1]}"


def wait_received(receiver, peers, count, timeout=10.0):
    """Waits until the receiver has read `count` datagrams from `peers` in all."""
    seen = 0

    def counted(e):
        nonlocal seen
        seen += e.get("event") == "lyra_packet_received" and e.get("peer") in peers
        return seen >= count

    receiver.wait_for(counted, timeout, what=f"{count} datagrams from {sorted(peers)}")


def channel_frame_is_opened(receiver, phone):
    phone.send_push(frame(0x21, bytes([1]) + phone.seal(b"still here")))
    ack, _ = phone.recv_segment()
    assert ack["cmd"] == ACK
    peer = phone_peer(phone)
    opened = receiver.wait_for(lambda e: e.get("peer") == peer and e.get("event", "").startswith("lyra_channel_frame"),
                               what="the phone's channel frame")
    assert opened["event"] == "lyra_channel_frame_decrypted", opened
    assert opened["payload_utf8"] == "still here"


@pytest.mark.parametrize("kind", ["acks", "keep_alive_pushes"])
def test_spoofed_pairs_do_not_lock_a_slow_phone_out(receiver, kind):
    """300 spoofed pairs at 1000 datagrams a second while a phone thinks 0.3 s between steps:
    its session keeps its key, so the sealed connect and, 300 datagrams later, a sealed channel
    frame are opened."""
    datagrams = [(source, flood_segment(kind, i)) for i, source in enumerate(PAIRS)]

    def channel_frame_after_300_more(phone):
        mark = flood.sent
        assert wait_until(lambda: flood.sent >= mark + 300, timeout=5)
        channel_frame_is_opened(receiver, phone)

    with Flood(datagrams, rate=1000) as flood:
        assert wait_until(lambda: flood.sent >= 300, timeout=5)
        port = lyra_road(RECEIVER_V4, between=lambda done: time.sleep(0.3), then=channel_frame_after_300_more)
        print(f"{kind}: {flood.sent} spoofed datagrams during the road")
    assert port == 8899
    assert receiver.named("lyra_logical_connection_accepted")[-1]["server_port"] == 8899


def spoof_keyed_sessions(receiver, pairs, acknowledged):
    """A handshake from each spoofed pair, each read before the next ten go; `acknowledged` packs
    behind it an ack of reply 0, which a spoofer can send without seeing the reply. Returns once
    every pair holds a key."""
    point = p256_point()
    peers = {"%s:%d" % source for source in pairs}
    spoofer = Spoofer()
    try:
        for i, source in enumerate(pairs):
            message = handshake_message(os.urandom(32), point)
            datagram = segment(1, PUSH, i, logical([(3, 1)], inner_frame(6, message)))
            if acknowledged:
                datagram += segment(1, ACK, 0, una=1)
            spoofer.send(source, LYRA, datagram)
            if i % 10 == 9:
                wait_received(receiver, peers, i + 1)
    finally:
        spoofer.close()
    keyed = set()

    def established(e):
        if e.get("event") == "lyra_secure_channel_established" and e["peer"] in peers:
            keyed.add(e["peer"])
        return len(keyed) == len(pairs)

    receiver.wait_for(established, what="a key for every spoofed pair")


def test_spoofed_handshakes_do_not_push_out_a_keyed_phone(receiver):
    """A handshake needs no secret, so each of 300 spoofed pairs leaves a key in a session of its
    own; sent between the phone's handshake and its connect (each read before the next ten go),
    they still do not take the phone's place."""
    def spoof_handshakes(done):
        if done == 4:
            spoof_keyed_sessions(receiver, PAIRS, acknowledged=False)

    assert lyra_road(RECEIVER_V4, between=spoof_handshakes,
                     then=lambda phone: channel_frame_is_opened(receiver, phone)) == 8899


def test_acknowledged_spoofed_handshakes_do_not_push_out_a_connected_phone(receiver, asker):  # noqa: F811
    """An acknowledgement needs no reply seen (the first reply's sn is 0), so 300 spoofed pairs
    each hold a key and count as acknowledged, as a phone's session does; a phone that has opened
    its logical connection has shown it holds its key, which no spoofer can, and keeps its
    session: its sealed channel frame is still opened."""
    def spoofed_between(phone):
        spoof_keyed_sessions(receiver, PAIRS, acknowledged=True)
        channel_frame_is_opened(receiver, phone)

    assert lyra_road(RECEIVER_V4, then=spoofed_between) == 8899
    still_served(receiver, asker)


def copies_of_unacknowledged_reply(phone, payload):
    """Pushes `payload` and never acknowledges the reply; counts its transmissions."""
    phone.request(payload, ack=False)
    copies = 1
    phone.sock.settimeout(0.6)
    try:
        while True:
            phone.sock.recvfrom(65535)
            copies += 1
    except socket.timeout:
        return copies


def test_two_port_flood_leaves_a_phone_its_resends(receiver):
    """Two ports of one host that acknowledged a reply each flood 60 KB keep-alives and never
    acknowledge again, filling the receiver's reply budget; a phone's unacknowledged reply still
    goes out its eight times."""
    flooders = [LyraPhone(server=LYRA, bind=(TEST_V4, 0)) for _ in range(2)]
    phone = SecurePhone(server=LYRA, bind=(TEST_V4, 0))
    try:
        for f in flooders:
            f.request(keep_alive(b"hello"))
        phone.request(sync_request())
        big = keep_alive(b"f" * 60000)
        peers = {phone_peer(f) for f in flooders}
        done = 4  # each port's first push and its acknowledgement
        # Fill the budget: 70 pushes a port, each pair sent once the one before has been read.
        for sn in range(1000, 1070):
            for f in flooders:
                f.sock.sendto(segment(f.conv, PUSH, sn, big), LYRA)
            done += 2
            wait_received(receiver, peers, done)
        stop = threading.Event()

        def keep_flooding():
            sn = 2000
            while not stop.wait(0.05):  # 20 pushes a second from each port
                for f in flooders:
                    f.sock.sendto(segment(f.conv, PUSH, sn, big), LYRA)
                sn += 1

        thread = threading.Thread(target=keep_flooding, daemon=True)
        thread.start()
        try:
            copies = copies_of_unacknowledged_reply(phone, keep_alive(b"zz"))
        finally:
            stop.set()
            thread.join()
        print(f"phone's reply went out {copies} times during the flood")
        assert copies == 8
    finally:
        phone.close()
        for f in flooders:
            f.close()
    assert lyra_road(RECEIVER_V4) == 8899


def packed(frame_bytes, size=65484):
    """One datagram of `size` bytes or less, packed with pushes of `frame_bytes`."""
    count = size // (24 + len(frame_bytes))
    return b"".join(segment(7, PUSH, sn, frame_bytes) for sn in range(count))


class Receiving:
    """A UDP socket on the test's side, read on a thread that hands each datagram to `got`."""

    def __init__(self, address, buffer=None):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        if buffer is not None:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, buffer)
        self.sock.bind(address)
        self.sock.settimeout(0.1)
        self.address = address
        self.running = True
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while self.running:
            try:
                data, source = self.sock.recvfrom(65535)
            except socket.timeout:
                continue
            self.got(data, source)

    def close(self):
        self.running = False
        self.thread.join()
        self.sock.close()


class Victim(Receiving):
    """A socket on the off-link address the spoofer claims; counts the datagrams that reach it
    and what they cost the link, headers included."""

    def __init__(self, port):
        self.payload = 0
        self.wire = 0
        self.last = time.monotonic()
        super().__init__((OFF_LINK_V4, port), buffer=8 << 20)

    def got(self, data, source):
        self.payload += len(data)
        self.wire += len(data) + HEADERS
        self.last = time.monotonic()


def to_victim(receiver, datagrams, after_each=None, port=47000):
    """Sends `datagrams` in the name of a victim on the off-link address, each once the receiver
    has read the one before (`after_each(i)` runs after datagram i has been read); returns the
    bytes sent in its name and those that reached it, with each datagram's IPv4 and UDP headers,
    once every reply and resend (the last within 1.75 s of its first send) has gone out."""
    victim = Victim(port)
    spoofer = Spoofer()
    peer = "%s:%d" % victim.address
    try:
        for i, datagram in enumerate(datagrams):
            spoofer.send(victim.address, LYRA, datagram)
            wait_received(receiver, {peer}, i + 1)
            if after_each is not None:
                after_each(i)
        read = time.monotonic()
        read_events = [e for e in receiver.named("lyra_packet_received") if e["peer"] == peer]
        sent = sum(e["bytes"] for e in read_events)
        assert sent == sum(len(d) for d in datagrams)
        sent_wire = sent + HEADERS * len(read_events)
        assert wait_until(lambda: time.monotonic() - read > 2.0 and time.monotonic() - victim.last > 0.5,
                          timeout=30)
        return sent_wire, victim.wire
    finally:
        spoofer.close()
        victim.close()


def first_exchange_and_resends_unchanged():
    phone = SecurePhone(server=LYRA, bind=(TEST_V4, 0))
    try:
        _, reply, _ = phone.request(sync_request(b"\x42"))  # the first exchange is answered at once
        assert reply["payload"][0] == 0x09
        assert copies_of_unacknowledged_reply(phone, keep_alive(b"zz")) == 8
    finally:
        phone.close()
    assert lyra_road(RECEIVER_V4) == 8899


@pytest.mark.parametrize("name, datagrams", [
    ("packed_keep_alives", [packed(BARE_KEEP_ALIVE)]),
    ("packed_device_syncs", [packed(BARE_SYNC)]),
    ("large_echoes", [segment(7, PUSH, sn, keep_alive(b"e" * 65000)) for sn in range(80)]),
    # The spoofer cannot see the reply, but its sn is 0 on a new session and an acknowledgement
    # carries nothing else the reply alone would tell.
    ("large_echoes_after_a_forged_acknowledgement",
     [segment(7, PUSH, 0, keep_alive(b"hi")), segment(7, ACK, 0, una=1)]
     + [segment(7, PUSH, sn, keep_alive(b"e" * 65000)) for sn in range(1, 9)]),
])
def test_spoofed_victim_gets_at_most_three_times_its_bytes(receiver, name, datagrams):
    """Pushes spoofed from an address that never acknowledges, or whose acknowledgement is
    forged: what reaches it stays within three times what was sent in its name plus the 4 KiB
    allowance, both counted with each datagram's IPv4 and UDP headers (a packed push comes back
    as thousands of small datagrams); a real phone's first exchange and its later resends are as
    before."""
    sent_wire, got_wire = to_victim(receiver, datagrams)
    print(f"{name}: {sent_wire} bytes in the victim's name, {got_wire} to it ({got_wire / sent_wire:.2f} times)")
    assert got_wire > 0
    assert got_wire <= 3 * sent_wire + 4096
    first_exchange_and_resends_unchanged()


# Sources that each send one byte: more addresses than the receiver keeps send budgets for.
CHURN = [(f"10.89.{i // 250}.{1 + i % 250}", 40000) for i in range(1100)]


def churn(receiver, spoofer, sources, batch=100):
    """Sends one byte from each source, a batch at a time, each batch once the one before has
    been read (the receiver's socket buffer holds a batch)."""
    for at in range(0, len(sources), batch):
        start = len(receiver.events)
        for source in sources[at:at + batch]:
            spoofer.send(source, LYRA, b"x")
        last = "%s:%d" % sources[min(at + batch, len(sources)) - 1]
        receiver.wait_for(lambda e: e.get("peer") == last, 10, what=f"the datagram of {last}", start=start)


def test_address_churn_gives_a_victim_no_fresh_allowance(receiver, asker):  # noqa: F811
    """Between datagrams in the victim's name, a thousand other addresses send a byte each,
    more than the receiver keeps send budgets for: the victim still gets at most three times its
    bytes plus one allowance, and a phone on the road while the churn goes on completes it."""
    spoofer = Spoofer()
    try:
        sent_wire, got_wire = to_victim(receiver, [packed(BARE_SYNC, size=1400)] * 5,
                                        after_each=lambda i: churn(receiver, spoofer, CHURN))
    finally:
        spoofer.close()
    print(f"under churn: {sent_wire} bytes in the victim's name, {got_wire} to it "
          f"({got_wire / sent_wire:.2f} times)")
    assert got_wire <= 3 * sent_wire + 4096
    first_exchange_and_resends_unchanged()

    with Flood([(source, b"x") for source in CHURN], rate=1000):
        assert lyra_road(RECEIVER_V4, between=lambda done: time.sleep(0.3)) == 8899
    still_served(receiver, asker)


class Echo(Receiving):
    """A UDP echo service on the test's side of the link: sends every datagram back to where it
    came from, as a reflecting host on the LAN does."""

    def got(self, data, source):
        self.sock.sendto(data, source)


@pytest.mark.parametrize("reflector", ["second_receiver", "udp_echo"])
@pytest.mark.parametrize("first_sn", [0, 1000], ids=["cached_reply", "fresh_replies"])
def test_one_spoofed_push_starts_no_endless_exchange(receiver, relvox, asker, reflector, first_sn):  # noqa: F811
    """A logical sync spoofed from a host that answers what it gets (another receiver, whose
    logical sync reply is a logical sync request again, or a UDP echo service) makes the two
    ends answer each other's replies: with the reply cached under the first push's sn, or with a
    fresh reply every turn. The receiver answers a few turns, then lets the exchange die."""
    if reflector == "second_receiver":
        other = relvox("--expected-ip", TEST_V4, "--interface-name", netpair.TEST_IF, "--name", "Other",
                       "--lyra-instance-id", "0B0B0B0B", "--pcm-port", "7300")
        other.wait_event("lyra_command_ready")
        source, echo = (TEST_V4, 55982), None
    else:
        echo = Echo((TEST_V4, 7777))
        source = echo.address
    peer = "%s:%d" % source
    spoofer = Spoofer()
    try:
        spoofer.send(source, LYRA, segment(9, PUSH, first_sn, logical([(3, 1)], inner_frame(5, b""))))
        wait_received(receiver, {peer}, 1)

        def from_reflector():
            return sum(e["peer"] == peer for e in receiver.named("lyra_packet_received"))

        # Quiet for a whole second, well after a few turns of a round trip under a millisecond.
        last, quiet_since = from_reflector(), time.monotonic()
        deadline = time.monotonic() + 10
        while time.monotonic() - quiet_since < 1.0 and time.monotonic() < deadline:
            time.sleep(0.05)
            now = from_reflector()
            if now != last:
                last, quiet_since = now, time.monotonic()
        print(f"{reflector}, first sn {first_sn}: {last} datagrams from the reflector")
        assert last <= 40, f"{last} datagrams from {peer} and still coming"
    finally:
        spoofer.close()
        if echo is not None:
            echo.close()
    still_served(receiver, asker)
