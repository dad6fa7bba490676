#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
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

// At most this many RTSP session threads of one receiver are alive at once.
inline constexpr std::size_t kMaxRtspSessions = 4;

// Starts the media sessions of one receiver, each on a detached thread "sonvale-rtsp", with at most
// `max_running` of them alive at once. Every open command retires the sessions before it, which
// end within 1 s whatever they are doing (reading, connecting or writing), so a launch beyond the
// limit does not start a thread of its own: it waits and then runs on the thread of the next
// session to end. Of the launches waiting, only the newest (the highest generation) is kept; the
// others were retired before they began and are dropped without a report. Copies share the
// sessions; any thread may start one.
class RtspSessions {
 public:
  // What a session thread runs for each launch; rtsp_session_main unless given.
  using Body = std::function<void(RtspLaunch)>;

  explicit RtspSessions(std::size_t max_running = kMaxRtspSessions, Body body = {});

  // Returns at once. A failure to start a thread is dropped, as spawn_rtsp_receiver drops it.
  void start(RtspLaunch launch) const;
  // Session threads alive now.
  std::size_t running() const;

 private:
  struct State;
  static void run(const std::shared_ptr<State>& state, RtspLaunch launch);

  std::shared_ptr<State> state_;
};

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

}  // namespace sonvale
