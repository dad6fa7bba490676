#include "lyra/protobuf.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "core/encoding.h"

namespace sonvale::lyra {
namespace {

Bytes hex(std::string_view s) { return *hex_decode(s); }

// A field list as text: "1:v5 2:b41 3:f" (varint value, bytes in hex, fixed).
std::string describe(const PbFields& fields) {
  std::string out;
  for (const PbField& f : fields) {
    if (!out.empty()) out += ' ';
    out += std::to_string(f.number) + ':';
    switch (f.value.kind) {
      case PbValue::Kind::kVarint:
        out += 'v' + std::to_string(f.value.varint);
        break;
      case PbValue::Kind::kBytes:
        out += 'b' + hex_lower(f.value.bytes);
        break;
      case PbValue::Kind::kFixed:
        out += 'f';
        break;
    }
  }
  return out;
}

struct ParseCase {
  const char* name;
  std::string input_hex;
  std::string fields;  // expected description, or empty when an error is expected
  std::string error;
};

class ParseFieldsTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseFieldsTest, FieldsOrExactError) {
  const ParseCase& c = GetParam();
  const Bytes input = hex(c.input_hex);
  auto result = parse_fields(input);
  if (c.error.empty()) {
    ASSERT_TRUE(result) << result.error().to_string();
    EXPECT_EQ(describe(*result), c.fields);
  } else {
    ASSERT_FALSE(result) << describe(*result);
    EXPECT_EQ(result.error().to_string(), c.error);
  }
}

const std::string kMaxVarint = "ffffffffffffffffff01";

INSTANTIATE_TEST_SUITE_P(
    Cases, ParseFieldsTest,
    ::testing::Values(
        ParseCase{"empty", "", "", ""},
        ParseCase{"key_without_value", "08", "", "truncated protobuf varint"},
        ParseCase{"tenth_byte_01", "08" + kMaxVarint, "1:v18446744073709551615", ""},
        ParseCase{"tenth_byte_7f_keeps_bit_63", "08ffffffffffffffffff7f", "1:v18446744073709551615", ""},
        ParseCase{"tenth_byte_02_drops_bits", "08ffffffffffffffffff02", "1:v9223372036854775807", ""},
        ParseCase{"ten_continuation_bytes", "08ffffffffffffffffffff", "", "protobuf varint is too long"},
        ParseCase{"nine_continuation_then_end", "08ffffffffffffffffff", "", "truncated protobuf varint"},
        ParseCase{"non_minimal_zero", "088000", "1:v0", ""},
        ParseCase{"wire_type_3", "0b", "", "unsupported protobuf wire type 3"},
        ParseCase{"wire_type_4", "0c", "", "unsupported protobuf wire type 4"},
        ParseCase{"wire_type_6", "0e", "", "unsupported protobuf wire type 6"},
        ParseCase{"wire_type_7", "0f", "", "unsupported protobuf wire type 7"},
        ParseCase{"bytes_cut", "0a05616263", "", "truncated protobuf bytes"},
        ParseCase{"bytes_length_2_64_minus_1", "0a" + kMaxVarint, "", "truncated protobuf bytes"},
        ParseCase{"bytes_length_2_64_minus_1_with_data", "0a" + kMaxVarint + "616263", "",
                  "truncated protobuf bytes"},
        ParseCase{"bytes_length_cut", "0a80", "", "truncated protobuf varint"},
        ParseCase{"fixed64_cut", "0900000000000000", "", "truncated protobuf fixed64"},
        ParseCase{"fixed64_whole", "090000000000000000", "1:f", ""},
        ParseCase{"fixed32_cut", "0d000000", "", "truncated protobuf fixed32"},
        ParseCase{"fixed32_then_bytes", "0d00000000120141", "1:f 2:b41", ""},
        ParseCase{"field_number_zero", "0005", "0:v5", ""},
        ParseCase{"field_number_high_bits_dropped", "f8ffffffff1f01", "4294967295:v1", ""},
        ParseCase{"empty_bytes", "1200", "2:b", ""},
        ParseCase{"repeated_fields_kept", "120161120162", "2:b61 2:b62", ""},
        ParseCase{"error_after_good_fields", "08011201610b", "", "unsupported protobuf wire type 3"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(DecodeVarintTest, AdvancesPositionOnSuccessAndFailure) {
  const Bytes two = hex("8000");
  std::size_t pos = 0;
  ASSERT_EQ(*decode_varint(two, pos), 0u);
  EXPECT_EQ(pos, 2u);
  const Bytes cut = hex("ffff");
  pos = 0;
  EXPECT_FALSE(decode_varint(cut, pos));
  EXPECT_EQ(pos, 2u);
  const Bytes too_long = hex("ffffffffffffffffffff");
  pos = 0;
  EXPECT_FALSE(decode_varint(too_long, pos));
  EXPECT_EQ(pos, 10u);
}

TEST(BytesFieldTest, FirstBytesEntryOfThatNumber) {
  auto none = bytes_field({}, 1);
  ASSERT_TRUE(none);
  EXPECT_FALSE(*none);

  const Bytes fixed_then_bytes = hex("0d00000000120141");
  EXPECT_FALSE(*bytes_field(fixed_then_bytes, 1));
  EXPECT_EQ(hex_lower(**bytes_field(fixed_then_bytes, 2)), "41");

  EXPECT_EQ(hex_lower(**bytes_field(hex("120161120162"), 2)), "61");

  auto empty_after_varint = bytes_field(hex("10071200"), 2);
  ASSERT_TRUE(empty_after_varint && *empty_after_varint);
  EXPECT_TRUE((*empty_after_varint)->empty());

  auto broken = bytes_field(hex("1201610b"), 2);
  ASSERT_FALSE(broken);
  EXPECT_EQ(broken.error().to_string(), "unsupported protobuf wire type 3");
}

TEST(WritersTest, KnownEncodingsAndRoundTrip) {
  EXPECT_EQ(hex_lower(pb_varint(1, 300)), "08ac02");
  EXPECT_EQ(hex_lower(pb_varint(16, 1)), "800101");
  EXPECT_EQ(hex_lower(pb_varint(1, 0)), "0800");
  EXPECT_EQ(hex_lower(pb_varint(1, std::numeric_limits<std::uint64_t>::max())),
            "08ffffffffffffffffff01");
  // A 32-bit field number keeps every bit: the key is computed in 64 bits.
  EXPECT_EQ(hex_lower(pb_varint(0xffffffffu, 1)), "f8ffffff7f01");
  EXPECT_EQ(hex_lower(pb_bytes(2, {})), "1200");
  const Bytes big(200, 0x5a);
  const Bytes field = pb_bytes(2, big);
  EXPECT_EQ(hex_lower(ByteSpan(field).first(3)), "12c801");
  EXPECT_EQ(field.size(), 203u);

  const Bytes joined = pb_join<2>({hex("0801"), hex("1002")});
  EXPECT_EQ(hex_lower(joined), "08011002");
  EXPECT_EQ(describe(*parse_fields(joined)), "1:v1 2:v2");

  Bytes msg;
  pb_varint_into(msg, 7, 1ull << 63);
  pb_bytes_into(msg, 2047, big);
  EXPECT_EQ(describe(*parse_fields(msg)), "7:v9223372036854775808 2047:b" + hex_lower(big));
}

}  // namespace
}  // namespace sonvale::lyra
