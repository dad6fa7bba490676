#include "media/output/native_output.h"

#include <cstdlib>
#include <mutex>
#include <tuple>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "core/text.h"
#include "media/media_events.h"
#include "media/format/adts.h"
#include "media/output/render_callback.h"

namespace sonvale {
namespace {

constexpr const char* kDefaultDeviceName = "System default output";

bool playable(audio::SampleFormat f) {
  return f == audio::SampleFormat::kI16 || f == audio::SampleFormat::kU16 ||
         f == audio::SampleFormat::kF32;
}

// The requested device by id text, then by name, in the host's order; null when none matches.
Result<std::shared_ptr<audio::AudioDevice>> find_requested(audio::AudioHost& host,
                                                           const std::string& requested) {
  SV_ASSIGN_OR_RETURN(auto listed,
                      with_context(host.devices(), "enumerate native audio output devices"));
  const std::string host_name = host.name();
  for (auto& device : listed) {
    if (!device || !device->supports_output()) continue;
    if (auto id = device->id(); id && ascii_iequal(host_name + ":" + *id, requested)) {
      return device;
    }
    if (auto name = device->name(); name && ascii_iequal(*name, requested)) return device;
  }
  return std::shared_ptr<audio::AudioDevice>();
}

Result<audio::StreamConfig> choose_config(const audio::AudioDevice& device) {
  SV_ASSIGN_OR_RETURN(const auto defaults,
                      with_context(device.default_output_config(), "read native output format"));
  SV_ASSIGN_OR_RETURN(const auto ranges, with_context(device.supported_output_configs(),
                                                      "enumerate native output formats"));
  const audio::SupportedOutputRange* best = nullptr;
  std::tuple<bool, bool, int> best_key;
  for (const auto& r : ranges) {
    if (r.min_sample_rate > kZeDidiSampleRate || r.max_sample_rate < kZeDidiSampleRate) continue;
    if (!playable(r.format)) continue;
    std::tuple<bool, bool, int> key{r.format != defaults.format,
                                    r.channels != defaults.channels,
                                    std::abs(static_cast<int>(r.channels) - 2)};
    if (!best || key < best_key) {
      best = &r;
      best_key = key;
    }
  }
  if (!best) {
    return fail(Error::msg(fmt::format(
        "native output does not support the required ZeDidi sample rate {} Hz", kZeDidiSampleRate)));
  }
  return audio::fix_range_at(*best, kZeDidiSampleRate);
}

template <class S>
audio::DataCallback<S> data_callback(std::shared_ptr<RenderState> state) {
  return [state = std::move(state)](std::span<S> buffer, const audio::OutputTimestamp& ts) {
    render_callback(*state, buffer, ts);
  };
}

audio::ErrorCallback output_error_callback(EventSink events) {
  return [events = std::move(events)](const std::string& message) {
    events(audio_output_failed_event(message));
  };
}

}  // namespace

Result<NativeOutput> open_native_audio_output(audio::AudioHost& host,
                                              std::optional<std::string> requested_device,
                                              const SessionShared& shared) {
  const EventSink& events = shared.events;
  std::shared_ptr<audio::AudioDevice> device;
  if (requested_device) {
    SV_ASSIGN_OR_RETURN(device, find_requested(host, *requested_device));
    if (!device) {
      events(audio_output_fallback_event(*requested_device));
    }
  }
  if (!device) device = host.default_output_device();
  if (!device) return fail(Error::msg("no native audio output device"));

  SV_ASSIGN_OR_RETURN(const audio::StreamConfig config, choose_config(*device));

  auto name = device->name();
  const std::string device_name = name ? *name : kDefaultDeviceName;
  auto id = device->id();
  const std::string device_id = id ? host.name() + ":" + *id : device_name;
  events(audio_output_ready_event({.requested_device = requested_device,
                                   .device_name = device_name,
                                   .device_id = device_id,
                                   .sample_rate = config.sample_rate,
                                   .channels = config.channels,
                                   .sample_format = audio::sample_format_text(config.format)}));

  auto queue = PcmQueue::create();
  auto state = std::make_shared<RenderState>(RenderState{
      .session = shared,
      .queue = queue,
      .channels = config.channels,
      .output_sample_rate = kZeDidiSampleRate,
  });
  auto on_error = output_error_callback(events);

  Result<std::unique_ptr<audio::OutputStream>> built = fail(Error::msg("unreachable"));
  switch (config.format) {
    case audio::SampleFormat::kI16:
      built = device->build_output_stream_i16(config, data_callback<std::int16_t>(std::move(state)),
                                              std::move(on_error));
      break;
    case audio::SampleFormat::kU16:
      built = device->build_output_stream_u16(
          config, data_callback<std::uint16_t>(std::move(state)), std::move(on_error));
      break;
    default:
      built = device->build_output_stream_f32(config, data_callback<float>(std::move(state)),
                                              std::move(on_error));
      break;
  }
  SV_ASSIGN_OR_RETURN(std::unique_ptr<audio::OutputStream> stream,
                      with_context(std::move(built), "open native audio output"));
  if (auto started = with_context(stream->play(), "start native audio output"); !started) {
    stream.reset();
    return fail(std::move(started).error());
  }
  return NativeOutput{nullptr, std::move(queue), std::move(stream)};
}

Result<NativeOutput> open_native_output(const MediaConfig& media,
                                        std::optional<std::string> device,
                                        const SessionShared& shared) {
  SV_ASSIGN_OR_RETURN(NativeOutput output,
                      open_native_audio_output(*media.audio_host, std::move(device), shared));
  output.host = media.audio_host;
  return output;
}

void push_native_frame(NativeOutput& output, ZeDidiLatencyTelemetry& telemetry,
                       std::span<const float> pcm, std::optional<double> pts_us) {
  std::lock_guard lock(output.queue->mutex());
  output.queue->push_samples(pcm, pts_us);
  telemetry.queued_frames.store(output.queue->queued_frames(), std::memory_order_release);
}

}  // namespace sonvale
