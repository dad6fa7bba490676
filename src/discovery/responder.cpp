#include "discovery/responder.h"

#include <array>
#include <thread>

#include "core/encoding.h"
#include "discovery/mdns_events.h"

namespace sonvale::mdns {
namespace {

constexpr auto kRoundPause = std::chrono::milliseconds(250);
constexpr auto kRefreshInterval = std::chrono::seconds(30);
constexpr auto kReceiveErrorPause = std::chrono::milliseconds(200);
constexpr std::size_t kReceiveBuffer = 4096;

bool is_multicast(Ipv4 a) { return (a.value >> 28) == 0xe; }

struct Service {
  const char* name;  // with the trailing dot, as events show it
  const Bytes* packet;
  const std::optional<Bytes>* goodbye;
  std::optional<Clock::time_point> LastMulticast::*last_multicast;
};

std::array<Service, 2> services(const DiscoveryResponses& r) {
  return {Service{"_lyra-mdns._udp.local.", &r.lyra_packet, &r.lyra_goodbye, &LastMulticast::lyra},
          Service{"_mi-connect._udp.local.", &r.mi_connect_packet, &r.mi_connect_goodbye,
                  &LastMulticast::mi_connect}};
}

bool may_multicast(const std::optional<Clock::time_point>& last, Clock::time_point now) {
  return !last || now - *last >= kMulticastInterval;
}

RoundReport round_report(const Service& s, const ResponderParams& p, std::size_t bytes, int round,
                         const char* reason, bool success, bool broadcast_success) {
  return RoundReport{s.name, p.multicast_target, bytes, round, reason, success, broadcast_success};
}

class Responder {
 public:
  Responder(DatagramSocket& socket, const ResponderParams& params)
      : socket_(socket), p_(params), services_(services(*params.responses)) {}

  void run() {
    p_.events(publication_profile_event());
    Clock::time_point next = p_.clock->now();
    bool announced = false;
    std::vector<std::uint8_t> buf(kReceiveBuffer);
    while (!p_.stop_flag->load(std::memory_order_acquire)) {
      if (p_.clock->now() >= next) {
        announce(announced ? "ttl_refresh" : "startup", announced ? 1 : 3);
        announced = true;
        next = p_.clock->now() + kRefreshInterval;
      }
      receive_one(buf);
    }
    goodbyes();
  }

 private:
  bool send(ByteSpan packet, SocketAddrV4 to) {
    return socket_.send_to(packet, SocketAddr(to)).has_value();
  }

  void announce(const char* reason, int rounds) {
    for (int round = 1; round <= rounds; ++round) {
      for (const Service& s : services_) {
        const bool ok = send(*s.packet, p_.multicast_target);
        if (ok) last_multicast_.*s.last_multicast = p_.clock->now();
        const bool brd = send(*s.packet, p_.broadcast_target);
        p_.events(announcement_event(round_report(s, p_, s.packet->size(), round, reason, ok, brd)));
      }
      if (round < rounds) std::this_thread::sleep_for(kRoundPause);
    }
  }

  void goodbyes() {
    for (int round = 1; round <= 3; ++round) {
      for (const Service& s : services_) {
        // A goodbye that could not be made is never replaced by the live packet: that would
        // refresh the record instead of withdrawing it.
        const bool have = s.goodbye->has_value();
        const bool ok = have && send(**s.goodbye, p_.multicast_target);
        const bool brd = have && send(**s.goodbye, p_.broadcast_target);
        p_.events(goodbye_event(
            round_report(s, p_, have ? (*s.goodbye)->size() : 0, round, "shutdown", ok, brd)));
      }
    }
  }

  void receive_one(std::vector<std::uint8_t>& buf) {
    const auto got = receive_or_report(socket_, buf, kReceiveErrorPause, [this](const Error& e) {
      p_.events(receive_failed_event(p_.address, kMdnsPort, e.to_string()));
    });
    if (!got) return;
    const ByteSpan datagram(buf.data(), got->size);
    const auto source = got->from.as_v4();
    const std::string source_text = got->from.to_string();
    p_.events(packet_received_event(source_text, datagram));
    if (!source) return;
    const Clock::time_point now = p_.clock->now();
    // Only hosts of the link are ever answered by unicast, so only they earn budget.
    if (p_.on_link.is_host(source->ip)) unicast_budget_.received(source->ip, datagram.size(), now);
    const auto questions = read_dns_questions(datagram);
    if (questions.empty()) return;
    const ReplyPlan plan =
        plan_replies(questions, *source, got->destination, *p_.responses, p_.on_link,
                     p_.multicast_target, last_multicast_, now);
    if (plan.off_link) return;
    if (plan.lyra) reply(datagram, *source, plan.destination, services_[0]);
    if (plan.mi_connect) reply(datagram, *source, plan.destination, services_[1]);
    if (plan.unsupported) {
      p_.events(query_unsupported_event(source_text, datagram, describe_dns_questions(questions)));
    }
  }

  void reply(ByteSpan query, SocketAddrV4 source, SocketAddrV4 destination, const Service& s) {
    const bool to_group = destination == p_.multicast_target;
    if (!to_group && !unicast_budget_.try_send(destination.ip, s.packet->size(), p_.clock->now())) return;
    Bytes packet = *s.packet;
    packet[0] = query[0];
    packet[1] = query[1];
    const bool ok = send(packet, destination);
    if (ok && to_group) last_multicast_.*s.last_multicast = p_.clock->now();
    p_.events(query_answered_event(s.name, source, destination, query, packet, ok));
  }

  DatagramSocket& socket_;
  const ResponderParams& p_;
  const std::array<Service, 2> services_;
  LastMulticast last_multicast_;
  AmplificationLimit unicast_budget_{kUnicastAnswerHosts, kUnicastAnswerBudget};
};

}  // namespace

ReplyPlan plan_replies(const std::vector<DnsQuestion>& questions, SocketAddrV4 source,
                       std::optional<Ipv4> destination, const DiscoveryResponses& responses,
                       const OnLinkSources& on_link, SocketAddrV4 multicast_target,
                       const LastMulticast& last_multicast, Clock::time_point now) {
  ReplyPlan plan;
  bool unicast_response = source.port != kMdnsPort;
  bool lyra = false;
  bool mi_connect = false;
  for (const auto& q : questions) {
    unicast_response = unicast_response || (q.qclass & kDnsUnicastResponseBit) != 0;
    lyra = lyra || query_matches_service(q.name, q.qtype, kLyraServiceType, responses.lyra_label);
    mi_connect = mi_connect || query_matches_service(q.name, q.qtype, kMiConnectServiceType,
                                                     responses.mi_connect_instance);
  }
  const bool unicast_addressed = !destination || !is_multicast(*destination);
  if ((unicast_addressed || unicast_response) && !on_link.is_host(source.ip)) {
    plan.off_link = true;
    return plan;
  }
  plan.destination = unicast_response ? source : multicast_target;
  plan.unsupported = !questions.empty() && !lyra && !mi_connect;
  plan.lyra = lyra && (unicast_response || may_multicast(last_multicast.lyra, now));
  plan.mi_connect =
      mi_connect && (unicast_response || may_multicast(last_multicast.mi_connect, now));
  return plan;
}

void run_responder(DatagramSocket& socket, const ResponderParams& params) {
  Responder(socket, params).run();
}

}  // namespace sonvale::mdns
