#include "oxu/codegen/greedy_scheduler.hpp"

#include <gtest/gtest.h>

#include "testing/test_phase.hpp"

namespace oxu::codegen {
namespace {

constexpr std::uint16_t kTiles = 16;

PendingTransfer word32(std::uint16_t source, std::uint32_t source_address, testing::Destinations destinations,
                       std::uint32_t words) {
  return testing::word32_transfer(source, {source_address}, std::move(destinations), words);
}

struct Greedy {
  explicit Greedy(std::vector<PendingTransfer> transfers) : phase(std::move(transfers), kTiles) {}
  std::expected<MaterializedSchedule, ExchangeLoweringError> run() const {
    return materialize_greedy_schedule_impl(phase.context(), false);
  }
  testing::TestPhase phase;
};

TEST(ReadyTransferTest, PriorityOrder) {
  const ReadyTransfer base{.endpoint_work = 100, .destination_count = 2, .transfer = 5, .ready_cycle = 10, .items = 8,
                           .source = 3};
  struct Case {
    const char* name;
    ReadyTransfer more_urgent;
  };
  const auto with = [&](auto change) {
    ReadyTransfer entry = base;
    change(entry);
    return entry;
  };
  const Case cases[] = {
      {"earlier ready cycle", with([](ReadyTransfer& e) { e.ready_cycle = 9; e.endpoint_work = 0; })},
      {"more endpoint work", with([](ReadyTransfer& e) { e.endpoint_work = 101; e.destination_count = 0; })},
      {"more destinations", with([](ReadyTransfer& e) { e.destination_count = 3; e.items = 0; })},
      {"more items", with([](ReadyTransfer& e) { e.items = 9; e.source = 15; })},
      {"lower source", with([](ReadyTransfer& e) { e.source = 2; e.transfer = 99; })},
      {"lower index", with([](ReadyTransfer& e) { e.transfer = 4; })},
  };
  for (const Case& c : cases) {
    EXPECT_TRUE(base < c.more_urgent) << c.name;
    EXPECT_FALSE(c.more_urgent < base) << c.name;
  }
  EXPECT_FALSE(base < base);
}

TEST(ReadyTransferTest, RebuildThreshold) {
  // floor(log2 200) = 7: 28 * 7 = 196 < 200 <= 29 * 7.
  EXPECT_FALSE(ready_queue_needs_rebuild(200, 28));
  EXPECT_TRUE(ready_queue_needs_rebuild(200, 29));
  EXPECT_TRUE(ready_queue_needs_rebuild(200, 30));
  EXPECT_FALSE(ready_queue_needs_rebuild(127, 1000));
  EXPECT_TRUE(ready_queue_needs_rebuild(128, 19));
  EXPECT_FALSE(ready_queue_needs_rebuild(128, 18));
}

TEST(GreedySchedulerTest, SingleTransfer) {
  const Greedy phase({word32(0, 0, {{1, 0x100}}, 8)});
  const auto schedule = phase.run();
  ASSERT_TRUE(schedule.has_value());
  EXPECT_EQ(schedule->order, std::vector<std::size_t>{0});
  EXPECT_EQ(schedule->horizon, schedule->builder.event_cycles());
  EXPECT_GT(schedule->horizon, 0U);
}

TEST(GreedySchedulerTest, PlacementOrderOfInitiallyReadyTransfers) {
  struct Case {
    const char* name;
    std::vector<PendingTransfer> pending;
    std::vector<std::size_t> order;
  };
  const Case cases[] = {
      {"same endpoints: more items first",
       {word32(0, 0x0, {{1, 0x0}}, 4), word32(0, 0x4000, {{1, 0x4000}}, 8)},
       {1, 0}},
      {"same endpoints, equal items: lower index first",
       {word32(0, 0x0, {{1, 0x0}}, 8), word32(0, 0x4000, {{1, 0x4000}}, 8)},
       {0, 1}},
      // Transfers 1 and 2 share their endpoints: 2 enters when 1 leaves, with
      // 1's ready cycle, and the refresh finds its tiles busy.
      {"more work on the tiles first",
       {word32(0, 0x0, {{1, 0x0}}, 4), word32(2, 0x0, {{3, 0x0}}, 4), word32(2, 0x4000, {{3, 0x4000}}, 4)},
       {1, 0, 2}},
      {"equal work: more destinations first",
       {word32(0, 0x0, {{1, 0x0}}, 6), word32(2, 0x0, {{3, 0x0}, {4, 0x0}}, 4)},
       {1, 0}},
      {"equal work and destinations: lower source first",
       {word32(0, 0x0, {{1, 0x0}, {5, 0x0}}, 6), word32(2, 0x0, {{3, 0x0}, {4, 0x0}}, 6)},
       {0, 1}},
      {"all equal: lower source first",
       {word32(6, 0x0, {{7, 0x0}}, 6), word32(2, 0x0, {{3, 0x0}}, 6)},
       {1, 0}},
  };
  for (const Case& c : cases) {
    const auto schedule = Greedy(c.pending).run();
    ASSERT_TRUE(schedule.has_value()) << c.name;
    EXPECT_EQ(schedule->order, c.order) << c.name;
  }
}

TEST(GreedySchedulerTest, DependentTransferStartsAfterItsPredecessors) {
  // Transfers 0 and 1 write tile 2's buffer at 0x100; transfer 2 reads it.
  const Greedy phase({word32(0, 0x0, {{2, 0x100}}, 16), word32(1, 0x0, {{2, 0x180}}, 16),
                      word32(2, 0x100, {{3, 0x0}}, 48)});
  const auto schedule = phase.run();
  ASSERT_TRUE(schedule.has_value());
  ASSERT_EQ(schedule->order.back(), 2U);
  const std::uint32_t predecessors_end =
      std::max(schedule->placements[0]->end_cycle, schedule->placements[1]->end_cycle);
  EXPECT_GE(schedule->placements[2]->start_cycle, predecessors_end);
}

TEST(GreedySchedulerTest, PlacesEveryTransferOnceOnABusyPhase) {
  std::vector<PendingTransfer> pending;
  for (std::uint16_t i = 0; i < 300; ++i) {
    const auto source = static_cast<std::uint16_t>(i % kTiles);
    const auto destination = static_cast<std::uint16_t>((i * 7 + 3) % kTiles);
    if (source == destination) continue;
    pending.push_back(word32(source, 0x1000 * (i % 8), {{destination, 0x80000 + 0x100 * (i % 64)}}, 1 + i % 40));
  }
  const auto schedule = Greedy(pending).run();
  ASSERT_TRUE(schedule.has_value()) << schedule.error().message();
  std::vector<std::size_t> sorted = schedule->order;
  std::sort(sorted.begin(), sorted.end());
  for (std::size_t i = 0; i < sorted.size(); ++i) ASSERT_EQ(sorted[i], i);
  ASSERT_EQ(sorted.size(), pending.size());
}

}  // namespace
}  // namespace oxu::codegen
