#include "protocol/control_session.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>

#include <fmt/format.h>

#include "core/decimal.h"
#include "core/encoding.h"
#include "core/stream_read.h"
#include "core/thread.h"
#include "protocol/control_commands.h"
#include "protocol/control_events.h"
#include "protocol/control_payloads.h"
#include "protocol/control_writer.h"
#include "protocol/safety_auth.h"

namespace sonvale {
namespace {

namespace cmd = control_command;
using Mode = Outgoing::Mode;

constexpr std::size_t kReadChunk = 64 * 1024;
constexpr std::size_t kUnhandledHexCut = 96;
constexpr std::string_view kCapabilitiesReply =
    "{\n\t\"aesIvType\": \"2\",\n\t\"aesKeyType\": \"1\",\n\t\"authAlgorithmType\": \"4\",\n\t"
    "\"authKeyType\": \"1\",\n\t\"integrityType\": \"1\",\n\t\"result\": \"0\" \n} \n";

std::string auth_payload(std::string_view challenge) {
  return fmt::format("{{\n\t\"authMsg\": \"{}\" \n}} \n", challenge);
}
std::string auth_ack_payload(std::string_view ack) {
  return fmt::format("{{\n\t\"authMsgAck\": \"{}\",\n\t\"result\": \"0\" \n}} \n", ack);
}

Bytes to_bytes(std::string_view s) {
  const ByteSpan b = as_bytes(s);
  return Bytes(b.begin(), b.end());
}

// A message to the phone: `command` in the value-type slot `value_type`, its body framed as `mode`
// (under `wrapper_key` when the mode wraps it).
Outgoing outgoing(std::uint8_t command, Mode mode, std::uint32_t value_type, Bytes body,
                  std::string wrapper_key = {}) {
  Outgoing out;
  out.body = std::move(body);
  out.wrapper_key = std::move(wrapper_key);
  out.value_type = value_type;
  out.mode = mode;
  out.command = command;
  return out;
}

// The answer `command` to `frame`: in the frame's value-type slot, and under the report outer type
// when the frame came under it.
Outgoing answer(const Incoming& frame, std::uint8_t command, Bytes body, Mode mode,
                std::string wrapper_key = {}) {
  Outgoing out = outgoing(command, mode, frame.value_type, std::move(body), std::move(wrapper_key));
  if (frame.outer_type == kOuterReport) out.outer_type = kOuterReport;
  return out;
}

// The phone's acknowledgements of media controls: reported, never answered.
constexpr std::uint8_t kMediaControlAcks[] = {
    cmd::kPauseReportAck,    cmd::kResumeReportAck,   cmd::kMediaControlAck69,
    cmd::kMediaControlAck71, cmd::kMediaControlAck73, cmd::kMediaControlAck75,
    cmd::kMediaControlAck77};

// The body of a frame whose header said `length`, read by `deadline`.
Result<Bytes> read_body(const ReadSomeFn& read, std::size_t length, Clock::time_point deadline) {
  // The buffer grows by at most one chunk ahead of the bytes that have arrived.
  Bytes body;
  while (body.size() < length) {
    const std::size_t have = body.size();
    const std::size_t want = std::min(kReadChunk, length - have);
    body.resize(have + want);
    auto read_chunk = read_exactly(read, std::span(body).subspan(have, want), deadline);
    if (!read_chunk) {
      // Not the peer's own time-out: a body that stops arriving is a fault of the session.
      if (read_chunk.error().io_kind() == IoKind::kTimedOut) {
        return fail(Error::msg(fmt::format("ZeDidi control body did not arrive within {} s",
                                           kControlBodyDeadline.count())));
      }
      return fail(std::move(read_chunk).error());
    }
  }
  return body;
}

}  // namespace

std::optional<std::string> auth_ack_field(const Json& value) {
  if (!value.is_object()) return std::nullopt;
  const auto it = value.find("authMsgAck");
  if (it == value.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

Result<std::string> mirror_key_field(const Json& value, std::string_view name) {
  if (value.is_object()) {
    const auto it = value.find(name);
    if (it != value.end() && it->is_string()) return it->get<std::string>();
  }
  return fail(Error::msg("SetMirrorKey is missing " + std::string(name)));
}

Result<std::pair<Ipv4, std::uint16_t>> parse_wfd_url(std::string_view text) {
  constexpr std::string_view kScheme = "wfd://";
  if (text.size() < kScheme.size() || text.substr(0, kScheme.size()) != kScheme) {
    return fail(Error::msg("Open URL does not start with wfd://"));
  }
  std::string_view rest = text.substr(kScheme.size());
  if (const auto q = rest.find('?'); q != std::string_view::npos) rest = rest.substr(0, q);
  const auto colon = rest.rfind(':');
  if (colon == std::string_view::npos) return fail(Error::msg("Open URL is missing a port"));
  const auto ip = Ipv4::parse(rest.substr(0, colon));
  if (!ip) {
    return fail(Error::msg("invalid IPv4 address syntax").context("parse Open IPv4 address"));
  }
  SV_ASSIGN_OR_RETURN(const std::uint16_t port,
                      with_context(parse_u16_decimal(rest.substr(colon + 1)), "parse Open RTSP port"));
  return std::make_pair(*ip, port);
}

Result<Incoming> read_incoming(const FrameSource& source, ControlCipher& receive_cipher) {
  std::array<std::uint8_t, kFrameHeaderSize> raw{};
  SV_TRY(with_context(read_exactly(source.read, raw), "read ZeDidi control header"));
  SV_ASSIGN_OR_RETURN(const FrameHeader header, parse_frame_header(raw));
  Incoming frame;
  if (header.body_length > kUnbudgetedBodyBytes) {
    frame.body_budget = source.bodies.reserve(header.body_length);
    if (!frame.body_budget) {
      return fail(Error::msg(fmt::format(
          "ZeDidi control body of {} bytes refused: bodies in transit would exceed {} bytes",
          header.body_length, source.bodies.limit())));
    }
  }
  const Clock::time_point deadline = source.clock->now() + kControlBodyDeadline;
  SV_ASSIGN_OR_RETURN(Bytes body, with_context(read_body(source.read, header.body_length, deadline),
                                               "read ZeDidi control body"));
  frame.outer_type = header.outer_type;
  frame.command = header.command;
  frame.value_type = header.value_type;
  frame.wire_length = header.body_length;
  frame.wire_head.assign(body.begin(),
                         body.begin() + static_cast<std::ptrdiff_t>(std::min(body.size(), kTraceCut)));
  SV_ASSIGN_OR_RETURN(DecodedBody decoded,
                      decode_received_body(header.outer_type, std::move(body), receive_cipher));
  frame.body = std::move(decoded.body);
  frame.encrypted = decoded.encrypted;
  return frame;
}

ControlSession::ControlSession(SessionContext context, SocketAddrV4 local, SocketAddrV4 peer,
                               OutgoingSender sender, SequenceCounter sequence,
                               std::string own_challenge)
    : ctx_(std::move(context)),
      local_(local),
      peer_(peer),
      remote_(peer.to_string()),
      sender_(std::move(sender)),
      sequence_(std::move(sequence)),
      auth_key_(generate_auth_key(local, peer)),
      own_challenge_(std::move(own_challenge)),
      own_auth_payload_(auth_payload(own_challenge_)) {}

Result<> ControlSession::queue(Outgoing message) const {
  auto sent = sender_.send(std::move(message));
  if (!sent && sent.error().kind() == ErrorKind::kChannelFull) {
    return fail(std::move(sent).error().context(fmt::format(
        "ZeDidi control messages waiting for the phone exceed {} bytes", kMaxQueuedFrameBytes)));
  }
  return sent;
}

Result<> ControlSession::reply(const Incoming& frame, std::uint8_t command, Bytes body,
                               Mode mode) const {
  return queue(answer(frame, command, std::move(body), mode));
}

Result<> ControlSession::notify(Bytes body) const {
  return queue(outgoing(cmd::kNotify, Mode::kEncrypted, next_sequence(*sequence_), std::move(body)));
}

Result<> ControlSession::queue_own_challenge() const {
  return queue(
      outgoing(cmd::kSafetyAuth, Mode::kWrappedEncrypted, 0, to_bytes(own_auth_payload_), "cmd"));
}

std::optional<std::uint64_t> ControlSession::active_source() const {
  return ctx_.hub.active_source_session_id(ctx_.session_id, peer_.ip);
}

Result<> ControlSession::start(const Incoming& frame, std::uint8_t reply_command) {
  return frame.encrypted ? open(frame, reply_command) : handshake_start(frame, reply_command);
}

Result<> ControlSession::handshake_start(const Incoming& frame, std::uint8_t reply_command) {
  SV_TRY(queue(answer(frame, reply_command, to_bytes(kCapabilitiesReply), Mode::kWrapped, "ack")));
  SV_TRY(queue_own_challenge());
  ctx_.events(safety_challenge_sent_event(local_.to_string(), remote_, auth_key_, own_challenge_));
  challenge_sent_ = true;
  return {};
}

Result<> ControlSession::safety_auth(const Incoming& frame, std::uint8_t reply_command) {
  const JsonTree doc = parse_json_payload(frame.body, &ctx_.bodies);
  const Json* message = nullptr;
  if (doc && doc->is_object()) {
    const auto it = doc->find("authMsg");
    if (it != doc->end() && it->is_string()) message = &*it;
  }
  if (message == nullptr) return fail(Error::msg("SafetyAuth is missing authMsg"));
  // The event takes the one copy; the tree that holds the text lives to the end of the call.
  const std::string& peer_message = message->get_ref<const std::string&>();
  const std::string ack = hmac_sha256_hex(auth_key_, peer_message);
  ctx_.events(safety_auth_received_event(local_.to_string(), remote_, auth_key_, peer_message,
                                         own_challenge_, ack));
  if (!challenge_sent_) SV_TRY(queue_own_challenge());
  pending_ack_ = answer(frame, reply_command, to_bytes(auth_ack_payload(ack)),
                        Mode::kWrappedEncrypted, "ack");
  challenge_sent_ = true;
  return {};
}

Result<> ControlSession::safety_auth_ack(const Incoming& frame, std::uint8_t /*reply_command*/) {
  auto doc = parse_json_payload(frame.body, &ctx_.bodies);
  if (!doc) return {};
  const auto received = auth_ack_field(*doc);
  if (!received) return {};
  const std::string expected = hmac_sha256_hex(auth_key_, own_challenge_);
  const bool matches = *received == expected;
  ctx_.events(safety_auth_ack_received_event(*received, expected, matches));
  if (!matches) return fail(Error::msg("SafetyAuth_Ack HMAC mismatch"));
  if (!pending_ack_) return fail(Error::msg("SafetyAuth_Ack arrived before SafetyAuth"));
  Outgoing pending = std::move(*pending_ack_);
  pending_ack_.reset();
  SV_TRY(queue(std::move(pending)));
  ctx_.hub.mark_authenticated(ctx_.session_id);
  ctx_.events(secure_channel_status_event());
  ctx_.events(secure_channel_stage_event(remote_));
  return {};
}

Result<> ControlSession::set_mirror_key(const Incoming& frame, std::uint8_t reply_command) {
  const auto doc = parse_json_payload(frame.body, &ctx_.bodies);
  if (!doc) return fail(Error::msg("parse SetMirrorKey JSON"));
  SV_ASSIGN_OR_RETURN(const std::string auth, mirror_key_field(*doc, "authKey"));
  SV_ASSIGN_OR_RETURN(const std::string key, mirror_key_field(*doc, "streamKey"));
  SV_ASSIGN_OR_RETURN(const std::string iv, mirror_key_field(*doc, "streamIV"));
  SV_ASSIGN_OR_RETURN(const StreamKeys keys, StreamKeys::from_strings(auth, key, iv));
  ctx_.hub.remember_stream_keys(peer_.ip, ctx_.session_id, keys);
  ctx_.events(stream_keys_ready_event(remote_, ctx_.session_id, keys.fingerprint()));
  SV_TRY(reply(frame, reply_command, Bytes{0x00}));
  own_stream_keys_ = keys;
  return {};
}

Result<> ControlSession::open(const Incoming& frame, std::uint8_t reply_command) {
  std::string text = utf8_lossy(frame.body);
  const auto first = text.find_first_not_of('\0');
  text = first == std::string::npos ? std::string() : text.substr(first);
  while (!text.empty() && text.back() == '\0') text.pop_back();
  SV_ASSIGN_OR_RETURN(const auto address, parse_wfd_url(text));
  const auto [ip, port] = address;

  std::optional<StreamKeys> keys;
  Json key_session_id = nullptr;
  std::string scope = "tv_unprotected_stream";
  if (own_stream_keys_) {
    keys = own_stream_keys_;
    key_session_id = ctx_.session_id;
    scope = "same_control_session";
  } else {
    const auto shared = ctx_.hub.stream_keys_for(peer_.ip);
    if (shared) {
      keys = shared->keys;
      key_session_id = shared->session_id;
      scope = "shared_source_address";
    }
  }
  ctx_.events(media_key_selected_event(remote_, ctx_.session_id, key_session_id, scope,
                                       keys ? Json(keys->fingerprint()) : Json(nullptr),
                                       keys.has_value()));
  SV_TRY(reply(frame, reply_command, Bytes{0, 0, 0, 0, 0}));
  if (!media_info_announced_) SV_TRY(notify(empty_media_info_notification()));
  OpenedSource opened = ctx_.hub.open_source(ctx_.session_id, peer_.ip, sender_, sequence_);
  ctx_.launcher(CastOpen{
      .rtsp_ip = ip,
      .rtsp_port = port,
      .keys = keys,
      .token = SessionToken(ctx_.hub.media_generation(), opened.generation),
      .gate = opened.gate,
  });
  ctx_.events(media_opening_event(ip.to_string() + ":" + std::to_string(port)));
  ctx_.events(media_session_established_event(remote_, opened.generation));
  media_info_announced_ = true;
  return {};
}

Result<> ControlSession::set_volume(const Incoming& frame, std::uint8_t reply_command) {
  std::uint32_t v = 0;
  ByteReader r(frame.body);
  if (auto raw = r.u32be()) {
    const auto signed_value = static_cast<std::int32_t>(*raw);
    v = signed_value < 0 ? 0 : std::min<std::uint32_t>(static_cast<std::uint32_t>(signed_value), 100);
    ctx_.hub.receiver_volume()->store(v, std::memory_order_release);
  } else {
    // A body too short to hold a volume changes nothing; the phone is told the volume in force.
    v = std::min<std::uint32_t>(ctx_.hub.receiver_volume()->load(std::memory_order_acquire), 100);
  }
  SV_TRY(reply(frame, reply_command, {}));
  SV_TRY(notify(volume_notification(static_cast<std::uint8_t>(v))));
  emit_volume(v, ctx_.events);
  return {};
}

Result<> ControlSession::playback_snapshot(const Incoming& frame, std::uint8_t reply_command) {
  SV_TRY(reply(frame, reply_command, {}));
  const auto source = active_source();
  if (!source) return {};
  const auto playing = decode_playback_state(frame.body, &ctx_.bodies);
  if (!playing) return {};
  if (ctx_.hub.observe_playback_snapshot(*source, !*playing)) emit_playback(*playing, ctx_.events);
  return {};
}

Result<> ControlSession::playback_state_query(const Incoming& frame, std::uint8_t reply_command) {
  ByteWriter w(5);
  w.u8(0).u32be(ctx_.hub.playback_state_for(ctx_.session_id, peer_.ip));
  return reply(frame, reply_command, w.take());
}

Result<> ControlSession::media_info_report(const Incoming& frame, std::uint8_t reply_command) {
  SV_TRY(reply(frame, reply_command, {}));
  const auto info = decode_media_info(frame.body, &ctx_.bodies);
  if (const auto source = active_source()) ctx_.hub.observe_media_info(*source, info);
  emit_media_info(info, ctx_.events);
  return {};
}

Result<> ControlSession::position_report(const Incoming& frame, std::uint8_t reply_command) {
  if (const auto source = active_source()) {
    ByteReader r(frame.body);
    if (const auto position = r.u64be()) {
      const auto [changed, weak_resumed] = ctx_.hub.observe_position(*source, *position);
      if (weak_resumed) emit_playback(true, ctx_.events);
      if (changed) {
        ctx_.events(progress_event(*position));
      }
    }
  }
  return reply(frame, reply_command, {});
}

void ControlSession::unhandled(const Incoming& frame) const {
  ctx_.events(unhandled_trace_event(frame.outer_type, frame.command, frame.value_type, frame.body,
                                    kUnhandledHexCut));
}

Result<> ControlSession::play_state_report(const Incoming& frame, std::uint8_t reply_command) {
  const bool paused = frame.command == cmd::kPauseReport;
  SV_TRY(reply(frame, reply_command, {}));
  if (const auto source = active_source()) {
    ctx_.hub.observe_playback(*source, paused);
    emit_playback(!paused, ctx_.events);
  }
  return {};
}

void ControlSession::media_control_ack(const Incoming& frame) const {
  ctx_.events(media_control_ack_event(frame.command, frame.value_type, frame.body));
}

Result<> ControlSession::get_volume(const Incoming& frame, std::uint8_t reply_command) {
  const auto v = static_cast<std::uint8_t>(
      std::min<std::uint32_t>(ctx_.hub.receiver_volume()->load(std::memory_order_acquire), 100));
  SV_TRY(reply(frame, reply_command, encode_get_volume_ack(v)));
  emit_volume(v, ctx_.events);
  return {};
}

// Answered by a notification in the session's own sequence, not by a reply.
Result<> ControlSession::reverse_control_ready(const Incoming& /*frame*/,
                                               std::uint8_t /*reply_command*/) {
  SV_TRY(notify(empty_media_info_notification()));
  ctx_.hub.mark_reverse_control_ready(ctx_.session_id);
  media_info_announced_ = true;
  return {};
}

Result<> ControlSession::empty_ack(const Incoming& frame, std::uint8_t reply_command) {
  return reply(frame, reply_command, {});
}

Result<> ControlSession::device_info_query(const Incoming& frame, std::uint8_t reply_command) {
  SV_ASSIGN_OR_RETURN(Bytes info, build_device_info(ctx_.identity));
  SV_TRY(reply(frame, reply_command, std::move(info)));
  ctx_.events(identity_exchanged_event(remote_));
  return {};
}

// Three plain notifications in the fixed value-type slots 5, 6 and 7.
Result<> ControlSession::initial_state_request(const Incoming& /*frame*/,
                                               std::uint8_t reply_command) {
  const std::pair<std::uint32_t, Bytes> notes[] = {
      {5, mode_record()}, {6, empty_media_info_notification()}, {7, state_record()}};
  for (const auto& [value_type, body] : notes) {
    SV_TRY(queue(outgoing(reply_command, Mode::kPlain, value_type, body)));
  }
  return {};
}

Result<> ControlSession::fixed_status_query(const Incoming& frame, std::uint8_t reply_command) {
  return reply(frame, reply_command, Bytes{0, 0, 0, 0, 1});
}

Result<> ControlSession::version_query(const Incoming& frame, std::uint8_t reply_command) {
  Bytes version = to_bytes("2.1.5071614");
  version.push_back(0);
  return reply(frame, reply_command, std::move(version), Mode::kPlain);
}

Result<> ControlSession::play_source(const Incoming& frame, std::uint8_t reply_command) {
  SV_TRY(reply(frame, reply_command, {}));
  ctx_.hub.mark_play_source_registered(ctx_.session_id);
  auto content = parse_json_payload(frame.body, &ctx_.bodies);
  ctx_.events(play_source_event(content ? std::move(*content) : Json(nullptr)));
  return {};
}

Result<> ControlSession::source_info(const Incoming& frame, std::uint8_t reply_command) {
  SV_TRY(reply(frame, reply_command, {}));
  emit_source_info(frame.body, ctx_.events, &ctx_.bodies);
  ctx_.events(capabilities_exchanged_event(remote_));
  return {};
}

std::span<const ControlSession::CommandRoute> ControlSession::routes(std::uint8_t outer_type) {
  using S = ControlSession;
  // Frames of every outer type but kOuterReport.
  static constexpr CommandRoute kCommands[] = {
      {cmd::kStart, cmd::kStartAck, &S::start},
      {cmd::kSafetyAuth, cmd::kSafetyAuthAck, &S::safety_auth},  // answered once acknowledged
      {cmd::kSafetyAuthAck, cmd::kSafetyAuthAck, &S::safety_auth_ack},
      {cmd::kPauseReport, cmd::kPauseReportAck, &S::play_state_report},
      {cmd::kResumeReport, cmd::kResumeReportAck, &S::play_state_report},
      {cmd::kSetVolume, cmd::kSetVolumeAck, &S::set_volume},
      {cmd::kGetVolume, cmd::kGetVolumeAck, &S::get_volume},
      {cmd::kMediaInfoReport, cmd::kMediaInfoReportAck, &S::media_info_report},
      {cmd::kReverseControlReady, cmd::kNotify, &S::reverse_control_ready},
      {cmd::kEmptyAckRequest, cmd::kEmptyAck, &S::empty_ack},
      {cmd::kPlaybackStateQuery, cmd::kPlaybackState, &S::playback_state_query},
      {cmd::kDeviceInfoQuery, cmd::kDeviceInfo, &S::device_info_query},
      {cmd::kInitialStateRequest, cmd::kNotify, &S::initial_state_request},
      {cmd::kFixedStatusQuery, cmd::kFixedStatus, &S::fixed_status_query},
      {cmd::kVersionQuery, cmd::kVersion, &S::version_query},
      {cmd::kPlaySource, cmd::kPlaySourceAck, &S::play_source},
      {cmd::kPositionReport, cmd::kPositionReportAck, &S::position_report},
      {cmd::kSourceInfo, cmd::kSourceInfoAck, &S::source_info},
      {cmd::kPlaybackSnapshot, cmd::kPlaybackSnapshotAck, &S::playback_snapshot},
      {cmd::kSetMirrorKey, cmd::kSetMirrorKeyAck, &S::set_mirror_key},
  };
  static constexpr CommandRoute kReports[] = {
      {cmd::kReportPlaybackSnapshot, cmd::kReportPlaybackSnapshotAck, &S::playback_snapshot},
      {cmd::kReportPlaybackStateQuery, cmd::kReportPlaybackState, &S::playback_state_query},
      {cmd::kReportMediaInfo, cmd::kReportMediaInfoAck, &S::media_info_report},
  };
  if (outer_type == kOuterReport) return kReports;
  return kCommands;
}

Result<> ControlSession::handle(const Incoming& frame) {
  for (const CommandRoute& route : routes(frame.outer_type)) {
    if (route.command == frame.command) return (this->*route.handler)(frame, route.reply);
  }
  if (frame.outer_type != kOuterReport &&
      std::ranges::find(kMediaControlAcks, frame.command) != std::end(kMediaControlAcks)) {
    media_control_ack(frame);
    return {};
  }
  unhandled(frame);
  return {};
}

Error run_session(SessionContext context, Fd connection) {
  const std::uint64_t session_id = context.session_id;
  const ControlHub hub = context.hub;
  const EventSink events = context.events;
  const ByteBudget bodies = context.bodies;
  const int fd = connection.get();
  // However the session ends, its socket is shut down: a writer blocked on a peer that does not
  // read wakes and ends, and the peer sees the end at once.
  const ShutdownAtExit shutdown_at_end(fd);
  if (auto r = set_nonblocking(fd, false); !r) {
    return std::move(r).error().context("restore blocking ZeDidi control socket");
  }
  set_tcp_nodelay(fd);
  (void)set_recv_timeout(fd, std::chrono::microseconds(0));
  (void)set_send_timeout(fd, kControlWriteTimeout);
  // A phone that left the network without closing is noticed within about two minutes.
  (void)set_tcp_keepalive(fd, std::chrono::seconds(60), std::chrono::seconds(10), 6);
  auto local = local_address(fd);
  if (!local) return std::move(local).error().context("read ZeDidi local address");
  auto peer = peer_address(fd);
  if (!peer) return std::move(peer).error().context("read ZeDidi peer address");
  const std::array<std::uint8_t, 16> cipher_key =
      control_cipher_key(generate_auth_key(*local, *peer));
  auto [sender, receiver] = make_bounded_channel<Outgoing>(kMaxQueuedFrameBytes, &queued_frame_bytes);
  auto clone = connection.duplicate();
  if (!clone) return std::move(clone).error().context("clone ZeDidi control socket");
  auto write_stalled = std::make_shared<std::atomic<bool>>(false);
  auto writer = spawn_named(
      "sonvale-control-writer-" + std::to_string(session_id),
      [clone = std::move(*clone), receiver = std::move(receiver), cipher_key,
       writer_events = events, write_stalled]() mutable {
        control_writer_main(std::move(clone), std::move(receiver), cipher_key,
                            std::move(writer_events), std::move(write_stalled));
      });
  if (!writer) return std::move(writer).error();
  writer->detach();

  Outgoing first =
      outgoing(cmd::kReceiverCode, Mode::kPlain, 4, to_bytes(receiver_code(context.identity.id_code)));
  if (auto r = sender.send(std::move(first)); !r) return std::move(r).error();

  auto sequence = std::make_shared<std::atomic<std::uint32_t>>(8);
  hub.register_control_route(session_id, peer->ip, sender, sequence);
  ControlSession session(std::move(context), *local, *peer, std::move(sender), std::move(sequence),
                         random_hex_32());
  ControlCipher receive_cipher(cipher_key);
  const FrameSource source{
      .read = [fd](std::span<std::uint8_t> buf,
                   std::optional<Clock::time_point> deadline) -> Result<std::size_t> {
        return read_some_until(fd, buf, deadline);
      },
      .bodies = bodies,
      .clock = hub.clock(),
  };
  for (;;) {
    auto frame = read_incoming(source, receive_cipher);
    if (!frame) {
      // The writer shuts the socket down when a write stays blocked: that is why the read ended.
      if (write_stalled->load(std::memory_order_acquire)) return Error::msg(write_stall_text());
      return std::move(frame).error();
    }
    hub.note_activity(session_id);
    events(incoming_trace(*frame));
    if (auto handled = session.handle(*frame); !handled) return std::move(handled).error();
  }
}

}  // namespace sonvale
