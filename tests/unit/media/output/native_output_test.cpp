#include "media/output/native_output.h"

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "media/output/render_callback.h"
#include "support/media_records.h"
#include "support/fake_audio_host.h"
#include "support/recording_sink.h"

namespace sonvale {
namespace {

using audio::SampleFormat;
using audio::SupportedOutputRange;
using testing::FakeDeviceScript;
using testing::RecordingSink;
using testing::ScriptedAudioHost;

FakeDeviceScript device(std::optional<std::string> id, std::optional<std::string> name,
                        bool output = true) {
  FakeDeviceScript d;
  d.id = std::move(id);
  d.name = std::move(name);
  d.output = output;
  return d;
}

// The inputs of one open, kept so a test can see what the output still holds.
struct Inputs {
  PlaybackGate gate =
      PlaybackGate::with_output_suspension(std::make_shared<std::atomic<bool>>(false), system_clock());
  std::shared_ptr<std::atomic<std::uint32_t>> volume =
      std::make_shared<std::atomic<std::uint32_t>>(100);
  std::shared_ptr<ZeDidiPresentationClock> clock = ZeDidiPresentationClock::create(system_clock());
  std::shared_ptr<ZeDidiLatencyTelemetry> telemetry = ZeDidiLatencyTelemetry::create();
  RecordingSink sink;

  Result<NativeOutput> open(audio::AudioHost& host, std::optional<std::string> requested) {
    SessionShared shared = testing::session_shared(sink.sink(), system_clock(), telemetry);
    shared.gate = gate;
    shared.receiver_volume = volume;
    shared.presentation = clock;
    return open_native_audio_output(host, std::move(requested), shared);
  }
  // Whether anything but this record still holds the shared inputs.
  bool released() const {
    return gate.blocked_cell().use_count() == 1 && volume.use_count() == 1 && clock.use_count() == 1 &&
           telemetry.use_count() == 1;
  }
};

// ---------------------------------------------------------------------------------------------
// Device choice

struct ChoiceCase {
  const char* name;
  std::vector<FakeDeviceScript> devices;
  std::optional<std::size_t> default_index;
  std::optional<std::string> requested;
  bool fallback;
  std::string device_name;  // reported
  std::string device_id;    // reported
};

class DeviceChoiceTest : public ::testing::TestWithParam<ChoiceCase> {};

TEST_P(DeviceChoiceTest, ChoosesByIdThenNameAndReportsTheChoice) {
  const auto& c = GetParam();
  ScriptedAudioHost host("fake", c.devices, c.default_index);
  Inputs in;
  auto out = in.open(host, c.requested);
  ASSERT_TRUE(out) << out.error().to_string();
  ASSERT_EQ(host.streams().size(), 1u);

  const auto events = in.sink.events();
  ASSERT_EQ(events.size(), c.fallback ? 2u : 1u);
  if (c.fallback) {
    EXPECT_EQ(events[0], (Json{{"event", "warning"},
                               {"code", "sonvale_audio_output_fallback"},
                               {"protocol", "xiaomi_zedidi"},
                               {"requested_device", *c.requested},
                               {"message",
                                "Requested audio output is unavailable; using the system default "
                                "output."}}));
  }
  EXPECT_EQ(compact_json(events.back()),
            R"({"channels":2,"device_id":)" + Json(c.device_id).dump() +
                R"(,"device_name":)" + Json(c.device_name).dump() +
                R"(,"event":"audio_output_ready","protocol":"xiaomi_zedidi","requested_device":)" +
                (c.requested ? Json(*c.requested).dump() : "null") +
                R"(,"sample_format":"f32","sample_rate":48000})");
  EXPECT_TRUE(host.streams()[0]->started);
}

const std::vector<FakeDeviceScript> kThree = {device("spk-1", "Speakers"),
                                              device("spk-2", "Headphones"),
                                              device("mic-1", "Microphone", false)};

INSTANTIATE_TEST_SUITE_P(
    Cases, DeviceChoiceTest,
    ::testing::Values(
        ChoiceCase{"NoRequestUsesTheDefault", kThree, 0, std::nullopt, false, "Speakers",
                   "fake:spk-1"},
        ChoiceCase{"IdTextInAnotherCase", kThree, 0, "FAKE:SPK-2", false, "Headphones",
                   "fake:spk-2"},
        ChoiceCase{"NameInAnotherCase", kThree, 0, "hEADPHONES", false, "Headphones",
                   "fake:spk-2"},
        ChoiceCase{"BareIdentifierIsNotTheIdText", kThree, 0, "spk-2", true, "Speakers",
                   "fake:spk-1"},
        ChoiceCase{"TrailingBlankDoesNotMatch", kThree, 0, "Headphones ", true, "Speakers",
                   "fake:spk-1"},
        ChoiceCase{"LeadingBlankDoesNotMatch", kThree, 0, " fake:spk-2", true, "Speakers",
                   "fake:spk-1"},
        ChoiceCase{"InputOnlyDeviceFallsBack", kThree, 0, "Microphone", true, "Speakers",
                   "fake:spk-1"},
        ChoiceCase{"UnknownDeviceFallsBack", kThree, 1, "Nothing", true, "Headphones",
                   "fake:spk-2"},
        ChoiceCase{"SameNameFirstWins",
                   {device("a", "Twin"), device("b", "Twin")}, 1, "twin", false, "Twin", "fake:a"},
        ChoiceCase{"NameMatchBeatsALaterIdMatch",
                   {device("x", "fake:y"), device("y", "Other")}, 1, "fake:y", false, "fake:y",
                   "fake:x"},
        ChoiceCase{"UnreadableIdStillMatchesByName",
                   {device(std::nullopt, "Speakers"), device("b", "Other")}, 1, "speakers", false,
                   "Speakers", "Speakers"},
        ChoiceCase{"UnreadableNameStillMatchesById",
                   {device("a", std::nullopt), device("b", "Other")}, 1, "fake:a", false,
                   "System default output", "fake:a"},
        ChoiceCase{"NothingReadable",
                   {device(std::nullopt, std::nullopt)}, 0, std::nullopt, false,
                   "System default output", "System default output"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(DeviceChoiceTest, FailuresOfTheHost) {
  {
    ScriptedAudioHost host("fake", kThree, 0);
    host.list_error = "no device list";
    Inputs in;
    auto out = in.open(host, "Speakers");
    ASSERT_FALSE(out);
    EXPECT_EQ(out.error().to_string(), "enumerate native audio output devices: no device list");
    EXPECT_TRUE(in.sink.events().empty());
    EXPECT_TRUE(in.released());
    // Without a request the list is not read at all.
    EXPECT_TRUE(in.open(host, std::nullopt));
  }
  {
    ScriptedAudioHost host("fake", kThree, std::nullopt);
    Inputs in;
    auto out = in.open(host, "Nothing");
    ASSERT_FALSE(out);
    EXPECT_EQ(out.error().to_string(), "no native audio output device");
    EXPECT_EQ(in.sink.named("warning").size(), 1u);
    EXPECT_TRUE(in.released());
  }
}

// ---------------------------------------------------------------------------------------------
// Configuration choice

struct ConfigCase {
  const char* name;
  audio::DefaultOutputConfig defaults;
  std::vector<SupportedOutputRange> ranges;
  std::uint16_t channels;  // 0: fails
  SampleFormat format;
};

class ConfigChoiceTest : public ::testing::TestWithParam<ConfigCase> {};

SupportedOutputRange range(std::uint16_t ch, std::uint32_t lo, std::uint32_t hi, SampleFormat f) {
  return SupportedOutputRange{ch, lo, hi, {}, f};
}

TEST_P(ConfigChoiceTest, DefaultFormatThenDefaultChannelsThenNearestToStereo) {
  const auto& c = GetParam();
  FakeDeviceScript d = device("d", "Device");
  d.default_config = c.defaults;
  d.ranges = c.ranges;
  ScriptedAudioHost host("fake", {d}, 0);
  Inputs in;
  auto out = in.open(host, std::nullopt);
  if (c.channels == 0) {
    ASSERT_FALSE(out);
    EXPECT_EQ(out.error().to_string(),
              "native output does not support the required ZeDidi sample rate 48000 Hz");
    EXPECT_TRUE(in.sink.events().empty());
    EXPECT_TRUE(in.released());
    return;
  }
  ASSERT_TRUE(out) << out.error().to_string();
  const auto core = host.streams().at(0);
  EXPECT_EQ(core->config.channels, c.channels);
  EXPECT_EQ(core->config.sample_rate, 48000u);
  EXPECT_EQ(core->config.format, c.format);
  const auto ready = in.sink.named("audio_output_ready").at(0);
  EXPECT_EQ(ready["channels"], c.channels);
  EXPECT_EQ(ready["sample_format"], std::string(audio::sample_format_text(c.format)));
}

constexpr audio::DefaultOutputConfig kF32Stereo{2, 48000, SampleFormat::kF32};
using SF = SampleFormat;

INSTANTIATE_TEST_SUITE_P(
    Cases, ConfigChoiceTest,
    ::testing::Values(
        ConfigCase{"DefaultFormatOutranksEarlierRange",
                   kF32Stereo,
                   {range(2, 44100, 96000, SF::kI16), range(2, 48000, 48000, SF::kF32)}, 2,
                   SF::kF32},
        ConfigCase{"FormatOutranksChannels",
                   kF32Stereo,
                   {range(1, 8000, 96000, SF::kF32), range(2, 8000, 96000, SF::kI16)}, 1,
                   SF::kF32},
        ConfigCase{"NearestToStereoWhenBothDiffer",
                   {8, 48000, SF::kF32},
                   {range(6, 48000, 48000, SF::kF32), range(4, 48000, 48000, SF::kF32)}, 4,
                   SF::kF32},
        ConfigCase{"EqualKeysFirstListedWins",
                   kF32Stereo,
                   {range(1, 48000, 48000, SF::kF32), range(3, 48000, 48000, SF::kF32)}, 1,
                   SF::kF32},
        ConfigCase{"EqualKeysFirstListedWinsReversed",
                   kF32Stereo,
                   {range(3, 48000, 48000, SF::kF32), range(1, 48000, 48000, SF::kF32)}, 3,
                   SF::kF32},
        ConfigCase{"UnsignedDefault",
                   {2, 44100, SF::kU16},
                   {range(2, 8000, 48000, SF::kF32), range(2, 48000, 192000, SF::kU16)}, 2,
                   SF::kU16},
        ConfigCase{"OnlySigned16",
                   kF32Stereo,
                   {range(2, 8000, 47999, SF::kF32), range(6, 48000, 48000, SF::kI16)}, 6,
                   SF::kI16},
        ConfigCase{"AllStopAt44100",
                   kF32Stereo,
                   {range(2, 8000, 44100, SF::kF32), range(2, 8000, 44100, SF::kI16)}, 0,
                   SF::kF32},
        ConfigCase{"OnlyWideIntegerFormats",
                   kF32Stereo,
                   {range(2, 8000, 96000, SF::kI24), range(2, 8000, 96000, SF::kI32),
                    range(2, 8000, 96000, SF::kU32), range(2, 8000, 96000, SF::kF64)},
                   0, SF::kF32},
        ConfigCase{"NoRanges", kF32Stereo, {}, 0, SF::kF32}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(ConfigChoiceTest, UnreadableDefaultOrRangesFailUnderTheirContext) {
  FakeDeviceScript no_default = device("d", "Device");
  no_default.default_config.reset();
  FakeDeviceScript no_ranges = device("d", "Device");
  no_ranges.ranges.reset();
  for (const auto& [script, text] :
       {std::pair{no_default, "read native output format: default configuration unavailable"},
        std::pair{no_ranges, "enumerate native output formats: configuration ranges unavailable"}}) {
    ScriptedAudioHost host("fake", {script}, 0);
    Inputs in;
    auto out = in.open(host, std::nullopt);
    ASSERT_FALSE(out);
    EXPECT_EQ(out.error().to_string(), text);
    EXPECT_TRUE(in.sink.named("audio_output_ready").empty());
    EXPECT_TRUE(in.released());
  }
}

// ---------------------------------------------------------------------------------------------
// Building, starting and stream errors

TEST(NativeOutputStreamTest, BuildOrStartFailureComesAfterTheReadyEvent) {
  FakeDeviceScript build_fails = device("d", "Device");
  build_fails.build_error = "device busy";
  FakeDeviceScript start_fails = device("d", "Device");
  start_fails.start_error = "device vanished";
  for (const auto& [script, text] :
       {std::pair{build_fails, "open native audio output: device busy"},
        std::pair{start_fails, "start native audio output: device vanished"}}) {
    ScriptedAudioHost host("fake", {script}, 0);
    Inputs in;
    auto out = in.open(host, "Nothing");
    ASSERT_FALSE(out);
    EXPECT_EQ(out.error().to_string(), text);
    const auto events = in.sink.events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0]["code"], "sonvale_audio_output_fallback");
    EXPECT_EQ(events[1]["event"], "audio_output_ready");
    EXPECT_TRUE(in.released()) << "the render state is released with the stream";
    for (const auto& core : host.streams()) EXPECT_FALSE(core->alive);
  }
}

TEST(NativeOutputStreamTest, EveryStreamErrorIsReportedAndChangesNothing) {
  ScriptedAudioHost host("fake", kThree, 0);
  Inputs in;
  auto out = in.open(host, std::nullopt);
  ASSERT_TRUE(out);
  {
    std::lock_guard l(out->queue->mutex());
    out->queue->push_samples(std::vector<float>(2048, 0.5f), 1000.0);
  }
  auto core = host.streams().at(0);
  core->inject_error("buffer underrun");
  core->inject_error("device reset");
  const auto errors = in.sink.named("error");
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_EQ(compact_json(errors[0]),
            R"({"code":"sonvale_audio_output_failed","event":"error","message":"Native audio output error: buffer underrun"})");
  EXPECT_EQ(errors[1]["message"], "Native audio output error: device reset");
  EXPECT_TRUE(core->alive);
  std::lock_guard l(out->queue->mutex());
  EXPECT_EQ(out->queue->queued_frames(), 1024u);
}

TEST(NativeOutputStreamTest, DroppingTheOutputReleasesTheRenderState) {
  ScriptedAudioHost host("fake", kThree, 0);
  Inputs in;
  auto out = in.open(host, std::nullopt);
  ASSERT_TRUE(out);
  EXPECT_FALSE(in.released());
  std::weak_ptr<PcmQueue> queue = out->queue;
  out = fail(Error::msg("dropped"));
  EXPECT_TRUE(in.released());
  EXPECT_TRUE(queue.expired());
  EXPECT_FALSE(host.streams().at(0)->alive);
}

// Each device type and channel count, pumped through the stream the output built.
struct PumpCase {
  const char* name;
  SampleFormat format;
  std::uint16_t channels;
};

class NativeOutputPumpTest : public ::testing::TestWithParam<PumpCase> {};

template <class S>
std::vector<S> pump(testing::FakeStreamCore& core, std::size_t frames) {
  std::vector<S> buffer(frames * core.config.channels, S{1});
  EXPECT_TRUE(core.pump(std::span<S>(buffer), audio::OutputTimestamp{}));
  return buffer;
}

TEST_P(NativeOutputPumpTest, RendersTheQueueInTheDeviceFormat) {
  const auto& c = GetParam();
  FakeDeviceScript d = device("d", "Device");
  d.default_config = audio::DefaultOutputConfig{c.channels, 48000, c.format};
  d.ranges = std::vector<SupportedOutputRange>{range(c.channels, 48000, 48000, c.format)};
  ScriptedAudioHost host("fake", {d}, 0);
  Inputs in;
  auto out = in.open(host, std::nullopt);
  ASSERT_TRUE(out) << out.error().to_string();
  {
    std::vector<float> chunk;
    for (int i = 0; i < 38400; ++i) {
      chunk.push_back(0.5f);
      chunk.push_back(-0.25f);
    }
    std::lock_guard l(out->queue->mutex());
    out->queue->push_samples(chunk, std::nullopt);
  }
  auto& core = *host.streams().at(0);
  // Expected device values of one frame: left, right, then silence; mono mixes.
  std::vector<float> frame;
  if (c.channels == 1) {
    frame = {0.125f};
  } else {
    frame = {0.5f, -0.25f};
    frame.resize(c.channels, 0.0f);
  }
  auto check = [&](const auto& buffer, auto convert) {
    ASSERT_EQ(buffer.size(), 64u * c.channels);
    for (std::size_t i = 0; i < buffer.size(); ++i) {
      ASSERT_EQ(buffer[i], convert(frame[i % c.channels])) << "sample " << i;
    }
  };
  switch (c.format) {
    case SampleFormat::kF32: check(pump<float>(core, 64), [](float x) { return x; }); break;
    case SampleFormat::kI16: check(pump<std::int16_t>(core, 64), f32_to_i16); break;
    default: check(pump<std::uint16_t>(core, 64), f32_to_u16); break;
  }
  EXPECT_EQ(in.sink.named("audio_output_callback_started").at(0)["channels"], c.channels);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NativeOutputPumpTest,
    ::testing::Values(PumpCase{"F32Mono", SF::kF32, 1}, PumpCase{"F32Stereo", SF::kF32, 2},
                      PumpCase{"F32Six", SF::kF32, 6}, PumpCase{"I16Mono", SF::kI16, 1},
                      PumpCase{"I16Stereo", SF::kI16, 2}, PumpCase{"I16Six", SF::kI16, 6},
                      PumpCase{"U16Mono", SF::kU16, 1}, PumpCase{"U16Stereo", SF::kU16, 2},
                      PumpCase{"U16Six", SF::kU16, 6}),
    [](const auto& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace sonvale
