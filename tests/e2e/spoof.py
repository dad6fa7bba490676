"""UDP datagrams with a source address of the sender's choosing, as a hostile host on the link
sends them: a raw IPv4 socket with IP_HDRINCL writes the whole IP and UDP header. Used from the
test's side of a `NetPair` (root), towards the receiver's side."""

import socket
import struct


def _checksum(data):
    if len(data) % 2:
        data += b"\x00"
    total = sum(struct.unpack(f"!{len(data) // 2}H", data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


def _ip_header(s, d, length, ident, flags_offset, ttl):
    ip = struct.pack("!BBHHHBBH4s4s", 0x45, 0, length, ident & 0xFFFF, flags_offset, ttl,
                     socket.IPPROTO_UDP, 0, s, d)
    return ip[:10] + struct.pack("!H", _checksum(ip)) + ip[12:]


def udp_packets(src, dst, payload, ttl=64, ident=0, mtu=1500):
    """The IPv4 packets carrying `payload` from `src` (address, port) to `dst`: one packet, or
    fragments of at most `mtu` bytes (a raw socket does not fragment what it is given)."""
    (src_ip, src_port), (dst_ip, dst_port) = src, dst
    s, d = socket.inet_aton(src_ip), socket.inet_aton(dst_ip)
    length = 8 + len(payload)
    pseudo = s + d + struct.pack("!BBH", 0, socket.IPPROTO_UDP, length)
    header = struct.pack("!HHHH", src_port, dst_port, length, 0)
    check = _checksum(pseudo + header + payload) or 0xFFFF
    udp = struct.pack("!HHHH", src_port, dst_port, length, check) + payload
    if 20 + len(udp) <= mtu:
        return [_ip_header(s, d, 20 + len(udp), ident, 0x4000, ttl) + udp]
    step = (mtu - 20) // 8 * 8
    packets = []
    for at in range(0, len(udp), step):
        piece = udp[at:at + step]
        more = 0x2000 if at + step < len(udp) else 0
        packets.append(_ip_header(s, d, 20 + len(piece), ident, more | (at // 8), ttl) + piece)
    return packets


class Spoofer:
    """A raw sender; `send` takes the claimed source and the real destination."""

    def __init__(self, interface=None):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_RAW)
        self.sock.setsockopt(socket.IPPROTO_IP, socket.IP_HDRINCL, 1)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 4 << 20)
        if interface is not None:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_BINDTODEVICE, interface.encode())
        self.ident = 0

    def send(self, src, dst, payload):
        self.ident += 1
        for packet in udp_packets(src, dst, payload, ident=self.ident):
            self.sock.sendto(packet, (dst[0], 0))

    def close(self):
        self.sock.close()
