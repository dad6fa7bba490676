#include "receiver_config.h"

#include <gtest/gtest.h>

namespace sonvale {
namespace {

ReceiverConfig fresh() {
  return ReceiverConfig::make("Kitchen", {"idm", "LYRA", "media"}, Ipv4::loopback(), "en0");
}

TEST(ReceiverConfigTest, FreshRecordHasFixedDefaults) {
  const ReceiverConfig c = fresh();
  EXPECT_EQ(c.model, "Mac");
  EXPECT_EQ(c.platform, "macOS");
  EXPECT_EQ(c.volume_percent, 50u);
  EXPECT_EQ(c.multicast_loopback, 0);
  EXPECT_EQ(c.device_type, 3);
  EXPECT_FALSE(c.media_device_id_override);
  EXPECT_FALSE(c.output_device);
  EXPECT_EQ(c.interface, "en0");
}

TEST(ReceiverConfigTest, WithOutputDeviceClearsOnBlankAndKeepsSpaces) {
  struct Case {
    std::optional<std::string> device;
    std::optional<std::string> stored;
  };
  const Case cases[] = {
      {std::nullopt, std::nullopt},
      {"", std::nullopt},
      {" \t ", std::nullopt},
      {" Speakers ", " Speakers "},
      {"stream:127.0.0.1:7238", "stream:127.0.0.1:7238"},
  };
  for (const auto& c : cases) {
    ReceiverConfig before = ReceiverConfig::with_output_device(fresh(), "Old");
    const ReceiverConfig after = ReceiverConfig::with_output_device(std::move(before), c.device);
    EXPECT_EQ(after.output_device, c.stored);
  }
}

}  // namespace
}  // namespace sonvale
