#include "media/output/pcm_queue.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

namespace sonvale {
namespace {

constexpr double kT = 5'000'000.0;
constexpr double kChunkUs = 1024 * 1000000.0 / 48000.0;  // 21333.33 us

// `frames` stereo frames whose left sample is the frame's index (so removals are visible) and
// whose right sample is its negative.
std::vector<float> frames_from(std::size_t first, std::size_t frames) {
  std::vector<float> out;
  for (std::size_t i = 0; i < frames; ++i) {
    out.push_back(static_cast<float>(first + i));
    out.push_back(-static_cast<float>(first + i));
  }
  return out;
}

class PcmQueueTest : public ::testing::Test {
 protected:
  void push(const std::vector<float>& chunk, std::optional<double> pts) {
    std::lock_guard l(q->mutex());
    q->push_samples(chunk, pts);
  }
  std::shared_ptr<PcmQueue> q = PcmQueue::create();
};

TEST_F(PcmQueueTest, FirstTimedPushSetsTheHeadTime) {
  push(frames_from(0, 1024), kT);
  EXPECT_EQ(q->head_pts_us(), kT);
  EXPECT_EQ(q->queued_frames(), 1024u);
}

struct JitterCase {
  const char* name;
  double second_offset_us;
  bool cleared;
};

class PcmQueueJitterTest : public PcmQueueTest, public ::testing::WithParamInterface<JitterCase> {};

TEST_P(PcmQueueJitterTest, OnlyJumpsBeyondOneHundredMillisecondsClearTheQueue) {
  const auto& c = GetParam();
  push(frames_from(0, 1024), kT);
  q->set_started(true);
  push(frames_from(5000, 1024), kT + c.second_offset_us);
  if (c.cleared) {
    EXPECT_EQ(q->queued_frames(), 1024u);
    EXPECT_EQ(q->head_pts_us(), kT + c.second_offset_us);
    EXPECT_FALSE(q->started());
    EXPECT_EQ(q->position(), 0.0);
    EXPECT_EQ(q->render_stereo(1.0).first, 5000.0f);  // only the new chunk is left
  } else {
    EXPECT_EQ(q->queued_frames(), 2048u);
    EXPECT_EQ(q->head_pts_us(), kT);  // small jitter is not applied to a non-empty queue
    EXPECT_TRUE(q->started());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PcmQueueJitterTest,
    ::testing::Values(JitterCase{"Contiguous", kChunkUs, false},
                      JitterCase{"EightyMsAhead", 80000.0, false},
                      JitterCase{"ExactlyOneHundredMsAway", kChunkUs + 100000.0, false},
                      JitterCase{"JumpOf150MsForward", kChunkUs + 150000.0, true},
                      JitterCase{"JumpOf150MsBack", kChunkUs - 150000.0, true}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(PcmQueueTest, TimedChunkAfterUntimedAudioBackDatesTheHead) {
  push(frames_from(0, 1000), std::nullopt);
  EXPECT_FALSE(q->head_pts_us());
  push(frames_from(1000, 24), kT);
  ASSERT_TRUE(q->head_pts_us());
  EXPECT_DOUBLE_EQ(*q->head_pts_us(), kT - 1000 * 1000000.0 / 48000.0);
}

TEST_F(PcmQueueTest, UntimedChunkIntoAnEmptyQueueLeavesTheHeadAbsent) {
  push(frames_from(0, 10), kT);
  {
    std::lock_guard l(q->mutex());
    q->clear();
  }
  push(frames_from(0, 10), std::nullopt);
  EXPECT_FALSE(q->head_pts_us());
}

TEST_F(PcmQueueTest, ChunkOfFewerThanTwoSamplesIsIgnored) {
  push({0.5f}, kT);
  EXPECT_EQ(q->queued_samples(), 0u);
  EXPECT_FALSE(q->head_pts_us());
}

struct BoundCase {
  const char* name;
  std::size_t queued_samples;
  std::size_t chunk_samples;
  std::size_t removed_samples;
};

class PcmQueueBoundTest : public PcmQueueTest, public ::testing::WithParamInterface<BoundCase> {};

TEST_P(PcmQueueBoundTest, DropsTheOldestWholeFramesToStayWithinTheBound) {
  const auto& c = GetParam();
  push(frames_from(0, c.queued_samples / 2), kT);
  push(frames_from(c.queued_samples / 2, c.chunk_samples / 2), std::nullopt);
  EXPECT_EQ(q->queued_samples(), c.queued_samples + c.chunk_samples - c.removed_samples);
  EXPECT_DOUBLE_EQ(*q->head_pts_us(),
                   kT + static_cast<double>(c.removed_samples / 2) * 1000000.0 / 48000.0);
  // The oldest frame left is the first one not removed: frames were removed whole.
  std::lock_guard l(q->mutex());
  EXPECT_EQ(q->render_stereo(0.0),
            std::make_pair(static_cast<float>(c.removed_samples / 2),
                           -static_cast<float>(c.removed_samples / 2)));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PcmQueueBoundTest,
    ::testing::Values(BoundCase{"EvenExcess", 143000, 2048, 1048},
                      BoundCase{"ExactlyFull", 141952, 2048, 0},
                      BoundCase{"OneFrameOver", 141954, 2048, 2}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(PcmQueueTest, OddExcessRemovesWholeFrames) {
  // 143001 queued (an odd chunk) plus 2046 gives an excess of 1047, rounded up to 1048.
  std::vector<float> odd(143001, 0.25f);
  push(odd, kT);
  push(frames_from(0, 1023), std::nullopt);
  EXPECT_EQ(q->queued_samples(), 143001u + 2046u - 1048u);
  EXPECT_DOUBLE_EQ(*q->head_pts_us(), kT + 524 * 1000000.0 / 48000.0);
}

TEST_F(PcmQueueTest, ChunkLargerThanTheBoundIsKeptWhole) {
  push(frames_from(0, 10), kT);
  push(frames_from(10, 80000), std::nullopt);
  EXPECT_EQ(q->queued_frames(), 80000u);
  std::lock_guard l(q->mutex());
  EXPECT_EQ(q->render_stereo(0.0).first, 10.0f);
}

struct DropCase {
  const char* name;
  std::size_t queued_frames;
  std::uint64_t requested;
  std::uint64_t dropped;
};

class PcmQueueDropTest : public PcmQueueTest, public ::testing::WithParamInterface<DropCase> {};

TEST_P(PcmQueueDropTest, AlwaysLeavesTwoFrames) {
  const auto& c = GetParam();
  push(frames_from(0, c.queued_frames), kT);
  std::lock_guard l(q->mutex());
  q->set_started(true);
  EXPECT_EQ(q->drop_frames(c.requested), c.dropped);
  EXPECT_EQ(q->queued_frames(), c.queued_frames - c.dropped);
  EXPECT_DOUBLE_EQ(*q->head_pts_us(), kT + static_cast<double>(c.dropped) * 1000000.0 / 48000.0);
  EXPECT_TRUE(q->started());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PcmQueueDropTest,
    ::testing::Values(DropCase{"TenOfThree", 3, 10, 1}, DropCase{"TenOfTwo", 2, 10, 0},
                      DropCase{"SomeOfMany", 300, 144, 144},
                      DropCase{"SaturatingRequest", 300, std::uint64_t{1} << 63, 298},
                      DropCase{"MaximalRequest", 300, std::numeric_limits<std::uint64_t>::max(),
                               298}),
    [](const auto& p) { return std::string(p.param.name); });

struct RenderCase {
  const char* name;
  double start_position;
  double step;
  std::pair<float, float> result;
  std::uint64_t frames_left;
  double position_after;
};

class PcmQueueRenderTest : public PcmQueueTest, public ::testing::WithParamInterface<RenderCase> {};

TEST_P(PcmQueueRenderTest, InterpolatesAtTheReadPosition) {
  const auto& c = GetParam();
  push({0.1f, 0.2f, 0.3f, 0.4f, 0.5f, 0.6f}, kT);
  std::lock_guard l(q->mutex());
  // Reach the start position with a step that consumes nothing beyond it.
  if (c.start_position > 0.0) q->render_stereo(c.start_position);
  const auto out = q->render_stereo(c.step);
  EXPECT_FLOAT_EQ(out.first, c.result.first);
  EXPECT_FLOAT_EQ(out.second, c.result.second);
  EXPECT_EQ(q->queued_frames(), c.frames_left);
  EXPECT_DOUBLE_EQ(q->position(), c.position_after);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PcmQueueRenderTest,
    ::testing::Values(RenderCase{"UnitStep", 0.0, 1.0, {0.1f, 0.2f}, 2, 0.0},
                      RenderCase{"HalfwayUnitStep", 0.5, 1.0, {0.2f, 0.3f}, 2, 0.5},
                      RenderCase{"ZeroStep", 0.0, 0.0, {0.1f, 0.2f}, 3, 0.0},
                      RenderCase{"NegativeStepReadsNothing", 0.0, -1.0, {0.1f, 0.2f}, 3, 0.0},
                      RenderCase{"NanStepReadsNothing", 0.0, std::nan(""), {0.1f, 0.2f}, 3, 0.0},
                      // Step 5 asks for 5 frames; only 2 can go, one frame must stay.
                      RenderCase{"OversizedStepKeepsOneFrame", 0.0, 5.0, {0.1f, 0.2f}, 1, 3.0}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(PcmQueueTest, RenderAdvancesTheHeadTimeByTheFramesRemoved) {
  push(frames_from(0, 4), kT);
  std::lock_guard l(q->mutex());
  q->render_stereo(1.0);
  EXPECT_DOUBLE_EQ(*q->head_pts_us(), kT + 1000000.0 / 48000.0);
}

TEST_F(PcmQueueTest, UnderrunRendersSilenceAndKeepsTheLastFrame) {
  push({0.7f, 0.8f}, kT);
  std::lock_guard l(q->mutex());
  q->set_started(true);
  EXPECT_EQ(q->render_stereo(1.0), std::make_pair(0.0f, 0.0f));
  EXPECT_FALSE(q->started());
  EXPECT_EQ(q->position(), 0.0);
  EXPECT_EQ(q->queued_frames(), 1u);
  EXPECT_EQ(q->head_pts_us(), kT);
}

TEST_F(PcmQueueTest, RingKeepsOrderAcrossWraps) {
  // Many pushes and reads at the bound wrap the ring several times; every frame must come out
  // in order, each exactly once.
  std::size_t next_in = 0, next_out = 0;
  for (int round = 0; round < 400; ++round) {
    push(frames_from(next_in, 1024), std::nullopt);
    next_in += 1024;
    std::lock_guard l(q->mutex());
    if (q->queued_frames() > 70000) {
      // The bound dropped the oldest frames; skip to what is now the head.
      next_out = static_cast<std::size_t>(q->render_stereo(0.0).first);
    }
    for (int i = 0; i < 1000; ++i) {
      const auto [left, right] = q->render_stereo(1.0);
      ASSERT_EQ(left, static_cast<float>(next_out)) << "round " << round;
      ASSERT_EQ(right, -static_cast<float>(next_out));
      ++next_out;
    }
  }
}

}  // namespace
}  // namespace sonvale
