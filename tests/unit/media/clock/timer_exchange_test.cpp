#include "media/clock/timer_exchange.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace sonvale {

void PrintTo(const TimerSample& s, std::ostream* os) {
  *os << "{local_mid " << s.local_mid_us << ", offset " << s.offset_us << ", round trip "
      << s.round_trip_us << "}";
}

namespace {

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();

TEST(TimerRequestTest, CarriesOriginateTimeAndSequenceLittleEndian) {
  const auto request = build_timer_request(0x0102030405060708, 0xA1B2C3D4);
  std::array<std::uint8_t, 40> expected{};
  const std::uint8_t originate[] = {0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01};
  std::copy(std::begin(originate), std::end(originate), expected.begin());
  const std::uint8_t sequence[] = {0xD4, 0xC3, 0xB2, 0xA1};
  std::copy(std::begin(sequence), std::end(sequence), expected.begin() + 32);
  EXPECT_EQ(request, expected);

  const auto negative = build_timer_request(-2, 0);
  EXPECT_EQ(negative[0], 0xFE);
  EXPECT_EQ(negative[7], 0xFF);
}

// A reply with distinct bytes in every field, so that a field read from the wrong place shows.
std::vector<std::uint8_t> reply_bytes(std::size_t size) {
  std::vector<std::uint8_t> out(size);
  for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<std::uint8_t>(0x80 + i);
  return out;
}

TEST(TimerReplyTest, ReadsTransmitReceiveAndSequence) {
  const auto reply = parse_timer_reply(reply_bytes(40));
  ASSERT_TRUE(reply);
  EXPECT_EQ(static_cast<std::uint64_t>(reply->server_transmit_us), 0x9796959493929190u);
  EXPECT_EQ(static_cast<std::uint64_t>(reply->server_receive_us), 0x9F9E9D9C9B9A9998u);
  EXPECT_EQ(reply->sequence, 0xA3A2A1A0u);
}

class TimerReplySizeTest : public ::testing::TestWithParam<std::size_t> {};

TEST_P(TimerReplySizeTest, AnythingButFortyBytesIsNoReply) {
  EXPECT_FALSE(parse_timer_reply(reply_bytes(GetParam())));
}

INSTANTIATE_TEST_SUITE_P(Sizes, TimerReplySizeTest,
                         ::testing::Values(0u, 1u, 36u, 39u, 41u, 48u, 1500u));

struct ExchangeCase {
  std::string name;
  std::int64_t t1, t2, t3, t4;
  std::optional<TimerSample> sample;
};

class TimerSampleTest : public ::testing::TestWithParam<ExchangeCase> {};

TEST_P(TimerSampleTest, HoldIsTakenOffAndRoundTripIsBounded) {
  const ExchangeCase& c = GetParam();
  const TimerReply reply{.server_receive_us = c.t2, .server_transmit_us = c.t3, .sequence = 1};
  EXPECT_EQ(timer_sample_from_exchange(c.t1, c.t4, reply), c.sample);
}

INSTANTIATE_TEST_SUITE_P(
    Exchanges, TimerSampleTest,
    ::testing::Values(
        // hold 2, round trip 4, offset ((510-10) + (512-16)) / 2, midpoint 10 + 6/2.
        ExchangeCase{"Typical", 10, 510, 512, 16, TimerSample{13, 498, 4}},
        ExchangeCase{"RoundTripAtTheLimit", 0, 100, 100, 250'000,
                     TimerSample{125'000, -124'900, 250'000}},
        ExchangeCase{"RoundTripOverTheLimit", 0, 100, 100, 250'001, std::nullopt},
        ExchangeCase{"HoldLongerThanTheExchange", 0, 100, 120, 10, std::nullopt},
        ExchangeCase{"ZeroRoundTrip", 5, 1'005, 1'015, 15, TimerSample{10, 1'000, 0}},
        // Odd sums truncate toward zero: offset (-1 + -2) / 2 and midpoint 0 + 3/2.
        ExchangeCase{"NegativeOffsetTruncatesTowardZero", 0, -1, -1, 1, TimerSample{0, -1, 1}},
        ExchangeCase{"NegativeLocalTimes", -20, -15, -14, -10, TimerSample{-15, 0, 9}},
        // Server times at the limits saturate instead of wrapping.
        ExchangeCase{"ServerTimesAtTheTop", 0, kMax, kMax, 1, TimerSample{0, kMax / 2, 1}},
        ExchangeCase{"ServerTimesAtTheBottom", 0, kMin, kMin, 1, TimerSample{0, kMin / 2, 1}},
        ExchangeCase{"HoldOverflowIsRejected", 0, kMin, kMax, 1, std::nullopt},
        ExchangeCase{"NegativeHoldOverflowIsRejected", 0, kMax, kMin, 1, std::nullopt}),
    [](const auto& param_info) { return param_info.param.name; });

}  // namespace
}  // namespace sonvale
