#include "oxu/codegen/materialized_schedule.hpp"

#include <gtest/gtest.h>

#include "testing/test_phase.hpp"

namespace oxu::codegen {
namespace {

constexpr std::uint16_t kTiles = 8;

using testing::Destinations;

PendingTransfer word32(std::uint16_t source, std::vector<std::uint32_t> sources, Destinations destinations,
                       std::uint32_t words) {
  return testing::word32_transfer(source, std::move(sources), std::move(destinations), words);
}

PendingTransfer paired(std::uint16_t source, std::uint16_t partner, std::vector<std::uint32_t> sources,
                       Destinations destinations, std::uint32_t words) {
  return testing::paired_transfer(source, partner, std::move(sources), std::move(destinations), words);
}

// A fresh schedule of hand-made transfers, with the caller's frontiers.
class Phase {
 public:
  explicit Phase(std::vector<PendingTransfer> pending)
      : phase_(std::move(pending), kTiles),
        schedule_(MaterializedSchedule::create(kTiles, phase_.pending)),
        frontiers_(kTiles) {}

  std::expected<std::uint32_t, ExchangeLoweringError> append(std::size_t t, std::uint32_t minimum = 0) {
    return schedule_.append(phase_.context(), t, minimum, false, frontiers_);
  }
  MaterializedSchedule& schedule() { return schedule_; }
  std::vector<TileFrontier>& frontiers() { return frontiers_; }

 private:
  testing::TestPhase phase_;
  MaterializedSchedule schedule_;
  std::vector<TileFrontier> frontiers_;
};

TEST(MaterializedScheduleTest, ValidationBudgetFollowsTheTraffic) {
  Phase small({word32(0, {0}, {{1, 0}}, 4)});
  EXPECT_EQ(small.schedule().builder.validation_budget()->load(), 0x20000000U);

  // 20000 sends from tile 0 to tile 1: tile 0 weighs 20000 * 20001, tile 1
  // 20000 * 60001; times 4.
  std::vector<PendingTransfer> heavy(20000, word32(0, {0}, {{1, 0x10000}}, 1));
  const auto schedule = MaterializedSchedule::create(kTiles, heavy);
  const std::uint64_t expected = 4 * (20000ULL * 20001 + 20000ULL * 60001);
  EXPECT_EQ(schedule.builder.validation_budget()->load(), expected);
}

TEST(MaterializedScheduleTest, RouteChoice) {
  // A single destination with its tile's base takes the point-to-point
  // route, whose sender starts 140 cycles after the Sync for 0 -> 1; the
  // multicast route starts after 28.
  Phase point({word32(0, {0}, {{1, 0x100}}, 4)});
  ASSERT_TRUE(point.append(0).has_value());
  EXPECT_EQ(point.schedule().activities[0].front().start_cycle, 140U);

  Phase shared({word32(0, {0}, {{1, 0x100}}, 4), word32(2, {0}, {{1, 0x200}}, 4)});
  ASSERT_TRUE(shared.append(0).has_value());
  EXPECT_EQ(shared.schedule().activities[0].front().start_cycle, 28U);
}

TEST(MaterializedScheduleTest, ShapeChecks) {
  const auto loopback = ExchangeLoweringError::invariant(
      "multicast loopback requires separate source and destination memory elements");
  struct Case {
    const char* name;
    PendingTransfer transfer;
    std::optional<ExchangeLoweringError> error;
  };
  PendingTransfer no_elements = word32(0, {0}, {{1, 0}}, 4);
  no_elements.source_elements.clear();
  PendingTransfer odd_paired = paired(0, 1, {0}, {{2, 0}, {3, 0}}, 129);
  const Case cases[] = {
      {"loopback into another element", word32(0, {0}, {{1, 0x100}, {0, 0x4000}}, 4), std::nullopt},
      {"loopback into the same element", word32(0, {0}, {{1, 0x100}, {0, 0x3000}}, 4), loopback},
      {"single loopback", word32(0, {0}, {{0, 0x4000}}, 4), loopback},
      {"paired loopback", paired(0, 1, {0}, {{2, 0}, {3, 0}, {0, 0x40000}}, 128), loopback},
      {"no source elements", no_elements, ExchangeLoweringError::unaligned_payload()},
      {"zero words", word32(0, {0}, {{1, 0}}, 0), ExchangeLoweringError::unaligned_payload()},
      {"odd paired words", odd_paired, ExchangeLoweringError::unaligned_payload()},
      {"multicast address too high", word32(0, {0}, {{1, 0x100000}, {2, 0}}, 4),
       ExchangeLoweringError(exchange::ExchangeError::address(0x100000))},
      {"multicast address unaligned", word32(0, {0}, {{1, 0x102}, {2, 0}}, 4),
       ExchangeLoweringError(exchange::ExchangeError::address(0x102))},
  };
  for (const Case& c : cases) {
    Phase phase({c.transfer});
    const auto appended = phase.append(0);
    if (c.error) {
      EXPECT_EQ(appended, std::unexpected(*c.error)) << c.name;
      EXPECT_TRUE(phase.schedule().order.empty()) << c.name;
      EXPECT_FALSE(phase.frontiers()[0].last_send.has_value()) << c.name;
    } else {
      EXPECT_TRUE(appended.has_value()) << c.name;
    }
  }
}

TEST(MaterializedScheduleTest, PairedTransferLendsThePartner) {
  Phase phase({paired(0, 1, {0x1000}, {{2, 0}, {3, 0}}, 130)});
  const auto end = phase.append(0);
  ASSERT_TRUE(end.has_value());
  const auto& send = phase.schedule().activities[0].front();
  const auto& partner = phase.schedule().activities[1].front();
  EXPECT_EQ(send.kind, ExchangeActivityKind::Send);
  EXPECT_TRUE(send.paired);
  EXPECT_EQ(send.words, 130U);
  EXPECT_EQ(send.end_cycle - send.start_cycle, 65U) << "130 words are 65 items";
  EXPECT_EQ(partner.kind, ExchangeActivityKind::PartnerBusy);
  EXPECT_EQ(partner.start_cycle, send.start_cycle);
  EXPECT_EQ(partner.end_cycle, send.memory_end_cycle);
  EXPECT_EQ(partner.memory_end_cycle, send.memory_end_cycle);
  EXPECT_EQ(partner.address, 0x1000U);
  EXPECT_EQ(phase.schedule().tile_ready[1].first, send.memory_end_cycle);
  EXPECT_EQ(phase.frontiers()[1].last_send, 0U);
  ASSERT_EQ(phase.schedule().activities[2].size(), 1U);
  EXPECT_EQ(phase.schedule().activities[2].front().kind, ExchangeActivityKind::Receive);
}

TEST(MaterializedScheduleTest, RecordsActivitiesReadyCyclesAndPlacements) {
  Phase phase({word32(0, {0x100}, {{1, 0x200}, {2, 0x300}}, 10), word32(0, {0x8000}, {{3, 0x400}}, 10)});
  const auto first = phase.append(0);
  ASSERT_TRUE(first.has_value());
  const MaterializedSchedule& schedule = phase.schedule();
  const ExchangeActivity& send = schedule.activities[0].front();
  EXPECT_EQ(send.address, 0x100U);
  EXPECT_EQ(send.destination_count, 2);
  EXPECT_EQ(schedule.tile_ready[0].first, send.end_cycle);
  std::uint32_t latest_receive = send.end_cycle;
  for (const std::uint16_t tile : {std::uint16_t{1}, std::uint16_t{2}}) {
    const ExchangeActivity& receive = schedule.activities[tile].front();
    EXPECT_EQ(receive.kind, ExchangeActivityKind::Receive);
    EXPECT_EQ(schedule.tile_ready[tile].second, receive.end_cycle);
    EXPECT_GE(receive.memory_end_cycle, receive.end_cycle);
    EXPECT_EQ(phase.frontiers()[tile].last_receive, 0U);
    latest_receive = std::max(latest_receive, receive.end_cycle);
  }
  EXPECT_EQ(*first, latest_receive) << "the end cycle ignores memory ends";
  ASSERT_TRUE(schedule.placements[0].has_value());
  EXPECT_EQ(schedule.placements[0]->end_cycle, *first);
  EXPECT_EQ(schedule.placements[0]->critical_tile, 0) << "all idle: the smallest tile";
  EXPECT_FALSE(schedule.placements[0]->blocking_transfer.has_value());

  // The second transfer from tile 0 is held back by the first one's send.
  ASSERT_TRUE(phase.append(1, 0).has_value());
  ASSERT_TRUE(schedule.placements[1].has_value());
  EXPECT_EQ(schedule.placements[1]->critical_tile, 0);
  EXPECT_EQ(schedule.placements[1]->blocking_transfer, 0U);
  EXPECT_EQ(schedule.order, (std::vector<std::size_t>{0, 1}));
  EXPECT_EQ(schedule.memory[0].sends().size(), 2U);
  EXPECT_EQ(schedule.memory[1].receives().size(), 1U);
}

TEST(MaterializedScheduleTest, MinimumOffsetBeyondEveryEndpointMakesTheSourceCritical) {
  Phase phase({word32(3, {0}, {{1, 0x100}}, 4), word32(0, {0}, {{1, 0x200}}, 4)});
  ASSERT_TRUE(phase.append(0).has_value());
  ASSERT_TRUE(phase.append(1, 100000).has_value());
  EXPECT_EQ(phase.schedule().placements[1]->critical_tile, 0);
  EXPECT_FALSE(phase.schedule().placements[1]->blocking_transfer.has_value());
}

TEST(MaterializedScheduleTest, ReadWindowWaitsForAWriteOnTheSameElement) {
  // Transfer 0 writes tile 0's memory at 0x100; transfer 1 then sends 100
  // words from 0x200 on tile 0 (other bytes, same element): at its earliest
  // offset its read would overlap the write in time, so it moves after it.
  Phase phase({word32(1, {0x8000}, {{0, 0x100}}, 40), word32(0, {0x200}, {{2, 0x100}}, 100)});
  ASSERT_TRUE(phase.append(0).has_value());
  const MemoryAccess write = phase.schedule().memory[0].receives().front();
  ASSERT_TRUE(phase.append(1).has_value());
  const MemoryAccess read = phase.schedule().memory[0].sends().front();
  EXPECT_GE(read.start_cycle, write.end_cycle);
}

}  // namespace
}  // namespace oxu::codegen
