#include "discovery/advertisement.h"

#include <cstdlib>
#include <optional>
#include <utility>
#include <vector>

#include "core/socket_addr.h"
#include "core/thread.h"
#include "core/udp_socket.h"
#include "discovery/identity.h"
#include "discovery/interface_selection.h"
#include "discovery/lyra_record.h"
#include "discovery/mdns_events.h"
#include "discovery/mi_connect_record.h"
#include "discovery/peer_browser.h"
#include "discovery/responder.h"

namespace sonvale::mdns {
namespace {

constexpr auto kReceiveTimeout = std::chrono::milliseconds(250);

// Everything the discovery thread owns, handed over whole.
struct DiscoveryThreadInputs {
  UdpSocket socket;
  ip_mreqn membership{};
  ResponderParams responder;
  std::optional<in6_addr> link_local;
  std::string interface_name;
  std::shared_ptr<const InterfaceLister> interfaces;
};

std::vector<InterfaceAddress> list_or_empty(const InterfaceLister& lister) {
  auto list = lister.list();
  if (!list) return {};
  return std::move(*list);
}

// Starts the peer browsers; a browser that cannot be started is left out without a report.
std::vector<JoiningThread> start_browsers(const DiscoveryThreadInputs& in) {
  std::vector<JoiningThread> browsers;
  const ResponderParams& r = in.responder;
  auto params = [&](std::string family, SocketAddr destination) {
    return PeerBrowserParams{std::move(family), destination, r.stop_flag, r.events, r.clock};
  };
  if (auto socket = create_ipv4_browser_socket(r.address)) {
    auto thread = spawn_lyra_peer_browser(std::move(*socket),
                                          params("ipv4", SocketAddr(SocketAddrV4{kMdnsGroup, kMdnsPort})));
    if (thread) browsers.push_back(std::move(*thread));
  }
  if (in.link_local) {
    const std::uint32_t index = ipv6_browser_index(list_or_empty(*in.interfaces), *in.interfaces,
                                                   r.address, in.interface_name);
    if (auto socket = create_ipv6_browser_socket(index, *in.link_local)) {
      in6_addr group{};
      group.s6_addr[0] = 0xff;
      group.s6_addr[1] = 0x02;
      group.s6_addr[15] = 0xfb;
      auto thread = spawn_lyra_peer_browser(std::move(*socket),
                                            params("ipv6", SocketAddr::v6(group, kMdnsPort, index)));
      if (thread) browsers.push_back(std::move(*thread));
    }
  }
  return browsers;
}

void lyra_discovery_main(DiscoveryThreadInputs& in) {
  // Joined IPv4 first when the vector goes out of scope, after the responder's goodbyes.
  std::vector<JoiningThread> browsers = start_browsers(in);
  run_responder(in.socket, in.responder);
  (void)in.socket.set_option_raw(IPPROTO_IP, IP_DROP_MEMBERSHIP, &in.membership,
                                 sizeof in.membership);
  in.socket.close();
  for (auto& b : browsers) b.join();
}

Result<UdpSocket> open_responder_socket(const AdvertisementParams& p, const ip_mreqn& membership) {
  SV_ASSIGN_OR_RETURN(UdpSocket s,
                      with_context(UdpSocket::open(AF_INET), "create Lyra discovery socket"));
  SV_TRY(with_context(s.set_option(SOL_SOCKET, SO_REUSEADDR, 1),
                      "enable Lyra discovery socket reuse"));
  (void)s.set_option(SOL_SOCKET, SO_REUSEPORT, 1);
  const SocketAddrV4 bind_addr{Ipv4::unspecified(), kMdnsPort};
  SV_TRY(with_context(s.bind(SocketAddr(bind_addr)), [&] {
    return "bind ZeDidi discovery socket to " + bind_addr.ip.to_string() + ":" +
           std::to_string(bind_addr.port);
  }));
#ifdef IP_MULTICAST_ALL
  // Linux delivers every joined group's traffic to every socket on the port unless told not to.
  SV_TRY(with_context(s.set_option(IPPROTO_IP, IP_MULTICAST_ALL, 0),
                      "restrict Lyra discovery socket to its own groups"));
#endif
  const in_addr ifaddr = p.address.to_in_addr();
  SV_TRY(with_context(s.set_option_raw(IPPROTO_IP, IP_MULTICAST_IF, &ifaddr, sizeof ifaddr),
                      "select Lyra discovery network adapter"));
  SV_TRY(s.set_options({
      {IPPROTO_IP, IP_MULTICAST_TTL, 255, "set Lyra multicast TTL"},
      {IPPROTO_IP, IP_TTL, 255, "set Lyra unicast TTL"},
      {IPPROTO_IP, IP_MULTICAST_LOOP, p.multicast_loopback != 0 ? 1 : 0,
       "configure Lyra multicast loopback"},
      {SOL_SOCKET, SO_BROADCAST, 1, "enable Lyra wired discovery broadcast fallback"},
  }));
  SV_TRY(
      with_context(s.set_option_raw(IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership),
                   "join Lyra mDNS multicast group"));
  SV_TRY(with_context(s.set_recv_timeout(kReceiveTimeout), "set Lyra discovery receive timeout"));
  // The destination address of each query decides whether it was unicast-addressed.
  SV_TRY(with_context(s.set_option(IPPROTO_IP, IP_PKTINFO, 1),
                      "enable Lyra discovery packet information"));
  return s;
}

Json ipv6_or_null(const std::optional<in6_addr>& a) {
  return a ? Json(ipv6_to_string(*a)) : Json(nullptr);
}

}  // namespace

Result<ZeDidiAdvertisement> ZeDidiAdvertisement::register_advertisement(
    const AdvertisementParams& p, EventSink events, DiscoverySeams seams) {
  const InterfaceLister& lister = *seams.interfaces;
  const std::string advertised = advertised_name(p.name);
  const std::string label = lyra_instance_label(p.lyra_instance_id, p.address);
  const auto link_local = find_link_local_ipv6(lister, p.address, p.interface_name);
  auto mi_ipv6 = find_mi_connect_ipv6(lister, p.address, p.interface_name);
  if (!mi_ipv6) mi_ipv6 = link_local;

  const auto inventory = list_or_empty(lister);
  events(interface_inventory_event(p.address, p.interface_name, ipv6_or_null(link_local),
                                   ipv6_or_null(mi_ipv6), interface_inventory(inventory, lister)));

  const IdmIdentity identity = idm_identity(p.idm_instance_id);
  const std::uint8_t lyra_type = lyra_discovery_device_type(p.device_type);
  events(identity_ready_event(identity, p.device_type, lyra_type));

  const std::string instance = mi_connect_instance_name(advertised, idm_identity(p.idm_instance_id));
  auto stop_flag = std::make_shared<std::atomic<bool>>(false);

  auto responses = std::make_shared<DiscoveryResponses>();
  LyraRecordParams lyra;
  lyra.name = p.name;
  lyra.lyra_device_type = lyra_type;
  lyra.label = label;
  lyra.address = p.address;
  lyra.interface_name = p.interface_name;
  lyra.link_local = link_local;
  lyra.registered_at = seams.clock->wall_now();
  responses->lyra_packet = build_lyra_response(lyra);

  MiConnectRecordParams mi;
  mi.name = p.name;
  mi.instance = instance;
  mi.idm_instance_id = p.idm_instance_id;
  mi.media_device_id = p.media_device_id;
  mi.device_type = p.device_type;
  mi.address = p.address;
  mi.ipv6 = mi_ipv6;
  const char* account = std::getenv(kDiagnosticAccountEnv);
  if (account != nullptr) mi.diagnostic_account_id = account;
  responses->mi_connect_packet = build_mi_connect_response(mi);
  responses->lyra_label = label;
  responses->mi_connect_instance = instance;
  responses->lyra_goodbye = set_dns_record_ttls(responses->lyra_packet, 0);
  responses->mi_connect_goodbye = set_dns_record_ttls(responses->mi_connect_packet, 0);

  const auto list = list_or_empty(lister);
  const SelectedInterface selected = select_interface(list, lister, p.address, p.interface_name);
  ip_mreqn membership{};
  membership.imr_multiaddr = kMdnsGroup.to_in_addr();
  membership.imr_address = p.address.to_in_addr();
  membership.imr_ifindex = static_cast<int>(selected.index.value_or(0));
  SV_ASSIGN_OR_RETURN(UdpSocket socket, open_responder_socket(p, membership));

  auto inputs = std::make_shared<DiscoveryThreadInputs>();
  inputs->socket = std::move(socket);
  inputs->membership = membership;
  inputs->responder = ResponderParams{
      std::move(responses),
      p.address,
      SocketAddrV4{kMdnsGroup, kMdnsPort},
      SocketAddrV4{broadcast_target(list, p.address), kMdnsPort},
      OnLinkSources::of(list, lister, p.address, p.interface_name),
      stop_flag,
      std::move(events),
      seams.clock,
  };
  inputs->link_local = link_local;
  inputs->interface_name = p.interface_name;
  inputs->interfaces = seams.interfaces;

  SV_ASSIGN_OR_RETURN(std::thread thread,
                      with_context(spawn_named("sonvale-lyra-discovery",
                                               [inputs] { lyra_discovery_main(*inputs); }),
                                   "spawn Lyra discovery responder"));
  ZeDidiAdvertisement ad;
  ad.service_name_ = label + "._lyra-mdns._udp.local.";
  ad.stop_flag_ = std::move(stop_flag);
  ad.thread_ = std::move(thread);
  return ad;
}

ZeDidiAdvertisement::~ZeDidiAdvertisement() { stop(); }

void ZeDidiAdvertisement::stop() {
  if (stop_flag_) stop_flag_->store(true, std::memory_order_seq_cst);
  if (thread_.joinable()) thread_.join();
}

}  // namespace sonvale::mdns
