// Randomised whole-program schedules (support/explorer.h): a fixed block of
// seeds for every build, and the exact replay of a seed.
#include "support/explorer.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

// 8 blocks of 25 seeds, so that ctest can run the blocks side by side.
constexpr std::uint64_t kSeedsPerBlock = 25;
constexpr int kBlocks = 8;

class ExplorerBlock : public ::testing::TestWithParam<int> {};

TEST_P(ExplorerBlock, EverySeedKeepsTheInvariants) {
  const std::uint64_t first = 1 + static_cast<std::uint64_t>(GetParam()) * kSeedsPerBlock;
  for (std::uint64_t seed = first; seed < first + kSeedsPerBlock; ++seed) {
    const uft::ExploreResult result = uft::RunSeed(seed);
    ASSERT_TRUE(result.ok) << result.Describe();
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, ExplorerBlock, ::testing::Range(0, kBlocks));

// A seed is the whole run: the same seed twice gives the same timeline, the
// same scheduling and so the same events and transfers, byte for byte.
TEST(Explorer, ASeedReplaysExactly) {
  for (const std::uint64_t seed : {3ULL, 17ULL, 0xDEADBEEFULL}) {
    const uft::ExploreResult a = uft::RunSeed(seed);
    const uft::ExploreResult b = uft::RunSeed(seed);
    EXPECT_FALSE(a.capture.empty()) << "seed " << seed;
    EXPECT_EQ(a.plan, b.plan) << "seed " << seed;
    EXPECT_EQ(a.actions, b.actions) << "seed " << seed;
    EXPECT_EQ(a.events, b.events) << "seed " << seed;
    EXPECT_EQ(a.capture, b.capture) << "seed " << seed;
    EXPECT_EQ(a.boxes, b.boxes) << "seed " << seed;
    EXPECT_EQ(a.failures, b.failures) << "seed " << seed;
  }
}

TEST(Explorer, DifferentSeedsGiveDifferentRuns) {
  EXPECT_NE(uft::RunSeed(5).plan, uft::RunSeed(6).plan);
}

}  // namespace
