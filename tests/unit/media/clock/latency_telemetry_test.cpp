#include "media/clock/latency_telemetry.h"

#include <gtest/gtest.h>

namespace sonvale {
namespace {

using namespace std::chrono_literals;
using Instant = RtpTelemetryState::Instant;

const Instant kT0 = Instant(std::chrono::seconds(100));

TEST(RtpTelemetryTest, FirstPacketIsTakenAsItIs) {
  RtpTelemetryState s;
  s.observe_packet(1000, 5000, kT0, 1316);
  EXPECT_EQ(s.highest_sequence, 1000u);
  EXPECT_EQ(s.last_timestamp, 5000u);
  EXPECT_EQ(s.arrival_residual_ms, 0.0);
  EXPECT_EQ(s.bitrate_bps, 0u);
}

TEST(RtpTelemetryTest, SequenceAndTimestampExtension) {
  struct Case {
    const char* name;
    std::vector<std::uint16_t> sequences;
    std::uint64_t highest;
  };
  const Case cases[] = {
      {"wrap forward", {65535, 0}, 65536},
      {"late packet after wrap", {65535, 0, 65534}, 65536},
      {"no cycle to borrow from", {5, 65530}, 65530},
      {"ordinary", {10, 11, 12}, 12},
      {"reordered", {10, 12, 11}, 12},
  };
  for (const auto& c : cases) {
    RtpTelemetryState s;
    Instant t = kT0;
    for (auto seq : c.sequences) {
      s.observe_packet(seq, 0, t, 100);
      t += 1ms;
    }
    EXPECT_EQ(s.highest_sequence, c.highest) << c.name;
  }
  RtpTelemetryState ts;
  ts.observe_packet(1, 4294967040u, kT0, 100);
  ts.observe_packet(2, 256, kT0 + 1ms, 100);
  EXPECT_EQ(ts.last_timestamp, 4294967552u);
  ts.observe_packet(3, 4294967000u, kT0 + 2ms, 100);
  EXPECT_EQ(ts.last_timestamp, 4294967000u);  // the latest packet's, not the largest
}

TEST(RtpTelemetryTest, EqualTimestampsGiveZeroResidual) {
  RtpTelemetryState s;
  s.observe_packet(1, 9000, kT0, 100);
  s.observe_packet(2, 9000, kT0 + 5ms, 100);
  EXPECT_EQ(s.arrival_residual_ms, 0.0);
}

TEST(RtpTelemetryTest, ResidualIsTheNewestPacketsDistanceFromTheFittedLine) {
  RtpTelemetryState s;
  // Packets every 10 ms of media time arriving on time, then one 7 ms late.
  for (int i = 0; i < 50; ++i) {
    s.observe_packet(static_cast<std::uint16_t>(i), static_cast<std::uint32_t>(i * 900),
                     kT0 + std::chrono::milliseconds(10 * i), 100);
  }
  EXPECT_NEAR(s.arrival_residual_ms, 0.0, 1e-6);
  s.observe_packet(50, 50 * 900, kT0 + 507ms, 100);
  // Least squares over 51 points: the late point pulls the line up by part of its delay.
  const double n = 51.0;
  double mx = 0, my = 0;
  std::vector<std::pair<double, double>> pts;
  for (int i = 0; i <= 50; ++i) pts.emplace_back(i * 900.0, (i == 50 ? 507 : 10 * i) * 90.0);
  for (auto& [x, y] : pts) mx += x / n, my += y / n;
  double sxx = 0, sxy = 0;
  for (auto& [x, y] : pts) sxx += (x - mx) * (x - mx), sxy += (x - mx) * (y - my);
  const double slope = sxy / sxx;
  const double expected = (pts.back().second - (my - slope * mx + slope * pts.back().first)) / 90.0;
  EXPECT_NEAR(s.arrival_residual_ms, expected, 1e-9);
  EXPECT_GT(s.arrival_residual_ms, 6.0);
}

TEST(RtpTelemetryTest, ArrivalWindowKeepsTheNewest128) {
  RtpTelemetryState s;
  for (int i = 0; i < 200; ++i) {
    s.observe_packet(static_cast<std::uint16_t>(i), static_cast<std::uint32_t>(i * 900),
                     kT0 + std::chrono::milliseconds(10 * i), 100);
  }
  ASSERT_EQ(s.arrival_window.size(), 128u);
  EXPECT_EQ(s.arrival_window.front().first, 72 * 900.0);
}

TEST(RtpTelemetryTest, BitRateOverTheLastTwoSeconds) {
  RtpTelemetryState s;
  for (int i = 0; i <= 300; ++i) {
    s.observe_packet(static_cast<std::uint16_t>(i), static_cast<std::uint32_t>(i * 900),
                     kT0 + std::chrono::milliseconds(10 * i), 1000);
  }
  EXPECT_EQ(s.byte_window.size(), 201u);  // the entry exactly 2 s old stays
  EXPECT_EQ(s.window_bytes, 201000u);
  EXPECT_EQ(s.bitrate_bps, 804000u);
  // A gap of 3 s leaves a single packet: the span is 0 and the rate keeps its value.
  s.observe_packet(301, 301 * 900, kT0 + 6s, 1000);
  EXPECT_EQ(s.byte_window.size(), 1u);
  EXPECT_EQ(s.bitrate_bps, 804000u);
}

// A flood keeps the newest 4096 packets, and the rate is taken over them even when they span
// less than the quarter second an ordinary stream waits for.
TEST(RtpTelemetryTest, ByteWindowKeepsTheNewest4096PacketsOfAFlood) {
  struct Case {
    const char* name;
    std::chrono::microseconds spacing;
    std::uint64_t bitrate_bps;
  };
  const Case cases[] = {
      {"spanning_0_4095_s", 100us, 80019536u},   // 4096 x 1000 bytes x 8 / 0.4095 s
      {"spanning_4_095_ms", 1us, 8001953602u},   // the same bytes over 4.095 ms
  };
  for (const auto& c : cases) {
    RtpTelemetryState s;
    for (int i = 0; i < 10000; ++i) {
      s.observe_packet(static_cast<std::uint16_t>(i), static_cast<std::uint32_t>(i),
                       kT0 + c.spacing * i, 1000);
    }
    EXPECT_EQ(s.byte_window.size(), 4096u) << c.name;
    EXPECT_EQ(s.window_bytes, 4096000u) << c.name;
    EXPECT_EQ(s.byte_window.front().first, kT0 + c.spacing * (10000 - 4096)) << c.name;
    EXPECT_EQ(s.bitrate_bps, c.bitrate_bps) << c.name;
  }
}

TEST(RtpTelemetryTest, BitRateWaitsForAQuarterSecond) {
  RtpTelemetryState s;
  s.observe_packet(1, 0, kT0, 1000);
  s.observe_packet(2, 0, kT0 + 249ms, 1000);
  EXPECT_EQ(s.bitrate_bps, 0u);
  s.observe_packet(3, 0, kT0 + 250ms, 1000);
  EXPECT_EQ(s.bitrate_bps, 96000u);  // 3000 bytes x 8 / 0.25 s
}

TEST(LatencyTelemetryTest, SnapshotOnlyAfterTheFirstPacket) {
  auto t = ZeDidiLatencyTelemetry::create();
  EXPECT_FALSE(t->snapshot());
  t->queued_frames.store(4800);
  t->output_latency_us.store(12000);
  t->observe_packet(7, 0, kT0, 100);
  auto s = t->snapshot();
  ASSERT_TRUE(s);
  EXPECT_EQ(s->highest_sequence, 7u);
  EXPECT_EQ(s->queued_frames, 4800u);
  EXPECT_EQ(s->output_latency_us, 12000u);
}

}  // namespace
}  // namespace sonvale
