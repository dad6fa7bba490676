#include "core/stream_read.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace sonvale {
namespace {

// One scripted answer of the stream: some bytes (none: the end of the stream) or an errno.
struct Step {
  std::size_t bytes = 0;
  int error = 0;
};

// Plays its steps in order, filling each read with the next values of a counter, and records
// the deadline every read was handed.
class ScriptedStream {
 public:
  explicit ScriptedStream(std::vector<Step> steps) : steps_(steps.begin(), steps.end()) {}

  Result<std::size_t> operator()(std::span<std::uint8_t> buf,
                                 std::optional<Clock::time_point> deadline) {
    deadlines.push_back(deadline);
    if (steps_.empty()) return fail(Error::msg("read after the script ended"));
    const Step step = steps_.front();
    steps_.pop_front();
    if (step.error != 0) return fail(Error::os(step.error));
    const std::size_t n = std::min(step.bytes, buf.size());
    for (std::size_t i = 0; i < n; ++i) buf[i] = next_++;
    return n;
  }

  std::vector<std::optional<Clock::time_point>> deadlines;

 private:
  std::deque<Step> steps_;
  std::uint8_t next_ = 1;
};

struct FillCase {
  std::string name;
  std::vector<Step> steps = {};
  std::size_t buffer = 8;
  std::size_t need = 8;
  std::optional<int> stop_after_reads = std::nullopt;  // with a stop predicate: says yes once this many ran
  // Outcome: the end, or the IoKind of the failure.
  std::optional<FillEnd> end = std::nullopt;
  IoKind failure = IoKind::kOther;
  std::size_t filled = 0;
  std::size_t reads = 0;
};

class FillAtLeastTest : public ::testing::TestWithParam<FillCase> {};

TEST_P(FillAtLeastTest, EndsAsTheStreamAndTheLimitsSay) {
  const FillCase& c = GetParam();
  ScriptedStream stream(c.steps);
  std::vector<std::uint8_t> buf(c.buffer, 0);
  std::size_t filled = 0;
  FillLimits limits;
  int before_reads = 0;
  limits.before_read = [&] { ++before_reads; };
  if (c.stop_after_reads) {
    limits.stop = [&] { return static_cast<int>(stream.deadlines.size()) >= *c.stop_after_reads; };
  }
  auto r = fill_at_least(stream, buf, filled, c.need, limits);
  if (c.end) {
    ASSERT_TRUE(r) << r.error().to_string();
    EXPECT_EQ(*r, *c.end);
  } else {
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().io_kind(), c.failure);
  }
  EXPECT_EQ(filled, c.filled);
  EXPECT_EQ(stream.deadlines.size(), c.reads);
  EXPECT_EQ(before_reads, static_cast<int>(c.reads));
  // What arrived lies in order at the front, and nothing beyond it was written.
  for (std::size_t i = 0; i < buf.size(); ++i) {
    EXPECT_EQ(buf[i], i < filled ? i + 1 : 0) << "byte " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, FillAtLeastTest,
    ::testing::Values(
        FillCase{.name = "in_one_read", .steps = {{8}}, .end = FillEnd::kFull, .filled = 8,
                 .reads = 1},
        FillCase{.name = "across_pieces", .steps = {{3}, {1}, {4}}, .end = FillEnd::kFull,
                 .filled = 8, .reads = 3},
        FillCase{.name = "nothing_needed", .steps = {}, .need = 0, .end = FillEnd::kFull,
                 .filled = 0, .reads = 0},
        // A block read may take more than the piece asked for, up to the end of the buffer.
        FillCase{.name = "read_beyond_need", .steps = {{2}, {16}}, .buffer = 8, .need = 3,
                 .end = FillEnd::kFull, .filled = 8, .reads = 2},
        FillCase{.name = "end_of_stream_counts_what_came", .steps = {{5}, {0}},
                 .end = FillEnd::kEndOfStream, .filled = 5, .reads = 2},
        FillCase{.name = "end_of_stream_at_once", .steps = {{0}}, .end = FillEnd::kEndOfStream,
                 .filled = 0, .reads = 1},
        // Without a stop predicate a time-out is the deadline's and ends the fill.
        FillCase{.name = "timeout_fails_without_stop", .steps = {{2}, {0, ETIMEDOUT}},
                 .failure = IoKind::kTimedOut, .filled = 2, .reads = 2},
        FillCase{.name = "would_block_fails_without_stop", .steps = {{0, EAGAIN}},
                 .failure = IoKind::kWouldBlock, .filled = 0, .reads = 1},
        // With one, a time-out only bounds the wait: the predicate is asked and the read repeated.
        FillCase{.name = "timeouts_are_ticks_with_stop",
                 .steps = {{2}, {0, ETIMEDOUT}, {0, EAGAIN}, {6}}, .stop_after_reads = 100,
                 .end = FillEnd::kFull, .filled = 8, .reads = 4},
        FillCase{.name = "stop_before_the_first_read", .steps = {{8}}, .stop_after_reads = 0,
                 .end = FillEnd::kStopped, .filled = 0, .reads = 0},
        FillCase{.name = "stop_between_pieces_keeps_the_count", .steps = {{3}, {2}, {3}},
                 .stop_after_reads = 2, .end = FillEnd::kStopped, .filled = 5, .reads = 2},
        FillCase{.name = "stop_after_a_timeout", .steps = {{3}, {0, ETIMEDOUT}, {5}},
                 .stop_after_reads = 2, .end = FillEnd::kStopped, .filled = 3, .reads = 2},
        FillCase{.name = "reset_fails_even_with_stop", .steps = {{1}, {0, ECONNRESET}},
                 .stop_after_reads = 100, .failure = IoKind::kConnectionReset, .filled = 1,
                 .reads = 2}),
    [](const ::testing::TestParamInfo<FillCase>& param) { return param.param.name; });

TEST(ReadExactlyTest, FillsOrReportsAShortStreamAsUnexpectedEof) {
  struct Case {
    const char* name;
    std::vector<Step> steps;
    bool ok;
  };
  const Case cases[] = {
      {"whole", {{2}, {2}}, true},
      {"short", {{3}, {0}}, false},
      {"empty", {{0}}, false},
  };
  for (const auto& c : cases) {
    ScriptedStream stream(c.steps);
    std::vector<std::uint8_t> buf(4, 0);
    const auto deadline = Clock::time_point(std::chrono::seconds(42));
    auto r = read_exactly(stream, buf, deadline);
    EXPECT_EQ(r.has_value(), c.ok) << c.name;
    if (!r) {
      EXPECT_EQ(r.error().io_kind(), IoKind::kUnexpectedEof) << c.name;
    }
    // Every read is handed the one deadline of the whole fill.
    for (const auto& d : stream.deadlines) {
      EXPECT_EQ(d, deadline) << c.name;
    }
  }
}

}  // namespace
}  // namespace sonvale
