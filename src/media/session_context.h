#pragma once

// The records a media session hands from layer to layer: what every session of the receiver
// shares (resolved once at start), which generation a session belongs to, and the parts one
// session's threads share.

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "core/clock.h"
#include "core/event_sink.h"
#include "core/net.h"
#include "media/audio/audio_host.h"
#include "media/clock/latency_telemetry.h"
#include "media/output/output_choice.h"
#include "media/playback_gate.h"
#include "media/clock/presentation_clock.h"
#include "media/format/stream_keys.h"
#include "media/session_token.h"

namespace sonvale {

// What every media session of one receiver uses, resolved once when the receiver starts and
// shared read-only by all sessions and their threads.
struct MediaConfig {
  // Where the decoded audio goes, read from the output device text.
  OutputChoice output = NativeOutputChoice{};
  // The host a native output opens its device on. Never null.
  std::shared_ptr<audio::AudioHost> audio_host;
  // The clock of the session loop's feedback, the reader's arrival instants and each session's
  // presentation clock. Never null.
  std::shared_ptr<const Clock> clock;

  // Reads `output_device` (see choose_output) and puts in the platform's audio host.
  static std::shared_ptr<const MediaConfig> resolve(const std::optional<std::string>& output_device,
                                                    std::shared_ptr<const Clock> clock);
  // The same with a given host and clock (the test executables' fakes).
  static std::shared_ptr<const MediaConfig> resolve(const std::optional<std::string>& output_device,
                                                    std::shared_ptr<audio::AudioHost> audio_host,
                                                    std::shared_ptr<const Clock> clock);
};

// What one media session runs against: the phone's RTSP address, the stream keys (none: the
// phone sends the stream unencrypted), the receiver's media configuration and the session's
// generation.
struct RtspSessionParams {
  Ipv4 rtsp_ip;
  std::uint16_t rtsp_port = 0;
  std::optional<StreamKeys> keys;
  std::shared_ptr<const MediaConfig> media;
  SessionToken token;
};

// The parts that the threads of one media session share: the RTSP session thread, the media
// reader, the render callback and the clock synchronisation thread. Copies share every part.
struct SessionShared {
  PlaybackGate gate;
  std::shared_ptr<std::atomic<std::uint32_t>> receiver_volume;
  std::shared_ptr<ZeDidiPresentationClock> presentation;
  std::shared_ptr<ZeDidiLatencyTelemetry> telemetry;
  // True while the RTSP session runs. The session clears it before it shuts the data connections
  // down at its end, so that the reader does not take that shutdown for the phone's doing.
  std::shared_ptr<std::atomic<bool>> session_alive;
  // Set by the RTSP session at every PLAY.
  std::shared_ptr<std::atomic<bool>> play_received;
  EventSink events;

  // Fresh parts around a source's gate and the receiver's volume; the presentation clock runs on
  // `clock` (the configuration's).
  static SessionShared create(PlaybackGate gate,
                              std::shared_ptr<std::atomic<std::uint32_t>> receiver_volume,
                              std::shared_ptr<const Clock> clock, EventSink events,
                              std::shared_ptr<ZeDidiLatencyTelemetry> telemetry = nullptr);
};

// One media session as its threads see it: what it was launched with and the parts they share.
// The RTSP session builds it once; the media reader and the clock synchronisation take copies,
// which share every part.
struct MediaSessionContext {
  RtspSessionParams params;
  SessionShared shared;
};

}  // namespace sonvale
