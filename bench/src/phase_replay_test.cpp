#include "phase_replay.hpp"

#include <gtest/gtest.h>

namespace oxu::bench {
namespace {

TEST(PhaseReplayTest, NearestRankPercentiles) {
  struct Case {
    std::size_t count;
    std::size_t percent;
    std::size_t position;
  };
  const Case cases[] = {{1, 50, 0}, {1, 95, 0}, {10, 50, 4}, {10, 95, 9}, {20, 50, 9},
                        {20, 95, 18}, {0, 50, 0}, {3, 50, 1}, {2, 95, 1}, {100, 95, 94}};
  for (const Case& c : cases) {
    EXPECT_EQ(percentile_position(c.count, c.percent), c.position) << c.count << " " << c.percent;
  }
}

TEST(PhaseReplayTest, Milliseconds) {
  EXPECT_DOUBLE_EQ(duration_milliseconds(std::chrono::nanoseconds(1'500'000)), 1.5);
  EXPECT_DOUBLE_EQ(duration_milliseconds(std::chrono::seconds(2) + std::chrono::nanoseconds(250'000'000)), 2250.0);
}

}  // namespace
}  // namespace oxu::bench
