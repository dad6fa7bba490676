#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/error.h"
#include "core/event_sink.h"
#include "core/net.h"
#include "media/clock/latency_telemetry.h"
#include "media/playback_gate.h"
#include "media/clock/presentation_clock.h"
#include "media/rtsp/rtsp_message.h"
#include "media/rtsp_launch.h"
#include "media/session_context.h"
#include "media/format/stream_keys.h"

namespace sonvale {

// The receiver's side, as Wi-Fi Display sink, of the RTSP conversation with the phone: what it
// answers to each request, the requests of its own (OPTIONS, SETUP, PLAY), when it opens the
// image and audio data connections and starts their threads and the clock thread.

// The fixed texts of the exchange.
std::string wfd_options_reply(std::string_view cseq);
std::string wfd_options_reply_with_ack(std::string_view cseq, std::string_view auth_ack);
// The receiver's own OPTIONS; `nonce_hex` adds the "authMsg:" line.
std::string wfd_receiver_options(const std::optional<std::string>& nonce_hex);
std::string wfd_setup_request(std::string_view presentation_url, std::uint16_t image_port,
                              std::uint16_t audio_port);
std::string wfd_play_request(std::string_view presentation_url, std::string_view session_id);
// The 400-byte answer to the audio capability query.
const std::string& wfd_capability_body();
// HMAC-SHA256 of `auth_msg` keyed with `auth_key`, lowercase hex.
std::string wfd_auth_ack(const std::array<std::uint8_t, 16>& auth_key, std::string_view auth_msg);
// The timer server a "wfd_timer_server_port" value names: "<address>:<port>", where an address
// that is not a non-zero 32-bit decimal means the RTSP source itself. nullopt when the value
// names no port.
std::optional<SocketAddrV4> wfd_timer_server(std::string_view value, Ipv4 source);

// The exchange's progress, owned by the session thread.
struct WfdSinkState {
  std::string presentation_url;
  std::string session_id;
  std::string nonce_hex;
  std::optional<std::pair<std::uint16_t, std::uint16_t>> data_ports;  // (image, audio)
  bool options_sent = false;
  bool timer_sync_started = false;
  // Second descriptors of the data connections, kept only to shut them down when the session
  // ends; the data threads own and read the first ones.
  std::vector<Fd> data_shutdown_handles;

  static WfdSinkState create(Ipv4 source_ip);
};

enum class WfdRequestOutcome { kContinue, kEndSession };

// A response of the phone (start line "RTSP/..."), matched by its CSeq.
[[nodiscard]] Result<> wfd_handle_response(int fd, const MediaSessionContext& ctx, WfdSinkState& state,
                                           const RtspMessage& message, std::string_view cseq);
// A request of the phone with its upper-cased method.
[[nodiscard]] Result<WfdRequestOutcome> wfd_handle_request(int fd, const MediaSessionContext& ctx,
                                                           WfdSinkState& state,
                                                           const RtspMessage& message,
                                                           std::string_view cseq,
                                                           std::string_view method);

// Shuts down both data connections of the session (waking their threads) and drops the handles.
void shutdown_data_connections(WfdSinkState& state);

}  // namespace sonvale
