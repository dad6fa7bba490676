#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "core/bytes.h"
#include "media/clock/timer_clock_estimator.h"

namespace sonvale {

// Requests and replies of the phone's timer server are 40-byte little-endian UDP datagrams.
inline constexpr std::size_t kTimerMessageSize = 40;
// Exchanges whose round trip (less the server's hold) exceeds this are not used.
inline constexpr std::int64_t kMaxTimerRoundTripUs = 250'000;

// What the receiver reads of a timer reply.
struct TimerReply {
  std::int64_t server_receive_us = 0;   // T2, bytes 24-31: when the request arrived
  std::int64_t server_transmit_us = 0;  // T3, bytes 16-23: when the reply left
  std::uint32_t sequence = 0;           // bytes 32-35: echo of the request's sequence number
};

// A request: `originate_us` (local time just before sending) in bytes 0-7, `sequence` in bytes
// 32-35, zeros elsewhere.
std::array<std::uint8_t, kTimerMessageSize> build_timer_request(std::int64_t originate_us,
                                                                std::uint32_t sequence);

// Reads a reply datagram; absent unless it is exactly 40 bytes long.
std::optional<TimerReply> parse_timer_reply(ByteSpan datagram);

// The sample of one exchange: request sent at local `sent_us` (t1), reply read at local
// `received_us` (t4). The server's hold (T3 - T2) is taken off the round trip; the offset is the
// mean of the two one-way differences. Arithmetic saturates. Absent when the round trip lies
// outside 0 to 250000 µs.
std::optional<TimerSample> timer_sample_from_exchange(std::int64_t sent_us,
                                                      std::int64_t received_us,
                                                      const TimerReply& reply);

}  // namespace sonvale
