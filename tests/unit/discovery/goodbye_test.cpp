// The goodbye copy of each prepared packet: set_dns_record_ttls with TTL 0 must change exactly the
// TTL fields that the record layouts place, for every shape a packet can take.

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "discovery/dns_message.h"
#include "discovery/lyra_record.h"
#include "discovery/mi_connect_record.h"
#include "support/fake_interfaces.h"

namespace sonvale::mdns {
namespace {

using testing::v6_addr;

struct Shape {
  const char* title;
  Bytes packet;
  std::set<std::size_t> ttl_offsets;  // first byte of every record's TTL, from the layout tables
};

std::size_t txt_len_at(const Bytes& p, std::size_t at) { return std::size_t{p[at]} << 8 | p[at + 1]; }

Shape lyra_shape(const char* title, std::string name, std::string ifname, bool v6) {
  LyraRecordParams p;
  p.name = name;
  p.lyra_device_type = 21;
  p.label = "0123ABCD";
  p.address = *Ipv4::parse("10.0.0.5");
  p.interface_name = ifname;
  if (v6) p.link_local = v6_addr("fe80::1");
  p.registered_at = std::chrono::system_clock::time_point(std::chrono::milliseconds(1));
  Shape s{title, build_lyra_response(p), {}};
  const std::size_t t = txt_len_at(s.packet, 95);
  s.ttl_offsets = {39, 62, 91, 103 + t};
  if (v6) s.ttl_offsets.insert(119 + t);
  return s;
}

Shape mi_shape(const char* title, std::string name, std::string instance, std::string media, bool v6) {
  MiConnectRecordParams p;
  p.name = name;
  p.instance = instance;
  p.idm_instance_id = "abc";
  p.media_device_id = media;
  p.address = *Ipv4::parse("10.0.0.5");
  if (v6) p.ipv6 = v6_addr("2001:db8::1");
  Shape s{title, build_mi_connect_response(p), {}};
  const std::size_t l = instance.size();
  const std::size_t t = txt_len_at(s.packet, 80 + 2 * l);
  s.ttl_offsets = {40, 55 + l, 76 + 2 * l, 88 + 2 * l + t};
  if (v6) s.ttl_offsets.insert(104 + 2 * l + t);
  return s;
}

class GoodbyeTest : public ::testing::TestWithParam<Shape> {};

TEST_P(GoodbyeTest, DiffersOnlyInTtlBytes) {
  const Shape& s = GetParam();
  const auto goodbye = set_dns_record_ttls(s.packet, 0);
  ASSERT_TRUE(goodbye);
  ASSERT_EQ(goodbye->size(), s.packet.size());
  std::set<std::size_t> ttl_bytes;
  for (std::size_t at : s.ttl_offsets) {
    for (std::size_t k = 0; k < 4; ++k) ttl_bytes.insert(at + k);
    // The prepared TTL is 120.
    EXPECT_EQ(txt_len_at(s.packet, at + 2), 120u) << at;
  }
  for (std::size_t i = 0; i < s.packet.size(); ++i) {
    if (ttl_bytes.count(i)) {
      EXPECT_EQ((*goodbye)[i], 0) << i;
    } else {
      EXPECT_EQ((*goodbye)[i], s.packet[i]) << i;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, GoodbyeTest,
    ::testing::Values(
        lyra_shape("lyra_short", "", "", false),
        lyra_shape("lyra_with_aaaa", "Kitchen", "en0", true),
        lyra_shape("lyra_largest_txt", std::string(80, 'n'), std::string(300, 'i'), true),
        mi_shape("mi_shortest_label", "", "Q", "", false),
        mi_shape("mi_longest_label", "Kitchen", std::string(63, 'L'), "aabbccddeeff", true),
        mi_shape("mi_largest_txt", std::string(300, 'n'), std::string(57, 'L'), "aabbccddeeff", true),
        mi_shape("mi_without_aaaa", "Kitchen", "Kitchen(ungWv48Bz-)", "", false)),
    [](const auto& p) { return std::string(p.param.title); });

}  // namespace
}  // namespace sonvale::mdns
