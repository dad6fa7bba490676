#include "discovery/peer_browser.h"

#include <algorithm>
#include <array>

#include "discovery/dns_message.h"

namespace sonvale {
namespace {

constexpr std::uint8_t kLyraServiceWire[] = {10,  '_', 'l', 'y', 'r', 'a', '-', 'm', 'd', 'n', 's', 4,
                                             '_', 'u', 'd', 'p', 5,   'l', 'o', 'c', 'a', 'l', 0};

}  // namespace

Bytes lyra_peer_query() {
  ByteWriter w(39);
  w.u16be(0).u16be(0).u16be(1).u16be(0).u16be(0).u16be(0);
  w.bytes(kLyraServiceWire);
  w.u16be(kDnsTypePtr).u16be(kDnsClassInFlush);
  return w.take();
}

PeerVerdict classify_peer_datagram(ByteSpan datagram) {
  PeerVerdict v;
  const ByteSpan needle(kLyraServiceWire);
  v.names_service =
      datagram.size() >= needle.size() &&
      std::search(datagram.begin(), datagram.end(), needle.begin(), needle.end()) != datagram.end();
  const bool response = datagram.size() >= kDnsHeaderBytes && (datagram[2] & 0x80) != 0;
  v.found = response && v.names_service;
  return v;
}

}  // namespace sonvale
