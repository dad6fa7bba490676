#include "media/rtsp/wfd_sink.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <string>

#include "support/media_records.h"
#include "support/recording_sink.h"
#include "support/socket_pair.h"

namespace sonvale {
namespace {

TEST(WfdSinkTexts, CapabilityBodyIsTwelveCrlfLinesOf400Bytes) {
  const std::string& body = wfd_capability_body();
  EXPECT_EQ(body.size(), 400u);
  std::size_t lines = 0;
  for (std::size_t at = 0; (at = body.find("\r\n", at)) != std::string::npos; at += 2) ++lines;
  EXPECT_EQ(lines, 12u);
  EXPECT_TRUE(body.starts_with("wfd_audio_codecs_v2: 15 3 3\r\n"));
  EXPECT_NE(body.find("\r\nwfd_support_secure_win:enable\r\n"), std::string::npos);
  EXPECT_TRUE(body.ends_with("device_info: -1 -1 -1 -1 -1 -1 -1\r\n"));
}

TEST(WfdSinkTexts, AuthAckIsLowercaseHmacOfTheChallenge) {
  std::array<std::uint8_t, 16> key{};
  const std::string_view k = "A1b2C3d4E5f6G7h8";
  std::copy(k.begin(), k.end(), key.begin());
  // Reference values from Python's hmac module.
  EXPECT_EQ(wfd_auth_ack(key, "0f1e2d3c4b5a69788796a5b4c3d2e1f0"),
            "a7196289423245194494180bad36070d1df51e29f2ec56715345c4f590da463b");
  EXPECT_EQ(wfd_auth_ack(key, ""),
            "9b0b663ad1dad2d0a90d79b5f4c76026e1ebe70cacf80927426a001a7bd68232");
}

TEST(WfdSinkTexts, RequestsAndReplies) {
  const std::string ua = "User-Agent: stagefright/1.1 (Linux;Android 4.1)\r\n";
  EXPECT_EQ(wfd_options_reply_with_ack("3", ""),
            "RTSP/1.0 200 OK\r\n" + ua +
                "CSeq: 3\r\nPublic: org.wfa.wfd1.0, GET_PARAMETER, SET_PARAMETER\r\n"
                "authKeyType:2\r\nauthAlgorithmVal:4\r\nauthMsgAck:\r\n\r\n");
  EXPECT_EQ(wfd_setup_request("rtsp://h/wfd1.0/streamid=0", 40001, 65535),
            "SETUP rtsp://h/wfd1.0/streamid=0 RTSP/1.0\r\n" + ua +
                "CSeq: 2\r\nTransport: RTP/AVP/TCP;interleaved=0-1\r\n"
                "MultiPort: image_port=40001;multi_port=65535\r\n\r\n");
  EXPECT_EQ(wfd_play_request("rtsp://h/x", ""),
            "PLAY rtsp://h/x RTSP/1.0\r\n" + ua + "CSeq: 3\r\nSession: \r\n\r\n");
  EXPECT_EQ(wfd_receiver_options(std::string("00ff")),
            "OPTIONS * RTSP/1.0\r\n" + ua +
                "CSeq: 1\r\nRequire: org.wfa.wfd1.0\r\n"
                "lib_version: audio-display-release2.1 2.1.5071614\r\nauthMsg:00ff\r\n\r\n");
}

TEST(WfdSinkState, StartsWithDefaultUrlAndAFreshNonce) {
  const auto a = WfdSinkState::create(Ipv4::from_octets(192, 168, 1, 5));
  const auto b = WfdSinkState::create(Ipv4::from_octets(192, 168, 1, 5));
  EXPECT_EQ(a.presentation_url, "rtsp://192.168.1.5/wfd1.0/streamid=0");
  EXPECT_EQ(a.nonce_hex.size(), 32u);
  EXPECT_EQ(a.nonce_hex.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_NE(a.nonce_hex, b.nonce_hex);
  EXPECT_TRUE(a.session_id.empty());
  EXPECT_FALSE(a.data_ports);
}

struct TimerCase {
  const char* name;
  const char* value;
  std::optional<SocketAddrV4> server;
};

const Ipv4 kSource = Ipv4::from_octets(10, 0, 0, 7);

class WfdTimerServer : public ::testing::TestWithParam<TimerCase> {};

TEST_P(WfdTimerServer, NamesAddressAndPort) {
  EXPECT_EQ(wfd_timer_server(GetParam().value, kSource), GetParam().server);
}

INSTANTIATE_TEST_SUITE_P(
    Values, WfdTimerServer,
    ::testing::Values(TimerCase{"zero_host", "0:5000", SocketAddrV4{kSource, 5000}},
                      TimerCase{"trimmed", "  0 : +5000  ", SocketAddrV4{kSource, 5000}},
                      TimerCase{"numeric_host", "3232235777:6000",
                                SocketAddrV4{Ipv4::from_octets(192, 168, 1, 1), 6000}},
                      TimerCase{"dotted_host_means_source", "192.168.1.9:6000",
                                SocketAddrV4{kSource, 6000}},
                      TimerCase{"empty_host", ":6000", SocketAddrV4{kSource, 6000}},
                      TimerCase{"host_past_32_bits", "4294967296:7", SocketAddrV4{kSource, 7}},
                      TimerCase{"port_max", "0:65535", SocketAddrV4{kSource, 65535}},
                      TimerCase{"no_colon", "5000", std::nullopt},
                      TimerCase{"port_too_big", "0:65536", std::nullopt},
                      TimerCase{"port_garbage", "0:50a", std::nullopt},
                      TimerCase{"port_empty", "0:", std::nullopt}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

}  // namespace
}  // namespace sonvale

namespace sonvale {
namespace {

// The exchange driven directly over a socket pair, for state the phone cannot see.
class WfdSinkRequests : public ::testing::Test {
 protected:
  void SetUp() override {
    auto pair = testing::socket_pair();
    session_ = std::move(pair.ours);
    phone_ = std::move(pair.theirs);
  }

  Result<WfdRequestOutcome> request(std::string_view method) {
    RtspMessage m;
    m.start_line = std::string(method) + " rtsp://x RTSP/1.0";
    return wfd_handle_request(session_.get(), ctx_, state_, m, "5", method);
  }

  Fd session_;
  Fd phone_;
  testing::RecordingSink sink_;
  std::shared_ptr<std::atomic<std::uint64_t>> counter_ =
      std::make_shared<std::atomic<std::uint64_t>>(9);
  MediaSessionContext ctx_{
      .params = {.rtsp_ip = Ipv4::loopback(),
                 .rtsp_port = 1,
                 .keys = std::nullopt,
                 .media = testing::media_config(std::nullopt, system_clock()),
                 .token = SessionToken(counter_, 9)},
      .shared = testing::session_shared(sink_.sink(), system_clock()),
  };
  WfdSinkState state_ = WfdSinkState::create(Ipv4::loopback());
};

TEST_F(WfdSinkRequests, PlayRaisesPlayReceivedAndOpensTheGate) {
  ASSERT_TRUE(request("PAUSE"));
  EXPECT_TRUE(ctx_.shared.gate.blocked());
  EXPECT_FALSE(ctx_.shared.play_received->load());
  ASSERT_TRUE(request("PLAY"));
  EXPECT_TRUE(ctx_.shared.play_received->load());
  EXPECT_FALSE(ctx_.shared.gate.blocked());
}

TEST_F(WfdSinkRequests, TeardownEndsTheSessionAndReportsOnlyWhileCurrent) {
  for (const bool current : {true, false}) {
    SCOPED_TRACE(current);
    testing::RecordingSink sink;
    ctx_.shared.events = sink.sink();
    counter_->store(current ? 9 : 10);
    auto r = request("TEARDOWN");
    ASSERT_TRUE(r);
    EXPECT_EQ(*r, WfdRequestOutcome::kEndSession);
    EXPECT_EQ(sink.named("stream_stopped").size(), current ? 1u : 0u);
  }
}

TEST_F(WfdSinkRequests, UnknownMethodsGetAnEmptyReply) {
  for (const char* method : {"SETUP", "GET", "ANNOUNCE", ""}) {
    auto r = request(method);
    ASSERT_TRUE(r);
    EXPECT_EQ(*r, WfdRequestOutcome::kContinue);
  }
  std::array<char, 4096> buf{};
  const auto n = ::recv(phone_.get(), buf.data(), buf.size(), MSG_DONTWAIT);
  const std::string reply =
      "RTSP/1.0 200 OK\r\nUser-Agent: stagefright/1.1 (Linux;Android 4.1)\r\nCSeq: 5\r\n"
      "Content-Type: text/parameters\r\nContent-Length: 0\r\n\r\n";
  std::string expected;
  for (int i = 0; i < 4; ++i) expected += reply;
  EXPECT_EQ(std::string(buf.data(), static_cast<std::size_t>(std::max<ssize_t>(n, 0))), expected);
  EXPECT_TRUE(sink_.events().empty());
}

}  // namespace
}  // namespace sonvale
