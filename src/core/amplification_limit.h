#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <list>
#include <unordered_map>

#include "core/clock.h"
#include "core/net.h"

namespace sonvale {

// What a datagram costs the link beyond its payload (IPv4 and UDP headers), counted for every
// datagram both ways: a packed request answered by hundreds of small datagrams costs its victim
// more than their payloads.
inline constexpr std::uint64_t kDatagramOverhead = 28;

// How much a server may send to an address that has not shown it receives what is sent to it.
struct AmplificationPolicy {
  // Each byte that arrives from the address earns this many bytes towards it.
  std::uint64_t factor = 3;
  // Bytes that may go out beyond that: the first answers are often several times their requests.
  std::uint64_t allowance = 4096;
  // Bytes of the allowance regained each second once spent (never more than the allowance); 0:
  // it is spent once for the life of the address's entry.
  std::uint64_t regain_per_second = 0;
};

// The send budgets of IPv4 addresses (after RFC 9000 section 8.1), keyed by address alone: a
// spoofed victim is a host, whatever source ports are claimed for it. What goes to an address
// stays within `factor` times what arrived from it, plus the allowance and what time regained of
// it. Holds at most `capacity` addresses; the one credited least recently gives way. A spoofer
// that cycles many sources pushes its victim out, so an address that gives way with less than a
// fresh allowance left is remembered (at most kRememberedPerAddress * `capacity` of them, the
// oldest forgotten first) and comes back with what it had, not with a fresh allowance.
// Single-threaded.
class AmplificationLimit {
 public:
  static constexpr std::size_t kRememberedPerAddress = 16;

  explicit AmplificationLimit(std::size_t capacity, AmplificationPolicy policy = {})
      : capacity_(capacity), remembered_capacity_(capacity * kRememberedPerAddress), policy_(policy) {}

  // Counts a datagram with a payload of `bytes` from `from`, arrived at `now`.
  void received(Ipv4 from, std::size_t bytes, Clock::time_point now = {});
  // Whether a datagram with a payload of `bytes` may go to `to` at `now`; if so it is counted as
  // sent. An address that sent nothing (or was dropped) gets nothing.
  bool try_send(Ipv4 to, std::size_t bytes, Clock::time_point now = {});

  std::size_t address_count() const { return by_address_.size(); }
  std::size_t remembered_count() const { return remembered_by_address_.size(); }

 private:
  struct Budget {
    Ipv4 address;
    std::int64_t balance = 0;  // bytes that may still go out
    Clock::time_point regained_at;
  };
  using BudgetList = std::list<Budget>;  // most recently credited first

  void regain(Budget& b, Clock::time_point now) const;
  // Makes room for one more address; the one given way is remembered if it had spent part of
  // its allowance.
  void give_way(Clock::time_point now);

  std::size_t capacity_;
  std::size_t remembered_capacity_;
  AmplificationPolicy policy_;
  BudgetList budgets_;
  std::unordered_map<std::uint32_t, BudgetList::iterator> by_address_;
  BudgetList remembered_;  // most recently given way first
  std::unordered_map<std::uint32_t, BudgetList::iterator> remembered_by_address_;
};

}  // namespace sonvale
