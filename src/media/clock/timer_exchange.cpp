#include "media/clock/timer_exchange.h"

#include <algorithm>

#include "core/numeric.h"

namespace sonvale {

std::array<std::uint8_t, kTimerMessageSize> build_timer_request(std::int64_t originate_us,
                                                                std::uint32_t sequence) {
  ByteWriter w(kTimerMessageSize);
  w.i64le(originate_us);
  for (int i = 0; i < 3; ++i) w.u64le(0);
  w.u32le(sequence);
  w.u32le(0);
  std::array<std::uint8_t, kTimerMessageSize> out{};
  const Bytes& bytes = w.view();
  std::copy(bytes.begin(), bytes.end(), out.begin());
  return out;
}

std::optional<TimerReply> parse_timer_reply(ByteSpan datagram) {
  if (datagram.size() != kTimerMessageSize) return std::nullopt;
  ByteReader r(datagram);
  if (!r.skip(16)) return std::nullopt;
  const auto transmit = r.i64le();
  const auto receive = r.i64le();
  const auto sequence = r.u32le();
  if (!transmit || !receive || !sequence) return std::nullopt;
  return TimerReply{*receive, *transmit, *sequence};
}

std::optional<TimerSample> timer_sample_from_exchange(std::int64_t sent_us,
                                                      std::int64_t received_us,
                                                      const TimerReply& reply) {
  const std::int64_t hold = sat_sub(reply.server_transmit_us, reply.server_receive_us);
  const std::int64_t elapsed = sat_sub(received_us, sent_us);
  const std::int64_t round_trip = sat_sub(elapsed, hold);
  if (round_trip < 0 || round_trip > kMaxTimerRoundTripUs) return std::nullopt;
  const std::int64_t offset = sat_add(sat_sub(reply.server_receive_us, sent_us),
                                      sat_sub(reply.server_transmit_us, received_us)) /
                              2;
  const std::int64_t local_mid = sat_add(sent_us, elapsed / 2);
  return TimerSample{local_mid, offset, round_trip};
}

}  // namespace sonvale
