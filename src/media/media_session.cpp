#include "media/media_session.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <chrono>

#include "core/socket_addr.h"
#include "core/thread.h"
#include "media/latency_feedback.h"
#include "media/presentation_clock.h"
#include "media/rtsp_transport.h"
#include "media/wfd_sink.h"

namespace sonvale {
namespace {

constexpr std::chrono::milliseconds kRtspConnectTimeout{5000};
constexpr std::chrono::milliseconds kRtspReadTimeout{50};
constexpr std::chrono::milliseconds kRtspWriteTimeout{3000};

bool is_current(const std::atomic<std::uint64_t>& counter, std::uint64_t generation) {
  return counter.load(std::memory_order_acquire) == generation;
}

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
Result<> run_session_loop(int fd, const WfdSinkContext& ctx, WfdSinkState& state) {
  RtspReader reader(ctx.generation, *ctx.media_generation);
  LatencyFeedback feedback(std::chrono::steady_clock::now());
  if (!is_current(*ctx.media_generation, ctx.generation)) return {};
  for (;;) {
    const auto now = std::chrono::steady_clock::now();
    SV_TRY(feedback.step(fd, now, state.session_id, *ctx.telemetry, ctx.events));
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
    if (!is_current(*ctx.media_generation, ctx.generation)) return {};
  }
}

}  // namespace

bool emit_normal_channel_close(const EventSink& events, const Error& failure,
                               std::uint64_t generation) {
  const RemoteChannelClosed* closed = failure.remote_closed_details();
  if (closed == nullptr) return false;
  events(Json{{"event", "media_channel_closed"},
              {"bytes_expected", closed->bytes_expected},
              {"bytes_read", closed->bytes_read},
              {"channel", closed->channel},
              {"media_generation", generation},
              {"outcome", "normal"},
              {"protocol", "xiaomi_zedidi"}});
  return true;
}

Result<> run_rtsp_receiver(Ipv4 rtsp_ip, std::uint16_t rtsp_port, std::optional<StreamKeys> keys,
                           std::optional<std::string> output_device, PlaybackGate gate,
                           std::shared_ptr<std::atomic<std::uint32_t>> receiver_volume,
                           std::uint64_t generation,
                           std::shared_ptr<std::atomic<std::uint64_t>> media_generation,
                           EventSink events, std::shared_ptr<ZeDidiLatencyTelemetry> telemetry) {
  const SocketAddrV4 source{rtsp_ip, rtsp_port};
  auto connected = tcp_connect_timeout(SocketAddr(source), kRtspConnectTimeout);
  if (!connected) {
    return fail(std::move(connected).error().context("connect RTSP source " + source.to_string()));
  }
  Fd conn = std::move(*connected);
  const int one = 1;
  (void)::setsockopt(conn.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  (void)set_recv_timeout(conn.get(), kRtspReadTimeout);
  (void)set_send_timeout(conn.get(), kRtspWriteTimeout);
  events(Json{{"event", "status"},
              {"message", "已连接小米妙播 RTSP 源 " + source.to_string()},
              {"state", "media_connecting"}});

  WfdSinkContext ctx{
      .source_ip = rtsp_ip,
      .rtsp_port = rtsp_port,
      .keys = std::move(keys),
      .output_device = std::move(output_device),
      .gate = std::move(gate),
      .receiver_volume = std::move(receiver_volume),
      .generation = generation,
      .media_generation = std::move(media_generation),
      .events = std::move(events),
      .clock = ZeDidiPresentationClock::create(),
      .telemetry = telemetry ? std::move(telemetry) : ZeDidiLatencyTelemetry::create(),
      .session_alive = std::make_shared<std::atomic<bool>>(true),
      .play_received = std::make_shared<std::atomic<bool>>(false),
  };
  WfdSinkState state = WfdSinkState::create(rtsp_ip);
  Result<> result;
  {
    SessionEnd end{ctx.session_alive, state};
    result = run_session_loop(conn.get(), ctx, state);
  }
  return result;
}

void rtsp_session_main(Ipv4 rtsp_ip, std::uint16_t rtsp_port, std::optional<StreamKeys> keys,
                       std::optional<std::string> output_device, PlaybackGate gate,
                       std::shared_ptr<std::atomic<std::uint32_t>> receiver_volume,
                       std::uint64_t generation,
                       std::shared_ptr<std::atomic<std::uint64_t>> media_generation,
                       EventSink events, std::shared_ptr<ZeDidiLatencyTelemetry> telemetry) {
  const auto counter = media_generation;
  const EventSink sink = events;
  Result<> result =
      run_rtsp_receiver(rtsp_ip, rtsp_port, std::move(keys), std::move(output_device),
                        std::move(gate), std::move(receiver_volume), generation,
                        std::move(media_generation), std::move(events), std::move(telemetry));
  if (result) return;
  if (!is_current(*counter, generation)) {
    sink(Json{{"event", "media_session_replaced"},
              {"media_generation", generation},
              {"protocol", "xiaomi_zedidi"}});
    return;
  }
  if (emit_normal_channel_close(sink, result.error(), generation)) return;
  sink(Json{{"event", "error"},
            {"code", "sonvale_rtsp_failed"},
            {"media_generation", generation},
            {"message", "小米妙播媒体通道失败：" + result.error().to_string()}});
  sink(Json{{"event", "playback_state"},
            {"playing", false},
            {"raw_state", 4},
            {"session_active", false}});
}

void spawn_rtsp_receiver(Ipv4 rtsp_ip, std::uint16_t rtsp_port, std::optional<StreamKeys> keys,
                         std::optional<std::string> output_device, PlaybackGate gate,
                         std::shared_ptr<std::atomic<std::uint32_t>> receiver_volume,
                         std::uint64_t generation,
                         std::shared_ptr<std::atomic<std::uint64_t>> media_generation,
                         EventSink events) {
  auto thread = spawn_named(
      "sonvale-rtsp",
      [rtsp_ip, rtsp_port, keys = std::move(keys), output_device = std::move(output_device),
       gate = std::move(gate), receiver_volume = std::move(receiver_volume), generation,
       media_generation = std::move(media_generation), events = std::move(events)]() mutable {
        rtsp_session_main(rtsp_ip, rtsp_port, std::move(keys), std::move(output_device),
                          std::move(gate), std::move(receiver_volume), generation,
                          std::move(media_generation), std::move(events));
      });
  if (thread) thread->detach();
}

}  // namespace sonvale
