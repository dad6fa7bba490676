#pragma once

// The few DNS message operations multicast DNS discovery needs (RFC 1035 section 4, RFC 6762):
// reading names and questions of received messages, matching questions against the receiver's
// services, rewriting the TTLs of prepared responses, and writing the pieces of those responses.
// Pure functions over spans: no I/O, no state, no events.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/bytes.h"

namespace sonvale::mdns {

inline constexpr std::uint16_t kDnsTypeA = 1;
inline constexpr std::uint16_t kDnsTypePtr = 12;
inline constexpr std::uint16_t kDnsTypeTxt = 16;
inline constexpr std::uint16_t kDnsTypeAaaa = 28;
inline constexpr std::uint16_t kDnsTypeSrv = 33;
inline constexpr std::uint16_t kDnsTypeAny = 255;
inline constexpr std::uint16_t kDnsClassIn = 0x0001;
inline constexpr std::uint16_t kDnsClassInFlush = 0x8001;  // IN with the cache-flush bit
inline constexpr std::uint16_t kDnsUnicastResponseBit = 0x8000;
inline constexpr std::size_t kDnsHeaderBytes = 12;

// A name's labels and compression pointers together; the 16th makes the name fail.
inline constexpr int kMaxDnsNameSteps = 15;
// RFC 1035 section 3.1: a name's uncompressed wire form (length bytes, labels and the final
// zero byte) is at most 255 octets. Longer names are malformed.
inline constexpr std::size_t kMaxDnsNameWireBytes = 255;

// Decodes the (possibly compressed) name at `offset`: labels joined by ".", no trailing dot, the
// root name as "", label bytes as text with ill-formed UTF-8 replaced by U+FFFD. On success
// `offset` is just behind the name as stored there (behind its zero byte or its first pointer).
// On failure nothing is returned and `offset` may have moved.
std::optional<std::string> parse_dns_name(ByteSpan message, std::size_t& offset);

struct DnsQuestion {
  std::string name;
  std::uint16_t qtype = 0;
  std::uint16_t qclass = 0;  // as on the wire, the unicast-response bit included
};

// The questions of the question section that could be read, in order; reading stops quietly at
// the first malformed one. Header fields other than QDCOUNT are not looked at.
std::vector<DnsQuestion> read_dns_questions(ByteSpan message);

// Whether a question asks for a record of the service `service` ("_lyra-mdns._udp.local",
// without trailing dot) whose instance label is `label`: PTR for the service or the instance
// name, SRV and TXT for the instance name, A and AAAA for the host name (label + ".local"), ANY
// for any of them. Names compare ignoring ASCII case (RFC 6762 section 16).
bool query_matches_service(std::string_view name, std::uint16_t qtype, std::string_view service,
                           std::string_view label);

// A copy of `message` with every record's TTL set to `ttl`; nullopt unless every counted
// question and record lies wholly inside the message.
std::optional<Bytes> set_dns_record_ttls(ByteSpan message, std::uint8_t ttl);

// "name/qtype/0xCCCC": the question as events list it (class as four lowercase hex digits).
std::string describe_dns_question(const DnsQuestion& question);

// An event lists at most this many questions, so that one datagram cannot make an event line
// of megabytes; matching still looks at every question.
inline constexpr std::size_t kMaxListedQuestions = 32;
// The first kMaxListedQuestions questions, described.
std::vector<std::string> describe_dns_questions(const std::vector<DnsQuestion>& questions);

// Writes `text` as one DNS character-string: a length byte and at most 255 of its first bytes
// (a longer text is cut by bytes, possibly inside a multi-byte character).
void write_character_string(ByteWriter& w, std::string_view text);

// Writes the fixed part of a resource record after its owner name: type, class, TTL and
// RDLENGTH.
void write_record_fields(ByteWriter& w, std::uint16_t type, std::uint16_t klass, std::uint32_t ttl,
                         std::uint16_t rdlength);

// The two bytes of a compression pointer to `offset` (below 0x4000).
void write_name_pointer(ByteWriter& w, std::size_t offset);

}  // namespace sonvale::mdns
