#include "core/decimal.h"

#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <string>

namespace sonvale {
namespace {

struct PortCase {
  const char* name;
  std::string text;
  std::optional<std::uint16_t> value;
  const char* error;  // when value is absent
};

class U16DecimalTest : public ::testing::TestWithParam<PortCase> {};

TEST_P(U16DecimalTest, ReadsAPortOrNamesTheFault) {
  const PortCase& c = GetParam();
  const auto r = parse_u16_decimal(c.text);
  if (c.value) {
    ASSERT_TRUE(r) << r.error().to_string();
    EXPECT_EQ(*r, *c.value);
  } else {
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().to_string(), c.error);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Ports, U16DecimalTest,
    ::testing::Values(PortCase{"zero", "0", 0, ""}, PortCase{"plus", "+7000", 7000, ""},
                      PortCase{"leading_zeros", "0007", 7, ""},
                      PortCase{"max_minus_one", "65534", 65534, ""},
                      PortCase{"max", "65535", 65535, ""},
                      PortCase{"max_plus_one", "65536", std::nullopt,
                               "number too large to fit in target type"},
                      // Too large is seen at the digit that passes the limit.
                      PortCase{"too_large_then_garbage", "70000a", std::nullopt,
                               "number too large to fit in target type"},
                      PortCase{"garbage_first", "7a0000", std::nullopt,
                               "invalid digit found in string"},
                      PortCase{"empty", "", std::nullopt, "cannot parse integer from empty string"},
                      PortCase{"plus_only", "+", std::nullopt, "invalid digit found in string"},
                      PortCase{"minus", "-1", std::nullopt, "invalid digit found in string"},
                      PortCase{"space", " 1", std::nullopt, "invalid digit found in string"}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(U64DecimalTest, TakesTheWholeRangeAndNoMore) {
  EXPECT_EQ(parse_u64_decimal("18446744073709551615").value(),
            std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(parse_u64_decimal("18446744073709551616").error().to_string(),
            "number too large to fit in target type");
}

TEST(SignedDecimalTest, TakesBothEndsOfTheRange) {
  EXPECT_EQ(parse_signed_decimal("-9223372036854775808"), std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(parse_signed_decimal("+9223372036854775807"), std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(parse_signed_decimal("9223372036854775808"), std::nullopt);
  EXPECT_EQ(parse_signed_decimal("-"), std::nullopt);
  EXPECT_EQ(parse_signed_decimal("1 "), std::nullopt);
}

}  // namespace
}  // namespace sonvale
