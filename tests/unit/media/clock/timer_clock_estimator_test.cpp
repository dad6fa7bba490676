#include "media/clock/timer_clock_estimator.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace sonvale {
namespace {

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();

// A round whose samples carry `offsets`, all with the same round trip, 10 ms apart from `start`.
std::vector<TimerSample> round_of(const std::vector<std::int64_t>& offsets,
                                  std::int64_t start = 0) {
  std::vector<TimerSample> out;
  for (std::size_t i = 0; i < offsets.size(); ++i) {
    out.push_back({start + static_cast<std::int64_t>(i) * 10'000, offsets[i], 1'000});
  }
  return out;
}

// A full round (ten equal samples) pins the window, so the round's filtered offset is `offset`.
std::vector<TimerSample> pinned_round(std::int64_t local_us, std::int64_t offset) {
  return std::vector<TimerSample>(10, TimerSample{local_us, offset, 1'000});
}

struct TrimCase {
  std::string name;
  std::vector<std::int64_t> offsets;
  std::int64_t filtered;
};

class TrimmedMeanTest : public ::testing::TestWithParam<TrimCase> {};

TEST_P(TrimmedMeanTest, FirstRoundFiltersItsOffsets) {
  const TrimCase& c = GetParam();
  TimerClockEstimator estimator;
  const auto estimate = estimator.observe_round(round_of(c.offsets));
  ASSERT_TRUE(estimate);
  EXPECT_EQ(estimate->offset_us, static_cast<double>(c.filtered));
  EXPECT_EQ(estimate->rate, 1.0);
  EXPECT_EQ(estimate->filtered_samples, c.offsets.size());
  EXPECT_EQ(estimate->fit_history_samples, 1u);
  ASSERT_EQ(estimator.fit_history().size(), 1u);
  EXPECT_EQ(estimator.fit_history().back().offset_us, c.filtered);
}

INSTANTIATE_TEST_SUITE_P(
    Windows, TrimmedMeanTest,
    ::testing::Values(TrimCase{"OneSampleIsKept", {700}, 700},
                      TrimCase{"TwoKeepTheSmaller", {500, 400}, 400},
                      TrimCase{"ThreeDropTheLargest", {300, 100, 200}, 150},
                      TrimCase{"NegativeMeanTruncatesTowardZero", {-8, -7, 100}, -7},
                      TrimCase{"FourDropTheLargest", {1, 100, 3, 2}, 2},
                      TrimCase{"FiveDropTheLargest", {10, 1000, 20, 40, 30}, 25},
                      // From six on the middle half; an uneven split drops one more from the top.
                      TrimCase{"SixKeepTheMiddleThree", {1000, 0, 10, 20, 30, 40}, 20},
                      TrimCase{"SevenKeepThreeFromTheThird", {0, 0, 10, 20, 30, 1000, 1000}, 20},
                      TrimCase{"EightKeepFourFromTheThird", {0, 0, 10, 20, 30, 40, 1000, 1000}, 25},
                      TrimCase{
                          "NineKeepFourFromTheThird", {0, 0, 10, 20, 30, 40, 1000, 1000, 1000}, 25},
                      TrimCase{"TenKeepTheMiddleFive", {10, 9, 8, 7, 6, 5, 4, 3, 2, 1}, 5},
                      // The sum must not wrap at the 64-bit limits.
                      TrimCase{"SumNearTheTopIsExact", {kMax, kMax - 1, kMax}, kMax - 1},
                      TrimCase{"SumNearTheBottomIsExact", {kMin, kMin + 1, kMax}, kMin + 1}),
    [](const auto& param_info) { return param_info.param.name; });

struct RoundTripCase {
  std::string name;
  std::vector<TimerSample> round;
  std::int64_t filtered;
};

// Exchanges whose reply was held up by d on its way back: round trip 800 + d, offset read d / 2
// behind the server's 10000.
std::vector<TimerSample> delayed_replies(const std::vector<std::int64_t>& delays) {
  std::vector<TimerSample> out;
  for (std::size_t i = 0; i < delays.size(); ++i) {
    out.push_back({static_cast<std::int64_t>(i) * 10'000, 10'000 - delays[i] / 2, 800 + delays[i]});
  }
  return out;
}

class RoundTripFilterTest : public ::testing::TestWithParam<RoundTripCase> {};

TEST_P(RoundTripFilterTest, OnlyExchangesNearTheFastestAreFiltered) {
  const RoundTripCase& c = GetParam();
  TimerClockEstimator estimator;
  const auto estimate = estimator.observe_round(c.round);
  ASSERT_TRUE(estimate);
  EXPECT_EQ(estimate->offset_us, static_cast<double>(c.filtered));
  EXPECT_EQ(estimate->filtered_samples, c.round.size());
}

INSTANTIATE_TEST_SUITE_P(
    Windows, RoundTripFilterTest,
    ::testing::Values(
        // Delays of 0 to 5 ms: the trimmed mean of all ten offsets would read 9055, 945 us behind;
        // the four within 500 us of the fastest round trip give 9858 (9775, 9850, 9950 kept).
        RoundTripCase{"SlowRepliesDoNotPullTheOffsetBack",
                      delayed_replies({4000, 300, 2500, 0, 5000, 450, 1200, 3300, 100, 2000}),
                      9858},
        // 1500 is within the margin of 1000 and 1501 is not: with it the mean would be -2500.
        RoundTripCase{"MarginIsInclusive", {{0, 30, 1000}, {1, 0, 1500}, {2, -5000, 1501}}, 0},
        // A lone fast exchange is used by itself, whatever the others read.
        RoundTripCase{"OneFastExchange", {{0, 400, 200}, {1, 9000, 900}, {2, 9000, 901}}, 400}),
    [](const auto& param_info) { return param_info.param.name; });

TEST(TimerClockEstimatorTest, FastestExchangeMayComeFromAnEarlierRound) {
  TimerClockEstimator estimator;
  ASSERT_TRUE(estimator.observe_round(std::vector<TimerSample>{{0, 100, 700}}));
  // The window holds the earlier fast exchange and this round's slow ones; the anchor still comes
  // from this round.
  const std::vector<TimerSample> slow{{1'000'000, 5'000, 3'000}, {1'010'000, 5'100, 3'100}};
  const auto estimate = estimator.observe_round(slow);
  ASSERT_TRUE(estimate);
  EXPECT_EQ(estimate->offset_us, 100.0);
  EXPECT_EQ(estimate->anchor_local_us, 1'000'000);
  EXPECT_EQ(estimate->round_trip_us, 3'000);
}

TEST(TimerClockEstimatorTest, FirstSampleGivesTheWholeEstimate) {
  TimerClockEstimator estimator;
  const std::vector<TimerSample> round{{123'456, 700, 900}};
  const auto estimate = estimator.observe_round(round);
  ASSERT_TRUE(estimate);
  EXPECT_EQ(estimate->anchor_local_us, 123'456);
  EXPECT_EQ(estimate->offset_us, 700.0);
  EXPECT_EQ(estimate->rate, 1.0);
  EXPECT_EQ(estimate->round_trip_us, 900);
  EXPECT_EQ(estimate->filtered_samples, 1u);
  EXPECT_EQ(estimate->fit_history_samples, 1u);
}

TEST(TimerClockEstimatorTest, EmptyRoundChangesNothing) {
  TimerClockEstimator estimator;
  EXPECT_FALSE(estimator.observe_round({}));
  EXPECT_TRUE(estimator.sample_window().empty());
  EXPECT_TRUE(estimator.fit_history().empty());

  ASSERT_TRUE(estimator.observe_round(round_of({5, 6, 7})));
  const auto window = estimator.sample_window();
  const auto history = estimator.fit_history();
  EXPECT_FALSE(estimator.observe_round({}));
  EXPECT_EQ(estimator.sample_window(), window);
  EXPECT_EQ(estimator.fit_history(), history);
}

TEST(TimerClockEstimatorTest, WindowKeepsTheTenLatestSamplesAcrossRounds) {
  TimerClockEstimator estimator;
  ASSERT_TRUE(estimator.observe_round(round_of({1, 2, 3, 4, 5, 6, 7, 8, 9, 10})));

  // A full round replaces the whole window.
  const auto second = round_of({101, 102, 103, 104, 105, 106, 107, 108, 109, 110}, 1'000'000);
  auto estimate = estimator.observe_round(second);
  ASSERT_TRUE(estimate);
  EXPECT_EQ(
      std::vector<TimerSample>(estimator.sample_window().begin(), estimator.sample_window().end()),
      second);
  EXPECT_EQ(estimate->offset_us, 105.0);

  // A round of four keeps the six newest samples of the earlier rounds.
  const auto third = round_of({1001, 1002, 1003, 1004}, 2'000'000);
  estimate = estimator.observe_round(third);
  ASSERT_TRUE(estimate);
  std::vector<TimerSample> expected(second.begin() + 4, second.end());
  expected.insert(expected.end(), third.begin(), third.end());
  EXPECT_EQ(
      std::vector<TimerSample>(estimator.sample_window().begin(), estimator.sample_window().end()),
      expected);
  EXPECT_EQ(estimate->filtered_samples, 10u);
  // Sorted 105..110, 1001..1004: the middle five from the third are 107, 108, 109, 110, 1001.
  EXPECT_EQ(estimate->offset_us, 287.0);
  // The anchor comes from this round, not from the window.
  EXPECT_EQ(estimate->anchor_local_us, third.front().local_mid_us);
}

TEST(TimerClockEstimatorTest, BestSampleIsTheFirstWithTheSmallestRoundTripOfTheRound) {
  TimerClockEstimator estimator;
  // An earlier round with a smaller round trip must not be chosen.
  ASSERT_TRUE(estimator.observe_round(std::vector<TimerSample>{{1, 0, 10}}));
  const std::vector<TimerSample> round{
      {1'000, 0, 500}, {2'000, 0, 300}, {3'000, 0, 300}, {4'000, 0, 400}};
  const auto estimate = estimator.observe_round(round);
  ASSERT_TRUE(estimate);
  EXPECT_EQ(estimate->anchor_local_us, 2'000);
  EXPECT_EQ(estimate->round_trip_us, 300);
  EXPECT_EQ(estimator.fit_history().back().local_us, 2'000);
}

TEST(TimerClockEstimatorTest, HistoryKeepsTheLatest32PointsAndMeasuresSpanFromTheOldestKept) {
  TimerClockEstimator estimator;
  // One point long ago, then 32 points 100 ms apart: while the old point is kept the history
  // spans far more than 5 s; once it is pushed out, only 3.1 s remain and the fit stops.
  ASSERT_TRUE(estimator.observe_round(pinned_round(-100'000'000, 0)));
  std::optional<ClockEstimate> estimate;
  for (int i = 0; i < 31; ++i) {
    estimate = estimator.observe_round(pinned_round(i * 100'000, 50 * i));
  }
  ASSERT_TRUE(estimate);
  EXPECT_EQ(estimate->fit_history_samples, 32u);
  EXPECT_NE(estimate->rate, 1.0);

  estimate = estimator.observe_round(pinned_round(31 * 100'000, 50 * 31));
  ASSERT_TRUE(estimate);
  EXPECT_EQ(estimate->fit_history_samples, 32u);
  ASSERT_EQ(estimator.fit_history().size(), 32u);
  EXPECT_EQ(estimator.fit_history().front(), (ClockFitPoint{0, 0}));
  EXPECT_EQ(estimate->rate, 1.0);
  EXPECT_EQ(estimate->offset_us, 50.0 * 31);
}

struct FitCase {
  std::string name;
  int points;
  std::int64_t span_us;  // from the first to the last point, spaced as evenly as whole µs allow
  double slope;          // of the offsets against local time
  bool fitted;
  double rate;       // expected when fitted
  double offset_us;  // expected when fitted
};

class FitTest : public ::testing::TestWithParam<FitCase> {};

TEST_P(FitTest, RateIsFittedOnlyOverEnoughPointsAndTime) {
  const FitCase& c = GetParam();
  TimerClockEstimator estimator;
  std::optional<ClockEstimate> estimate;
  std::int64_t last_offset = 0;
  for (int i = 0; i < c.points; ++i) {
    const std::int64_t local = c.span_us * i / (c.points - 1);
    last_offset = std::llround(c.slope * static_cast<double>(local));
    estimate = estimator.observe_round(pinned_round(local, last_offset));
  }
  ASSERT_TRUE(estimate);
  EXPECT_EQ(estimate->anchor_local_us, c.span_us);
  EXPECT_EQ(estimate->fit_history_samples, static_cast<std::uint64_t>(c.points));
  if (c.fitted) {
    EXPECT_DOUBLE_EQ(estimate->rate, c.rate);
    EXPECT_NEAR(estimate->offset_us, c.offset_us, 1e-6);
  } else {
    EXPECT_EQ(estimate->rate, 1.0);
    EXPECT_EQ(estimate->offset_us, static_cast<double>(last_offset));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Conditions, FitTest,
    ::testing::Values(
        FitCase{"NineteenPointsOverSixtySeconds", 19, 63'000'000, 0.0001, false, 1.0, 0.0},
        FitCase{"TwentyPointsUnderFiveSeconds", 20, 4'900'000, 0.0001, false, 1.0, 0.0},
        FitCase{"TwentyPointsOneMicrosecondShort", 20, 4'999'999, 0.0001, false, 1.0, 0.0},
        // 20 points 1 s apart, offsets 100 µs apart: the line's value at the newest point.
        FitCase{"TwentyPointsOverNineteenSeconds", 20, 19'000'000, 0.0001, true, 1.0001, 1900.0},
        FitCase{"NegativeSlope", 20, 19'000'000, -0.0001, true, 0.9999, -1900.0},
        // Slopes beyond ±500 ppm are clamped; the offset is then mean_y - mean_x * clamped
        // slope = 19000 + 9.5e6 * 0.0005.
        FitCase{"SteepSlopeIsClampedUp", 20, 19'000'000, 0.002, true, 1.0005, 23750.0},
        FitCase{"SteepSlopeIsClampedDown", 20, 19'000'000, -0.002, true, 0.9995, -23750.0},
        FitCase{"SlopeAtTheLimitIsKept", 20, 19'000'000, 0.0005, true, 1.0005, 9500.0}),
    [](const auto& param_info) { return param_info.param.name; });

TEST(FitTest, ExactlyFiveSecondsIsEnough) {
  TimerClockEstimator estimator;
  std::optional<ClockEstimate> estimate;
  for (int i = 0; i < 20; ++i) {
    // Whole-µs points whose first and last lie exactly 5 s apart; offsets rise 200 ppm.
    const std::int64_t local = i == 19 ? 5'000'000 : i * 263'157;
    estimate = estimator.observe_round(pinned_round(local, local / 5'000));
  }
  ASSERT_TRUE(estimate);
  EXPECT_NEAR(estimate->rate, 1.0002, 1e-6);
}

TEST(FitTest, ExtremeTimesNeitherOverflowNorLeaveTheClamp) {
  TimerClockEstimator estimator;
  std::optional<ClockEstimate> estimate;
  for (int i = 0; i < 32; ++i) {
    const std::int64_t local = i % 2 == 0 ? kMin + i : kMax - i;
    estimate = estimator.observe_round(pinned_round(local, i % 3 == 0 ? kMax : kMin));
  }
  ASSERT_TRUE(estimate);
  EXPECT_TRUE(std::isfinite(estimate->offset_us));
  EXPECT_GE(estimate->rate, 0.9995);
  EXPECT_LE(estimate->rate, 1.0005);
}

}  // namespace
}  // namespace sonvale
