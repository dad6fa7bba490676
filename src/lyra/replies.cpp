#include "lyra/replies.h"

#include "lyra/protobuf.h"
#include "lyra/secure_channel.h"

namespace sonvale::lyra {
namespace {

constexpr std::string_view kImplementationWord = "Quarnet";
constexpr std::string_view kVersionText = "5.1.251.10.fullCnRelease.0616209";
constexpr std::string_view kDefaultSyncService = "com.milink.service:smartplay";
constexpr std::uint64_t kDefaultSyncValue = 10000;
constexpr std::uint16_t kControlPort = 8899;
constexpr std::uint64_t kServerChannelId = 1;

// {2: {2: physical message}} behind the physical header.
Result<Bytes> physical_frame(const Bytes& message) {
  SV_ASSIGN_OR_RETURN(Bytes frame, transport_frame(kKindPhysical, pb_bytes(2, pb_bytes(2, message))));
  SV_TRY(fits_one_datagram(frame));
  return frame;
}

// A logical reply frame that one datagram can carry.
Result<Bytes> logical_reply(const OuterScalars& outer, ByteSpan inner) {
  SV_ASSIGN_OR_RETURN(Bytes frame, wrap_logical(outer, inner));
  SV_TRY(fits_one_datagram(frame));
  return frame;
}

}  // namespace

Result<Bytes> build_keep_alive_response(ByteSpan body) {
  return physical_frame(pb_join<2>({pb_varint(2, 5), pb_bytes(7, body)}));
}

Result<Bytes> build_device_sync_response(const LyraDevice& device, ByteSpan account,
                                         std::uint64_t now_ms) {
  const Bytes platform_record =
      pb_join<2>({pb_bytes(1, as_bytes(device.platform)), pb_bytes(2, as_bytes(kImplementationWord))});
  Bytes record;
  pb_varint_into(record, 1, now_ms);
  pb_bytes_into(record, 2, as_bytes(device.lyra_instance_id));
  pb_bytes_into(record, 4, account);
  pb_varint_into(record, 5, lyra_device_kind(device.device_type).code);
  pb_bytes_into(record, 6, as_bytes(device.name));
  pb_bytes_into(record, 8, as_bytes(device.platform));
  pb_varint_into(record, 9, 262272);
  pb_bytes_into(record, 10, platform_record);
  pb_bytes_into(record, 11, as_bytes(kVersionText));
  pb_bytes_into(record, 12, pb_varint(1, 1));
  Bytes sync;
  pb_varint_into(sync, 1, now_ms);
  pb_bytes_into(sync, 2, record);
  pb_varint_into(sync, 3, 256);
  pb_varint_into(sync, 5, 0);
  return physical_frame(pb_join<3>({pb_varint(1, 1), pb_varint(2, 2), pb_bytes(4, sync)}));
}

Result<Bytes> build_logical_sync_response(const LogicalFrame& request) {
  if (!request.message) return fail(Error::msg("missing logical sync info"));
  SV_ASSIGN_OR_RETURN(const PbFields fields, parse_fields(*request.message));
  const std::uint64_t value = first_varint(fields, 1).value_or(kDefaultSyncValue);
  const ByteSpan service = first_bytes(fields, 4).value_or(as_bytes(kDefaultSyncService));
  const Bytes info = pb_join<3>({pb_varint(1, value), pb_varint(2, 64), pb_bytes(4, service)});
  return logical_reply(request.outer_scalars, pb_join<2>({pb_varint(1, 5), pb_bytes(6, info)}));
}

Result<ConnectReply> build_connect_success_response(const LogicalFrame& request,
                                                    const PeerSession& session) {
  Bytes part;
  std::optional<AcceptedConnection> accepted;
  if (request.message) {
    SV_ASSIGN_OR_RETURN(const PbFields fields, parse_fields(*request.message));
    if (const std::optional<ByteSpan> inner_request = first_bytes(fields, 3)) {
      SV_ASSIGN_OR_RETURN(const PbFields request_fields, parse_fields(*inner_request));
      if (const std::optional<ByteSpan> peer_port = first_bytes(request_fields, 10)) {
        SV_ASSIGN_OR_RETURN(const PbFields port_fields, parse_fields(*peer_port));
        const std::optional<std::uint64_t> channel = first_varint(port_fields, 1);
        if (!channel) return fail(Error::msg("Lyra peer-port request is missing client channel id"));
        Bytes rebuilt;
        for (const PbField& f : request_fields) {
          if (f.number == 10 || f.number == 11) continue;
          if (f.value.kind == PbValue::Kind::kVarint) pb_varint_into(rebuilt, f.number, f.value.varint);
          if (f.value.kind == PbValue::Kind::kBytes) pb_bytes_into(rebuilt, f.number, f.value.bytes);
        }
        Bytes answer = pb_varint(1, *channel);
        pb_varint_into(answer, 2, kServerChannelId);
        pb_varint_into(answer, 3, kControlPort);
        pb_varint_into(answer, 5, 1);
        pb_varint_into(answer, 6, 0);
        pb_bytes_into(rebuilt, 11, answer);
        part = pb_join<2>({pb_varint(1, 0), pb_bytes(2, rebuilt)});
        accepted = AcceptedConnection{*channel, kServerChannelId, kControlPort};
      } else {
        part = pb_join<2>({pb_varint(1, 0), pb_bytes(2, *inner_request)});
      }
    }
  }
  const Bytes inner = pb_join<2>({pb_varint(1, 2), pb_bytes(3, part)});
  if (!session.session_key) return fail(Error::msg("missing Lyra session key"));
  SV_ASSIGN_OR_RETURN(const Bytes sealed, seal(*session.session_key, inner));
  SV_ASSIGN_OR_RETURN(Bytes frame, logical_reply(request.outer_scalars, sealed));
  return ConnectReply{std::move(frame), accepted};
}

}  // namespace sonvale::lyra
