#include "media/rtsp/wfd_sink.h"

#include <chrono>

#include "core/crypto.h"
#include "core/encoding.h"
#include "core/socket_addr.h"
#include "core/text.h"
#include "media/clock/clock_sync.h"
#include "media/stream/data_threads.h"
#include "media/media_events.h"
#include "media/rtsp/rtsp_transport.h"

namespace sonvale {
namespace {

constexpr std::chrono::milliseconds kDataConnectTimeout{5000};
constexpr std::string_view kPublicLine = "Public: org.wfa.wfd1.0, GET_PARAMETER, SET_PARAMETER\r\n";

std::string options_reply_head(std::string_view cseq) {
  std::string out = "RTSP/1.0 200 OK\r\n";
  out += kRtspUserAgent;
  out += "\r\nCSeq: ";
  out += cseq;
  out += "\r\n";
  out += kPublicLine;
  return out;
}

void apply_time_offset(const MediaSessionContext& ctx, std::int64_t offset_us) {
  ctx.shared.presentation->set_time_offset(offset_us);
  ctx.shared.events(
      presentation_clock_updated_event(offset_us, ctx.shared.presentation->is_synchronized()));
}

Result<std::uint16_t> local_port(int fd) {
  SV_ASSIGN_OR_RETURN(const SocketAddrV4 addr, local_address(fd));
  return addr.port;
}

// Opens the image and audio connections, starts their threads and keeps shutdown handles.
Result<std::pair<std::uint16_t, std::uint16_t>> open_data_connections(const MediaSessionContext& ctx,
                                                                      WfdSinkState& state) {
  const SocketAddr target(SocketAddrV4{ctx.params.rtsp_ip, ctx.params.rtsp_port});
  // A retired session gives up a connect that its source has not answered within 50 ms.
  const auto retired = [&token = ctx.params.token] { return !token.current(); };
  SV_ASSIGN_OR_RETURN(Fd image,
                      with_context(tcp_connect_timeout(target, kDataConnectTimeout, retired),
                                   "connect ZeDidi image data socket"));
  SV_ASSIGN_OR_RETURN(Fd audio,
                      with_context(tcp_connect_timeout(target, kDataConnectTimeout, retired),
                                   "connect ZeDidi audio data socket"));
  SV_ASSIGN_OR_RETURN(const std::uint16_t image_port, local_port(image.get()));
  SV_ASSIGN_OR_RETURN(const std::uint16_t audio_port, local_port(audio.get()));
  SV_ASSIGN_OR_RETURN(Fd image_handle, image.duplicate());
  SV_ASSIGN_OR_RETURN(Fd audio_handle, audio.duplicate());
  state.data_shutdown_handles.push_back(std::move(image_handle));
  state.data_shutdown_handles.push_back(std::move(audio_handle));

  spawn_image_drain(std::move(image));
  spawn_media_reader(MediaReaderInputs{.audio = std::move(audio), .session = ctx});
  return std::pair{image_port, audio_port};
}

void look_for_timer_server(const MediaSessionContext& ctx, WfdSinkState& state,
                           const RtspMessage& message) {
  std::optional<std::string> value;
  if (const std::string* header = message.header("wfd_timer_server_port")) {
    value = *header;
  } else {
    value = parameter_value(message.body_text(), "wfd_timer_server_port");
  }
  if (!value) return;
  const auto server = wfd_timer_server(*value, ctx.params.rtsp_ip);
  if (!server) return;
  spawn_timer_synchronizer(
      TimerSyncInputs{.server = *server, .shared = ctx.shared, .token = ctx.params.token});
  state.timer_sync_started = true;
}

Result<> handle_options(int fd, const MediaSessionContext& ctx, WfdSinkState& state,
                        const RtspMessage& message, std::string_view cseq) {
  std::string reply;
  if (ctx.params.keys) {
    const std::string* auth_msg = message.header("authmsg");
    reply = wfd_options_reply_with_ack(
        cseq, auth_msg ? wfd_auth_ack(ctx.params.keys->auth_key, *auth_msg) : std::string());
  } else {
    reply = wfd_options_reply(cseq);
  }
  SV_TRY(write_rtsp(fd, reply, ctx.params.token));
  if (!state.options_sent) {
    const auto nonce =
        ctx.params.keys ? std::optional<std::string>(state.nonce_hex) : std::nullopt;
    SV_TRY(write_rtsp(fd, wfd_receiver_options(nonce), ctx.params.token));
    state.options_sent = true;
  }
  return {};
}

Result<> handle_get_parameter(int fd, const MediaSessionContext& ctx, WfdSinkState& state,
                              const RtspMessage& message, std::string_view cseq) {
  if (message.body_text().find("wfd_audio_codecs_v2") == std::string::npos) {
    return send_rtsp_response(fd, ctx.params.token, cseq, "");
  }
  std::optional<std::pair<std::uint16_t, std::uint16_t>> ports = state.data_ports;
  if (!ports) {
    SV_ASSIGN_OR_RETURN(ports, open_data_connections(ctx, state));
  }
  SV_TRY(send_rtsp_response(fd, ctx.params.token, cseq, wfd_capability_body()));
  state.data_ports = ports;
  return {};
}

Result<> handle_set_parameter(int fd, const MediaSessionContext& ctx, WfdSinkState& state,
                              const RtspMessage& message, std::string_view cseq) {
  const std::string body = message.body_text();
  if (const auto value = parameter_value(body, "wfd_timeoffset")) {
    if (const auto offset = parse_signed_decimal(*value)) apply_time_offset(ctx, *offset);
  }
  if (const auto rest = presentation_url_line(body)) {
    if (const auto url = first_token(*rest)) state.presentation_url = std::string(*url);
  }
  SV_TRY(send_rtsp_response(fd, ctx.params.token, cseq, ""));
  if (body.find("wfd_trigger_method: SETUP") != std::string::npos) {
    if (!state.data_ports) {
      return fail(Error::msg("ZeDidi requested SETUP before data sockets were negotiated"));
    }
    SV_TRY(write_rtsp(fd,
                      wfd_setup_request(state.presentation_url, state.data_ports->first,
                                        state.data_ports->second),
                      ctx.params.token));
  }
  return {};
}

}  // namespace

std::string wfd_options_reply(std::string_view cseq) { return options_reply_head(cseq) + "\r\n"; }

std::string wfd_options_reply_with_ack(std::string_view cseq, std::string_view auth_ack) {
  std::string out = options_reply_head(cseq);
  out += "authKeyType:2\r\nauthAlgorithmVal:4\r\nauthMsgAck:";
  out += auth_ack;
  out += "\r\n\r\n";
  return out;
}

std::string wfd_receiver_options(const std::optional<std::string>& nonce_hex) {
  std::string lines =
      "Require: org.wfa.wfd1.0\r\nlib_version: audio-display-release2.1 2.1.5071614\r\n";
  if (nonce_hex) lines += "authMsg:" + *nonce_hex + "\r\n";
  return format_rtsp_request("OPTIONS", "*", 1, lines);
}

std::string wfd_setup_request(std::string_view presentation_url, std::uint16_t image_port,
                              std::uint16_t audio_port) {
  return format_rtsp_request("SETUP", presentation_url, 2,
                             "Transport: RTP/AVP/TCP;interleaved=0-1\r\nMultiPort: image_port=" +
                                 std::to_string(image_port) +
                                 ";multi_port=" + std::to_string(audio_port) + "\r\n");
}

std::string wfd_play_request(std::string_view presentation_url, std::string_view session_id) {
  return format_rtsp_request("PLAY", presentation_url, 3,
                             "Session: " + std::string(session_id) + "\r\n");
}

const std::string& wfd_capability_body() {
  static const std::string body =
      "wfd_audio_codecs_v2: 15 3 3\r\n"
      "wfd_video_formats: none\r\n"
      "wfd_video_enctype: none\r\n"
      "wfd_video_gamuttype: none\r\n"
      "wfd_video_bitrate: none\r\n"
      "wfd_current_video_info: none\r\n"
      "wfd_client_rtp_ports: RTP/AVP/TCP;interleaved mode=play\r\n"
      "zedidi_support_image: none\r\n"
      "wfd_standby_resume_capability: supported\r\n"
      "wfd_content_SP_protection: 4 1 256 3 1 1 0 0\r\n"
      "wfd_support_secure_win:enable\r\n"
      "device_info: -1 -1 -1 -1 -1 -1 -1\r\n";
  return body;
}

std::string wfd_auth_ack(const std::array<std::uint8_t, 16>& auth_key, std::string_view auth_msg) {
  return hex_lower(hmac_sha256(auth_key, as_bytes(auth_msg)));
}

std::optional<SocketAddrV4> wfd_timer_server(std::string_view value, Ipv4 source) {
  const std::string_view trimmed = trim_whitespace(value);
  const std::size_t colon = trimmed.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  const auto port = parse_unsigned_decimal(trim_whitespace(trimmed.substr(colon + 1)));
  if (!port || *port > 0xffff) return std::nullopt;
  Ipv4 ip = source;
  const auto host = parse_unsigned_decimal(trim_whitespace(trimmed.substr(0, colon)));
  if (host && *host != 0 && *host <= 0xffffffffu) ip = Ipv4{static_cast<std::uint32_t>(*host)};
  return SocketAddrV4{ip, static_cast<std::uint16_t>(*port)};
}

WfdSinkState WfdSinkState::create(Ipv4 source_ip) {
  WfdSinkState state;
  state.presentation_url = "rtsp://" + source_ip.to_string() + "/wfd1.0/streamid=0";
  state.nonce_hex = hex_lower(random_bytes(16));
  return state;
}

Result<> wfd_handle_response(int fd, const MediaSessionContext& ctx, WfdSinkState& state,
                             const RtspMessage& message, std::string_view cseq) {
  const bool ok = message.start_line.find("200") != std::string::npos;
  if (!ok || cseq.size() != 1) return {};
  if (cseq == "2") {
    if (const std::string* session = message.header("session")) {
      const std::string_view value = *session;
      state.session_id = std::string(trim_whitespace(value.substr(0, value.find(';'))));
    }
    return write_rtsp(fd, wfd_play_request(state.presentation_url, state.session_id),
                      ctx.params.token);
  }
  if (cseq == "3") {
    ctx.shared.gate.set_paused(false);
    ctx.shared.events(stream_started_event());
    ctx.shared.events(playback_state_event(2, true));
  }
  return {};
}

Result<WfdRequestOutcome> wfd_handle_request(int fd, const MediaSessionContext& ctx, WfdSinkState& state,
                                             const RtspMessage& message, std::string_view cseq,
                                             std::string_view method) {
  if (!state.timer_sync_started) look_for_timer_server(ctx, state, message);

  if (method == "OPTIONS") {
    SV_TRY(handle_options(fd, ctx, state, message, cseq));
  } else if (method == "GET_PARAMETER") {
    SV_TRY(handle_get_parameter(fd, ctx, state, message, cseq));
  } else if (method == "SET_PARAMETER") {
    SV_TRY(handle_set_parameter(fd, ctx, state, message, cseq));
  } else if (method == "PLAY") {
    ctx.shared.play_received->store(true, std::memory_order_release);
    ctx.shared.gate.set_paused(false);
    SV_TRY(send_rtsp_response(fd, ctx.params.token, cseq, ""));
    ctx.shared.events(playback_state_event(2, true));
  } else if (method == "PAUSE") {
    ctx.shared.gate.set_paused(true);
    SV_TRY(send_rtsp_response(fd, ctx.params.token, cseq, ""));
    ctx.shared.events(playback_state_event(3, true));
  } else if (method == "TEARDOWN") {
    SV_TRY(send_rtsp_response(fd, ctx.params.token, cseq, ""));
    if (ctx.params.token.current()) {
      ctx.shared.events(stream_stopped_event(ctx.params.token.generation()));
    }
    return WfdRequestOutcome::kEndSession;
  } else if (method == "TIME_OFFSET") {
    if (const std::string* value = message.header("timeoffset")) {
      if (const auto offset = parse_signed_decimal(*value)) apply_time_offset(ctx, *offset);
    }
    SV_TRY(send_rtsp_response(fd, ctx.params.token, cseq, ""));
  } else {
    SV_TRY(send_rtsp_response(fd, ctx.params.token, cseq, ""));
  }
  return WfdRequestOutcome::kContinue;
}

void shutdown_data_connections(WfdSinkState& state) {
  for (const Fd& handle : state.data_shutdown_handles) shutdown_both(handle.get());
  state.data_shutdown_handles.clear();
}

}  // namespace sonvale
