#include "media/rtsp/latency_feedback.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <limits>
#include <string>
#include <vector>

#include "core/net.h"
#include "support/recording_sink.h"
#include "support/socket_pair.h"

namespace sonvale {
namespace {

using namespace std::chrono_literals;

struct LatencyCase {
  std::uint64_t queued_frames;
  std::uint64_t output_latency_us;
  std::uint64_t latency_ms;
};

class LatencyMs : public ::testing::TestWithParam<LatencyCase> {};

TEST_P(LatencyMs, RoundsHalvesUpAndSaturates) {
  const auto& c = GetParam();
  EXPECT_EQ(latency_feedback_ms(c.queued_frames, c.output_latency_us), c.latency_ms);
}

constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();

INSTANTIATE_TEST_SUITE_P(Values, LatencyMs,
                         ::testing::Values(LatencyCase{4800, 30000, 130}, LatencyCase{24, 0, 1},
                                           LatencyCase{23, 0, 0}, LatencyCase{0, 499, 0},
                                           LatencyCase{0, 500, 1}, LatencyCase{0, 0, 0},
                                           LatencyCase{kU64Max, 0, 4294967295u},
                                           LatencyCase{0, kU64Max, 4294967295u},
                                           LatencyCase{kU64Max, kU64Max, 4294967295u},
                                           // 4294967295 ms and one below the cap.
                                           LatencyCase{0, 4294967295ull * 1000, 4294967295u},
                                           LatencyCase{0, 4294967294ull * 1000, 4294967294u}));

TEST(LatencyFeedbackText, IsExact) {
  EXPECT_EQ(format_video_latency_request(1000, 130, 96000, 65541),
            "VIDEO_LATENCY rtsp://localhost/wfd1.0 RTSP/1.0\r\n"
            "User-Agent: stagefright/1.1 (Linux;Android 4.1)\r\nCSeq: 1000\r\n"
            "Content-Type: text/parameters\r\nlatency:130\r\nbitrate:96000\r\n"
            "rtpPacketNum:65541\r\nContent-Length:0\r\n\r\n");
}

class LatencyFeedbackStep : public ::testing::Test {
 protected:
  void SetUp() override {
    auto pair = testing::socket_pair();
    session_ = std::move(pair.ours);
    phone_ = std::move(pair.theirs);
    ASSERT_TRUE(set_nonblocking(phone_.get(), true));
  }

  // Everything the phone side has received so far.
  std::string received() {
    std::string out;
    std::array<std::uint8_t, 4096> buf{};
    for (;;) {
      auto n = read_some(phone_.get(), buf);
      if (!n || *n == 0) return out;
      out.append(reinterpret_cast<const char*>(buf.data()), *n);
    }
  }

  static std::size_t count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = 0; (at = text.find(what, at)) != std::string::npos; at += what.size())
      ++n;
    return n;
  }

  Fd session_;
  Fd phone_;
  std::shared_ptr<ZeDidiLatencyTelemetry> telemetry_ = ZeDidiLatencyTelemetry::create();
  testing::RecordingSink sink_;
  const SessionToken token_{std::make_shared<std::atomic<std::uint64_t>>(1), 1};
  const LatencyFeedback::Instant t0_ = std::chrono::steady_clock::now();
};

TEST_F(LatencyFeedbackStep, NeedsSessionIdPacketAndDeadline) {
  LatencyFeedback fb(t0_);
  // Before any packet: the deadline still moves on, nothing is written.
  ASSERT_TRUE(fb.step(session_.get(), token_, t0_ + 300ms, "S", *telemetry_, sink_.sink()));
  EXPECT_EQ(fb.deadline(), t0_ + 550ms);
  EXPECT_EQ(received(), "");

  telemetry_->observe_packet(41, 1000, t0_, 500);
  telemetry_->queued_frames.store(4800);
  telemetry_->output_latency_us.store(30000);
  // Without a session id nothing happens and the deadline stays.
  ASSERT_TRUE(fb.step(session_.get(), token_, t0_ + 600ms, "", *telemetry_, sink_.sink()));
  EXPECT_EQ(fb.deadline(), t0_ + 550ms);
  // Before the deadline: nothing.
  ASSERT_TRUE(fb.step(session_.get(), token_, t0_ + 549ms, "S", *telemetry_, sink_.sink()));
  EXPECT_EQ(received(), "");

  ASSERT_TRUE(fb.step(session_.get(), token_, t0_ + 560ms, "S", *telemetry_, sink_.sink()));
  EXPECT_EQ(fb.deadline(), t0_ + 810ms);  // from the pass, not the old deadline
  const std::string first = received();
  EXPECT_EQ(first,
            format_video_latency_request(1000, 130, telemetry_->snapshot()->bitrate_bps, 41));

  // Passes every 10 ms for a second write at most one request per 250 ms.
  for (int ms = 570; ms <= 1560; ms += 10) {
    ASSERT_TRUE(fb.step(session_.get(), token_, t0_ + std::chrono::milliseconds(ms), "S",
                        *telemetry_, sink_.sink()));
  }
  const std::string rest = received();
  EXPECT_EQ(count(rest, "VIDEO_LATENCY"), 4u);
  EXPECT_NE(rest.find("CSeq: 1001\r\n"), std::string::npos);
  EXPECT_NE(rest.find("CSeq: 1004\r\n"), std::string::npos);
  EXPECT_EQ(fb.next_cseq(), 1005u);

  const auto started = sink_.named("latency_feedback_started");
  ASSERT_EQ(started.size(), 1u);
  EXPECT_EQ(started[0]["latency_ms"], 130);
  EXPECT_EQ(started[0]["rtp_packet_number"], 41);
  EXPECT_EQ(started[0]["interval_ms"], 250);
  EXPECT_EQ(started[0]["rtp_clock_hz"], 90000);
  EXPECT_EQ(started[0]["protocol"], "xiaomi_zedidi");
  EXPECT_TRUE(started[0]["arrival_residual_ms"].is_number());
}

TEST_F(LatencyFeedbackStep, WriteFailureEndsWithContext) {
  LatencyFeedback fb(t0_);
  telemetry_->observe_packet(1, 0, t0_, 100);
  phone_.reset();
  auto r = fb.step(session_.get(), token_, t0_ + 1s, "S", *telemetry_, sink_.sink());
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().to_string().rfind("write ZeDidi VIDEO_LATENCY feedback: ", 0), 0u)
      << r.error().to_string();
  EXPECT_TRUE(sink_.named("latency_feedback_started").empty());
}

}  // namespace
}  // namespace sonvale
