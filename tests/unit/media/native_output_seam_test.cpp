// The reader's way to the native output: which audio host it opens on, and how long that host
// lives.
#include "media/native_output_seam.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>

#include <gtest/gtest.h>

#include "support/fake_audio_host.h"
#include "support/recording_sink.h"

namespace sonvale {
namespace {

using testing::FakeDeviceScript;
using testing::RecordingSink;
using testing::ScriptedAudioHost;

Result<NativeOutput> open_on_seam(RecordingSink& sink) {
  return open_native_output(std::nullopt, std::make_shared<std::atomic<bool>>(false),
                            std::make_shared<std::atomic<std::uint32_t>>(100),
                            ZeDidiPresentationClock::create(), ZeDidiLatencyTelemetry::create(),
                            sink.sink());
}

TEST(NativeOutputSeamTest, InstalledHostServesTheReaderAndLivesAsLongAsItsStream) {
  FakeDeviceScript device;
  device.id = "dev-7";
  device.name = "Scripted";
  auto host = std::make_shared<ScriptedAudioHost>("scripted", std::vector{device}, 0);
  std::weak_ptr<ScriptedAudioHost> weak = host;
  set_native_audio_host_for_testing(host);

  RecordingSink sink;
  auto out = open_on_seam(sink);
  set_native_audio_host_for_testing(nullptr);
  ASSERT_TRUE(out) << out.error().to_string();
  EXPECT_EQ(sink.named("audio_output_ready").at(0)["device_id"], "scripted:dev-7");
  const auto streams = host->streams();
  ASSERT_EQ(streams.size(), 1u);
  EXPECT_TRUE(streams[0]->started);

  // Nobody but the running stream holds the host now; it must outlive the stream.
  host.reset();
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

TEST(NativeOutputSeamTest, ClearedSeamLeavesTheInstalledHostAlone) {
  FakeDeviceScript device;
  device.id = "dev-1";
  auto host = std::make_shared<ScriptedAudioHost>("scripted", std::vector{device}, 0);
  set_native_audio_host_for_testing(host);
  set_native_audio_host_for_testing(nullptr);
  RecordingSink sink;
  // The platform's host: whether this machine has an output does not matter here.
  auto out = open_on_seam(sink);
  EXPECT_TRUE(host->streams().empty());
  for (const auto& ready : sink.named("audio_output_ready")) {
    EXPECT_NE(ready["device_id"], "scripted:dev-1");
  }
}

}  // namespace
}  // namespace sonvale
