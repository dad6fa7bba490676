// What the discovery thread does with a received datagram: read its questions, match them
// against both services, decide where the answers go; the TTL rewriter over the same bytes; the
// peer browser's accept test.

#include <chrono>
#include <cstdint>
#include <cstdlib>

#include "discovery/dns_message.h"
#include "discovery/interface_selection.h"
#include "discovery/peer_browser.h"
#include "discovery/responder.h"

namespace {

// eth0 with 192.168.1.23/24.
class OneInterface final : public sonvale::InterfaceLister {
 public:
  sonvale::Result<std::vector<sonvale::InterfaceAddress>> list() const override {
    sonvale::InterfaceAddress a;
    a.name = "eth0";
    a.v4 = sonvale::Ipv4::from_octets(192, 168, 1, 23);
    a.netmask = sonvale::Ipv4::from_octets(255, 255, 255, 0);
    a.broadcast = sonvale::Ipv4::from_octets(192, 168, 1, 255);
    return std::vector<sonvale::InterfaceAddress>{a};
  }
  std::uint32_t index_of(std::string_view name) const override { return name == "eth0" ? 2 : 0; }
};

std::uint32_t be(const std::uint8_t* p, std::size_t n) {
  std::uint32_t v = 0;
  for (std::size_t i = 0; i < n; ++i) v = v << 8 | p[i];
  return v;
}

// The header fields that question parsing never reads choose where the datagram came from: ID
// and flags the source address, ARCOUNT its port, NSCOUNT whether it was sent to the group,
// ANCOUNT how many milliseconds ago the services were last multicast.
void check_plan(const std::uint8_t* data, std::size_t size,
                const std::vector<sonvale::mdns::DnsQuestion>& questions) {
  using namespace sonvale;
  using namespace sonvale::mdns;
  if (size < kDnsHeaderBytes) return;
  static const OneInterface lister;
  static const Ipv4 address = Ipv4::from_octets(192, 168, 1, 23);
  static const OnLinkSources link = OnLinkSources::of(*lister.list(), lister, address, "");
  static const DiscoveryResponses responses = [] {
    DiscoveryResponses r;
    r.lyra_label = "C0A80117";
    r.mi_connect_instance = "K(ungWv48Bz-)";
    return r;
  }();
  const SocketAddrV4 group{kMdnsGroup, kMdnsPort};
  const SocketAddrV4 source{Ipv4{be(data, 4)}, static_cast<std::uint16_t>(be(data + 10, 2))};
  const std::optional<Ipv4> destination = (data[8] & 1) != 0   ? std::optional(kMdnsGroup)
                                          : (data[8] & 2) != 0 ? std::optional(address)
                                                               : std::nullopt;
  const Clock::time_point now{std::chrono::hours(1)};
  const auto ago = std::chrono::milliseconds(be(data + 6, 2));
  const LastMulticast last{now - ago, now - ago};
  const ReplyPlan plan =
      plan_replies(questions, source, destination, responses, link, group, last, now);
  const bool answers = plan.lyra || plan.mi_connect;
  if (plan.off_link && (answers || plan.unsupported)) std::abort();
  if (!answers) return;
  if (plan.destination == group) {
    if (ago < kMulticastInterval) std::abort();  // the group heard these records within a second
  } else if (plan.destination != source || !link.is_host(source.ip)) {
    std::abort();  // a unicast answer reaches exactly one host of the link
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const sonvale::ByteSpan input(data, size);
  const auto questions = sonvale::mdns::read_dns_questions(input);
  for (const auto& q : questions) {
    // U+FFFD takes 3 bytes for 1 replaced byte; a name holds at most 255 wire octets.
    if (q.name.size() > 3 * sonvale::mdns::kMaxDnsNameWireBytes) std::abort();
    (void)sonvale::mdns::query_matches_service(q.name, q.qtype, "_lyra-mdns._udp.local", "C0A80117");
    (void)sonvale::mdns::query_matches_service(q.name, q.qtype, "_mi-connect._udp.local", "K(ungWv48Bz-)");
  }
  if (sonvale::mdns::describe_dns_questions(questions).size() > sonvale::mdns::kMaxListedQuestions) std::abort();
  check_plan(data, size, questions);
  if (auto copy = sonvale::mdns::set_dns_record_ttls(input, 0)) {
    if (copy->size() != size) std::abort();
    for (std::size_t i = 0; i < 12 && i < size; ++i) {
      if ((*copy)[i] != data[i]) std::abort();  // the header is never rewritten
    }
  }
  const auto verdict = sonvale::mdns::classify_peer_datagram(input);
  if (verdict.found && (!verdict.names_service || size < 23)) std::abort();
  return 0;
}
