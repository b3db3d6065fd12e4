#include "oxu/codegen/scheduling_pipeline.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "oxu/exchange/diagnostic/plan_program.hpp"
#include "oxu/exchange/instruction_words.hpp"

namespace oxu::codegen {
namespace {

ExchangeScheduleTransfer word32(std::uint16_t source, std::uint32_t address,
                                std::vector<ExchangeScheduleDestination> destinations, std::uint32_t words) {
  return {source, {address}, std::move(destinations), words, ExchangeItemWidth::Word32};
}

TEST(SchedulingPipelineTest, TileCountOutsideTheTopology) {
  const ExchangeScheduleProblem empty{1, {}};
  for (const std::uint16_t tiles : {std::uint16_t{0}, std::uint16_t{1473}}) {
    EXPECT_EQ(schedule_exchange_problem(tiles, empty),
              std::unexpected(ExchangeLoweringError::invalid_snapshot(
                  fmt::format("tile count {} is outside the M72 topology", tiles))));
  }
  EXPECT_TRUE(schedule_exchange_problem(1472, empty).has_value());
}

TEST(SchedulingPipelineTest, ReceiveConfiguration) {
  PendingTransfer single;
  single.destinations = {{1, 0x100}};
  PendingTransfer multicast;
  multicast.destinations = {{2, 0x200}, {3, 0x300}};
  PendingTransfer second_to_four;
  second_to_four.destinations = {{4, 0x400}};
  PendingTransfer first_to_four = second_to_four;

  const std::vector<PendingTransfer> pending{single, multicast, first_to_four, second_to_four};
  const auto configuration = receive_configuration(pending, 6);
  ASSERT_TRUE(configuration.has_value());
  EXPECT_EQ(configuration->receive_counts, (std::vector<std::uint64_t>{0, 1, 1, 1, 2, 0}));
  // Only tile 1 is the target of one destination that is a point-to-point transfer's only one.
  EXPECT_EQ(configuration->incoming_bases, (std::vector<std::uint32_t>{0, 0x100, 0, 0, 0, 0}));

  PendingTransfer outside;
  outside.destinations = {{6, 0}};
  EXPECT_EQ(receive_configuration(std::vector<PendingTransfer>{single, outside}, 6),
            std::unexpected(ExchangeLoweringError::invalid_destination()));
}

TEST(SchedulingPipelineTest, ScheduledPhase) {
  const ExchangeScheduleProblem problem{
      7,
      {word32(0, 0x0, {{1, 0x100}}, 16), word32(2, 0x0, {{3, 0x200}, {1, 0x4000}}, 40),
       word32(1, 0x100, {{0, 0x8000}}, 16)}};
  const auto phase = schedule_exchange_problem(6, problem);
  ASSERT_TRUE(phase.has_value()) << phase.error().message();
  EXPECT_EQ(phase->phase, 7U);
  EXPECT_EQ(phase->active, (std::vector<bool>{true, true, true, true, false, false}));
  EXPECT_EQ(phase->programs.size(), 6U);
  EXPECT_EQ(phase->programs[4], std::vector<std::uint32_t>{exchange::kReturnWord});
  EXPECT_EQ(phase->incoming_bases, (std::vector<std::uint32_t>{0x8000, 0, 0, 0, 0, 0}));
  EXPECT_TRUE(phase->activities[4].empty());
  EXPECT_EQ(phase->repeat_patches, std::vector<std::vector<ExchangeRowPatch>>(6));
  EXPECT_EQ(phase->tile_horizons[4], 0U);
  EXPECT_GE(phase->initial_horizon_cycles, phase->horizon_cycles);
  EXPECT_EQ(phase->endpoint_lower_bound_cycles, 56U) << "tile 1 receives 16 + 40 items";
  std::uint32_t largest = 0;
  for (std::size_t tile = 0; tile < 6; ++tile) {
    largest = std::max(largest, phase->tile_horizons[tile]);
    const auto decoded = exchange::diagnostic::diagnose_plan_program(phase->programs[tile], std::nullopt);
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(decoded->horizon, phase->tile_horizons[tile]) << tile;
  }
  EXPECT_EQ(largest, phase->horizon_cycles);

  // The same problem always gives the same phase.
  const auto again = schedule_exchange_problem(6, problem);
  ASSERT_TRUE(again.has_value());
  EXPECT_EQ(again->programs, phase->programs);
  EXPECT_EQ(again->activities, phase->activities);
  EXPECT_EQ(again->horizon_cycles, phase->horizon_cycles);
}

TEST(SchedulingPipelineTest, PendingTransferErrorsPassThrough) {
  const ExchangeScheduleProblem problem{3, {word32(0, 0x2, {{1, 0}}, 4)}};
  EXPECT_EQ(schedule_exchange_problem(4, problem),
            std::unexpected(ExchangeLoweringError::invalid_snapshot(
                "phase 3 transfer 0 has unaligned source address 0x2")));
}

TEST(SchedulingPipelineTest, LowerExchangesCached) {
  std::vector<std::optional<std::vector<std::uint32_t>>> programs{std::vector<std::uint32_t>{1, 2}, std::nullopt};
  EXPECT_EQ(lower_exchanges_cached(std::move(programs)),
            (std::vector<std::vector<std::uint32_t>>{{1, 2}, {exchange::kReturnWord}}));
}

}  // namespace
}  // namespace oxu::codegen
