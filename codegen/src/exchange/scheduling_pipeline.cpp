#include "oxu/codegen/scheduling_pipeline.hpp"

#include <chrono>

#include <fmt/format.h>

#include "oxu/codegen/greedy_scheduler.hpp"
#include "oxu/exchange/events.hpp"
#include "oxu/exchange/instruction_words.hpp"
#include "oxu/exchange/result.hpp"

namespace oxu::codegen {
namespace {

namespace events = exchange::events;

constexpr std::string_view kAlignmentReason = "SENDPICP instruction alignment";
constexpr std::string_view kEventTarget = "oxu_codegen::exchange";
constexpr std::string_view kRetryMessage = "retrying exchange schedule with incremental instruction-alignment validation";
constexpr std::string_view kRetryDoneMessage = "finished incremental instruction-alignment validation";

}  // namespace

std::expected<ReceiveConfiguration, ExchangeLoweringError> receive_configuration(
    std::span<const PendingTransfer> pending, std::uint16_t tile_count) {
  ReceiveConfiguration configuration{std::vector<std::uint64_t>(tile_count, 0),
                                     std::vector<std::uint32_t>(tile_count, 0)};
  for (const PendingTransfer& transfer : pending) {
    for (const auto& [tile, address] : transfer.destinations) {
      if (tile >= tile_count) return std::unexpected(ExchangeLoweringError::invalid_destination());
      ++configuration.receive_counts[tile];
    }
  }
  for (const PendingTransfer& transfer : pending) {
    if (transfer.destinations.size() != 1) continue;
    const auto [tile, address] = transfer.destinations.front();
    if (configuration.receive_counts[tile] == 1) configuration.incoming_bases[tile] = address;
  }
  return configuration;
}

std::expected<MaterializedSchedule, ExchangeLoweringError> materialize_greedy_schedule(const PhaseContext& context) {
  {
    OXU_TRY_ASSIGN(MaterializedSchedule greedy, materialize_greedy_schedule_impl(context, false));
    const auto deferred = greedy.builder.finish();
    if (deferred) return greedy;
    const exchange::ExchangeError& error = deferred.error();
    if (error.kind() != exchange::ExchangeError::Kind::Schedule || error.reason() != kAlignmentReason) {
      return std::unexpected(error);
    }
  }  // the first greedy schedule is dropped before the retry
  const auto transfers = static_cast<std::uint64_t>(context.pending.size());
  OXU_EVENT(events::Level::Info, kEventTarget, kRetryMessage, {"message", std::string(kRetryMessage)},
            {"transfers", transfers});
  const auto started = std::chrono::steady_clock::now();
  auto retry = materialize_greedy_schedule_impl(context, true);
  const auto elapsed =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
  OXU_EVENT(events::Level::Info, kEventTarget, kRetryDoneMessage, {"message", std::string(kRetryDoneMessage)},
            {"transfers", transfers}, {"elapsed_ms", static_cast<std::uint64_t>(elapsed.count())},
            {"success", retry.has_value()});
  return retry;
}

std::expected<ImprovementResult, ExchangeLoweringError> optimize_pending_schedule(const PhaseContext& context) {
  OXU_TRY_ASSIGN(MaterializedSchedule greedy, materialize_greedy_schedule(context));
  return improve_pending_schedule(context, std::move(greedy));
}

std::vector<std::vector<std::uint32_t>> lower_exchanges_cached(
    std::vector<std::optional<std::vector<std::uint32_t>>> programs) {
  std::vector<std::vector<std::uint32_t>> lowered;
  lowered.reserve(programs.size());
  for (auto& program : programs) {
    lowered.push_back(program ? std::move(*program) : std::vector<std::uint32_t>{exchange::kReturnWord});
  }
  return lowered;
}

std::expected<PhysicalExchangePhase, ExchangeLoweringError> schedule_exchange_problem(
    std::uint16_t tile_count, const ExchangeScheduleProblem& problem) {
  const exchange::Topology m72 = exchange::Topology::m72();
  if (tile_count == 0 || tile_count > m72.tiles.size()) {
    return std::unexpected(
        ExchangeLoweringError::invalid_snapshot(fmt::format("tile count {} is outside the M72 topology", tile_count)));
  }
  OXU_TRY_ASSIGN(const exchange::Topology topology,
                 exchange::Topology::create({m72.tiles.begin(), m72.tiles.begin() + tile_count}));
  OXU_TRY_ASSIGN(const std::vector<PendingTransfer> pending, pending_from_problem(problem, tile_count));
  OXU_TRY_ASSIGN(ReceiveConfiguration configuration, receive_configuration(pending, tile_count));

  const PhaseContext context{topology, pending, configuration.incoming_bases, configuration.receive_counts,
                             tile_count};
  OXU_TRY_ASSIGN(ImprovementResult improved, optimize_pending_schedule(context));
  OXU_TRY_ASSIGN(exchange::PhasePrograms finished, improved.schedule.builder.finish());
  if (finished.horizon != improved.schedule.horizon) {
    return std::unexpected(ExchangeLoweringError::invariant(
        fmt::format("phase {} row horizon {} differs from scheduled horizon {}", problem.phase, finished.horizon,
                    improved.schedule.horizon)));
  }

  PhysicalExchangePhase result;
  result.phase = problem.phase;
  result.active.reserve(tile_count);
  for (const auto& program : finished.programs) result.active.push_back(program.has_value());
  result.programs = lower_exchanges_cached(std::move(finished.programs));
  result.incoming_bases = std::move(configuration.incoming_bases);
  result.tile_horizons = std::move(finished.tile_horizons);
  result.activities = std::move(improved.schedule.activities);
  result.repeat_patches.resize(tile_count);
  result.horizon_cycles = improved.schedule.horizon;
  result.neighborhood_improvements = improved.neighborhood_improvements;
  result.initial_horizon_cycles = improved.initial_horizon_cycles;
  result.endpoint_lower_bound_cycles = improved.endpoint_lower_bound_cycles;
  return result;
}

}  // namespace oxu::codegen
