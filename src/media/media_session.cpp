#include "media/media_session.h"

#include <chrono>
#include <mutex>
#include <optional>
#include <utility>

#include "core/socket_addr.h"
#include "core/thread.h"
#include "media/rtsp/latency_feedback.h"
#include "media/clock/presentation_clock.h"
#include "media/media_error.h"
#include "media/media_events.h"
#include "media/rtsp/rtsp_transport.h"
#include "media/rtsp/wfd_sink.h"
#include "media/stream/data_threads.h"

namespace sonvale {
namespace {

constexpr std::chrono::milliseconds kRtspConnectTimeout{5000};
constexpr std::chrono::milliseconds kRtspReadTimeout{50};

// Ends a session's shared state on every exit path once the connection is up: the clock thread
// sees `session_alive` false, then the data connections are shut down, which wakes and ends the
// image drain and the media reader.
struct SessionEnd {
  std::shared_ptr<std::atomic<bool>>& session_alive;
  WfdSinkState& state;
  ~SessionEnd() {
    session_alive->store(false, std::memory_order_release);
    shutdown_data_connections(state);
  }
};

// The loop of one connected session.
Result<> run_session_loop(int fd, const MediaSessionContext& ctx, WfdSinkState& state) {
  const SessionToken& token = ctx.params.token;
  RtspReader reader(token.generation(), token.counter());
  const Clock& clock = *ctx.params.media->clock;
  LatencyFeedback feedback(clock.now());
  if (!token.current()) return {};
  for (;;) {
    const auto now = clock.now();
    SV_TRY(
        feedback.step(fd, token, now, state.session_id, *ctx.shared.telemetry, ctx.shared.events));
    SV_ASSIGN_OR_RETURN(std::optional<RtspMessage> message, reader.next_message(fd));
    if (message) {
      const std::string cseq = rtsp_cseq(*message);
      if (is_rtsp_response(message->start_line)) {
        SV_TRY(wfd_handle_response(fd, ctx, state, *message, cseq));
      } else {
        SV_ASSIGN_OR_RETURN(
            const WfdRequestOutcome outcome,
            wfd_handle_request(fd, ctx, state, *message, cseq, rtsp_method(message->start_line)));
        if (outcome == WfdRequestOutcome::kEndSession) return {};
      }
    }
    if (!token.current()) return {};
  }
}

}  // namespace

Result<> run_rtsp_receiver(RtspLaunch launch, std::shared_ptr<ZeDidiLatencyTelemetry> telemetry) {
  const SocketAddrV4 source{launch.params.rtsp_ip, launch.params.rtsp_port};
  // A replaced session gives up a connect its source has not answered within 50 ms, so Opens
  // against a silent address cannot pile up connecting threads.
  const SessionToken token = launch.params.token;
  SV_ASSIGN_OR_RETURN(Fd conn, with_context(tcp_connect_timeout(SocketAddr(source),
                                                                kRtspConnectTimeout,
                                                                [&token] { return !token.current(); }),
                                            [&] { return "connect RTSP source " + source.to_string(); }));
  set_tcp_nodelay(conn.get());
  (void)set_recv_timeout(conn.get(), kRtspReadTimeout);
  // Writes keep their own time limit (write_rtsp), which a retired session cuts short.
  launch.events(media_connecting_event(source.to_string()));

  std::shared_ptr<const Clock> clock = launch.params.media->clock;
  MediaSessionContext ctx{
      .params = std::move(launch.params),
      .shared = SessionShared::create(std::move(launch.gate), std::move(launch.receiver_volume),
                                      std::move(clock), std::move(launch.events),
                                      std::move(telemetry)),
  };
  WfdSinkState state = WfdSinkState::create(ctx.params.rtsp_ip);
  Result<> result;
  {
    SessionEnd end{ctx.shared.session_alive, state};
    result = run_session_loop(conn.get(), ctx, state);
  }
  return result;
}

void rtsp_session_main(RtspLaunch launch, std::shared_ptr<ZeDidiLatencyTelemetry> telemetry) {
  const SessionToken token = launch.params.token;
  const EventSink sink = launch.events;
  const std::uint64_t generation = token.generation();
  Result<> result = run_rtsp_receiver(std::move(launch), std::move(telemetry));
  if (result) return;
  if (!token.current()) {
    sink(media_session_replaced_event(generation));
    return;
  }
  if (emit_normal_channel_close(sink, result.error(), generation)) return;
  sink(rtsp_failed_event(generation, result.error()));
  sink(playback_state_event(4, false));
}

struct RtspSessions::State {
  State(std::size_t max, Body b) : max_running(max), body(std::move(b)) {}

  const std::size_t max_running;
  const Body body;
  mutable std::mutex mu;
  std::size_t running = 0;            // guarded by mu
  std::optional<RtspLaunch> waiting;  // guarded by mu; only while running == max_running
};

RtspSessions::RtspSessions(std::size_t max_running, Body body)
    : state_(std::make_shared<State>(
          max_running, body ? std::move(body)
                            : [](RtspLaunch launch) { rtsp_session_main(std::move(launch)); })) {}

void RtspSessions::start(RtspLaunch launch) const {
  {
    std::lock_guard lock(state_->mu);
    if (state_->running >= state_->max_running) {
      const auto& waiting = state_->waiting;
      if (!waiting || waiting->params.token.generation() < launch.params.token.generation()) {
        state_->waiting = std::move(launch);
      }
      return;
    }
    ++state_->running;
  }
  auto thread = spawn_named("sonvale-rtsp", [state = state_, launch = std::move(launch)]() mutable {
    run(state, std::move(launch));
  });
  if (thread) {
    thread->detach();
    return;
  }
  std::lock_guard lock(state_->mu);
  --state_->running;
}

void RtspSessions::run(const std::shared_ptr<State>& state, RtspLaunch launch) {
  std::optional<RtspLaunch> next = std::move(launch);
  while (next) {
    try {
      state->body(std::move(*next));
    } catch (...) {  // the slot must be given back whatever the session did
    }
    std::lock_guard lock(state->mu);
    next = std::exchange(state->waiting, std::nullopt);
    if (!next) --state->running;
  }
}

std::size_t RtspSessions::running() const {
  std::lock_guard lock(state_->mu);
  return state_->running;
}

void spawn_rtsp_receiver(RtspLaunch launch) {
  auto thread = spawn_named("sonvale-rtsp", [launch = std::move(launch)]() mutable {
    rtsp_session_main(std::move(launch));
  });
  if (thread) thread->detach();
}

}  // namespace sonvale
