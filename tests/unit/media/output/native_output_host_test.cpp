// The reader's way to the native output: which audio host it opens on, and how long that host
// lives.
#include "media/output/native_output.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>

#include <gtest/gtest.h>

#include "support/fake_audio_host.h"
#include "support/media_records.h"
#include "support/recording_sink.h"

namespace sonvale {
namespace {

using testing::FakeDeviceScript;
using testing::RecordingSink;
using testing::ScriptedAudioHost;

Result<NativeOutput> open_on(const MediaConfig& media, RecordingSink& sink) {
  return open_native_output(media, std::nullopt, testing::session_shared(sink.sink(), system_clock()));
}

std::shared_ptr<ScriptedAudioHost> scripted_host(const char* id) {
  FakeDeviceScript device;
  device.id = id;
  device.name = "Scripted";
  return std::make_shared<ScriptedAudioHost>("scripted", std::vector{device}, 0);
}

TEST(NativeOutputHostTest, ConfiguredHostServesTheReaderAndLivesAsLongAsItsStream) {
  auto host = scripted_host("dev-7");
  std::weak_ptr<ScriptedAudioHost> weak = host;
  auto media = testing::media_config(std::nullopt, system_clock(), host);

  RecordingSink sink;
  auto out = open_on(*media, sink);
  ASSERT_TRUE(out) << out.error().to_string();
  EXPECT_EQ(sink.named("audio_output_ready").at(0)["device_id"], "scripted:dev-7");
  const auto streams = host->streams();
  ASSERT_EQ(streams.size(), 1u);
  EXPECT_TRUE(streams[0]->started);

  // Nobody but the running stream holds the host now; it must outlive the stream.
  host.reset();
  media.reset();
  ASSERT_FALSE(weak.expired());
  {
    std::lock_guard lock(streams[0]->mu);
    EXPECT_TRUE(streams[0]->alive);
  }
  *out = NativeOutput{};
  EXPECT_TRUE(weak.expired());
  std::lock_guard lock(streams[0]->mu);
  EXPECT_FALSE(streams[0]->alive);
}

TEST(NativeOutputHostTest, OtherConfigurationsLeaveTheirHostsAlone) {
  auto used = scripted_host("dev-1");
  auto other = scripted_host("dev-2");
  auto other_media = testing::media_config(std::nullopt, system_clock(), other);
  RecordingSink sink;
  auto out = open_on(*testing::media_config(std::nullopt, system_clock(), used), sink);
  ASSERT_TRUE(out) << out.error().to_string();
  EXPECT_EQ(used->streams().size(), 1u);
  EXPECT_TRUE(other->streams().empty());
  for (const auto& ready : sink.named("audio_output_ready")) {
    EXPECT_NE(ready["device_id"], "scripted:dev-2");
  }
}

}  // namespace
}  // namespace sonvale
