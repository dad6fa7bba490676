#include "discovery/service_response.h"

#include "discovery/dns_message.h"

namespace sonvale::mdns {
namespace {

constexpr std::uint32_t kTtl = 120;
constexpr std::size_t kRecordFieldBytes = 10;  // type, class, TTL, RDLENGTH

}  // namespace

Bytes build_service_response(const ServiceResponseParams& p) {
  const std::size_t l = p.instance.size();
  const auto txt_len = static_cast<std::uint16_t>(p.txt.size() < 65535 ? p.txt.size() : 65535);
  // The offsets the compression pointers need: the service type right behind the header, its
  // "local" label behind "<service>" and "_udp", the instance label in the PTR's data, the host
  // label in the SRV's.
  const std::size_t service_type = kDnsHeaderBytes;
  const std::size_t local = service_type + 1 + p.service.size() + 5;
  const std::size_t instance = local + 7 + kRecordFieldBytes;
  const std::size_t host = instance + (l + 3) + 2 + kRecordFieldBytes + 6;

  ByteWriter w(128 + 2 * l + p.txt.size());
  w.u16be(0).u16be(0x8400).u16be(0).u16be(1).u16be(0).u16be(p.ipv6 ? 4 : 3);
  // PTR: service type -> instance.
  w.u8(static_cast<std::uint8_t>(p.service.size())).text(p.service);
  w.u8(4).text("_udp").u8(5).text("local").u8(0);
  write_record_fields(w, kDnsTypePtr, kDnsClassIn, kTtl, static_cast<std::uint16_t>(l + 3));
  w.u8(static_cast<std::uint8_t>(l)).text(p.instance);
  write_name_pointer(w, service_type);
  // SRV: instance -> host name (instance label + ".local").
  write_name_pointer(w, instance);
  write_record_fields(w, kDnsTypeSrv, kDnsClassInFlush, kTtl, static_cast<std::uint16_t>(l + 9));
  w.u16be(0).u16be(0).u16be(p.port);
  w.u8(static_cast<std::uint8_t>(l)).text(p.instance);
  write_name_pointer(w, local);
  // TXT.
  write_name_pointer(w, instance);
  write_record_fields(w, kDnsTypeTxt, kDnsClassInFlush, kTtl, txt_len);
  w.bytes(p.txt);
  // A, then AAAA.
  write_name_pointer(w, host);
  write_record_fields(w, kDnsTypeA, kDnsClassInFlush, kTtl, 4);
  w.u32be(p.address.value);
  if (p.ipv6) {
    write_name_pointer(w, host);
    write_record_fields(w, kDnsTypeAaaa, kDnsClassInFlush, kTtl, 16);
    w.bytes(ByteSpan(p.ipv6->s6_addr, 16));
  }
  return w.take();
}

}  // namespace sonvale::mdns
