#include "discovery/mi_connect_record.h"

#include <gtest/gtest.h>

#include <string>

#include "core/encoding.h"
#include "discovery/dns_message.h"
#include "support/fake_interfaces.h"

namespace sonvale::mdns {
namespace {

using testing::v6_addr;

MiConnectRecordParams kitchen() {
  MiConnectRecordParams p;
  p.name = "Kitchen";
  p.instance = "Kitchen(ungWv48Bz-)";
  p.idm_instance_id = "abc";
  p.media_device_id = "3f2a9c1e-0b4d-4e6f-8a7b-1c2d3e4f5a6b";
  p.device_type = 3;
  p.address = *Ipv4::parse("192.168.1.23");
  return p;
}

std::string u16hex(std::size_t v) {
  const std::uint8_t b[2] = {static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
  return hex_lower(b);
}

struct Parsed {
  std::size_t l = 0;
  std::size_t t = 0;
  std::vector<std::string> txt;
};

Parsed parse(const Bytes& packet) {
  Parsed out;
  out.l = packet[46];
  const std::size_t at = 80 + 2 * out.l;
  out.t = std::size_t{packet[at]} << 8 | packet[at + 1];
  for (std::size_t i = at + 2; i < at + 2 + out.t;) {
    const std::size_t n = packet[i];
    out.txt.emplace_back(reinterpret_cast<const char*>(&packet[i + 1]), n);
    i += 1 + n;
  }
  return out;
}

TEST(MiConnectRecordTest, LayoutAndPointersFollowTheInstanceLength) {
  for (const char* instance : {"K(ungWv48Bz-)", "Kitchen(ungWv48Bz-)",
                               "abcdefghijabcdefghijabcdefghijabcdefghijabcde(ungWv48Bz-)"}) {
    MiConnectRecordParams p = kitchen();
    p.instance = instance;
    const Bytes packet = build_mi_connect_response(p);
    const Parsed m = parse(packet);
    ASSERT_EQ(m.l, std::string(instance).size());
    const std::size_t l = m.l;
    EXPECT_EQ(packet.size(), 98 + 2 * l + m.t) << instance;
    EXPECT_EQ(hex_lower(ByteSpan(packet).first(12)), "000084000000000100000003");
    EXPECT_EQ(hex_lower(ByteSpan(packet).subspan(12, 34)),
              "0b5f6d692d636f6e6e656374045f756470056c6f63616c00" "000c000100000078" + u16hex(l + 3));
    EXPECT_EQ(hex_lower(ByteSpan(packet).subspan(47 + l, 20)),
              "c00c" "c02e00218001" "00000078" + u16hex(l + 9) + "00000000dd5a");
    EXPECT_EQ(packet[67 + l], l);
    EXPECT_EQ(hex_lower(ByteSpan(packet).subspan(68 + 2 * l, 12)), "c01dc02e0010800100000078");
    // The A record's owner points at the SRV target label.
    const std::size_t a = 82 + 2 * l + m.t;
    EXPECT_EQ(packet[a], 0xc0);
    EXPECT_EQ(packet[a + 1], 67 + l);
    EXPECT_EQ(hex_lower(ByteSpan(packet).subspan(a + 2)), "000180010000007800" "04c0a80117");
  }
}

TEST(MiConnectRecordTest, TxtEntriesWithoutMac) {
  const Parsed m = parse(build_mi_connect_response(kitchen()));
  EXPECT_EQ(m.txt, (std::vector<std::string>{"version=196608", "apps=[5]", "flags=CgE=",
                                             "name=Kitchen", "idHash=dW5n", "dev=3", "sec=2",
                                             "appsData=gQAEBIMiww=="}));
}

TEST(MiConnectRecordTest, Ipv6AddsAaaaAfterA) {
  MiConnectRecordParams p = kitchen();
  p.ipv6 = v6_addr("2001:db8::5");
  const Bytes packet = build_mi_connect_response(p);
  const Parsed m = parse(packet);
  EXPECT_EQ(packet.size(), 126 + 2 * m.l + m.t);
  EXPECT_EQ(packet[11], 4);
  const std::size_t aaaa = 98 + 2 * m.l + m.t;
  EXPECT_EQ(packet[aaaa + 1], 67 + m.l);
  EXPECT_EQ(hex_lower(ByteSpan(packet).subspan(aaaa)),
            u16hex(0xc000 + 67 + m.l) + "001c8001000000780010" "20010db8000000000000000000000005");
}

TEST(MiConnectRecordTest, MacFromMediaDeviceId) {
  struct Case {
    const char* id;
    const char* mac_entry;  // nullptr: no entry
  };
  const Case cases[] = {
      {"AA:BB:CC:DD:EE:FF", "mac=qrvM3e7/"},
      {"aa-bb-cc-dd-ee-ff", "mac=qrvM3e7/"},
      {"aabbccddeeff", "mac=qrvM3e7/"},
      {"xx0123456789abzz", "mac=ASNFZ4mr"},
      {"aabbccddeef", nullptr},
      {"aabbccddeeff0", nullptr},
      {"3f2a9c1e-0b4d-4e6f-8a7b-1c2d3e4f5a6b", nullptr},
      {"", nullptr},
  };
  for (const auto& c : cases) {
    MiConnectRecordParams p = kitchen();
    p.media_device_id = c.id;
    const Parsed m = parse(build_mi_connect_response(p));
    if (c.mac_entry) {
      ASSERT_EQ(m.txt.size(), 9u) << c.id;
      EXPECT_EQ(m.txt[8], c.mac_entry) << c.id;
    } else {
      EXPECT_EQ(m.txt.size(), 8u) << c.id;
    }
  }
}

TEST(MiConnectRecordTest, AccountCodeFromTheDiagnosticVariable) {
  struct Case {
    std::optional<std::string> env;
    const char* id_hash;
  };
  const Case cases[] = {
      {std::nullopt, "idHash=dW5n"},          // "ung", the identity's code
      {"ab7", "idHash=YWI3"},                 // two lower-case letters and a digit
      {"XyZ", "idHash=WHla"},                 // case kept
      {"ab", "idHash=dW5n"},
      {"abcd", "idHash=dW5n"},
      {"a_b", "idHash=dW5n"},
      {" ab", "idHash=dW5n"},
      {"ab ", "idHash=dW5n"},
      {"\xff\xfe\x41", "idHash=dW5n"},        // not UTF-8
      {"\xc3\xa9", "idHash=dW5n"},            // two bytes of one letter
      {"", "idHash=dW5n"},
  };
  for (const auto& c : cases) {
    MiConnectRecordParams p = kitchen();
    if (c.env) p.diagnostic_account_id = *c.env;
    EXPECT_EQ(parse(build_mi_connect_response(p)).txt[4], c.id_hash) << c.env.value_or("<unset>");
  }
}

TEST(MiConnectRecordTest, NameEntryCutAt255AndDeviceTypeInDecimal) {
  MiConnectRecordParams p = kitchen();
  const std::string long_name(251, 'n');
  p.name = long_name;
  p.device_type = 0;
  Parsed m = parse(build_mi_connect_response(p));
  EXPECT_EQ(m.txt[3], "name=" + std::string(250, 'n'));
  EXPECT_EQ(m.txt[5], "dev=0");
  p.device_type = 255;
  EXPECT_EQ(parse(build_mi_connect_response(p)).txt[5], "dev=255");
}

}  // namespace
}  // namespace sonvale::mdns
