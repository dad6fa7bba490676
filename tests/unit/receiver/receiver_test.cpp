#include "receiver.h"

#include <openssl/crypto.h>

#include <gtest/gtest.h>

#include "support/recording_sink.h"

namespace sonvale {
namespace {

// Control sessions are detached threads; keep OpenSSL's exit handler out of their way.
[[maybe_unused]] const int kOpenSslWithoutExitHandler =
    OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);

// Binds 8899 and 55982 on loopback: run inside a private network namespace.
TEST(ReceiverFixedPortTest, StopThenReleaseAdvancesTheMediaGenerationTwiceAndVolumeIsCut) {
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
}

}  // namespace
}  // namespace sonvale
