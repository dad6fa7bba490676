#include "discovery/mdns_events.h"

#include <utility>

#include "core/encoding.h"
#include "discovery/identity.h"

namespace sonvale::mdns {
namespace {

constexpr const char* kLyraService = "_lyra-mdns._udp.local.";

Json round_event(const char* name, const RoundReport& r) {
  return Json{{"event", name},
              {"protocol", "xiaomi_zedidi"},
              {"service", r.service},
              {"address_family", "ipv4"},
              {"destination", r.destination.to_string()},
              {"bytes", r.bytes},
              {"round", r.round},
              {"reason", r.reason},
              {"success", r.success},
              {"wired_broadcast_success", r.broadcast_success}};
}

}  // namespace

Json interface_inventory_event(Ipv4 requested_address, const std::string& requested_interface,
                               Json link_local, Json mi_connect_ipv6, Json interfaces) {
  return Json{{"event", "discovery_interface_inventory"},
              {"protocol", "xiaomi_zedidi"},
              {"requested_address", requested_address.to_string()},
              {"requested_interface", requested_interface},
              {"selected_link_local_v6", std::move(link_local)},
              {"selected_mi_connect_ipv6", std::move(mi_connect_ipv6)},
              {"interfaces", std::move(interfaces)}};
}

Json identity_ready_event(const IdmIdentity& identity, std::uint8_t device_type,
                          std::uint8_t lyra_discovery_type) {
  return Json{{"event", "discovery_identity_ready"},
              {"protocol", "xiaomi_zedidi"},
              {"identity_mode", "local_unlogged"},
              {"did_hash", identity.full},
              {"id_hash", identity.code3},
              {"instance_suffix", identity.code10},
              {"service_id", identity.code3 + "5"},
              {"mi_connect_device_type", device_type},
              {"lyra_discovery_device_type", lyra_discovery_type},
              {"account_required", false},
              {"vendor_service_required", false}};
}

Json publication_profile_event() {
  return Json{{"event", "discovery_publication_profile"},
              {"protocol", "xiaomi_zedidi"},
              {"address_family", "ipv4"},
              {"profile", "persistent_mi_connect_lyra_route"},
              {"lyra_advertisement_enabled", true},
              {"lyra_query_responses_enabled", true},
              {"mi_connect_query_responses_enabled", true},
              {"mi_connect_periodic_advertisement_enabled", true},
              {"mi_connect_ttl_seconds", 120},
              {"quarnet_device_center_tv_persistent", true},
              {"account_required", false}};
}

Json announcement_event(const RoundReport& report) { return round_event("discovery_announcement", report); }

Json goodbye_event(const RoundReport& report) { return round_event("discovery_goodbye", report); }

Json receive_failed_event(Ipv4 address, std::uint16_t port, std::string message) {
  return Json{{"event", "discovery_receive_failed"},
              {"protocol", "xiaomi_zedidi"},
              {"address_family", "ipv4"},
              {"address", address.to_string()},
              {"port", port},
              {"message", std::move(message)}};
}

Json packet_received_event(const std::string& source, ByteSpan datagram) {
  return Json{{"event", "discovery_packet_received"},
              {"protocol", "xiaomi_zedidi"},
              {"address_family", "ipv4"},
              {"source", source},
              {"bytes", datagram.size()},
              {"wire_hex", hex_lower(datagram)}};
}

Json query_unsupported_event(const std::string& source, ByteSpan datagram, Json query) {
  return Json{{"event", "discovery_query_unsupported"},
              {"protocol", "xiaomi_zedidi"},
              {"address_family", "ipv4"},
              {"source", source},
              {"bytes", datagram.size()},
              {"wire_hex", hex_lower(datagram)},
              {"query", std::move(query)}};
}

Json query_answered_event(const char* service, SocketAddrV4 source, SocketAddrV4 destination,
                          ByteSpan query, ByteSpan reply, bool success) {
  return Json{{"event", "discovery_query"},
              {"protocol", "xiaomi_zedidi"},
              {"service", service},
              {"source", source.to_string()},
              {"destination", destination.to_string()},
              {"bytes", reply.size()},
              {"query_wire_hex", hex_lower(query)},
              {"reply_wire_hex", hex_lower(reply)},
              {"unicast", destination == source},
              {"success", success}};
}

Json peer_query_event(const std::string& family, const std::string& local, const std::string& destination,
                      ByteSpan query, std::uint64_t round, bool startup_burst, const Result<>& sent) {
  return Json{{"event", "discovery_peer_query"},
              {"protocol", "xiaomi_zedidi"},
              {"service", kLyraService},
              {"address_family", family},
              {"source", local},
              {"destination", destination},
              {"bytes", query.size()},
              {"wire_hex", hex_lower(query)},
              {"round", round},
              {"reason", startup_burst ? "startup_burst" : "cache_refresh"},
              {"success", sent.has_value()},
              {"error", sent ? Json(nullptr) : Json(sent.error().to_string())}};
}

Json peer_browser_failed_event(const std::string& family, const std::string& local, std::string message) {
  return Json{{"event", "discovery_peer_browser_failed"},
              {"protocol", "xiaomi_zedidi"},
              {"address_family", family},
              {"source", local},
              {"message", std::move(message)}};
}

Json peer_packet_event(bool found, bool names_service, const std::string& family, const std::string& source,
                       const std::string& local, ByteSpan datagram) {
  return Json{{"event", found ? "discovery_peer_found" : "discovery_peer_packet_ignored"},
              {"protocol", "xiaomi_zedidi"},
              {"service", names_service ? Json(kLyraService) : Json(nullptr)},
              {"address_family", family},
              {"source", source},
              {"destination", local},
              {"bytes", datagram.size()},
              {"wire_hex", hex_lower(datagram)}};
}

}  // namespace sonvale::mdns
