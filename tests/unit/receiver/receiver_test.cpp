#include "receiver.h"

#include <variant>
#include <vector>

#include <gtest/gtest.h>

#include "support/recording_sink.h"

namespace sonvale {
namespace {

TEST(MediaLauncherTest, AnOpenCommandStartsTheMediaSessionWithTheReceiversConfigurationAndVolume) {
  const auto media = MediaConfig::resolve("stream:1.2.3.4:5", nullptr, system_clock());
  const auto volume = std::make_shared<std::atomic<std::uint32_t>>(50);
  testing::RecordingSink rec;
  std::vector<RtspLaunch> launches;
  const MediaLauncher launcher = media_launcher(
      media, volume, rec.sink(), [&](RtspLaunch l) { launches.push_back(std::move(l)); });

  const auto generations = std::make_shared<std::atomic<std::uint64_t>>(3);
  const auto gate =
      PlaybackGate::with_output_suspension(std::make_shared<std::atomic<bool>>(false), system_clock());
  auto keys = StreamKeys::from_strings("AAAAAAAAAAAAAAAA", "0123456789abcdef", "fedcba9876543210");
  ASSERT_TRUE(keys);
  launcher(CastOpen{.rtsp_ip = *Ipv4::parse("10.1.2.3"),
                    .rtsp_port = 7000,
                    .keys = *keys,
                    .token = SessionToken(generations, 3),
                    .gate = gate});

  ASSERT_EQ(launches.size(), 1u);
  const RtspLaunch& first = launches[0];
  EXPECT_EQ(first.params.rtsp_ip.to_string(), "10.1.2.3");
  EXPECT_EQ(first.params.rtsp_port, 7000);
  ASSERT_TRUE(first.params.keys);
  EXPECT_EQ(as_text(first.params.keys->aes_key), "0123456789abcdef");
  EXPECT_EQ(first.params.media, media);
  ASSERT_TRUE(std::holds_alternative<StreamOutputChoice>(first.params.media->output));
  EXPECT_EQ(std::get<StreamOutputChoice>(first.params.media->output).target.to_string(), "1.2.3.4:5");
  EXPECT_EQ(first.params.token.generation(), 3u);
  EXPECT_EQ(first.params.token.counter_cell(), generations);
  EXPECT_EQ(first.receiver_volume, volume);
  EXPECT_TRUE(first.gate.shares_cells_with(gate));
  first.events(Json{{"event", "probe"}});
  EXPECT_EQ(rec.named("probe").size(), 1u);
}

}  // namespace
}  // namespace sonvale
