#include "discovery/lyra_record.h"

#include <vector>

#include "core/encoding.h"
#include "core/socket_addr.h"
#include "discovery/dns_message.h"
#include "discovery/service_response.h"

namespace sonvale::mdns {
namespace {

constexpr std::uint16_t kMdnsPort = 5353;

char debug_char(char c) {
  if (c >= '0' && c <= '9') return static_cast<char>(c - 13);
  if (c >= 'a' && c <= 'f') return static_cast<char>(';' + (c - 'a'));
  if (c >= 'A' && c <= 'F') return static_cast<char>(';' + (c - 'A'));
  return c;
}

// The longest prefix of at most `max` bytes that ends on a UTF-8 character boundary.
std::string_view utf8_prefix(std::string_view text, std::size_t max) {
  if (text.size() <= max) return text;
  std::size_t end = max;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xc0) == 0x80) --end;
  return text.substr(0, end);
}

std::uint64_t unix_millis(std::chrono::system_clock::time_point t) {
  const auto since = t.time_since_epoch();
  if (since.count() < 0) return 0;
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(since).count());
}

std::string debug_text(const LyraRecordParams& p) {
  std::string out = "{msg:reply, ifname:";
  out += p.interface_name;
  out += ", v4:" + encode_xiaomi_debug_ip(p.address.to_string(), '.');
  if (p.link_local) out += ", v6:" + encode_xiaomi_debug_ip(ipv6_to_string(*p.link_local), ':');
  out += "}";
  return out;
}

}  // namespace

std::string encode_xiaomi_debug_ip(std::string_view text, char separator) {
  std::vector<std::string_view> groups;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = text.find(separator, start);
    groups.push_back(text.substr(start, end == std::string_view::npos ? end : end - start));
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  std::string out;
  for (std::size_t i = 0; i < groups.size(); ++i) {
    if (i > 0) out.push_back(separator);
    const bool edge = i == 0 || i + 1 == groups.size();
    for (char c : groups[i]) out.push_back(edge ? c : debug_char(c));
  }
  return out;
}

Bytes lyra_app_data(const LyraRecordParams& p) {
  const std::string_view name = utf8_prefix(p.name, 63);
  ByteWriter w(27 + name.size());
  w.u8(0x00).u8(0x40).u8(p.lyra_device_type);
  for (std::size_t i = 0; i < 8; i += 2) {
    const auto byte = hex_decode(p.label.substr(i, 2));
    w.u8(byte && byte->size() == 1 ? (*byte)[0] : 0);
  }
  constexpr std::uint8_t kFixed[] = {0x00, 0x05, 0x19, 0x24, 0x10, 0x01, 0x03, 0x0A,
                                     0x03, 0x01, 0xDA, 0xAE, 0x01, 0x01, 0x80, 0x02};
  w.bytes(kFixed);
  w.u8(static_cast<std::uint8_t>(name.size())).text(name);
  w.u8(0x25).u8(0x01).u8(0x03);
  return w.take();
}

Bytes build_lyra_response(const LyraRecordParams& p) {
  ByteWriter txt;
  write_character_string(txt, "AppData=" + base64_encode(lyra_app_data(p)));
  write_character_string(txt, "MediumType=8192");
  write_character_string(txt, "CH=0");
  write_character_string(txt, "DebugInfo=" + debug_text(p));
  write_character_string(txt, "TS=" + std::to_string(unix_millis(p.registered_at)));
  return build_service_response(ServiceResponseParams{
      "_lyra-mdns", p.label, kMdnsPort, txt.view(), p.address, p.link_local});
}

}  // namespace sonvale::mdns
