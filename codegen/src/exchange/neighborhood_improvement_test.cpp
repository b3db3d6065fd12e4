#include "oxu/codegen/neighborhood_improvement.hpp"

#include <gtest/gtest.h>

#include "oxu/codegen/greedy_scheduler.hpp"
#include "testing/test_phase.hpp"

namespace oxu::codegen {
namespace {

constexpr std::uint16_t kTiles = 8;

PendingTransfer word32(std::uint16_t source, std::uint32_t address, testing::Destinations destinations,
                       std::uint32_t words) {
  return testing::word32_transfer(source, {address}, std::move(destinations), words);
}

testing::TestPhase phase_of(std::vector<PendingTransfer> transfers) {
  return testing::TestPhase(std::move(transfers), kTiles);
}

TEST(EndpointWorkLowerBoundTest, CountsItemsPerTileAndSide) {
  PendingTransfer pair = word32(3, 0, {{5, 0}, {6, 0}}, 128);
  pair.width = ExchangeItemWidth::Paired64;
  pair.paired_tile = 7;
  EXPECT_EQ(endpoint_work_lower_bound(std::vector<PendingTransfer>{pair}, kTiles), 64U);
  // Tile 5 receives 64 + 10 items; tile 3 sends 64 + 20.
  const std::vector<PendingTransfer> more{pair, word32(0, 0, {{5, 0x100}}, 10), word32(3, 0x100, {{4, 0}}, 20)};
  EXPECT_EQ(endpoint_work_lower_bound(more, kTiles), 84U);
  EXPECT_EQ(endpoint_work_lower_bound({}, kTiles), 0U);
}

TEST(MaterializeScheduleOrderTest, RejectsOrdersThatAreNotTopologicalPermutations) {
  // Transfer 1 reads what transfer 0 writes on tile 1.
  const auto phase = phase_of({word32(0, 0, {{1, 0x100}}, 8), word32(1, 0x100, {{2, 0}}, 8), word32(3, 0, {{4, 0}}, 8)});
  const auto not_topological = ExchangeLoweringError::invariant("exchange order is not a topological permutation");
  struct Case {
    const char* name;
    std::vector<std::size_t> order;
    ExchangeLoweringError error;
  };
  const Case cases[] = {
      {"one short", {0, 1}, ExchangeLoweringError::overflow()},
      {"one too many", {0, 1, 2, 2}, ExchangeLoweringError::overflow()},
      {"before its predecessor", {1, 0, 2}, not_topological},
      {"repeated", {0, 0, 1}, not_topological},
      {"out of range", {0, 1, 3}, not_topological},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(materialize_schedule_order(phase.context(), c.order, false), std::unexpected(c.error)) << c.name;
  }
  const auto placed = materialize_schedule_order(phase.context(), std::vector<std::size_t>{2, 0, 1}, false);
  ASSERT_TRUE(placed.has_value());
  EXPECT_EQ(placed->order, (std::vector<std::size_t>{2, 0, 1}));
  EXPECT_EQ(placed->horizon, placed->builder.event_cycles());
  EXPECT_GE(placed->placements[1]->start_cycle, placed->placements[0]->end_cycle);
}

TEST(ImprovePendingScheduleTest, NothingToImproveWithAtMostOneTransfer) {
  for (const std::size_t count : {std::size_t{0}, std::size_t{1}}) {
    std::vector<PendingTransfer> pending;
    if (count == 1) pending.push_back(word32(0, 0, {{1, 0}}, 8));
    const auto phase = phase_of(pending);
    auto greedy = materialize_greedy_schedule_impl(phase.context(), false);
    ASSERT_TRUE(greedy.has_value());
    const std::uint32_t horizon = greedy->horizon;
    const ImprovementResult result = improve_pending_schedule(phase.context(), std::move(*greedy));
    EXPECT_EQ(result.neighborhood_improvements, 0U);
    EXPECT_EQ(result.initial_horizon_cycles, horizon);
    EXPECT_EQ(result.schedule.horizon, horizon);
    EXPECT_EQ(result.endpoint_lower_bound_cycles, count == 1 ? 8U : 0U);
  }
}

TEST(ImprovePendingScheduleTest, ResultIsNeverLongerThanTheGreedySchedule) {
  std::vector<PendingTransfer> pending;
  for (std::uint16_t i = 0; i < 40; ++i) {
    const auto source = static_cast<std::uint16_t>(i % kTiles);
    const auto destination = static_cast<std::uint16_t>((i * 3 + 1 + i / kTiles) % kTiles);
    if (source == destination) continue;
    pending.push_back(word32(source, 0x1000 * (i % 4), {{destination, 0x80000 + 0x400 * i}}, 8 + 13 * (i % 5)));
  }
  const auto phase = phase_of(pending);
  auto greedy = materialize_greedy_schedule_impl(phase.context(), false);
  ASSERT_TRUE(greedy.has_value());
  const ImprovementResult result = improve_pending_schedule(phase.context(), std::move(*greedy));
  EXPECT_LE(result.schedule.horizon, result.initial_horizon_cycles);
  EXPECT_EQ(result.schedule.order.size(), phase.pending.size());
  EXPECT_TRUE(result.schedule.builder.finish().has_value());
}

}  // namespace
}  // namespace oxu::codegen
