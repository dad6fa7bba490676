#include "receiver_events.h"

#include <fmt/format.h>

namespace sonvale {

Json lan_removed_event() {
  return Json{{"event", "zedidi_lan_removed"},
              {"protocol", "xiaomi_zedidi"},
              {"reason", "query_scoped_lyra_and_mi_connect_without_legacy_lan_tv"}};
}

Json receiver_ready_event(const ReceiverConfig& config, const std::string& service,
                          std::uint16_t lyra_port) {
  return Json{
      {"address", config.address.to_string()},
      {"device_type", config.device_type},
      {"event", "receiver_ready"},
      {"external_service_required", false},
      {"identity_provenance", "local_system"},
      {"implementation", "quarnet_cross_platform_rust_sdk"},
      {"interface", config.interface},
      {"legacy_lan_discovery", false},
      {"lyra_instance_id", config.identity.lyra_instance_id},
      {"mdns_service", service},
      {"media_device_id", config.identity.media_device_id},
      {"name", config.name},
      {"network_scope", "local_subnet"},
      {"official_wired_support", "undocumented"},
      {"output_device", config.output_device ? Json(*config.output_device) : Json(nullptr)},
      {"platform", config.platform},
      {"playable", false},
      {"port", lyra_port},
      {"protocol", "xiaomi_zedidi_v3"},
      {"vendor_attestation_verified", false},
  };
}

Json bridge_ready_event(const std::string& ip, const std::string& name) {
  return Json{{"event", "bridge_ready"}, {"ip", ip}, {"name", name}};
}

Json start_failed_event(const Error& error) {
  return error_event("start_failed", "Failed to start ZeDidi receiver: " + error.to_string());
}

Json unsupported_command_event(std::string_view raw) {
  return Json{{"code", "unsupported_command"}, {"event", "error"}, {"raw", raw}};
}

Json command_line_too_long_event(std::size_t limit) {
  return warning_event("sonvale_command_line_too_long",
                       fmt::format("标准输入的命令行超过 {} 字节，已丢弃：standard input "
                                   "line exceeds {} bytes",
                                   limit, limit));
}

Json command_queue_full_event(std::size_t limit) {
  return warning_event(
      "sonvale_command_queue_full",
      fmt::format("等待执行的命令已达上限 {}，已丢弃此行：host command queue is full", limit));
}

}  // namespace sonvale
