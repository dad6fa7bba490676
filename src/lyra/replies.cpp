#include "lyra/replies.h"

#include "lyra/protobuf.h"

namespace sonvale::lyra {
namespace {

constexpr std::string_view kImplementationWord = "Quarnet";
constexpr std::string_view kVersionText = "5.1.251.10.fullCnRelease.0616209";
constexpr std::string_view kDefaultSyncService = "com.milink.service:smartplay";
constexpr std::uint64_t kDefaultSyncValue = 10000;

// {2: {2: physical message}} behind the physical header.
Result<Bytes> physical_frame(const Bytes& message) {
  return transport_frame(kKindPhysical, pb_bytes(2, pb_bytes(2, message)));
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
  return wrap_logical(request.outer_scalars, pb_join<2>({pb_varint(1, 5), pb_bytes(6, info)}));
}

}  // namespace sonvale::lyra
