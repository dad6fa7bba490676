#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/event_sink.h"
#include "core/net.h"

namespace sonvale::mdns {

// The interface a search settled on: the one holding the receiver's IPv4 address, else the
// configured name without an index.
struct SelectedInterface {
  std::string name;
  std::optional<std::uint32_t> index;  // non-zero when present
};

SelectedInterface select_interface(const std::vector<InterfaceAddress>& list,
                                   const InterfaceLister& lister, Ipv4 address,
                                   std::string_view interface_name);

// Whether an entry is on the selected interface: its name equals the selected name ignoring
// ASCII case, or its own index equals the selected index (so "eth0:1" belongs to "eth0").
bool belongs_to_selected(const InterfaceAddress& entry, const SelectedInterface& selected,
                         const InterfaceLister& lister);

// The first fe80::/10 address of the selected interface (fresh enumeration; none when it fails).
std::optional<in6_addr> find_link_local_ipv6(const InterfaceLister& lister, Ipv4 address,
                                             std::string_view interface_name);
// The first address of the selected interface that is not link-local, ::, ::1 or multicast.
std::optional<in6_addr> find_mi_connect_ipv6(const InterfaceLister& lister, Ipv4 address,
                                             std::string_view interface_name);

// The broadcast address of the first IPv4 entry holding `address` that has one, else
// 255.255.255.255.
Ipv4 broadcast_target(const std::vector<InterfaceAddress>& list, Ipv4 address);

// The index for the IPv6 peer browser: that of the first entry whose name equals
// `interface_name` byte for byte and whose address is `address`; 0 when there is none.
std::uint32_t ipv6_browser_index(const std::vector<InterfaceAddress>& list,
                                 const InterfaceLister& lister, Ipv4 address,
                                 std::string_view interface_name);

// The "interfaces" array of "discovery_interface_inventory".
Json interface_inventory(const std::vector<InterfaceAddress>& list, const InterfaceLister& lister);

// The hosts of the receiver's link (RFC 6762 section 11): the only sources whose unicast-addressed
// queries are answered, and the only addresses a reply is ever sent to by unicast. The link is
// the IPv4 subnets of the selected interface, 169.254.0.0/16, and 127.0.0.0/8 when the receiver's
// own address is a loopback address.
class OnLinkSources {
 public:
  OnLinkSources() = default;
  static OnLinkSources of(const std::vector<InterfaceAddress>& list, const InterfaceLister& lister,
                          Ipv4 address, std::string_view interface_name);
  // Whether `address` is one host of the link: inside one of its subnets and neither that
  // subnet's network nor its broadcast address (subnets of /30 and wider; in a /31 or /32 every
  // address is a host), nor an address of 0.0.0.0/8, nor a multicast, reserved or limited
  // broadcast address (224.0.0.0 and up). Whatever is sent to such an address reaches one host.
  bool is_host(Ipv4 address) const;

 private:
  std::vector<std::pair<Ipv4, Ipv4>> subnets_;  // (network, mask)
};

bool is_link_local_ipv6(const in6_addr& a);

}  // namespace sonvale::mdns
