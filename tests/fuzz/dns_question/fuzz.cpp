// What the discovery thread does with a received datagram: read its questions, match them
// against both services; the TTL rewriter over the same bytes; the peer browser's accept test.

#include <cstdint>
#include <cstdlib>

#include "discovery/dns_message.h"
#include "discovery/peer_browser.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const sonvale::ByteSpan input(data, size);
  const auto questions = sonvale::read_dns_questions(input);
  for (const auto& q : questions) {
    // U+FFFD takes 3 bytes for 1 replaced byte; a name holds at most 255 wire octets.
    if (q.name.size() > 3 * sonvale::kMaxDnsNameWireBytes) std::abort();
    (void)sonvale::query_matches_service(q.name, q.qtype, "_lyra-mdns._udp.local", "C0A80117");
    (void)sonvale::query_matches_service(q.name, q.qtype, "_mi-connect._udp.local", "K(ungWv48Bz-)");
  }
  if (sonvale::describe_dns_questions(questions).size() > sonvale::kMaxListedQuestions) std::abort();
  if (auto copy = sonvale::set_dns_record_ttls(input, 0)) {
    if (copy->size() != size) std::abort();
    for (std::size_t i = 0; i < 12 && i < size; ++i) {
      if ((*copy)[i] != data[i]) std::abort();  // the header is never rewritten
    }
  }
  const auto verdict = sonvale::classify_peer_datagram(input);
  if (verdict.found && (!verdict.names_service || size < 23)) std::abort();
  return 0;
}
