#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "core/error.h"
#include "core/event_sink.h"
#include "core/net.h"
#include "media/clock/latency_telemetry.h"
#include "media/rtsp_launch.h"

namespace sonvale {

// Starts the detached media session thread "sonvale-rtsp" towards the phone's RTSP address. The
// session ends by itself once its token is no longer current. Returns at once; a failure to
// start the thread is dropped.
void spawn_rtsp_receiver(RtspLaunch launch);

// The session thread's body: runs the session and reports how it ended ("media_session_replaced",
// "media_channel_closed", or "error" "sonvale_rtsp_failed" followed by "playback_state" 4).
// `telemetry` is the session's latency telemetry record; a new one is made when it is null (tests
// pass their own to feed it).
void rtsp_session_main(RtspLaunch launch, std::shared_ptr<ZeDidiLatencyTelemetry> telemetry = nullptr);

// The RTSP session itself: connects to the phone, answers its requests as the Wi-Fi Display sink,
// starts the data and clock threads and sends the latency feedback. Success when the generation
// moved on or the phone tore the session down; otherwise the failure that ended it (a
// RemoteChannelClosed when the phone closed the connection). On every exit after the connection
// was made, the session's data connections are shut down.
[[nodiscard]] Result<> run_rtsp_receiver(
    RtspLaunch launch, std::shared_ptr<ZeDidiLatencyTelemetry> telemetry = nullptr);

// When `failure` is (beneath any context) a RemoteChannelClosed, emits "media_channel_closed"
// with its details and `generation` and returns true; otherwise emits nothing and returns false.
bool emit_normal_channel_close(const EventSink& events, const Error& failure,
                               std::uint64_t generation);

}  // namespace sonvale
