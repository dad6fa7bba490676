#include "discovery/interface_selection.h"

#include <cstring>

#include "core/socket_addr.h"
#include "core/text.h"

namespace sonvale::mdns {
namespace {

std::vector<InterfaceAddress> list_or_empty(const InterfaceLister& lister) {
  auto list = lister.list();
  if (!list) return {};
  return std::move(*list);
}

template <class Pred>
std::optional<in6_addr> first_ipv6_of_selected(const InterfaceLister& lister, Ipv4 address,
                                               std::string_view interface_name, Pred pred) {
  const auto list = list_or_empty(lister);
  const SelectedInterface selected = select_interface(list, lister, address, interface_name);
  for (const auto& entry : list) {
    if (!entry.is_ipv6) continue;
    if (belongs_to_selected(entry, selected, lister) && pred(entry.v6)) return entry.v6;
  }
  return std::nullopt;
}

bool is_mi_connect_candidate(const in6_addr& a) {
  static const in6_addr kAny = IN6ADDR_ANY_INIT;
  static const in6_addr kLoopback = IN6ADDR_LOOPBACK_INIT;
  if (is_link_local_ipv6(a) || a.s6_addr[0] == 0xff) return false;
  return std::memcmp(&a, &kAny, sizeof a) != 0 && std::memcmp(&a, &kLoopback, sizeof a) != 0;
}

}  // namespace

bool is_link_local_ipv6(const in6_addr& a) {
  return a.s6_addr[0] == 0xfe && (a.s6_addr[1] & 0xc0) == 0x80;
}

SelectedInterface select_interface(const std::vector<InterfaceAddress>& list,
                                   const InterfaceLister& lister, Ipv4 address,
                                   std::string_view interface_name) {
  for (const auto& entry : list) {
    if (entry.is_ipv6 || entry.v4 != address) continue;
    SelectedInterface out{entry.name, std::nullopt};
    if (const std::uint32_t index = lister.index_of(entry.name); index != 0) out.index = index;
    return out;
  }
  return SelectedInterface{std::string(interface_name), std::nullopt};
}

bool belongs_to_selected(const InterfaceAddress& entry, const SelectedInterface& selected,
                         const InterfaceLister& lister) {
  const std::uint32_t index = lister.index_of(entry.name);
  if (ascii_iequal(entry.name, selected.name)) return true;
  return selected.index && index != 0 && index == *selected.index;
}

std::optional<in6_addr> find_link_local_ipv6(const InterfaceLister& lister, Ipv4 address,
                                             std::string_view interface_name) {
  return first_ipv6_of_selected(lister, address, interface_name, is_link_local_ipv6);
}

std::optional<in6_addr> find_mi_connect_ipv6(const InterfaceLister& lister, Ipv4 address,
                                             std::string_view interface_name) {
  return first_ipv6_of_selected(lister, address, interface_name, is_mi_connect_candidate);
}

Ipv4 broadcast_target(const std::vector<InterfaceAddress>& list, Ipv4 address) {
  for (const auto& entry : list) {
    if (!entry.is_ipv6 && entry.v4 == address && entry.broadcast) return *entry.broadcast;
  }
  return Ipv4{0xffffffffu};
}

std::uint32_t ipv6_browser_index(const std::vector<InterfaceAddress>& list,
                                 const InterfaceLister& lister, Ipv4 address,
                                 std::string_view interface_name) {
  for (const auto& entry : list) {
    if (!entry.is_ipv6 && entry.v4 == address && entry.name == interface_name) {
      return lister.index_of(entry.name);
    }
  }
  return 0;
}

Json interface_inventory(const std::vector<InterfaceAddress>& list, const InterfaceLister& lister) {
  Json out = Json::array();
  for (const auto& entry : list) {
    const std::uint32_t index = lister.index_of(entry.name);
    out.push_back(Json{
        {"name", entry.name},
        {"index", index == 0 ? Json(nullptr) : Json(index)},
        {"address", entry.is_ipv6 ? ipv6_to_string(entry.v6) : entry.v4.to_string()},
        {"link_local_v6", entry.is_ipv6 && is_link_local_ipv6(entry.v6)},
    });
  }
  return out;
}

OnLinkSources OnLinkSources::of(const std::vector<InterfaceAddress>& list,
                                const InterfaceLister& lister, Ipv4 address,
                                std::string_view interface_name) {
  OnLinkSources out;
  const SelectedInterface selected = select_interface(list, lister, address, interface_name);
  for (const auto& entry : list) {
    if (entry.is_ipv6 || !entry.netmask || !belongs_to_selected(entry, selected, lister)) continue;
    const Ipv4 mask = *entry.netmask;
    out.subnets_.emplace_back(Ipv4{entry.v4.value & mask.value}, mask);
  }
  out.subnets_.emplace_back(Ipv4::from_octets(169, 254, 0, 0), Ipv4::from_octets(255, 255, 0, 0));
  if (address.is_loopback()) {
    out.subnets_.emplace_back(Ipv4::from_octets(127, 0, 0, 0), Ipv4::from_octets(255, 0, 0, 0));
  }
  return out;
}

bool OnLinkSources::is_host(Ipv4 address) const {
  const std::uint32_t a = address.value;
  if ((a >> 24) == 0 || (a >> 29) == 7) return false;
  // An address that is the network or broadcast address of any subnet is refused, even when a
  // wider subnet holds it as a host: the system sends to it as a broadcast all the same.
  bool inside = false;
  for (const auto& [net, mask] : subnets_) {
    if ((a & mask.value) != net.value) continue;
    const std::uint32_t host_bits = ~mask.value;
    const std::uint32_t host = a & host_bits;
    if (host_bits >= 3 && (host == 0 || host == host_bits)) return false;
    inside = true;
  }
  return inside;
}

}  // namespace sonvale::mdns
