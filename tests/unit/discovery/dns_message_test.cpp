#include "discovery/dns_message.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "unit/discovery/dns_test_util.h"

namespace sonvale::mdns {
namespace {

using testing::cat;
using testing::dns_header;
using testing::dns_query;
using testing::Q;
using testing::wire_name;

Bytes labels_of(int count, std::string_view label = "a") {
  Bytes out;
  for (int i = 0; i < count; ++i) {
    out.push_back(static_cast<std::uint8_t>(label.size()));
    out.insert(out.end(), label.begin(), label.end());
  }
  return out;
}

Bytes with_zero(Bytes b) {
  b.push_back(0);
  return b;
}

std::string dotted(int count) {
  std::string s;
  for (int i = 0; i < count; ++i) s += i ? ".a" : "a";
  return s;
}

struct NameCase {
  const char* title;
  Bytes message;
  std::size_t start;
  std::optional<std::string> expect;
  std::size_t end_offset;  // checked only on success
};

class ParseNameTest : public ::testing::TestWithParam<NameCase> {};

TEST_P(ParseNameTest, DecodesOrFails) {
  const auto& c = GetParam();
  std::size_t offset = c.start;
  const auto name = parse_dns_name(c.message, offset);
  ASSERT_EQ(name, c.expect);
  if (name) {
    EXPECT_EQ(offset, c.end_offset);
  }
}

// A name of three labels at offset 0, then what follows from offset `at`.
Bytes pointed(Bytes target, Bytes rest) { return cat({target, rest}); }

INSTANTIATE_TEST_SUITE_P(
    Names, ParseNameTest,
    ::testing::Values(
        NameCase{"root", {0x00}, 0, "", 1},
        NameCase{"plain", wire_name({"_lyra-mdns", "_udp", "local"}), 0, "_lyra-mdns._udp.local", 23},
        NameCase{"fifteen_labels", with_zero(labels_of(15)), 0, dotted(15), 31},
        NameCase{"sixteen_labels", with_zero(labels_of(16)), 0, std::nullopt, 0},
        // 11 labels then a pointer to a 3-label name: 15 steps.
        NameCase{"eleven_plus_pointer_to_three",
                 pointed(with_zero(labels_of(3, "b")), cat({labels_of(11), {0xc0, 0x00}})), 7,
                 dotted(11) + ".b.b.b", 7 + 22 + 2},
        NameCase{"eleven_plus_pointer_to_four",
                 pointed(with_zero(labels_of(4, "b")), cat({labels_of(11), {0xc0, 0x00}})), 9,
                 std::nullopt, 0},
        NameCase{"pointer_to_itself", {0x00, 0xc0, 0x01}, 1, std::nullopt, 0},
        NameCase{"pointer_cut_after_first_byte", {0x00, 0xc0}, 1, std::nullopt, 0},
        NameCase{"pointer_past_end", {0x00, 0xc0, 0x03}, 1, std::nullopt, 0},
        NameCase{"pointer_to_message_length", {0xc0, 0x02}, 0, std::nullopt, 0},
        NameCase{"pointer_loop", {0xc0, 0x02, 0xc0, 0x00}, 0, std::nullopt, 0},
        NameCase{"offset_behind_pointer_not_target", cat({wire_name({"x"}), {0x01, 'y', 0xc0, 0x00}}),
                 3, "y.x", 7},
        NameCase{"reserved_length_0x40_is_a_length",
                 cat({{0x40}, Bytes(64, 'z'), {0x00}}), 0, std::string(64, 'z'), 66},
        NameCase{"label_runs_past_end", {0x05, 'a', 'b'}, 0, std::nullopt, 0},
        NameCase{"no_terminator", {0x01, 'a'}, 0, std::nullopt, 0},
        NameCase{"start_past_end", {0x00}, 1, std::nullopt, 0},
        NameCase{"invalid_utf8_replaced", {0x02, 0xff, 0xfe, 0x00}, 0, "\xef\xbf\xbd\xef\xbf\xbd", 4},
        NameCase{"dot_inside_label", {0x03, 'a', '.', 'b', 0x00}, 0, "a.b", 5},
        // RFC 1035 3.1: 3 x (1 + 63) + (1 + 61) + 1 = 255 octets decodes; one more octet fails.
        NameCase{"wire_form_255_octets",
                 cat({labels_of(3, std::string(63, 'c')), labels_of(1, std::string(61, 'd')), {0}}), 0,
                 std::string(63, 'c') + "." + std::string(63, 'c') + "." + std::string(63, 'c') + "." +
                     std::string(61, 'd'),
                 255},
        NameCase{"wire_form_256_octets",
                 cat({labels_of(3, std::string(63, 'c')), labels_of(1, std::string(62, 'd')), {0}}), 0,
                 std::nullopt, 0},
        NameCase{"cap_counts_labels_reached_through_pointers",
                 cat({labels_of(2, std::string(120, 'e')), {0}, labels_of(1, std::string(20, 'f')),
                      {0xc0, 0x00}}),
                 243, std::nullopt, 0}),
    [](const auto& p) { return std::string(p.param.title); });

TEST(ReadQuestionsTest, StopsQuietlyAtTheFirstMalformedQuestion) {
  const Bytes lyra = wire_name({"_lyra-mdns", "_udp", "local"});
  const Bytes full = dns_query(7, {{lyra, 12, 1}, {lyra, 16, 0x8001}, {lyra, 33, 1}});
  EXPECT_TRUE(read_dns_questions(Bytes(full.begin(), full.begin() + 11)).empty());
  EXPECT_TRUE(read_dns_questions(dns_header(1, 0, 0)).empty());

  const auto all = read_dns_questions(full);
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[1].name, "_lyra-mdns._udp.local");
  EXPECT_EQ(all[1].qtype, 16);
  EXPECT_EQ(all[1].qclass, 0x8001);  // the unicast-response bit is kept

  // The third question cut inside its type/class: two questions.
  EXPECT_EQ(read_dns_questions(Bytes(full.begin(), full.end() - 1)).size(), 2u);
  // The second name malformed: the first still counts.
  Bytes bad = dns_query(7, {{lyra, 12, 1}, {{0xc0, 0xff}, 12, 1}});
  EXPECT_EQ(read_dns_questions(bad).size(), 1u);
  // QDCOUNT larger than what is there: what is there.
  Bytes over = full;
  over[5] = 200;
  EXPECT_EQ(read_dns_questions(over).size(), 3u);
}

TEST(ReadQuestionsTest, PointerBombStaysSmall) {
  // Eleven 191-byte labels of 0x01 bytes, then a datagram filled with questions that point at
  // them: every such name exceeds 255 octets and is malformed, so nothing is read.
  Bytes target;
  for (int i = 0; i < 11; ++i) {
    target.push_back(191);
    target.insert(target.end(), 191, 0x01);
  }
  target.push_back(0);
  ByteWriter w;
  w.bytes(dns_header(0, 0, 65535));
  const std::size_t target_at = 12;
  w.bytes(target);
  // The first question is the long name itself; then pointers to it.
  w.u16be(12).u16be(1);
  while (w.size() + 6 <= 4096) {
    w.u16be(static_cast<std::uint16_t>(0xc000 | target_at)).u16be(12).u16be(1);
  }
  EXPECT_TRUE(read_dns_questions(w.view()).empty());

  // The longest legal name, asked for again and again: each decoded name stays within 255 bytes.
  ByteWriter legal;
  legal.bytes(dns_header(0, 0, 65535));
  legal.bytes(cat({labels_of(3, std::string(63, 'c')), labels_of(1, std::string(61, 'd')), {0}}));
  legal.u16be(12).u16be(1);
  while (legal.size() + 6 <= 4096) legal.u16be(0xc00c).u16be(12).u16be(1);
  const auto questions = read_dns_questions(legal.view());
  EXPECT_GT(questions.size(), 600u);
  for (const auto& q : questions) EXPECT_LE(q.name.size(), 255u);
  EXPECT_EQ(describe_dns_questions(questions).size(), kMaxListedQuestions);
}

struct MatchCase {
  const char* title;
  const char* name;
  std::uint16_t qtype;
  const char* service;
  const char* label;
  bool match;
};

class MatchTest : public ::testing::TestWithParam<MatchCase> {};

TEST_P(MatchTest, Matches) {
  const auto& c = GetParam();
  EXPECT_EQ(query_matches_service(c.name, c.qtype, c.service, c.label), c.match);
}

constexpr const char* kLyra = "_lyra-mdns._udp.local";
constexpr const char* kMi = "_mi-connect._udp.local";
constexpr const char* kMiName = "Kitchen(ungWv48Bz-)";

INSTANTIATE_TEST_SUITE_P(
    Matching, MatchTest,
    ::testing::Values(
        MatchCase{"ptr_service", kLyra, 12, kLyra, "C0A80117", true},
        MatchCase{"ptr_instance", "C0A80117._lyra-mdns._udp.local", 12, kLyra, "C0A80117", true},
        MatchCase{"ptr_host", "C0A80117.local", 12, kLyra, "C0A80117", false},
        MatchCase{"srv_instance", "C0A80117._lyra-mdns._udp.local", 33, kLyra, "C0A80117", true},
        MatchCase{"txt_instance", "C0A80117._lyra-mdns._udp.local", 16, kLyra, "C0A80117", true},
        MatchCase{"srv_service", kLyra, 33, kLyra, "C0A80117", false},
        MatchCase{"txt_bare_mi_service", kMi, 16, kMi, kMiName, false},
        MatchCase{"srv_host", "C0A80117.local", 33, kLyra, "C0A80117", false},
        MatchCase{"a_host", "C0A80117.local", 1, kLyra, "C0A80117", true},
        MatchCase{"aaaa_host", "Kitchen(ungWv48Bz-).local", 28, kMi, kMiName, true},
        MatchCase{"a_instance", "C0A80117._lyra-mdns._udp.local", 1, kLyra, "C0A80117", false},
        MatchCase{"any_service", kMi, 255, kMi, kMiName, true},
        MatchCase{"any_instance", "Kitchen(ungWv48Bz-)._mi-connect._udp.local", 255, kMi, kMiName, true},
        MatchCase{"any_host", "C0A80117.local", 255, kLyra, "C0A80117", true},
        MatchCase{"hinfo", kLyra, 13, kLyra, "C0A80117", false},
        MatchCase{"nsec", "C0A80117.local", 47, kLyra, "C0A80117", false},
        // RFC 6762 section 16: names compare ignoring ASCII case.
        MatchCase{"ptr_service_upper", "_LYRA-MDNS._UDP.LOCAL", 12, kLyra, "C0A80117", true},
        MatchCase{"a_host_lower_label", "c0a80117.Local", 1, kLyra, "C0A80117", true},
        MatchCase{"non_ascii_exact_only", "K\xc3\xa4(x).local", 1, kMi, "K\xc3\x84(x)", false},
        MatchCase{"trailing_dot", "_lyra-mdns._udp.local.", 12, kLyra, "C0A80117", false},
        MatchCase{"other_service", kMi, 12, kLyra, "C0A80117", false},
        MatchCase{"label_prefix_only", "C0A8011._lyra-mdns._udp.local", 33, kLyra, "C0A80117", false}),
    [](const auto& p) { return std::string(p.param.title); });

TEST(SetTtlsTest, RewritesEveryRecordAndNothingElse) {
  // One question, then an answer and an additional record.
  ByteWriter w;
  w.bytes(dns_header(0x1234, 0x8400, 1, 1, 0, 1));
  w.bytes(wire_name({"q", "local"})).u16be(12).u16be(1);
  w.bytes(wire_name({"a", "local"})).u16be(1).u16be(1).u32be(120).u16be(4).u32be(0x7f000001);
  w.u16be(0xc00c).u16be(16).u16be(0x8001).u32be(0x01020304).u16be(2).u16be(0x0141);
  w.u8(0xee);  // bytes behind the last counted record are copied unchanged
  const Bytes in = w.take();
  const auto out = set_dns_record_ttls(in, 0);
  ASSERT_TRUE(out);
  ASSERT_EQ(out->size(), in.size());
  std::vector<std::size_t> changed;
  for (std::size_t i = 0; i < in.size(); ++i) {
    if ((*out)[i] != in[i]) changed.push_back(i);
  }
  // The first TTL (00 00 00 78) changes in its last byte only; the second in all four.
  const std::size_t ttl1 = 12 + 9 + 4 + 9 + 4;
  const std::size_t ttl2 = ttl1 + 4 + 2 + 4 + 2 + 4;
  EXPECT_EQ(changed, (std::vector<std::size_t>{ttl1 + 3, ttl2, ttl2 + 1, ttl2 + 2, ttl2 + 3}));
  EXPECT_EQ((*set_dns_record_ttls(in, 7))[ttl2 + 3], 7);

  EXPECT_FALSE(set_dns_record_ttls(Bytes(in.begin(), in.begin() + 11), 0));
  // The last record announces more data than remains.
  EXPECT_FALSE(set_dns_record_ttls(Bytes(in.begin(), in.end() - 2), 0));
  // A record cut inside its fixed fields, and a malformed question name.
  EXPECT_FALSE(set_dns_record_ttls(Bytes(in.begin(), in.begin() + ttl2), 0));
  Bytes bad_q = in;
  bad_q[12] = 0xc0;
  bad_q[13] = 0xff;
  EXPECT_FALSE(set_dns_record_ttls(bad_q, 0));
}

TEST(DescribeQuestionTest, ClassAsFourLowercaseHexDigits) {
  EXPECT_EQ(describe_dns_question({"_mi-connect._udp.local", 16, 1}), "_mi-connect._udp.local/16/0x0001");
  EXPECT_EQ(describe_dns_question({"", 255, 0x8001}), "/255/0x8001");
  EXPECT_EQ(describe_dns_question({"x", 65535, 0xabcd}), "x/65535/0xabcd");
}

}  // namespace
}  // namespace sonvale::mdns
