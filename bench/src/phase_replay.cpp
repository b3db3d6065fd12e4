#include "phase_replay.hpp"

#include <algorithm>
#include <optional>

#include <fmt/format.h>

#include "oxu/codegen/invariant_checker.hpp"
#include "oxu/codegen/scheduling_pipeline.hpp"
#include "oxu/exchange/diagnostic/plan_program.hpp"

namespace oxu::bench {
namespace {

using codegen::ExchangeActivity;
using codegen::ExchangeScheduleProblem;
using codegen::PhysicalExchangePhase;
using Clock = std::chrono::steady_clock;

// Room reserved up front for the durations of one phase; more runs than
// this grow the vectors between timed regions, never inside one.
constexpr std::size_t kReservedRuns = 65536;

// The fields of a scheduled phase that identical runs must reproduce.
struct ComparedOutput {
  std::uint32_t horizon_cycles;
  std::uint32_t phase;
  std::vector<bool> active;
  std::vector<std::vector<std::uint32_t>> programs;
  std::vector<std::uint32_t> incoming_bases;
  std::vector<std::uint32_t> tile_horizons;
  std::vector<std::vector<ExchangeActivity>> activities;
  std::vector<std::vector<codegen::ExchangeRowPatch>> repeat_patches;

  static ComparedOutput of(const PhysicalExchangePhase& result) {
    return {result.horizon_cycles, result.phase,         result.active,     result.programs,
            result.incoming_bases, result.tile_horizons, result.activities, result.repeat_patches};
  }

  [[nodiscard]] bool matches(const PhysicalExchangePhase& result) const {
    return horizon_cycles == result.horizon_cycles && phase == result.phase && active == result.active &&
           programs == result.programs && incoming_bases == result.incoming_bases &&
           tile_horizons == result.tile_horizons && activities == result.activities &&
           repeat_patches == result.repeat_patches;
  }
};

BenchError message_error(std::string message) { return BenchError{std::move(message), {}}; }

std::expected<void, BenchError> dump_tile(std::uint32_t phase_id, std::size_t tile,
                                          const PhysicalExchangePhase& result, std::FILE* out) {
  if (tile >= result.programs.size() || tile >= result.activities.size()) {
    return std::unexpected(message_error(fmt::format("logical tile {} is out of range", tile)));
  }
  for (const ExchangeActivity& activity : result.activities[tile]) {
    fmt::print(out, "phase={} logicalTile={} transfer={} {} cycles={}..{} memoryEnd={} address=0x{:x} words={}\n",
               phase_id, tile, activity.transfer, codegen::activity_kind_name(activity.kind), activity.start_cycle,
               activity.end_cycle, activity.memory_end_cycle, activity.address, activity.words);
  }
  const auto diagnostic = exchange::diagnostic::diagnose_plan_program(result.programs[tile], std::nullopt);
  if (!diagnostic) return std::unexpected(message_error(diagnostic.error().message()));
  fmt::print(out, "phase={} logicalTile={}\n{}\n", phase_id, tile, diagnostic->render());
  return {};
}

void print_metrics(const ExchangeScheduleProblem& problem, const PhysicalExchangePhase& result,
                   std::vector<std::chrono::nanoseconds> schedule_times,
                   std::vector<std::chrono::nanoseconds> validation_times, std::FILE* out) {
  std::size_t destinations = 0;
  for (const auto& transfer : problem.transfers) destinations += transfer.destinations.size();
  std::size_t row_words = 0;
  std::size_t maximum_row_words = 0;
  for (const auto& program : result.programs) {
    row_words += program.size();
    maximum_row_words = std::max(maximum_row_words, program.size());
  }
  const std::uint32_t gap = result.horizon_cycles >= result.endpoint_lower_bound_cycles
                                ? result.horizon_cycles - result.endpoint_lower_bound_cycles
                                : 0;
  std::sort(schedule_times.begin(), schedule_times.end());
  std::sort(validation_times.begin(), validation_times.end());
  const auto at = [](const std::vector<std::chrono::nanoseconds>& sorted, std::size_t percent) {
    return duration_milliseconds(sorted[percentile_position(sorted.size(), percent)]);
  };
  fmt::print(out,
             "phase={} transfers={} destinations={} initialHorizonCycles={} horizonCycles={} "
             "endpointLowerBoundCycles={} lowerBoundGapCycles={} neighborhoodImprovements={} rowWords={} "
             "maximumRowWords={} scheduleCodegenMinMs={:.3f} scheduleCodegenMedianMs={:.3f} "
             "scheduleCodegenP95Ms={:.3f} scheduleCodegenMaxMs={:.3f} validationMedianMs={:.3f} invariants=PASS\n",
             problem.phase, problem.transfers.size(), destinations, result.initial_horizon_cycles,
             result.horizon_cycles, result.endpoint_lower_bound_cycles, gap, result.neighborhood_improvements,
             row_words, maximum_row_words, duration_milliseconds(schedule_times.front()), at(schedule_times, 50),
             at(schedule_times, 95), duration_milliseconds(schedule_times.back()), at(validation_times, 50));
}

}  // namespace

std::size_t percentile_position(std::size_t count, std::size_t percent) {
  const std::size_t product = count * percent;
  std::size_t rank = product / 100 + (product % 100 != 0 ? 1 : 0);
  rank = std::min(rank, count);
  return rank == 0 ? 0 : rank - 1;
}

double duration_milliseconds(std::chrono::nanoseconds elapsed) {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(elapsed);
  const auto nanos = elapsed - seconds;
  return (static_cast<double>(seconds.count()) + static_cast<double>(nanos.count()) / 1e9) * 1000.0;
}

std::expected<void, BenchError> replay_phase(std::uint16_t tile_count, const ExchangeScheduleProblem& problem,
                                             const Arguments& arguments, std::FILE* out) {
  for (std::size_t run = 0; run < arguments.warmup; ++run) {
    const auto result = codegen::schedule_exchange_problem(tile_count, problem);
    if (!result) return std::unexpected(message_error(result.error().message()));
    const auto checked = codegen::validate_exchange_schedule(tile_count, problem, *result);
    if (!checked) return std::unexpected(message_error(checked.error().message()));
  }

  std::vector<std::chrono::nanoseconds> schedule_times;
  std::vector<std::chrono::nanoseconds> validation_times;
  schedule_times.reserve(std::min(arguments.iterations, kReservedRuns));
  validation_times.reserve(std::min(arguments.iterations, kReservedRuns));
  std::optional<ComparedOutput> reference;

  for (std::size_t run = 1; run <= arguments.iterations; ++run) {
    const auto scheduled_at = Clock::now();
    auto result = codegen::schedule_exchange_problem(tile_count, problem);
    schedule_times.push_back(Clock::now() - scheduled_at);
    if (!result) return std::unexpected(message_error(result.error().message()));

    const auto validated_at = Clock::now();
    const auto checked = codegen::validate_exchange_schedule(tile_count, problem, *result);
    validation_times.push_back(Clock::now() - validated_at);
    if (!checked) return std::unexpected(message_error(checked.error().message()));

    if (!reference) {
      reference = ComparedOutput::of(*result);
    } else if (!reference->matches(*result)) {
      return std::unexpected(message_error(
          fmt::format("phase {} scheduler/codegen output changed between identical runs", problem.phase)));
    }
    if (run == 1 && arguments.dump_tile) {
      if (auto dumped = dump_tile(problem.phase, *arguments.dump_tile, *result, out); !dumped) return dumped;
    }
    if (run == arguments.iterations) {
      print_metrics(problem, *result, std::move(schedule_times), std::move(validation_times), out);
      return {};
    }
  }
  return {};
}

}  // namespace oxu::bench
