#include "media/stream/aac_player.h"

#include <gtest/gtest.h>

#include <set>

#include "unit/media/aac_media_util.h"
#include "support/fake_reader_outputs.h"
#include "support/media_records.h"
#include "support/recording_sink.h"

namespace sonvale {
namespace {

using testing::ffmpeg_adts;
using testing::join;
using testing::split_adts;

class AacPlayerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    tone_ = new std::vector<Bytes>(split_adts(ffmpeg_adts(testing::kToneArgs)));
    silence_ = new std::vector<Bytes>(
        split_adts(ffmpeg_adts("-f lavfi -i anullsrc=r=48000:cl=stereo -t 4.5 -ac 2 -ar 48000")));
  }
  static void TearDownTestSuite() {
    delete tone_;
    delete silence_;
  }

  Result<AacPlayer> make(std::optional<std::string> device) {
    return AacPlayer::create(outputs_, *testing::media_config(device, system_clock()),
                             testing::session_shared(sink_.sink(), system_clock()));
  }

  std::vector<std::uint64_t> reported_frames() const {
    std::vector<std::uint64_t> out;
    for (const auto& e : sink_.named("audio_pcm_decoded"))
      out.push_back(e["decoded_frames"].get<std::uint64_t>());
    return out;
  }

  static std::vector<Bytes>* tone_;
  static std::vector<Bytes>* silence_;
  testing::RecordingSink sink_;
  // Outputs whose stream and native sides record what they are given.
  testing::FakeReaderOutputs outputs_;
  std::optional<std::string>& stream_target_ = outputs_.stream_target;
  std::vector<Bytes>& chunks_ = outputs_.chunks;
  std::optional<std::string>& native_device_ = outputs_.native_device;
  std::optional<std::string>& native_error_ = outputs_.native_error;
  std::vector<std::vector<float>>& native_frames_ = outputs_.native_frames;
  std::vector<std::optional<double>>& native_pts_ = outputs_.native_pts;
};

std::vector<Bytes>* AacPlayerTest::tone_ = nullptr;
std::vector<Bytes>* AacPlayerTest::silence_ = nullptr;

TEST_F(AacPlayerTest, StreamModeDecodesEveryFrameIntoOneChunk) {
  auto player = make("stream:127.0.0.1:9123");
  ASSERT_TRUE(player) << player.error().to_string();
  EXPECT_TRUE(player->streams_pcm());
  EXPECT_EQ(stream_target_, "127.0.0.1:9123");
  const auto& frames = *tone_;
  ASSERT_GE(frames.size(), 40u);
  // Two whole frames and 100 bytes of the third, then the rest.
  Bytes first = join(frames, 0, 2);
  first.insert(first.end(), frames[2].begin(), frames[2].begin() + 100);
  ASSERT_TRUE(player->push_pes({std::nullopt, first}));
  EXPECT_EQ(player->decoded_frames(), 2u);
  EXPECT_EQ(player->buffered_adts_bytes(), 100u);
  Bytes rest(frames[2].begin() + 100, frames[2].end());
  const Bytes tail = join(frames, 3);
  rest.insert(rest.end(), tail.begin(), tail.end());
  ASSERT_TRUE(player->push_pes({std::nullopt, rest}));
  EXPECT_EQ(player->decoded_frames(), frames.size());
  EXPECT_EQ(player->buffered_adts_bytes(), 0u);
  EXPECT_FALSE(player->next_pts_us());

  ASSERT_EQ(chunks_.size(), frames.size());
  const std::size_t pattern[] = {941, 941, 941, 941, 941, 940, 941, 941, 941, 941, 940};
  for (std::size_t i = 0; i < std::size(pattern); ++i)
    EXPECT_EQ(chunks_[i].size(), 4 * pattern[i]) << i;

  const auto layout = sink_.named("aac_pes_layout");
  ASSERT_EQ(layout.size(), 1u);
  EXPECT_EQ(layout[0], (Json{{"event", "aac_pes_layout"},
                             {"protocol", "xiaomi_zedidi"},
                             {"pes_payload_bytes", first.size()},
                             {"frames_in_pes", 2},
                             {"buffered_adts_bytes", 100}}));
}

TEST_F(AacPlayerTest, ReportsMilestonesAndTheFirstNonSilentFrame) {
  auto player = make("tcp:1");
  ASSERT_TRUE(player);
  std::vector<Bytes> frames(silence_->begin(), silence_->begin() + 200);
  ASSERT_EQ(frames.size(), 200u);
  frames[149] = (*tone_)[20];  // frame 150 carries sound
  ASSERT_TRUE(player->push_pes({std::nullopt, join(frames)}));
  EXPECT_EQ(reported_frames(), (std::vector<std::uint64_t>{1, 8, 32, 128, 150}));

  const auto e = sink_.named("audio_pcm_decoded").back();
  const Bytes& f = frames[149];
  EXPECT_EQ(e["adts_frame_bytes"], f.size());
  EXPECT_EQ(e["adts_header_hex"].get<std::string>().size(), 14u);
  EXPECT_EQ(e["adts_header_hex"], "fff14c80" + e["adts_header_hex"].get<std::string>().substr(8));
  EXPECT_EQ(e["aac_payload_prefix_hex"].get<std::string>().size(), 64u);
  EXPECT_EQ(e["aac_first_element_id"], f[7] >> 5);
  EXPECT_EQ(e["samples"], 2048);
  EXPECT_EQ(e["non_silent"], true);
  EXPECT_GT(e["peak"].get<double>(), 0.01);
  EXPECT_GT(e["rms"].get<double>(), 0.0);
  const auto silent = sink_.named("audio_pcm_decoded").front();
  EXPECT_EQ(silent["non_silent"], false);
  EXPECT_EQ(silent["peak"], 0.0);
}

TEST_F(AacPlayerTest, AfterANonSilentFrameOnlyMilestonesAreReported) {
  auto player = make("stream:");
  ASSERT_TRUE(player);
  ASSERT_TRUE(player->push_pes({std::nullopt, join(*tone_)}));
  // The tone's first frames: the priming frame, then sound.
  const auto reported = reported_frames();
  ASSERT_GE(reported.size(), 3u);
  EXPECT_EQ(reported[0], 1u);
  const std::set<std::uint64_t> milestones = {1, 8, 32, 128};
  std::size_t non_milestones = 0;
  for (auto n : reported) non_milestones += milestones.count(n) ? 0u : 1u;
  EXPECT_LE(non_milestones, 1u);
  EXPECT_EQ(std::set<std::uint64_t>(reported.begin(), reported.end()).count(8), 1u);
  EXPECT_EQ(std::set<std::uint64_t>(reported.begin(), reported.end()).count(32), 1u);
}

TEST_F(AacPlayerTest, NativeModeCarriesARunningPresentationTime) {
  auto player = make("Built-in Output");
  ASSERT_TRUE(player) << player.error().to_string();
  EXPECT_FALSE(player->streams_pcm());
  EXPECT_EQ(native_device_, "Built-in Output");
  const auto& frames = *tone_;
  constexpr double kT = 5000000.0;
  ASSERT_TRUE(player->push_pes({5000000, join(frames, 0, 3)}));
  ASSERT_TRUE(player->push_pes({std::nullopt, join(frames, 3, 5)}));
  ASSERT_EQ(native_pts_.size(), 5u);
  for (std::size_t i = 0; i < 5; ++i) {
    ASSERT_TRUE(native_pts_[i]);
    EXPECT_DOUBLE_EQ(*native_pts_[i], kT + static_cast<double>(i) * 21333.333333333332) << i;
  }
  // A PES with its own time restarts the series there.
  ASSERT_TRUE(player->push_pes({9000000, join(frames, 5, 6)}));
  EXPECT_EQ(native_pts_.back(), 9000000.0);
  EXPECT_DOUBLE_EQ(*player->next_pts_us(), 9000000.0 + 21333.333333333332);
  for (const auto& f : native_frames_) EXPECT_EQ(f.size(), 2048u);
  EXPECT_TRUE(chunks_.empty());
}

TEST_F(AacPlayerTest, DefaultDeviceWhenNoTextAndFailureReturnedUnchanged) {
  native_error_ = "no native audio output device";
  auto player = make(std::nullopt);
  ASSERT_FALSE(player);
  EXPECT_EQ(player.error().to_string(), "no native audio output device");
  EXPECT_EQ(native_device_, std::nullopt);
}

TEST(NativeOutputSeamTest, PushKeepsTimeAndReportsQueuedFrames) {
  NativeOutput output;
  output.queue = PcmQueue::create();
  auto telemetry = ZeDidiLatencyTelemetry::create();
  const std::vector<float> frame(2048, 0.25f);
  push_native_frame(output, *telemetry, frame, 1000.0);
  push_native_frame(output, *telemetry, frame, 1000.0 + 1024 * 1e6 / 48000.0);
  EXPECT_EQ(telemetry->queued_frames.load(), 2048u);
  auto head = [&] {
    std::lock_guard lock(output.queue->mutex());
    return output.queue->head_pts_us();
  };
  EXPECT_EQ(head(), 1000.0);
  // A jump of more than 100 ms restarts the queue from the new frame.
  push_native_frame(output, *telemetry, frame, 500000.0);
  EXPECT_EQ(head(), 500000.0);
  EXPECT_EQ(telemetry->queued_frames.load(), 1024u);
}

// Headers patched onto a real 48 kHz frame.
Bytes with_index(Bytes frame, std::uint8_t index) {
  frame[2] = static_cast<std::uint8_t>((frame[2] & 0xC3) | (index << 2));
  return frame;
}

struct FailureCase {
  std::string name;
  std::function<Bytes(const Bytes&)> patch;
  std::string message;
};

class AacPlayerFailureTest : public AacPlayerTest,
                             public ::testing::WithParamInterface<FailureCase> {};

TEST_P(AacPlayerFailureTest, EndsWithTheFrameError) {
  auto player = make("stream:1");
  ASSERT_TRUE(player);
  const auto& good = (*tone_)[5];
  Bytes pes = join(*tone_, 0, 2);
  const Bytes bad = GetParam().patch(good);
  pes.insert(pes.end(), bad.begin(), bad.end());
  pes.insert(pes.end(), good.begin(), good.end());
  auto r = player->push_pes({std::nullopt, pes});
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().to_string().substr(0, GetParam().message.size()), GetParam().message);
  // Frames before the failing one were handed off; the one after it was not.
  EXPECT_EQ(chunks_.size(), 2u);
  EXPECT_TRUE(sink_.named("aac_pes_layout").empty());
}

INSTANTIATE_TEST_SUITE_P(
    Frames, AacPlayerFailureTest,
    ::testing::Values(FailureCase{"At44100", [](const Bytes& f) { return with_index(f, 4); },
                                  "unsupported ZeDidi AAC sample rate 44100 Hz; expected 48000 Hz"},
                      FailureCase{"At96000", [](const Bytes& f) { return with_index(f, 0); },
                                  "unsupported ZeDidi AAC sample rate 96000 Hz; expected 48000 Hz"},
                      FailureCase{"ReservedIndex13",
                                  [](const Bytes& f) { return with_index(f, 13); },
                                  "ADTS sample rate is missing or reserved"},
                      FailureCase{"ReservedIndex15",
                                  [](const Bytes& f) { return with_index(f, 15); },
                                  "ADTS sample rate is missing or reserved"},
                      FailureCase{"GarbagePayload",
                                  [](const Bytes& f) {
                                    Bytes b = f;
                                    for (std::size_t i = 7; i < b.size(); ++i) b[i] = 0xFF;
                                    return b;
                                  },
                                  "decode AAC-LC frame: "}),
    [](const auto& p) { return p.param.name; });

TEST(PcmLevelsTest, PeakRmsAndSilence) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  struct Case {
    std::vector<float> samples;
    float peak, rms;
    bool non_silent;
  };
  const Case cases[] = {
      {{}, 0.0f, 0.0f, false},
      {{0.0f, 0.0f}, 0.0f, 0.0f, false},
      {{0.00001f, -0.00001f}, 0.00001f, 0.00001f, false},
      {{0.0f, -0.5f, 0.5f, 0.0f}, 0.5f, std::sqrt(0.125f), true},
      {{nan, 0.25f}, 0.25f, nan, true},
  };
  for (const auto& c : cases) {
    const PcmLevels l = measure_pcm(c.samples);
    EXPECT_EQ(l.peak, c.peak);
    if (std::isnan(c.rms)) {
      EXPECT_TRUE(std::isnan(l.rms));
    } else {
      EXPECT_FLOAT_EQ(l.rms, c.rms);
    }
    EXPECT_EQ(l.non_silent, c.non_silent);
  }
}

}  // namespace
}  // namespace sonvale
