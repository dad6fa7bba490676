#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <unordered_map>

#include "core/net.h"

namespace sonvale::lyra {

// Bytes the transport may send to an address no session of which has acknowledged a reply yet
// (after RFC 9000 section 8.1): at most three times what arrived from that address, plus one
// allowance that lets a phone's first replies out, since a phone does not pad its first requests
// and a device sync reply is several times its request.
inline constexpr std::uint64_t kAmplificationFactor = 3;
inline constexpr std::uint64_t kAmplificationAllowance = 4096;
// What a datagram costs the link beyond its payload (IPv4 and UDP headers), counted for every
// datagram both ways: a packed request answered by hundreds of small datagrams costs its victim
// more than their payloads.
inline constexpr std::uint64_t kDatagramOverhead = 28;

// The send budgets of IPv4 addresses, keyed by address alone: a spoofed victim is a host, whatever
// source ports are claimed for it. Holds at most `capacity` addresses; the one credited least
// recently gives way, and comes back with a fresh allowance only. Single-threaded.
class AmplificationLimit {
 public:
  explicit AmplificationLimit(std::size_t capacity) : capacity_(capacity) {}

  // Counts a datagram with a payload of `bytes` from `from`.
  void received(Ipv4 from, std::size_t bytes);
  // Whether a datagram with a payload of `bytes` may go to `to`; if so it is counted as sent. An
  // address that sent nothing (or was dropped) gets nothing.
  bool try_send(Ipv4 to, std::size_t bytes);

  std::size_t address_count() const { return by_address_.size(); }

 private:
  struct Budget {
    Ipv4 address;
    std::uint64_t received = 0;
    std::uint64_t sent = 0;
  };
  using BudgetList = std::list<Budget>;  // most recently credited first

  std::size_t capacity_;
  BudgetList budgets_;
  std::unordered_map<std::uint32_t, BudgetList::iterator> by_address_;
};

}  // namespace sonvale::lyra
