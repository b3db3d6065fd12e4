#include "oxu/exchange/phase_program_builder.hpp"

#include <gtest/gtest.h>

#include "oxu/exchange/diagnostic/plan_program.hpp"

namespace oxu::exchange {
namespace {

constexpr std::uint16_t kTiles = 8;

class PhaseProgramBuilderTest : public testing::Test {
 protected:
  PhaseProgramBuilderTest() : topology_(*Topology::create({m72_prefix()})) {}

  static std::vector<std::uint16_t> m72_prefix() {
    const auto all = Topology::m72().tiles;
    return {all.begin(), all.begin() + kTiles};
  }

  // The rows of a point-to-point transfer in the form the builder takes.
  MulticastExchange point_rows(std::uint16_t sender, std::uint16_t receiver, std::uint32_t count) const {
    const auto exchange = topology_.point_to_point(sender, receiver, count);
    EXPECT_TRUE(exchange.has_value());
    const auto row = finalize_point_receiver(exchange->source_patch_index, exchange->receiver, topology_.tiles[sender]);
    EXPECT_TRUE(row.has_value());
    return MulticastExchange{{*row}, exchange->sender};
  }

  std::uint32_t place(PhaseProgramBuilder& builder, std::uint16_t sender, std::uint16_t receiver,
                      std::uint32_t count, std::uint32_t start) const {
    const MulticastExchange rows = point_rows(sender, receiver, count);
    const std::uint16_t receivers[] = {receiver};
    const auto offset = builder.earliest_transfer_offset_deferred(sender, {}, receivers, rows, count, start);
    EXPECT_TRUE(offset.has_value());
    EXPECT_TRUE(builder.append_transfer_at(sender, {}, receivers, rows, *offset, count).has_value());
    return *offset;
  }

  Topology topology_;
};

TEST_F(PhaseProgramBuilderTest, PointToPointTimingAndPrograms) {
  PhaseProgramBuilder builder(kTiles);
  const MulticastExchange rows = point_rows(0, 1, 10);
  const std::uint16_t receivers[] = {1};
  const auto timing = builder.transfer_timing_at(0, receivers, rows, 5, 10);
  ASSERT_TRUE(timing.has_value());
  // The sender starts at 112 - (-28) = 140 after the Sync; the receiver's pointer at 2 * row + 165.
  EXPECT_EQ(timing->send_start, 145U);
  EXPECT_EQ(timing->send_bus_end, 155U);
  EXPECT_EQ(timing->send_memory_end, 155U);
  EXPECT_EQ(timing->receive_starts, std::vector<std::uint32_t>{170});
  EXPECT_EQ(timing->receive_bus_ends, std::vector<std::uint32_t>{180});
  EXPECT_EQ(timing->receive_memory_ends, std::vector<std::uint32_t>{185});
  EXPECT_EQ(timing->end_cycle, 185U);

  const auto appended = builder.append_transfer_at(0, {}, receivers, rows, 5, 10);
  ASSERT_TRUE(appended.has_value());
  EXPECT_EQ(*appended, *timing);
  EXPECT_EQ(builder.event_cycles(), 185U);

  const auto programs = builder.finish();
  ASSERT_TRUE(programs.has_value());
  EXPECT_EQ(programs->horizon, 185U);
  EXPECT_EQ(programs->tile_horizons[0], 155U);
  EXPECT_EQ(programs->tile_horizons[1], 185U);
  ASSERT_TRUE(programs->programs[0].has_value());
  ASSERT_TRUE(programs->programs[1].has_value());
  for (std::size_t tile = 2; tile < kTiles; ++tile) EXPECT_FALSE(programs->programs[tile].has_value());
  const auto decoded = diagnostic::diagnose_plan_program(*programs->programs[1], std::nullopt);
  ASSERT_TRUE(decoded.has_value());
  EXPECT_EQ(decoded->horizon, 185U);
}

TEST_F(PhaseProgramBuilderTest, BusySenderMovesTheSendToTheEndOfTheRowInTheWay) {
  PhaseProgramBuilder builder(kTiles);
  ASSERT_EQ(place(builder, 0, 1, 10, 0), 0U);  // sends over [140, 150)
  // 0 -> 2 starts sending 143 cycles after its Sync; it must wait for cycle 150.
  const MulticastExchange rows = point_rows(0, 2, 10);
  const std::uint16_t receivers[] = {2};
  EXPECT_EQ(builder.earliest_transfer_offset_deferred(0, {}, receivers, rows, 10, 0), 7U);
}

TEST_F(PhaseProgramBuilderTest, SendMovesPastIncomingControlsOnItsFirstCycles) {
  struct Case {
    std::uint32_t control_cycle;  // a receive control on the sender tile
    std::uint32_t offset;         // earliest offset of a send that would start at 140
  };
  const Case cases[] = {{139, 0}, {140, 1}, {141, 2}, {142, 0}};
  for (const Case& c : cases) {
    PhaseProgramBuilder builder(kTiles);
    // 2 -> 0 switches tile 0's source 113 cycles after its Sync.
    const MulticastExchange incoming = point_rows(2, 0, 10);
    const std::uint16_t to_zero[] = {0};
    ASSERT_TRUE(builder.append_transfer_at(2, {}, to_zero, incoming, c.control_cycle - 113, 10).has_value());
    const MulticastExchange rows = point_rows(0, 1, 10);
    const std::uint16_t receivers[] = {1};
    EXPECT_EQ(builder.earliest_transfer_offset_deferred(0, {}, receivers, rows, 10, 0), c.offset)
        << "control at " << c.control_cycle;
  }
}

TEST_F(PhaseProgramBuilderTest, ValidationBudget) {
  const MulticastExchange rows = point_rows(0, 1, 10);
  const std::uint16_t receivers[] = {1};
  // Two empty tiles cost (0 + 0 + 1) each.
  PhaseProgramBuilder short_budget = PhaseProgramBuilder(kTiles).with_validation_budget(1);
  EXPECT_EQ(short_budget.earliest_transfer_offset(0, {}, receivers, rows, 10, 0),
            std::unexpected(ExchangeError::validation_budget_exceeded()));
  EXPECT_EQ(short_budget.validation_budget()->load(), 1U);
  EXPECT_EQ(short_budget.earliest_transfer_offset_deferred(0, {}, receivers, rows, 10, 0), 0U);
  EXPECT_EQ(short_budget.validation_budget()->load(), 1U);

  PhaseProgramBuilder exact = PhaseProgramBuilder(kTiles).with_validation_budget(2);
  EXPECT_EQ(exact.earliest_transfer_offset(0, {}, receivers, rows, 10, 0), 0U);
  EXPECT_EQ(exact.validation_budget()->load(), 0U);

  const PhaseProgramBuilder unlimited(kTiles);
  EXPECT_EQ(unlimited.earliest_transfer_offset(0, {}, receivers, rows, 10, 0), 0U);
}

TEST_F(PhaseProgramBuilderTest, FailedAppendsChangeNothing) {
  struct Case {
    const char* name;
    std::vector<std::uint16_t> blocked;
    std::vector<std::uint16_t> receivers;
    std::size_t rows;
    ExchangeError error;
  };
  const Case cases[] = {
      {"receiver twice", {}, {1, 1}, 2, ExchangeError::duplicate_tile()},
      {"blocked among receivers", {1}, {1}, 1, ExchangeError::duplicate_tile()},
      {"blocked sender", {0}, {1}, 1, ExchangeError::duplicate_tile()},
      {"blocked twice", {3, 3}, {1}, 1, ExchangeError::duplicate_tile()},
      {"blocked out of range", {8}, {1}, 1, ExchangeError::tile(8)},
      {"receiver out of range", {}, {9}, 1, ExchangeError::tile(9)},
      {"row count", {}, {1, 2}, 1, ExchangeError::schedule("receiver row count")},
  };
  for (const Case& c : cases) {
    PhaseProgramBuilder builder(kTiles);
    place(builder, 4, 5, 10, 0);
    const auto before = builder.finish();
    MulticastExchange rows = point_rows(0, 1, 10);
    rows.receivers.resize(c.rows, rows.receivers.front());
    EXPECT_EQ(builder.append_transfer_at(0, c.blocked, c.receivers, rows, 0, 10), std::unexpected(c.error)) << c.name;
    EXPECT_EQ(builder.finish(), before) << c.name;
    EXPECT_TRUE(builder.tiles()[0].senders().empty()) << c.name;
  }
}

TEST_F(PhaseProgramBuilderTest, SearchErrors) {
  const PhaseProgramBuilder builder(kTiles);
  const MulticastExchange rows = point_rows(0, 1, 10);
  const std::uint16_t two[] = {1, 2};
  const std::uint16_t far[] = {12};
  const std::uint16_t one[] = {1};
  EXPECT_EQ(builder.earliest_transfer_offset_deferred(0, {}, two, rows, 10, 0),
            std::unexpected(ExchangeError::schedule("receiver row count")));
  EXPECT_EQ(builder.earliest_transfer_offset_deferred(9, {}, one, rows, 10, 0), std::unexpected(ExchangeError::tile(9)));
  EXPECT_EQ(builder.earliest_transfer_offset_deferred(0, {}, far, rows, 10, 0), std::unexpected(ExchangeError::tile(12)));
  EXPECT_EQ(builder.earliest_transfer_offset_deferred(0, {}, one, rows, 10, 0xFFFFFFF0),
            std::unexpected(ExchangeError::schedule("send offset overflow")));
}

TEST_F(PhaseProgramBuilderTest, BlockedPartnerIsHeldUntilTheSendEnds) {
  PhaseProgramBuilder builder(kTiles);
  const MulticastExchange rows = point_rows(0, 2, 10);
  const std::uint16_t receivers[] = {2};
  const std::uint16_t blocked[] = {1};
  const auto timing = builder.append_transfer_at(0, blocked, receivers, rows, 0, 10);
  ASSERT_TRUE(timing.has_value());
  EXPECT_EQ(builder.tiles()[1].busy_until(), timing->send_memory_end);
  EXPECT_EQ(builder.tiles()[1].horizon(), timing->send_memory_end);
  // A send of the partner now waits for the hold.
  const MulticastExchange partner_rows = point_rows(1, 3, 10);
  const std::uint16_t to_three[] = {3};
  const auto offset = builder.earliest_transfer_offset_deferred(1, {}, to_three, partner_rows, 10, 0);
  ASSERT_TRUE(offset.has_value());
  const auto partner_timing = builder.transfer_timing_at(1, to_three, partner_rows, *offset, 10);
  ASSERT_TRUE(partner_timing.has_value());
  EXPECT_GE(partner_timing->send_start, timing->send_memory_end);
}

TEST_F(PhaseProgramBuilderTest, FinishWithoutTransfers) {
  const PhaseProgramBuilder builder(kTiles);
  const auto programs = builder.finish();
  ASSERT_TRUE(programs.has_value());
  EXPECT_EQ(programs->horizon, 0U);
  EXPECT_EQ(programs->tile_horizons, std::vector<std::uint32_t>(kTiles, 0));
  for (const auto& program : programs->programs) EXPECT_FALSE(program.has_value());
}

}  // namespace
}  // namespace oxu::exchange
