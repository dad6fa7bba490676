#include "media/output/render_callback.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <mutex>
#include <optional>
#include <string>

#include <fmt/format.h>

#include "core/numeric.h"
#include "media/media_events.h"

namespace sonvale {
namespace {

constexpr double kGroupTargetDelayMs = 800.0;
constexpr double kMinTargetMs = 650.0;
constexpr double kQueueRate = 48000.0;
constexpr double kLatencyCapMs = 250.0;
constexpr std::uint32_t kLatencyInterval = 64;
constexpr double kMaxSenderError = 1500000.0;
constexpr double kMaxCorrection = 0.0025;
constexpr double kWindowDeadband = 96.0;

template <class S>
struct Sample;
template <>
struct Sample<float> {
  static constexpr float kSilence = 0.0f;
  static float from(float x) { return x; }
};
template <>
struct Sample<std::int16_t> {
  static constexpr std::int16_t kSilence = 0;
  static std::int16_t from(float x) { return f32_to_i16(x); }
};
template <>
struct Sample<std::uint16_t> {
  static constexpr std::uint16_t kSilence = 0x8000;
  static std::uint16_t from(float x) { return f32_to_u16(x); }
};

template <class S>
void fill_silence(std::span<S> buffer) {
  std::fill(buffer.begin(), buffer.end(), Sample<S>::kSilence);
}

// Sets a one-shot flag; true only the first time.
bool first_time(bool& reported) { return !std::exchange(reported, true); }

void update_output_latency(RenderState& st, std::size_t frames,
                           const audio::OutputTimestamp& ts) {
  if (st.latency_known && st.latency_countdown > 0) {
    --st.latency_countdown;
  } else {
    double sample_ms = 0.0;
    const auto diff = ts.playback - ts.callback;
    if (diff.count() >= 0) {
      sample_ms = std::chrono::duration<double>(diff).count() * 1000.0;
    }
    if (diff.count() < 0 || !std::isfinite(sample_ms)) {
      sample_ms = static_cast<double>(frames) * 1000.0 /
                  static_cast<double>(std::max<std::uint32_t>(st.output_sample_rate, 1));
    }
    sample_ms = std::min(sample_ms, kLatencyCapMs);
    st.output_latency_ms =
        st.latency_known ? 0.2 * sample_ms + 0.8 * st.output_latency_ms : sample_ms;
    st.latency_known = true;
    st.latency_countdown = kLatencyInterval;
  }
  const double us = std::isfinite(st.output_latency_ms)
                        ? std::max(st.output_latency_ms, 0.0) * 1000.0
                        : 0.0;
  st.session.telemetry->output_latency_us.store(round_to_u64(us), std::memory_order_release);
}

struct Pacing {
  std::uint64_t lead = 0;
  double step = 1.0;
};

// Sender-clock pacing when every condition holds; nullopt to fall back to buffer-window pacing.
// `silent` is set when the head is due after this whole buffer.
std::optional<Pacing> sender_clock_pacing(RenderState& st, PcmQueue& q, std::size_t frames,
                                          bool& silent) {
  if (!st.session.presentation->is_synchronized()) return std::nullopt;
  const auto offset = st.session.presentation->time_offset();
  if (!offset) return std::nullopt;
  const auto head = q.head_pts_us();
  if (!head) return std::nullopt;
  const auto server_now = st.session.presentation->synchronized_server_now_micros();
  if (!server_now) return std::nullopt;
  const double presentation = *head + static_cast<double>(*offset);
  const double playout = static_cast<double>(*server_now) + st.output_latency_ms * 1000.0;
  double error = presentation - playout;
  if (!(std::abs(error) <= kMaxSenderError)) return std::nullopt;

  const double late_threshold = st.clock_locked ? -25000.0 : -2000.0;
  if (error < late_threshold) {
    const double late_frames = std::floor(error * -kQueueRate / 1000000.0);
    const std::uint64_t dropped = q.drop_frames(static_cast<std::uint64_t>(late_frames));
    error += static_cast<double>(dropped) * 1000000.0 / kQueueRate;
  }
  Pacing p;
  if (error > 0.0) {
    p.lead = static_cast<std::uint64_t>(
        std::ceil(error * static_cast<double>(st.output_sample_rate) / 1000000.0));
    if (p.lead >= frames) {
      silent = true;
      return p;
    }
  }
  st.clock_locked = true;
  // The phone's audio runs at its timer clock's rate: read at that rate against ours, so that
  // the correction only takes up the remaining error instead of holding an error proportional
  // to the drift. The correction acts on every error, however small: a dead band would leave
  // playout wherever the drift before the clock's rate was known had pushed it.
  const double sender_rate = 1.0 + static_cast<double>(st.session.presentation->frequency_ppb()) / 1e9;
  const double c = std::clamp(error / -12000000.0, -kMaxCorrection, kMaxCorrection);
  p.step = st.base_step * sender_rate * (1.0 + c);
  return p;
}

template <class S>
void render(RenderState& st, std::span<S> buffer, const audio::OutputTimestamp& ts) {
  const std::size_t stride = std::max<std::size_t>(st.channels, 1);
  const std::size_t frames = buffer.size() / stride;

  update_output_latency(st, frames, ts);

  if (first_time(st.callback_reported)) {
    st.session.events(audio_output_callback_started_event(frames, st.channels));
  }

  if (st.session.gate.blocked()) {
    st.clock_locked = false;
    std::unique_lock lock(st.queue->mutex(), std::try_to_lock);
    if (lock.owns_lock()) st.queue->clear();
    st.session.telemetry->queued_frames.store(0, std::memory_order_release);
    fill_silence(buffer);
    return;
  }

  // Events decided under the queue's lock are sent only after it has been released, so that a
  // slow event sink never holds up the media reader's push.
  std::optional<Json> sync_event;
  std::optional<Json> signal_event;
  {
    std::unique_lock lock(st.queue->mutex(), std::try_to_lock);
    if (!lock.owns_lock()) {
      fill_silence(buffer);
      return;
    }
    PcmQueue& q = *st.queue;
    const std::uint64_t queued = q.queued_frames();
    st.session.telemetry->queued_frames.store(queued, std::memory_order_release);
    const std::uint64_t target = target_frames_for_latency(st.output_latency_ms);

    bool silent = false;
    std::optional<Pacing> pacing = sender_clock_pacing(st, q, frames, silent);
    const char* mode = "sender_clock";
    if (silent) {
      fill_silence(buffer);
      return;
    }
    if (!pacing) {
      mode = "buffer_window";
      st.clock_locked = false;
      if (!q.started()) {
        if (queued < target) {
          fill_silence(buffer);
          return;
        }
        q.set_started(true);
      }
      Pacing p;
      p.step = st.base_step;
      const double over = static_cast<double>(queued) - static_cast<double>(target);
      if (std::abs(over) > kWindowDeadband) {
        const double c = std::clamp(over / 576000.0, -kMaxCorrection, kMaxCorrection);
        p.step = st.base_step * (1.0 + c);
      }
      pacing = p;
    }

    if (first_time(st.sync_reported)) {
      sync_event = audio_synchronization_started_event(
          {.queue_delay_ms = static_cast<double>(target) * 1000.0 / kQueueRate,
           .output_latency_ms = st.output_latency_ms,
           .output_callback_frames = frames,
           .output_sample_rate = st.output_sample_rate,
           .synchronization_mode = mode});
    }

    const std::uint32_t volume = st.session.receiver_volume->load(std::memory_order_acquire);
    const float v = static_cast<float>(std::min<std::uint32_t>(volume, 100)) / 100.0f;
    const std::size_t lead = static_cast<std::size_t>(std::min<std::uint64_t>(pacing->lead, frames));
    float peak = 0.0f;
    std::size_t i = 0;
    for (; i < lead * stride; ++i) buffer[i] = Sample<S>::kSilence;
    for (std::size_t f = lead; f < frames; ++f) {
      const auto [left, right] = q.render_stereo(pacing->step);
      const float l = v * left, r = v * right;
      peak = std::max({peak, std::abs(l), std::abs(r)});
      if (stride == 1) {
        buffer[i++] = Sample<S>::from((l + r) * 0.5f);
        continue;
      }
      buffer[i++] = Sample<S>::from(l);
      buffer[i++] = Sample<S>::from(r);
      for (std::size_t c = 2; c < stride; ++c) buffer[i++] = Sample<S>::from(0.0f);
    }
    if (i < buffer.size()) {
      // A trailing partial frame takes the first values of one more rendered frame.
      const auto [left, right] = q.render_stereo(pacing->step);
      const float l = v * left, r = v * right;
      peak = std::max({peak, std::abs(l), std::abs(r)});
      const float values[2] = {l, r};
      for (std::size_t c = 0; i < buffer.size(); ++c) {
        buffer[i++] = Sample<S>::from(c < 2 ? values[c] : 0.0f);
      }
    }
    st.session.telemetry->queued_frames.store(q.queued_frames(), std::memory_order_release);
    if (peak > 0.00001f && first_time(st.signal_reported)) {
      signal_event = audio_output_signal_started_event(peak);
    }
  }
  if (sync_event) st.session.events(std::move(*sync_event));
  if (signal_event) st.session.events(std::move(*signal_event));
}

}  // namespace

std::uint64_t target_frames_for_latency(double output_latency_ms) {
  const double target_ms = std::max(kGroupTargetDelayMs - output_latency_ms, kMinTargetMs);
  return round_to_u64(target_ms * kQueueRate / 1000.0);
}

std::int16_t f32_to_i16(float x) {
  const float scaled = x * 32768.0f;
  if (!(scaled == scaled)) return 0;
  if (scaled >= 32767.0f) return 32767;
  if (scaled <= -32768.0f) return -32768;
  return static_cast<std::int16_t>(scaled);  // truncates toward zero
}

std::uint16_t f32_to_u16(float x) {
  return static_cast<std::uint16_t>(static_cast<std::uint16_t>(f32_to_i16(x)) ^ 0x8000u);
}

void render_callback(RenderState& state, std::span<float> buffer,
                     const audio::OutputTimestamp& timestamp) {
  render(state, buffer, timestamp);
}
void render_callback(RenderState& state, std::span<std::int16_t> buffer,
                     const audio::OutputTimestamp& timestamp) {
  render(state, buffer, timestamp);
}
void render_callback(RenderState& state, std::span<std::uint16_t> buffer,
                     const audio::OutputTimestamp& timestamp) {
  render(state, buffer, timestamp);
}

}  // namespace sonvale
