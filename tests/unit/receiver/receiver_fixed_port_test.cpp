#include "receiver.h"

#include <openssl/crypto.h>
#include <sys/socket.h>

#include <thread>

#include <gtest/gtest.h>

#include "core/udp_socket.h"
#include "support/recording_sink.h"

namespace sonvale {
namespace {

using namespace std::chrono_literals;

// Control sessions are detached threads; keep OpenSSL's exit handler out of their way.
[[maybe_unused]] const int kOpenSslWithoutExitHandler =
    OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);

ReceiverConfig loopback_config() {
  return ReceiverConfig::make("Kitchen", {"idm-1", "A1B2C3D4", "media-1"}, Ipv4::loopback(), "");
}

// Whether the control and Lyra ports can be bound right now (the detached server threads close
// their sockets at their next poll of the stop flag).
bool control_port_free() { return tcp_listen({Ipv4::loopback(), 8899}, 1, true).has_value(); }
bool ports_free() {
  return control_port_free() && UdpSocket::bound(SocketAddr(SocketAddrV4{Ipv4::loopback(), 55982})).has_value();
}

bool eventually(const std::function<bool()>& pred) {
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (std::chrono::steady_clock::now() < deadline) {
    if (pred()) return true;
    std::this_thread::sleep_for(10ms);
  }
  return pred();
}

class ReceiverStartTest : public ::testing::Test {
 protected:
  // Every test starts with both ports free, whatever the previous test left closing.
  void SetUp() override { ASSERT_TRUE(eventually(ports_free)); }
};
class ReceiverStopTest : public ReceiverStartTest {};

TEST_F(ReceiverStartTest, VolumeCellIsClampedAtStart) {
  for (auto [configured, expected] : {std::pair{250u, 100u}, {50u, 50u}, {100u, 100u}}) {
    testing::RecordingSink sink;
    ReceiverConfig config = loopback_config();
    config.volume_percent = configured;
    auto receiver = ZeDidiReceiver::start(std::move(config), sink.sink());
    ASSERT_TRUE(receiver) << receiver.error().to_string();
    EXPECT_EQ((*receiver)->controller().hub().receiver_volume()->load(), expected);
    receiver->reset();
    ASSERT_TRUE(eventually(ports_free));
  }
}

TEST_F(ReceiverStartTest, ReadyReportsOutputDeviceAndIdentityMediaId) {
  testing::RecordingSink sink;
  ReceiverConfig config = ReceiverConfig::with_output_device(loopback_config(), "stream:127.0.0.1:7238");
  config.media_device_id_override = "override-id";
  auto receiver = ZeDidiReceiver::start(std::move(config), sink.sink());
  ASSERT_TRUE(receiver);
  const auto ready = sink.named("receiver_ready");
  ASSERT_EQ(ready.size(), 1u);
  EXPECT_EQ(ready[0]["output_device"], "stream:127.0.0.1:7238");
  EXPECT_EQ(ready[0]["media_device_id"], "media-1");
  EXPECT_EQ(ready[0]["mdns_service"], "A1B2C3D4._lyra-mdns._udp.local.");
  EXPECT_EQ(ready[0].size(), 20u);
}

TEST_F(ReceiverStartTest, ControlPortTakenFailsBeforeAnyEvent) {
  auto blocker = tcp_listen({Ipv4::loopback(), 8899}, 1, true);
  ASSERT_TRUE(blocker);
  testing::RecordingSink sink;
  auto receiver = ZeDidiReceiver::start(loopback_config(), sink.sink());
  ASSERT_FALSE(receiver);
  EXPECT_EQ(receiver.error().to_string(),
            "bind Xiaomi ZeDidi control socket 127.0.0.1:8899: Address already in use (os error 98)");
  EXPECT_TRUE(sink.events().empty());
}

TEST_F(ReceiverStartTest, LyraPortTakenStopsTheControlListener) {
  auto blocker = UdpSocket::bound(SocketAddr(SocketAddrV4{Ipv4::loopback(), 55982}));
  ASSERT_TRUE(blocker);
  testing::RecordingSink sink;
  auto receiver = ZeDidiReceiver::start(loopback_config(), sink.sink());
  ASSERT_FALSE(receiver);
  EXPECT_EQ(receiver.error().to_string(),
            "bind Xiaomi Lyra command socket 127.0.0.1:55982: Address already in use (os error 98)");
  EXPECT_TRUE(sink.named("zedidi_lan_removed").empty());
  EXPECT_TRUE(sink.named("receiver_ready").empty());
  // The listener started before the failure sees the stop flag and closes its socket.
  EXPECT_TRUE(eventually(control_port_free));
}

TEST_F(ReceiverStopTest, StopThenReleaseAdvancesTheGenerationTwice) {
  testing::RecordingSink sink;
  auto receiver = ZeDidiReceiver::start(loopback_config(), sink.sink());
  ASSERT_TRUE(receiver);
  const ReceiverController controller = (*receiver)->controller();
  auto generation = controller.hub().media_generation();
  EXPECT_EQ(generation->load(), 0u);
  controller.stop();
  EXPECT_EQ(generation->load(), 1u);
  receiver->reset();
  EXPECT_EQ(generation->load(), 2u);
  EXPECT_TRUE(eventually(control_port_free));
}

TEST_F(ReceiverStopTest, StopThenReleaseAdvancesTheMediaGenerationTwiceAndVolumeIsCut) {
  testing::RecordingSink rec;
  ReceiverConfig config = ReceiverConfig::make("Kitchen", {"idm", "LYRA", "media"}, Ipv4::loopback(), "");
  config.volume_percent = 250;
  auto receiver = ZeDidiReceiver::start(std::move(config), rec.sink());
  ASSERT_TRUE(receiver) << receiver.error().to_string();
  const ReceiverController controller = (*receiver)->controller();
  EXPECT_EQ(controller.hub().receiver_volume()->load(), 100u);
  // Without a phone every command fails the same way; seek 0 is a command like any other.
  EXPECT_EQ(controller.send({ReceiverCommand::kSeek, 0}).error().to_string(),
            "no active Xiaomi ZeDidi source");
  EXPECT_EQ(controller.set_volume(10).error().to_string(), "no active Xiaomi ZeDidi source");
  controller.stop();
  EXPECT_EQ(controller.hub().media_generation()->load(), 1u);
  receiver->reset();
  EXPECT_EQ(controller.hub().media_generation()->load(), 2u);
  EXPECT_TRUE(eventually(control_port_free));
}

}  // namespace
}  // namespace sonvale
