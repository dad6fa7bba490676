#include "discovery/dns_message.h"

#include <cstdio>

#include "core/text.h"

namespace sonvale::mdns {

std::optional<std::string> parse_dns_name(ByteSpan message, std::size_t& offset) {
  std::string name;
  bool jumped = false;
  int steps = 0;
  std::size_t pos = offset;
  std::size_t wire_bytes = 1;  // the final zero byte
  bool first_label = true;
  for (;;) {
    if (pos >= message.size()) return std::nullopt;
    const std::uint8_t b = message[pos];
    if (b == 0) {
      if (!jumped) offset = pos + 1;
      return name;
    }
    if (b >= 0xc0) {
      if (1 >= message.size() - pos) return std::nullopt;
      const std::size_t target = (std::size_t{b} & 0x3f) << 8 | message[pos + 1];
      if (target >= message.size() || target == offset) return std::nullopt;
      if (!jumped) offset = pos + 2;
      jumped = true;
      if (steps == kMaxDnsNameSteps) return std::nullopt;
      ++steps;
      pos = target;
      continue;
    }
    // 1..191: a plain label. RFC 1035 reserves 0x40..0xBF; they are read as lengths too.
    const std::size_t len = b;
    if (len > message.size() - pos - 1) return std::nullopt;
    wire_bytes += 1 + len;
    if (wire_bytes > kMaxDnsNameWireBytes) return std::nullopt;
    const ByteSpan label = message.subspan(pos + 1, len);
    if (!first_label) name.push_back('.');
    first_label = false;
    name += utf8_lossy(label);
    pos += 1 + len;
    if (!jumped) offset = pos;
    if (steps == kMaxDnsNameSteps) return std::nullopt;
    ++steps;
  }
}

std::vector<DnsQuestion> read_dns_questions(ByteSpan message) {
  std::vector<DnsQuestion> out;
  if (message.size() < kDnsHeaderBytes) return out;
  const std::size_t count = std::size_t{message[4]} << 8 | message[5];
  std::size_t pos = kDnsHeaderBytes;
  for (std::size_t i = 0; i < count; ++i) {
    auto name = parse_dns_name(message, pos);
    if (!name) break;
    ByteReader r(message.subspan(pos));
    const auto qtype = r.u16be();
    const auto qclass = r.u16be();
    if (!qtype || !qclass) break;
    pos += 4;
    out.push_back(DnsQuestion{std::move(*name), *qtype, *qclass});
  }
  return out;
}

namespace {

// `name` equals `prefix` + "." + `suffix`, ignoring ASCII case, without building the text.
bool equals_joined(std::string_view name, std::string_view prefix, std::string_view suffix) {
  if (name.size() != prefix.size() + 1 + suffix.size()) return false;
  return ascii_iequal(name.substr(0, prefix.size()), prefix) &&
         name[prefix.size()] == '.' &&
         ascii_iequal(name.substr(prefix.size() + 1), suffix);
}

}  // namespace

bool query_matches_service(std::string_view name, std::uint16_t qtype, std::string_view service,
                           std::string_view label) {
  const bool is_service = ascii_iequal(name, service);
  const bool is_instance = equals_joined(name, label, service);
  const bool is_host = equals_joined(name, label, "local");
  switch (qtype) {
    case kDnsTypePtr:
      return is_service || is_instance;
    case kDnsTypeSrv:
    case kDnsTypeTxt:
      return is_instance;
    case kDnsTypeA:
    case kDnsTypeAaaa:
      return is_host;
    case kDnsTypeAny:
      return is_service || is_instance || is_host;
    default:
      return false;
  }
}

std::optional<Bytes> set_dns_record_ttls(ByteSpan message, std::uint8_t ttl) {
  if (message.size() < kDnsHeaderBytes) return std::nullopt;
  auto count_at = [&](std::size_t i) { return std::size_t{message[i]} << 8 | message[i + 1]; };
  const std::size_t questions = count_at(4);
  const std::size_t records = count_at(6) + count_at(8) + count_at(10);
  Bytes copy(message.begin(), message.end());
  std::size_t pos = kDnsHeaderBytes;
  for (std::size_t i = 0; i < questions; ++i) {
    if (!parse_dns_name(message, pos)) return std::nullopt;
    if (4 > message.size() - pos) return std::nullopt;
    pos += 4;
  }
  for (std::size_t i = 0; i < records; ++i) {
    if (!parse_dns_name(message, pos)) return std::nullopt;
    if (10 > message.size() - pos) return std::nullopt;
    copy[pos + 4] = 0;
    copy[pos + 5] = 0;
    copy[pos + 6] = 0;
    copy[pos + 7] = ttl;
    const std::size_t rdlength = count_at(pos + 8);
    if (rdlength > message.size() - pos - 10) return std::nullopt;
    pos += 10 + rdlength;
  }
  return copy;
}

std::string describe_dns_question(const DnsQuestion& question) {
  char klass[8];
  std::snprintf(klass, sizeof klass, "0x%04x", static_cast<unsigned>(question.qclass));
  return question.name + "/" + std::to_string(question.qtype) + "/" + klass;
}

std::vector<std::string> describe_dns_questions(const std::vector<DnsQuestion>& questions) {
  std::vector<std::string> out;
  for (std::size_t i = 0; i < questions.size() && i < kMaxListedQuestions; ++i) {
    out.push_back(describe_dns_question(questions[i]));
  }
  return out;
}

void write_character_string(ByteWriter& w, std::string_view text) {
  const std::size_t n = text.size() < 255 ? text.size() : 255;
  w.u8(static_cast<std::uint8_t>(n)).text(text.substr(0, n));
}

void write_record_fields(ByteWriter& w, std::uint16_t type, std::uint16_t klass, std::uint32_t ttl,
                         std::uint16_t rdlength) {
  w.u16be(type).u16be(klass).u32be(ttl).u16be(rdlength);
}

void write_name_pointer(ByteWriter& w, std::size_t offset) {
  w.u16be(static_cast<std::uint16_t>(0xc000 | (offset & 0x3fff)));
}

}  // namespace sonvale::mdns
