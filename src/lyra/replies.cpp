#include "lyra/replies.h"

#include "lyra/protobuf.h"
#include "lyra/secure_channel.h"

namespace sonvale::lyra {
namespace {

constexpr std::string_view kImplementationWord = "Quarnet";
constexpr std::string_view kVersionText = "5.1.251.10.fullCnRelease.0616209";
constexpr std::string_view kDefaultSyncService = "com.milink.service:smartplay";
constexpr std::uint64_t kDefaultSyncValue = 10000;
constexpr std::uint64_t kServerChannelId = 1;

using Out = PbOut;

// {2: {2: physical message}} behind the physical header.
Result<Bytes> physical_frame(std::span<const Out> message) {
  const Out inner[] = {Out::message(2, message)};
  const Out body[] = {Out::message(2, inner)};
  SV_ASSIGN_OR_RETURN(Bytes frame, transport_frame(kKindPhysical, body));
  SV_TRY(fits_one_datagram(frame));
  return frame;
}

// A logical reply frame that one datagram can carry.
Result<Bytes> logical_reply(const OuterScalars& outer, const Out& inner) {
  SV_ASSIGN_OR_RETURN(Bytes frame, logical_frame(outer, inner));
  SV_TRY(fits_one_datagram(frame));
  return frame;
}

}  // namespace

Result<Bytes> build_keep_alive_response(ByteSpan body) {
  const Out message[] = {Out::varint(2, 5), Out::data(7, body)};
  return physical_frame(message);
}

Result<Bytes> build_device_sync_response(const LyraDevice& device, ByteSpan account,
                                         std::uint64_t now_ms) {
  const Out platform_record[] = {Out::data(1, as_bytes(device.platform)),
                                 Out::data(2, as_bytes(kImplementationWord))};
  const Out flags[] = {Out::varint(1, 1)};
  const Out record[] = {Out::varint(1, now_ms),
                        Out::data(2, as_bytes(device.lyra_instance_id)),
                        Out::data(4, account),
                        Out::varint(5, lyra_device_kind(device.device_type).code),
                        Out::data(6, as_bytes(device.name)),
                        Out::data(8, as_bytes(device.platform)),
                        Out::varint(9, 262272),
                        Out::message(10, platform_record),
                        Out::data(11, as_bytes(kVersionText)),
                        Out::message(12, flags)};
  const Out sync[] = {Out::varint(1, now_ms), Out::message(2, record), Out::varint(3, 256),
                      Out::varint(5, 0)};
  const Out message[] = {Out::varint(1, 1), Out::varint(2, 2), Out::message(4, sync)};
  return physical_frame(message);
}

Result<Bytes> build_logical_sync_response(const LogicalFrame& request) {
  if (!request.message) return fail(Error::msg("missing logical sync info"));
  SV_ASSIGN_OR_RETURN(const PbFields fields, parse_fields(*request.message));
  const std::uint64_t value = first_varint(fields, 1).value_or(kDefaultSyncValue);
  const ByteSpan service = first_bytes(fields, 4).value_or(as_bytes(kDefaultSyncService));
  const Out info[] = {Out::varint(1, value), Out::varint(2, 64), Out::data(4, service)};
  const Out inner[] = {Out::varint(1, 5), Out::message(6, info)};
  return logical_reply(request.outer_scalars, Out::message(5, inner));
}

Result<ConnectRequest> read_connect_request(const LogicalFrame& frame) {
  ConnectRequest out;
  if (!frame.message) return out;
  SV_ASSIGN_OR_RETURN(const PbFields fields, parse_fields(*frame.message));
  out.service = first_bytes(fields, 2);
  out.request = first_bytes(fields, 3);
  if (!out.request) return out;
  SV_ASSIGN_OR_RETURN(PbFields request_fields, parse_fields(*out.request));
  const std::optional<ByteSpan> peer_port = first_bytes(request_fields, 10);
  if (!peer_port) return out;
  SV_ASSIGN_OR_RETURN(const PbFields port_fields, parse_fields(*peer_port));
  out.client_channel_id = first_varint(port_fields, 1);
  if (!out.client_channel_id) return fail(Error::msg("Lyra peer-port request is missing client channel id"));
  out.request_fields = std::move(request_fields);
  return out;
}

Result<ConnectReply> build_connect_success_response(const OuterScalars& outer,
                                                    const ConnectRequest& request,
                                                    const PeerSession& session,
                                                    std::uint16_t control_port) {
  if (!session.session_key) return fail(Error::msg("missing Lyra session key"));
  std::optional<AcceptedConnection> accepted;
  // The request echoed without its fields 10 and 11, then the answer as field 11.
  std::vector<Out> echoed;
  Out answer[] = {Out::varint(1, 0), Out::varint(2, kServerChannelId), Out::varint(3, control_port),
                  Out::varint(5, 1), Out::varint(6, 0)};
  Out part[2];
  std::span<const Out> part_fields;
  if (request.client_channel_id) {
    answer[0] = Out::varint(1, *request.client_channel_id);
    echoed.reserve(request.request_fields.size() + 1);
    for (const PbField& f : request.request_fields) {
      if (f.number == 10 || f.number == 11) continue;
      if (f.value.kind == PbValue::Kind::kVarint) echoed.push_back(Out::varint(f.number, f.value.varint));
      if (f.value.kind == PbValue::Kind::kBytes) echoed.push_back(Out::data(f.number, f.value.bytes));
    }
    echoed.push_back(Out::message(11, answer));
    part[0] = Out::varint(1, 0);
    part[1] = Out::message(2, echoed);
    part_fields = part;
    accepted = AcceptedConnection{*request.client_channel_id, kServerChannelId, control_port};
  } else if (request.request) {
    part[0] = Out::varint(1, 0);
    part[1] = Out::data(2, *request.request);
    part_fields = part;
  }
  const Out inner[] = {Out::varint(1, 2), Out::message(3, part_fields)};
  Bytes plain;
  plain.reserve(pb_size(inner));
  pb_append(plain, inner);
  SV_ASSIGN_OR_RETURN(Bytes frame, sealed_logical(*session.session_key, outer, plain));
  SV_TRY(fits_one_datagram(frame));
  return ConnectReply{std::move(frame), accepted};
}

Result<ConnectReply> build_connect_success_response(const LogicalFrame& frame,
                                                    const PeerSession& session,
                                                    std::uint16_t control_port) {
  SV_ASSIGN_OR_RETURN(const ConnectRequest request, read_connect_request(frame));
  return build_connect_success_response(frame.outer_scalars, request, session, control_port);
}

}  // namespace sonvale::lyra
