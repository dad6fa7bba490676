// Timer replies as they come off the socket. The first 16 bytes of the input are the local send
// and receive times of the exchange; the rest is the datagram.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "core/bytes.h"
#include "media/clock/timer_exchange.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  sonvale::ByteReader reader(sonvale::ByteSpan(data, size));
  const auto sent = reader.i64le();
  const auto received = reader.i64le();
  const auto reply = sonvale::parse_timer_reply(reader.rest());
  if (!reply) return 0;
  if (!sent || !received) return 0;
  if (const auto sample = sonvale::timer_sample_from_exchange(*sent, *received, *reply)) {
    if (sample->round_trip_us < 0 || sample->round_trip_us > sonvale::kMaxTimerRoundTripUs) {
      std::abort();
    }
  }
  return 0;
}
