#include "core/json.h"

#include <gtest/gtest.h>

#include <string>

namespace sonvale {
namespace {

std::string repeat(std::string_view piece, std::size_t n) {
  std::string out;
  out.reserve(piece.size() * n);
  for (std::size_t i = 0; i < n; ++i) out += piece;
  return out;
}

std::string nested_arrays(std::size_t depth) { return repeat("[", depth) + repeat("]", depth); }

std::string nested_objects(std::size_t depth) {
  return repeat("{\"k\":", depth - 1) + "{}" + repeat("}", depth - 1);
}

struct Case {
  const char* name;
  std::string text;
  bool accepted;
};

class ParseJsonStrictTest : public testing::TestWithParam<Case> {};

TEST_P(ParseJsonStrictTest, AcceptsOrRefuses) {
  const Case& c = GetParam();
  const auto value = parse_json_strict(as_bytes(c.text));
  EXPECT_EQ(value.has_value(), c.accepted);
  // What is accepted can be written and copied again (no recursion trouble at the limit).
  if (value) {
    EXPECT_EQ(Json::parse(compact_json(Json(*value))), *value);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ParseJsonStrictTest,
    testing::Values(
        Case{"arrays_at_limit", nested_arrays(kMaxJsonDepth), true},
        Case{"arrays_past_limit", nested_arrays(kMaxJsonDepth + 1), false},
        Case{"objects_at_limit", nested_objects(kMaxJsonDepth), true},
        Case{"objects_past_limit", nested_objects(kMaxJsonDepth + 1), false},
        Case{"mixed_past_limit", repeat("[{\"a\":", 65) + "1" + repeat("}]", 65), false},
        // Depth falls again when a container closes: two siblings at the limit are fine.
        Case{"siblings_at_limit",
             "[" + nested_arrays(kMaxJsonDepth - 1) + "," + nested_arrays(kMaxJsonDepth - 1) + "]",
             true},
        // Brackets inside strings are text, not nesting.
        Case{"brackets_in_string", "{\"a\":\"" + repeat("[{", 5000) + "\"}", true},
        Case{"deep_unclosed", repeat("[", 100000), false},
        Case{"deep_closed", nested_arrays(100000), false},
        Case{"scalar", "42", true},
        Case{"white_space_around", " \t{\"command\":\"pause\"}\r\n ", true},
        Case{"empty", "", false},
        Case{"trailing_text", "{} x", false},
        Case{"two_values", "{}{}", false},
        Case{"byte_order_mark", "\xEF\xBB\xBF{}", false},
        Case{"syntax_error", "{\"a\":}", false}),
    [](const testing::TestParamInfo<Case>& param) { return std::string(param.param.name); });

TEST(ParseJsonStrictTest, KeepsTheLastOfDuplicateKeys) {
  const auto value = parse_json_strict(as_bytes(R"({"a":1,"a":2})"));
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ((*value)["a"], 2);
}

}  // namespace
}  // namespace sonvale
