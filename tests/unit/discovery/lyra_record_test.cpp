#include "discovery/lyra_record.h"

#include <gtest/gtest.h>

#include <string>

#include "core/encoding.h"
#include "discovery/dns_message.h"
#include "support/fake_interfaces.h"

namespace sonvale::mdns {
namespace {

using std::chrono::milliseconds;
using std::chrono::system_clock;
using testing::v6_addr;

LyraRecordParams kitchen() {
  LyraRecordParams p;
  p.name = "Kitchen";
  p.lyra_device_type = 21;
  p.label = "C0A80117";
  p.address = *Ipv4::parse("192.168.1.23");
  p.interface_name = "en0";
  p.registered_at = system_clock::time_point(milliseconds(1700000000000));
  return p;
}

// The TXT strings of a Lyra packet (the TXT data starts at 97, its length at 95).
std::vector<std::string> txt_strings(const Bytes& packet) {
  const std::size_t len = std::size_t{packet[95]} << 8 | packet[96];
  std::vector<std::string> out;
  for (std::size_t i = 97; i < 97 + len;) {
    const std::size_t n = packet[i];
    out.emplace_back(reinterpret_cast<const char*>(&packet[i + 1]), n);
    i += 1 + n;
  }
  return out;
}

TEST(LyraRecordTest, KitchenExampleByteForByte) {
  const LyraRecordParams p = kitchen();
  EXPECT_EQ(hex_upper(lyra_app_data(p)),
            "004015C0A8011700051924100103" "0A0301DAAE0101800207" "4B69746368656E250103");
  const Bytes packet = build_lyra_response(p);
  ASSERT_EQ(packet.size(), 259u);
  EXPECT_EQ((std::size_t{packet[95]} << 8 | packet[96]), 146u);
  EXPECT_EQ(txt_strings(packet),
            (std::vector<std::string>{"AppData=AEAVwKgBFwAFGSQQAQMKAwHargEBgAIHS2l0Y2hlbiUBAw==",
                                      "MediumType=8192", "CH=0",
                                      "DebugInfo={msg:reply, ifname:en0, v4:192.$)+.$.23}",
                                      "TS=1700000000000"}));
  const std::string head =
      "0000840000000001000000030a5f6c7972612d6d646e73045f756470056c6f63616c00"
      "000c000100000078000b084330413830313137c00c"         // PTR -> C0A80117 + ptr 12
      "c02d0021800100000078001100000000" "14e9"            // SRV, port 5353
      "084330413830313137c01c"                              // target label + ptr "local"
      "c02d00108001000000780092";                           // TXT header, T = 146
  EXPECT_EQ(hex_lower(ByteSpan(packet).first(head.size() / 2)), head);
  EXPECT_EQ(hex_lower(ByteSpan(packet).last(16)), "c04a000180010000007800" "04c0a80117");
}

TEST(LyraRecordTest, LinkLocalAddsAaaaAfterA) {
  LyraRecordParams p = kitchen();
  p.link_local = v6_addr("fe80::1c2b:3d4e:5f6a:7b8c");
  const Bytes packet = build_lyra_response(p);
  const auto txt = txt_strings(packet);
  EXPECT_EQ(txt[3], "DebugInfo={msg:reply, ifname:en0, v4:192.$)+.$.23, v6:fe80::$=%<:&>'?:(@);:7b8c}");
  const std::size_t t = std::size_t{packet[95]} << 8 | packet[96];
  ASSERT_EQ(packet.size(), 141 + t);
  EXPECT_EQ(packet[11], 4);
  EXPECT_EQ(hex_lower(ByteSpan(packet).subspan(97 + t, 16)), "c04a000180010000007800" "04c0a80117");
  EXPECT_EQ(hex_lower(ByteSpan(packet).subspan(113 + t)),
            "c04a001c8001000000780010" "fe800000000000001c2b3d4e5f6a7b8c");
}

TEST(LyraRecordTest, AppDataNameCuts) {
  LyraRecordParams p = kitchen();
  p.name = "";
  EXPECT_EQ(lyra_app_data(p).size(), 27u);
  std::string seventy;
  for (int i = 0; i < 70; ++i) seventy += "\xc3\xa9";
  p.name = seventy;
  const Bytes cut = lyra_app_data(p);
  EXPECT_EQ(cut[23], 62);  // 31 characters
  EXPECT_EQ(cut.size(), 27u + 62);
  const std::string ascii63(63, 'n');
  p.name = ascii63;
  EXPECT_EQ(lyra_app_data(p)[23], 63);
  const std::string ascii64 = ascii63 + "x";
  p.name = ascii64;
  EXPECT_EQ(lyra_app_data(p)[23], 63);
}

TEST(LyraRecordTest, LongInterfaceNameCutsDebugInfoAt255Bytes) {
  LyraRecordParams p = kitchen();
  std::string ifname(240, 'i');
  ifname += "\xe5\xb0\x8f";  // a three-byte character across the cut
  p.interface_name = ifname;
  const auto txt = txt_strings(build_lyra_response(p));
  ASSERT_EQ(txt[3].size(), 255u);
  EXPECT_EQ(txt[3], ("DebugInfo={msg:reply, ifname:" + ifname).substr(0, 255));
  EXPECT_EQ(txt[4], "TS=1700000000000");
}

TEST(LyraRecordTest, TimestampBeforeEpochIsZeroAndSubMillisecondsTruncate) {
  LyraRecordParams p = kitchen();
  p.registered_at = system_clock::time_point(-std::chrono::seconds(5));
  EXPECT_EQ(txt_strings(build_lyra_response(p))[4], "TS=0");
  p.registered_at = system_clock::time_point(std::chrono::microseconds(1'234'999));
  EXPECT_EQ(txt_strings(build_lyra_response(p))[4], "TS=1234");
}

TEST(DebugIpTest, Examples) {
  struct Case {
    const char* in;
    char sep;
    const char* out;
  };
  const Case cases[] = {
      {"192.168.1.23", '.', "192.$)+.$.23"},
      {"10.0.0.5", '.', "10.#.#.5"},
      {"fe80::1c2b:3d4e:5f6a:7b8c", ':', "fe80::$=%<:&>'?:(@);:7b8c"},
      {"fe80::1", ':', "fe80::1"},
      {"a.b", '.', "a.b"},
      {"abc", '.', "abc"},
      {"1.ABCDEF9.2", '.', "1.;<=>?@,.2"},
      {"1..2", '.', "1..2"},
  };
  for (const auto& c : cases) EXPECT_EQ(encode_xiaomi_debug_ip(c.in, c.sep), c.out) << c.in;
}

}  // namespace
}  // namespace sonvale::mdns
