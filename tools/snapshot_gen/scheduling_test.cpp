// Generated workloads through the whole scheduler: every phase of every
// pattern schedules, twice with the same result, and the improvement
// strategies and the alignment retry all get exercised somewhere.

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "generator.hpp"
#include "oxu/codegen/greedy_scheduler.hpp"
#include "oxu/codegen/neighborhood_improvement.hpp"
#include "oxu/codegen/order/matching_wave_order.hpp"
#include "oxu/codegen/scheduling_pipeline.hpp"
#include "oxu/exchange/events.hpp"

namespace oxu::snapshot_gen {
namespace {

using codegen::PhysicalExchangePhase;

struct Size {
  std::uint32_t tiles;
  std::uint32_t transfers;
};

void count_retries(const exchange::events::Event& event, void* context) {
  if (event.message == "retrying exchange schedule with incremental instruction-alignment validation") {
    ++*static_cast<std::size_t*>(context);
  }
}

bool same_phase(const PhysicalExchangePhase& a, const PhysicalExchangePhase& b) {
  return a.horizon_cycles == b.horizon_cycles && a.phase == b.phase && a.active == b.active &&
         a.programs == b.programs && a.incoming_bases == b.incoming_bases && a.tile_horizons == b.tile_horizons &&
         a.activities == b.activities && a.repeat_patches == b.repeat_patches;
}

TEST(GeneratedSchedulingTest, EveryPatternSchedulesDeterministically) {
  std::size_t retries = 0;
  exchange::events::install_consumer(count_retries, &retries);
  std::size_t improved_phases = 0;
  std::size_t phases = 0;
  const Size sizes[] = {{16, 40}, {64, 300}};
  for (const Pattern pattern : kAllPatterns) {
    for (const Size size : sizes) {
      for (const std::uint64_t seed : {1ULL, 2ULL}) {
        const GeneratorOptions options{pattern, size.tiles, 1, size.transfers, seed};
        const auto snapshot = generate_snapshot(options);
        ASSERT_TRUE(snapshot.has_value()) << snapshot.error();
        for (const auto& problem : snapshot->phases) {
          const std::string where = fmt::format("{} tiles={} seed={}", pattern_name(pattern), size.tiles, seed);
          const auto first = codegen::schedule_exchange_problem(snapshot->tile_count, problem);
          ASSERT_TRUE(first.has_value()) << where << ": " << first.error().message();
          const auto second = codegen::schedule_exchange_problem(snapshot->tile_count, problem);
          ASSERT_TRUE(second.has_value()) << where;
          EXPECT_TRUE(same_phase(*first, *second)) << where;
          EXPECT_LE(first->horizon_cycles, first->initial_horizon_cycles) << where;
          if (first->neighborhood_improvements > 0) ++improved_phases;
          ++phases;
        }
      }
    }
  }
  exchange::events::install_consumer(nullptr, nullptr);
  std::printf("phases=%zu withNeighbourhoodImprovements=%zu alignmentRetries=%zu\n", phases, improved_phases,
              retries);
  EXPECT_GT(improved_phases, 0U);
  EXPECT_GT(retries, 0U);
}

// The matching-wave order is tried once on point-to-point phases and kept
// only when it beats the greedy schedule; some generated phases must take it.
TEST(GeneratedSchedulingTest, MatchingWavesWinOnSomePointToPointPhases) {
  std::size_t tried = 0;
  std::size_t accepted = 0;
  for (const Pattern pattern : {Pattern::P2p, Pattern::AllToAll, Pattern::Halo}) {
    for (const std::uint64_t seed : {1ULL, 2ULL, 3ULL}) {
      const auto snapshot = generate_snapshot(GeneratorOptions{pattern, 32, 1, 120, seed});
      ASSERT_TRUE(snapshot.has_value()) << snapshot.error();
      const auto& problem = snapshot->phases.front();
      const auto all = exchange::Topology::m72().tiles;
      const auto topology = *exchange::Topology::create({all.begin(), all.begin() + snapshot->tile_count});
      const auto pending = *codegen::pending_from_problem(problem, snapshot->tile_count);
      const auto configuration = *codegen::receive_configuration(pending, snapshot->tile_count);
      const codegen::PhaseContext context{topology, pending, configuration.incoming_bases,
                                          configuration.receive_counts, snapshot->tile_count};
      const auto greedy = codegen::materialize_greedy_schedule(context);
      ASSERT_TRUE(greedy.has_value());
      const auto waves =
          codegen::order::point_to_point_matching_wave_order(pending, snapshot->tile_count, greedy->order);
      if (!waves) continue;
      ++tried;
      const auto candidate = codegen::materialize_schedule_order(context, *waves, false);
      if (candidate && candidate->horizon < greedy->horizon) ++accepted;
    }
  }
  std::printf("matchingWaveOrders=%zu accepted=%zu\n", tried, accepted);
  EXPECT_GT(accepted, 0U);
}

}  // namespace
}  // namespace oxu::snapshot_gen
