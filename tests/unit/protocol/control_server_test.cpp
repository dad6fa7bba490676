#include "protocol/control_server.h"

#include <openssl/crypto.h>

#include <gtest/gtest.h>

#include "support/recording_sink.h"

namespace sonvale {
namespace {

using namespace std::chrono_literals;

// The server's session and writer threads are detached, as in the receiver, and may still be
// inside OpenSSL when this test binary exits. Without OpenSSL's exit handler its teardown does
// not race with them. Runs before main, so before any other use of the library.
[[maybe_unused]] const int kOpenSslWithoutExitHandler =
    OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);

TEST(NormalDisconnectTest, ResetAbortTimeoutAndEndOfStreamAreNormal) {
  struct Case {
    Error error;
    bool normal;
  };
  const Case cases[] = {
      {Error::os(ECONNRESET).context("read ZeDidi control header"), true},
      {Error::os(ECONNABORTED), true},
      {Error::os(ETIMEDOUT), true},
      {Error::unexpected_eof().context("read ZeDidi control body"), true},
      {Error::os(EPIPE), false},
      {Error::os(ENOTCONN), false},
      {Error::msg("SafetyAuth_Ack HMAC mismatch"), false},
      {Error::closed_channel(), false},
  };
  for (const Case& c : cases) EXPECT_EQ(is_normal_peer_disconnect(c.error), c.normal) << c.error.to_string();
}

// The control server on an ephemeral loopback port.
class ControlServerTest : public ::testing::Test {
 protected:
  void start() {
    auto server = start_control_server({.address = {Ipv4::loopback(), 0},
                                        .identity = DeviceIdentity{"xYz", "n", "Mac", "macOS", 3},
                                        .receiver_volume = volume_,
                                        .stop_flag = stop_,
                                        .events = rec_.sink(),
                                        .clock = system_clock(),
                                        .launcher = [](CastOpen) {}});
    ASSERT_TRUE(server) << server.error().to_string();
    port_ = server->port;
    hub_.emplace(std::move(server->hub));
  }
  Fd connect() {
    auto fd = tcp_connect({Ipv4::loopback(), port_});
    EXPECT_TRUE(fd);
    return std::move(*fd);
  }
  std::optional<Json> wait_stage(const std::string& stage, const std::string& remote) {
    return rec_.wait_for([&](const Json& e) {
      return e.value("stage", "") == stage && e.value("remote", "") == remote;
    });
  }
  void TearDown() override {
    stop_->store(true);
    if (hub_) hub_->shutdown_sessions();
  }

  std::shared_ptr<std::atomic<std::uint32_t>> volume_ = std::make_shared<std::atomic<std::uint32_t>>(50);
  std::shared_ptr<std::atomic<bool>> stop_ = std::make_shared<std::atomic<bool>>(false);
  testing::RecordingSink rec_;
  std::optional<ControlHub> hub_;
  std::uint16_t port_ = 0;
};

TEST_F(ControlServerTest, PeerCloseIsANormalEndWithItsThreeEvents) {
  start();
  Fd phone = connect();
  const std::string remote = local_address(phone.get())->to_string();
  ASSERT_TRUE(wait_stage("transport_connected", remote));
  std::array<std::uint8_t, 23> first{};  // header and 14-digit code
  ASSERT_TRUE(read_exact(phone.get(), first));
  phone.reset();
  ASSERT_TRUE(wait_stage("probe_finished", remote));
  ASSERT_TRUE(wait_stage("transport_disconnected", remote));
  EXPECT_TRUE(rec_.named("error").empty());
}

TEST_F(ControlServerTest, ProtocolErrorIsReportedThenDisconnected) {
  start();
  Fd phone = connect();
  const std::string remote = local_address(phone.get())->to_string();
  const std::uint8_t bad[9] = {'#', 0, 0, 0, 0, 0, 0, 0, 0};
  ASSERT_TRUE(write_all(phone.get(), bad));
  auto err = rec_.wait_for_event("error");
  ASSERT_TRUE(err);
  EXPECT_EQ((*err)["code"], "sonvale_control_session_failed");
  EXPECT_EQ((*err)["message"], "小米妙播控制会话失败：invalid ZeDidi control header 230000000000000000");
  ASSERT_TRUE(wait_stage("transport_disconnected", remote));
}

TEST_F(ControlServerTest, ShutdownEndsWaitingSessionsAndTheStopFlagTheListener) {
  start();
  Fd a = connect();
  Fd b = connect();
  const std::string ra = local_address(a.get())->to_string();
  const std::string rb = local_address(b.get())->to_string();
  ASSERT_TRUE(wait_stage("transport_connected", ra));
  ASSERT_TRUE(wait_stage("transport_connected", rb));
  // The sessions have registered their routes once their first frame has been queued.
  std::array<std::uint8_t, 23> first{};
  ASSERT_TRUE(read_exact(a.get(), first));
  ASSERT_TRUE(read_exact(b.get(), first));
  stop_->store(true, std::memory_order_release);
  hub_->shutdown_sessions();
  ASSERT_TRUE(wait_stage("probe_finished", ra));
  ASSERT_TRUE(wait_stage("probe_finished", rb));
  ASSERT_TRUE(wait_stage("transport_disconnected", ra));
  ASSERT_TRUE(wait_stage("transport_disconnected", rb));
  EXPECT_EQ(hub_->media_generation()->load(), 1u);
  EXPECT_TRUE(rec_.named("error").empty());
}

TEST_F(ControlServerTest, SessionIdsCountFromOne) {
  start();
  Fd a = connect();
  ASSERT_TRUE(rec_.wait_for_event("interconnect_stage"));
  Fd b = connect();
  // Session 2 is the second connection: its SetMirrorKey reports that id.
  std::array<std::uint8_t, 23> first{};
  ASSERT_TRUE(read_exact(b.get(), first));
  const std::string body = R"({"authKey":"AAAAAAAAAAAAAAAA","streamKey":"BBBBBBBBBBBBBBBB","streamIV":"CCCCCCCCCCCCCCCC"})";
  ByteWriter w;
  w.u8(0x24).u8(0).u8(108).u16be(1).u32be(static_cast<std::uint32_t>(body.size())).text(body);
  ASSERT_TRUE(write_all(b.get(), w.view()));
  auto ready = rec_.wait_for_event("stream_keys_ready");
  ASSERT_TRUE(ready);
  EXPECT_EQ((*ready)["session_id"], 2);
  // The writer has encrypted the reply once it traces it: after that it uses no more crypto, so
  // nothing of it runs while the process tears its libraries down.
  ASSERT_TRUE(rec_.wait_for([](const Json& e) {
    return e.value("direction", "") == "out" && e.value("command_id", 0) == 109;
  }));
}

TEST(ControlServerStartTest, StopFlagAlreadySetEndsTheListenerWithoutAccepting) {
  auto volume = std::make_shared<std::atomic<std::uint32_t>>(0);
  auto stop = std::make_shared<std::atomic<bool>>(true);
  testing::RecordingSink rec;
  auto server = start_control_server({.address = {Ipv4::loopback(), 0},
                                      .identity = {},
                                      .receiver_volume = volume,
                                      .stop_flag = stop,
                                      .events = rec.sink(),
                                      .clock = system_clock(),
                                      .launcher = [](CastOpen) {}});
  ASSERT_TRUE(server);
  const std::uint16_t port = server->port;
  const ControlHub& hub = server->hub;
  // A connection that reaches the backlog before the listener closes is reset by the close. Once
  // the port is free, another test's listener may take it, or the connect may meet itself on
  // loopback: neither ever answers, so the read is bounded.
  if (auto phone = tcp_connect({Ipv4::loopback(), port})) {
    ASSERT_TRUE(set_recv_timeout(phone->get(), 2s));
    std::array<std::uint8_t, 1> buf{};
    auto n = read_some(phone->get(), buf);
    EXPECT_TRUE(!n || *n == 0);
  }
  EXPECT_TRUE(rec.events().empty());
  EXPECT_EQ(hub.registered_socket_count(), 0u);
}

}  // namespace
}  // namespace sonvale
