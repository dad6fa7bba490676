// harness_records NAME LABEL IDM MEDIA DEVICE_TYPE IPV4 IFNAME [LINK_LOCAL [MI_IPV6]]
// Prints {"lyra": hex, "mi_connect": hex, "lyra_goodbye": hex, "mi_connect_goodbye": hex,
// "instance": text} for a registration with those inputs at TS 1700000000000. The diagnostic
// account variable is read from the environment as the registration reads it.

#include <arpa/inet.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/encoding.h"
#include "core/event_sink.h"
#include "discovery/dns_message.h"
#include "discovery/identity.h"
#include "discovery/lyra_record.h"
#include "discovery/mi_connect_record.h"

int main(int argc, char** argv) {
  using namespace sonvale;
  using namespace sonvale::mdns;
  if (argc < 8) {
    std::fprintf(stderr, "usage: harness_records NAME LABEL IDM MEDIA TYPE IPV4 IFNAME [LL [V6]]\n");
    return 2;
  }
  const std::string name = argv[1];
  const auto address = Ipv4::parse(argv[6]);
  if (!address) return 2;
  const auto type = static_cast<std::uint8_t>(std::atoi(argv[5]));
  auto v6 = [](const char* text) -> std::optional<in6_addr> {
    in6_addr a{};
    if (text == nullptr || inet_pton(AF_INET6, text, &a) != 1) return std::nullopt;
    return a;
  };
  const auto link_local = v6(argc > 8 ? argv[8] : nullptr);
  const auto mi_v6 = argc > 9 ? v6(argv[9]) : link_local;

  LyraRecordParams lyra;
  lyra.name = name;
  lyra.lyra_device_type = lyra_discovery_device_type(type);
  lyra.label = argv[2];
  lyra.address = *address;
  lyra.interface_name = argv[7];
  lyra.link_local = link_local;
  lyra.registered_at = std::chrono::system_clock::time_point(std::chrono::milliseconds(1700000000000));

  const std::string instance = mi_connect_instance_name(advertised_name(name), idm_identity(argv[3]));
  MiConnectRecordParams mi;
  mi.name = name;
  mi.instance = instance;
  mi.idm_instance_id = argv[3];
  mi.media_device_id = argv[4];
  mi.device_type = type;
  mi.address = *address;
  mi.ipv6 = mi_v6;
  if (const char* env = std::getenv(kDiagnosticAccountEnv)) mi.diagnostic_account_id = env;

  const Bytes lyra_packet = build_lyra_response(lyra);
  const Bytes mi_packet = build_mi_connect_response(mi);
  print_event_line(Json{{"lyra", hex_lower(lyra_packet)},
                        {"mi_connect", hex_lower(mi_packet)},
                        {"lyra_goodbye", hex_lower(*set_dns_record_ttls(lyra_packet, 0))},
                        {"mi_connect_goodbye", hex_lower(*set_dns_record_ttls(mi_packet, 0))},
                        {"instance", instance}});
  return 0;
}
