#include "core/amplification_limit.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace sonvale {
namespace {

const Ipv4 kA = Ipv4::from_octets(10, 0, 0, 1);
const Ipv4 kB = Ipv4::from_octets(10, 0, 0, 2);
const Ipv4 kC = Ipv4::from_octets(10, 0, 0, 3);

struct Step {
  bool receive;  // else a send attempt
  Ipv4 address;
  std::size_t bytes;
  bool allowed = true;  // for a send attempt
};

struct BudgetCase {
  const char* name;
  std::size_t capacity;
  std::vector<Step> steps;
};

Step got(Ipv4 a, std::size_t n) { return {true, a, n}; }
Step may_send(Ipv4 a, std::size_t n) { return {false, a, n, true}; }
Step may_not_send(Ipv4 a, std::size_t n) { return {false, a, n, false}; }

std::vector<Step> join(std::initializer_list<std::vector<Step>> parts) {
  std::vector<Step> out;
  for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

// One datagram from each of `count` other addresses; with `spend`, each then spends its budget.
std::vector<Step> churn(std::size_t count, bool spend) {
  std::vector<Step> out;
  for (std::uint32_t i = 0; i < count; ++i) {
    const Ipv4 source{0x0b000000u + i};
    out.push_back(got(source, 0));
    if (spend) out.push_back(may_send(source, 4152));
  }
  return out;
}

// kA spends all it earned from 100 bytes: 3 * 128 + 4096 = 4480 bytes.
const std::vector<Step> kASpent = {got(kA, 100), may_send(kA, 4452)};
// kA comes back after giving way: with what it had (0, plus 3 * 28 for an empty datagram), or with
// a fresh allowance on top.
const std::vector<Step> kABackWithWhatItHad = {got(kA, 0), may_not_send(kA, 57), may_send(kA, 56)};
const std::vector<Step> kABackFresh = {got(kA, 0), may_send(kA, 4152)};

class AmplificationLimitTest : public ::testing::TestWithParam<BudgetCase> {};

TEST_P(AmplificationLimitTest, Steps) {
  AmplificationLimit limit(GetParam().capacity);
  std::size_t i = 0;
  for (const Step& step : GetParam().steps) {
    if (step.receive) {
      limit.received(step.address, step.bytes);
    } else {
      EXPECT_EQ(limit.try_send(step.address, step.bytes), step.allowed) << "step " << i;
    }
    ++i;
  }
  EXPECT_LE(limit.address_count(), GetParam().capacity);
  EXPECT_LE(limit.remembered_count(), GetParam().capacity * AmplificationLimit::kRememberedPerAddress);
}

// A datagram's payload counts with 28 bytes of headers, both ways: a datagram of 10 payload bytes
// earns 3 * 38 bytes, and a send of 4182 costs 4210.
INSTANTIATE_TEST_SUITE_P(
    Budgets, AmplificationLimitTest,
    ::testing::Values(
        BudgetCase{"silent_address_gets_nothing", 4, {may_not_send(kA, 1), got(kB, 10), may_not_send(kA, 1)}},
        BudgetCase{"three_times_plus_allowance", 4, {got(kA, 10), may_send(kA, 4182), may_not_send(kA, 0)}},
        BudgetCase{"one_over_is_refused_whole", 4, {got(kA, 10), may_not_send(kA, 4183), may_send(kA, 4182)}},
        BudgetCase{"sends_add_up", 4, {got(kA, 1000), may_send(kA, 5000), may_send(kA, 2124), may_not_send(kA, 0)}},
        BudgetCase{"later_datagrams_add_credit", 4,
                   {got(kA, 100), may_send(kA, 4452), may_not_send(kA, 0), got(kA, 0), may_send(kA, 56),
                    may_not_send(kA, 0)}},
        BudgetCase{"addresses_apart", 4, {got(kA, 0), got(kB, 100), may_send(kA, 4152), may_not_send(kA, 0),
                                          may_send(kB, 4452)}},
        BudgetCase{"least_recently_credited_gives_way", 2,
                   {got(kA, 100), got(kB, 100), got(kA, 1), got(kC, 100), may_not_send(kB, 0), may_send(kA, 4539),
                    may_send(kC, 4452)}},
        BudgetCase{"given_way_comes_back_with_what_it_had", 1, join({kASpent, {got(kB, 1)}, kABackWithWhatItHad})},
        // Sources that cost nothing to send from cannot flush the memory of spent ones: giving
        // way with a whole allowance left, they are not remembered.
        BudgetCase{"cheap_churn_gives_no_fresh_allowance", 4, join({kASpent, churn(1000, false), kABackWithWhatItHad})},
        BudgetCase{"churn_of_spent_addresses_within_the_memory", 4,
                   join({kASpent, churn(4 + 4 * AmplificationLimit::kRememberedPerAddress - 1, true),
                         kABackWithWhatItHad})},
        BudgetCase{"churn_of_spent_addresses_beyond_the_memory", 4,
                   join({kASpent, churn(4 + 4 * AmplificationLimit::kRememberedPerAddress, true), kABackFresh})},
        BudgetCase{"no_capacity_sends_nothing", 0, {got(kA, 100), may_not_send(kA, 0)}}),
    [](const auto& p) { return std::string(p.param.name); });

// With a regain, a spent allowance comes back with time, never beyond the allowance itself;
// what arrived from the address still earns its credit on top.
struct TimedStep {
  std::chrono::milliseconds at;
  bool receive;
  std::size_t bytes;
  bool allowed = true;
};

struct RegainCase {
  const char* name;
  std::vector<TimedStep> steps;
};

class AmplificationRegainTest : public ::testing::TestWithParam<RegainCase> {};

TEST_P(AmplificationRegainTest, Steps) {
  AmplificationLimit limit(4, AmplificationPolicy{3, 4096, 1024});
  const Clock::time_point start = Clock::time_point() + std::chrono::hours(1);
  std::size_t i = 0;
  for (const TimedStep& step : GetParam().steps) {
    if (step.receive) {
      limit.received(kA, step.bytes, start + step.at);
    } else {
      EXPECT_EQ(limit.try_send(kA, step.bytes, start + step.at), step.allowed) << "step " << i;
    }
    ++i;
  }
}

using std::chrono::milliseconds;

INSTANTIATE_TEST_SUITE_P(
    Regain, AmplificationRegainTest,
    ::testing::Values(
        RegainCase{"spent_allowance_comes_back_in_a_second",
                   {{milliseconds(0), true, 10}, {milliseconds(0), false, 4182}, {milliseconds(0), false, 0, false},
                    {milliseconds(999), false, 996, false}, {milliseconds(1000), false, 996},
                    {milliseconds(1000), false, 0, false}}},
        RegainCase{"never_beyond_the_allowance",
                   {{milliseconds(0), true, 10}, {milliseconds(60000), false, 4183, false},
                    {milliseconds(60000), false, 4182}}},
        RegainCase{"credit_on_top_of_the_allowance",
                   {{milliseconds(0), true, 2000}, {milliseconds(0), false, 10152},
                    {milliseconds(0), false, 0, false}}},
        RegainCase{"small_steps_add_up",
                   {{milliseconds(0), true, 10}, {milliseconds(0), false, 4182}, {milliseconds(9), false, 0, false},
                    {milliseconds(18), false, 0, false}, {milliseconds(27), false, 0, false},
                    {milliseconds(28), false, 0}}}),
    [](const auto& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace sonvale
