#include "core/json.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <string>

// Every allocation of this test binary passes through here. A test arms it on its own thread to
// count the allocations of one call, or to make every allocation fail once a number of them has
// been made.
namespace {
thread_local bool alloc_armed = false;
thread_local long alloc_allowed = -1;  // allocations left before they fail; -1: no limit
thread_local long alloc_attempts = 0;  // while armed
thread_local long alloc_refused = 0;   // while armed
}  // namespace

// The replacements pair malloc with free; GCC, seeing a delete inlined into code that called new,
// takes them for a mismatch.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void* operator new(std::size_t size) {
  if (alloc_armed) {
    ++alloc_attempts;
    if (alloc_allowed == 0) {
      ++alloc_refused;
      throw std::bad_alloc();
    }
    if (alloc_allowed > 0) --alloc_allowed;
  }
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

namespace sonvale {
namespace {

// Arms the allocation hook for its lifetime: `allowed` allocations succeed, every later one fails
// (-1: none fails).
class AllocationWatch {
 public:
  explicit AllocationWatch(long allowed = -1) {
    alloc_attempts = 0;
    alloc_refused = 0;
    alloc_allowed = allowed;
    alloc_armed = true;
  }
  ~AllocationWatch() { alloc_armed = false; }
  long attempts() const { return alloc_attempts; }
  long refused() const { return alloc_refused; }
};

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

namespace sonvale {
namespace {

std::string zeros(std::size_t count) {
  std::string out = "[";
  for (std::size_t i = 0; i < count; ++i) out += i == 0 ? "0" : ",0";
  return out + "]";
}

std::string members(std::size_t count) {
  std::string out = "{";
  for (std::size_t i = 0; i < count; ++i)
    out += (i == 0 ? "\"" : ",\"") + std::to_string(i) + "\":0";
  return out + "}";
}

std::string padded(std::string text, std::size_t size) {
  return text + std::string(size - text.size(), ' ');
}

class JsonBudgetTest : public testing::TestWithParam<Case> {};

TEST_P(JsonBudgetTest, AcceptsUpToTheLimitAndRefusesPastIt) {
  EXPECT_EQ(parse_json_strict(as_bytes(GetParam().text)).has_value(), GetParam().accepted);
}

// A value is every scalar, array and object; keys do not count.
INSTANTIATE_TEST_SUITE_P(
    Limits, JsonBudgetTest,
    testing::Values(
        Case{"string_of_the_byte_limit", "\"" + std::string(kMaxJsonBytes - 2, 'a') + "\"", true},
        Case{"string_past_the_byte_limit", "\"" + std::string(kMaxJsonBytes - 1, 'a') + "\"",
             false},
        Case{"white_space_to_the_byte_limit", padded("[0]", kMaxJsonBytes), true},
        Case{"white_space_past_the_byte_limit", padded("[0]", kMaxJsonBytes + 1), false},
        Case{"array_of_the_value_limit", zeros(kMaxJsonValues - 1), true},
        Case{"array_past_the_value_limit", zeros(kMaxJsonValues), false},
        Case{"object_of_the_value_limit", members(kMaxJsonValues - 1), true},
        Case{"object_past_the_value_limit", members(kMaxJsonValues), false},
        Case{"nested_past_the_value_limit",
             "[" + zeros(kMaxJsonValues / 2) + "," + zeros(kMaxJsonValues / 2) + "]", false}),
    [](const testing::TestParamInfo<Case>& param) { return std::string(param.param.name); });

TEST(JsonSharedCostTest, ACostlyTreeTakesFromTheSharedBudgetWhileItLives) {
  const ByteBudget shared(64 * kJsonUnsharedCost);
  // A document of a few values costs nothing shared.
  {
    const JsonTree small = parse_json_strict(as_bytes(R"({"authMsg":"00112233"})"), &shared);
    ASSERT_TRUE(small);
    EXPECT_EQ(shared.taken(), 0u);
  }
  // 10000 values are taken to cost 1.6 MB: the part beyond what a tree may cost of its own is
  // drawn in whole steps and given back with the tree.
  {
    const JsonTree costly = parse_json_strict(as_bytes(zeros(9999)), &shared);
    ASSERT_TRUE(costly);
    const std::size_t cost = 10000 * kJsonValueCost;
    EXPECT_EQ(shared.taken() % kJsonUnsharedCost, 0u);
    EXPECT_GE(shared.taken(), cost - kJsonUnsharedCost);
    EXPECT_LT(shared.taken(), cost);
  }
  EXPECT_EQ(shared.taken(), 0u);
  // Strings and keys count with their bytes.
  {
    const JsonTree text =
        parse_json_strict(as_bytes("[\"" + std::string(600 * 1024, 's') + "\"]"), &shared);
    ASSERT_TRUE(text);
    EXPECT_EQ(shared.taken(), 2 * kJsonUnsharedCost);
  }
  EXPECT_EQ(shared.taken(), 0u);
}

TEST(JsonSharedCostTest, ATreeThatDoesNotFitIsRefusedAndTakesNothing) {
  const ByteBudget shared(4 * kJsonUnsharedCost);
  const auto held = shared.reserve(3 * kJsonUnsharedCost);
  ASSERT_TRUE(held);
  EXPECT_FALSE(parse_json_strict(as_bytes(zeros(9999)), &shared));
  EXPECT_EQ(shared.taken(), 3 * kJsonUnsharedCost);
  // Without a shared budget only the limits of the text count.
  EXPECT_TRUE(parse_json_strict(as_bytes(zeros(9999))));
}

std::string mixed_tree() {
  std::string out = "[";
  for (int i = 0; i < 200; ++i) out += R"({"a":[{},[],[0,{"b":[1,2,{"c":"text"}]}]],"d":{}},)";
  return out + nested_arrays(kMaxJsonDepth - 1) + "]";
}

TEST(DismantleJsonTest, EmptiesEveryShapeWithoutAllocating) {
  for (const std::string& text :
       {mixed_tree(), zeros(50000), members(20000), nested_arrays(kMaxJsonDepth),
        nested_objects(kMaxJsonDepth), std::string("\"scalar\"")}) {
    JsonTree tree = parse_json_strict(as_bytes(text));
    ASSERT_TRUE(tree) << text.substr(0, 40);
    Json copy = *tree;
    {
      const AllocationWatch watch;
      dismantle_json(*tree);
      EXPECT_EQ(watch.attempts(), 0) << text.substr(0, 40);
    }
    EXPECT_TRUE(tree->is_null());
    if (copy.is_structured() && !copy.empty()) {
      // What the library's own release of the same tree would have needed.
      const AllocationWatch watch;
      copy = nullptr;
      EXPECT_GT(watch.attempts(), 0);
    }
  }
}

TEST(ParseJsonStrictTest, RunningOutOfMemoryThrowsAndAllocatesNothingMore) {
  const std::string text = mixed_tree();
  const ByteBudget shared(kJsonUnsharedCost);
  long completed = 0;
  for (long allowed = 0; completed < 3; allowed += 7) {
    bool thrown = false;
    long attempts_after_failure = 0;
    {
      const AllocationWatch watch(allowed);
      try {
        const JsonTree tree = parse_json_strict(as_bytes(text), &shared);
        ++completed;  // enough allocations to build it all
      } catch (const std::bad_alloc&) {
        thrown = true;
        attempts_after_failure = watch.attempts() - allowed - 1;
      }
    }
    if (thrown) {
      // The first failed allocation was the last one tried: the part built so far went without
      // allocating.
      EXPECT_EQ(attempts_after_failure, 0) << "after " << allowed << " allocations";
    }
    EXPECT_EQ(shared.taken(), 0u) << "after " << allowed << " allocations";
  }
}

}  // namespace
}  // namespace sonvale
