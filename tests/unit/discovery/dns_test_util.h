#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "core/bytes.h"

namespace sonvale::testing {

// The uncompressed wire form of a name given as its labels.
inline Bytes wire_name(std::initializer_list<std::string_view> labels) {
  Bytes out;
  for (auto l : labels) {
    out.push_back(static_cast<std::uint8_t>(l.size()));
    out.insert(out.end(), l.begin(), l.end());
  }
  out.push_back(0);
  return out;
}

inline Bytes dns_header(std::uint16_t id, std::uint16_t flags, std::uint16_t qd, std::uint16_t an = 0,
                        std::uint16_t ns = 0, std::uint16_t ar = 0) {
  ByteWriter w;
  w.u16be(id).u16be(flags).u16be(qd).u16be(an).u16be(ns).u16be(ar);
  return w.take();
}

// A query message: header with QDCOUNT = questions.size(), then each name, type and class.
struct Q {
  Bytes name;
  std::uint16_t qtype;
  std::uint16_t qclass;
};
inline Bytes dns_query(std::uint16_t id, const std::vector<Q>& questions, std::uint16_t flags = 0) {
  ByteWriter w;
  w.bytes(dns_header(id, flags, static_cast<std::uint16_t>(questions.size())));
  for (const auto& q : questions) w.bytes(q.name).u16be(q.qtype).u16be(q.qclass);
  return w.take();
}

inline Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

}  // namespace sonvale::testing
