#include "discovery/service_response.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "discovery/dns_message.h"
#include "support/fake_interfaces.h"

namespace sonvale::mdns {
namespace {

// One resource record as a resolver reads it back, names through their compression pointers.
struct ReadRecord {
  std::string name;
  std::uint16_t type = 0;
  std::uint16_t klass = 0;
  std::uint32_t ttl = 0;
  std::string target;  // PTR: the instance name; SRV: the host name
  std::uint16_t port = 0;
  Bytes data;
};

// Reads `count` records behind the header; `offset` ends just behind the last one read.
std::vector<ReadRecord> read_records(const Bytes& message, std::size_t count, std::size_t& offset) {
  std::vector<ReadRecord> out;
  offset = kDnsHeaderBytes;
  for (std::size_t i = 0; i < count; ++i) {
    ReadRecord r;
    const auto name = parse_dns_name(message, offset);
    if (!name) break;
    r.name = *name;
    ByteReader fields(ByteSpan(message).subspan(offset));
    const auto type = fields.u16be();
    const auto klass = fields.u16be();
    const auto ttl = fields.u32be();
    const auto rdlength = fields.u16be();
    if (!rdlength) break;
    const auto rdata = fields.bytes(*rdlength);
    if (!rdata) break;
    r.type = *type;
    r.klass = *klass;
    r.ttl = *ttl;
    r.data.assign(rdata->begin(), rdata->end());
    std::size_t target = offset + 10;
    if (r.type == kDnsTypeSrv) {
      r.port = static_cast<std::uint16_t>((r.data.at(4) << 8) | r.data.at(5));
      target += 6;
    }
    if (r.type == kDnsTypePtr || r.type == kDnsTypeSrv) {
      r.target = parse_dns_name(message, target).value_or("?");
    }
    offset += 10 + std::size_t{*rdlength};
    out.push_back(std::move(r));
  }
  return out;
}

struct ServiceCase {
  const char* title;
  const char* service;
  std::string instance;
  bool ipv6;
};

class ServiceResponseTest : public ::testing::TestWithParam<ServiceCase> {};

// Every pointer lands on the name it stands for, whatever the label lengths.
TEST_P(ServiceResponseTest, ReadsBackAsTheServiceItDescribes) {
  const ServiceCase& c = GetParam();
  const Bytes txt = {3, 'a', '=', 'b'};
  ServiceResponseParams p{c.service, c.instance, 4242, txt, Ipv4::from_octets(10, 0, 0, 9),
                          std::nullopt};
  if (c.ipv6) p.ipv6 = testing::v6_addr("fe80::1");
  const Bytes message = build_service_response(p);

  ASSERT_GE(message.size(), kDnsHeaderBytes);
  EXPECT_EQ(Bytes(message.begin(), message.begin() + 12),
            (Bytes{0, 0, 0x84, 0, 0, 0, 0, 1, 0, 0, 0, static_cast<std::uint8_t>(c.ipv6 ? 4 : 3)}));
  const std::string type = std::string(c.service) + "._udp.local";
  const std::string instance = c.instance + "." + type;
  const std::string host = c.instance + ".local";
  std::size_t end = 0;
  const auto records = read_records(message, c.ipv6 ? 5 : 4, end);
  ASSERT_EQ(records.size(), c.ipv6 ? 5u : 4u);

  EXPECT_EQ(records[0].name, type);
  EXPECT_EQ(records[0].type, kDnsTypePtr);
  EXPECT_EQ(records[0].klass, kDnsClassIn);
  EXPECT_EQ(records[0].target, instance);
  EXPECT_EQ(records[1].name, instance);
  EXPECT_EQ(records[1].type, kDnsTypeSrv);
  EXPECT_EQ(records[1].target, host);
  EXPECT_EQ(records[1].port, 4242);
  EXPECT_EQ(records[2].name, instance);
  EXPECT_EQ(records[2].type, kDnsTypeTxt);
  EXPECT_EQ(records[2].data, txt);
  EXPECT_EQ(records[3].name, host);
  EXPECT_EQ(records[3].type, kDnsTypeA);
  EXPECT_EQ(records[3].data, (Bytes{10, 0, 0, 9}));
  if (c.ipv6) {
    EXPECT_EQ(records[4].name, host);
    EXPECT_EQ(records[4].type, kDnsTypeAaaa);
    EXPECT_EQ(records[4].data, Bytes(p.ipv6->s6_addr, p.ipv6->s6_addr + 16));
  }
  for (std::size_t i = 1; i < records.size(); ++i) EXPECT_EQ(records[i].klass, kDnsClassInFlush);
  for (const auto& r : records) EXPECT_EQ(r.ttl, 120u);
  EXPECT_EQ(end, message.size());
}

INSTANTIATE_TEST_SUITE_P(
    Labels, ServiceResponseTest,
    ::testing::Values(ServiceCase{"OneByteInstance", "_lyra-mdns", "A", false},
                      ServiceCase{"EightByteInstanceWithAaaa", "_lyra-mdns", "0A1B2C3D", true},
                      ServiceCase{"LongerServiceLabel", "_mi-connect", "Kitchen(ungWv48Bz-)", true},
                      ServiceCase{"LongestInstance", "_mi-connect", std::string(63, 'x'), false}),
    [](const auto& c) { return std::string(c.param.title); });

}  // namespace
}  // namespace sonvale::mdns
