#include "generator.hpp"

#include <fmt/format.h>

#include "oxu/codegen/scheduling_pipeline.hpp"
#include "patterns.hpp"
#include "phase_workload.hpp"
#include "random.hpp"

namespace oxu::snapshot_gen {
namespace {

// Draws of one phase before the generator gives up on it.
constexpr std::uint32_t kMaxPhaseAttempts = 16;

}  // namespace

std::string_view pattern_name(Pattern pattern) {
  switch (pattern) {
    case Pattern::P2p: return "p2p";
    case Pattern::AllToAll: return "alltoall";
    case Pattern::Halo: return "halo";
    case Pattern::Broadcast: return "broadcast";
    case Pattern::Paired: return "paired";
    case Pattern::Repeat: return "repeat";
    case Pattern::Loopback: return "loopback";
    case Pattern::Mixed: return "mixed";
  }
  return "mixed";
}

std::optional<Pattern> parse_pattern(std::string_view name) {
  for (const Pattern pattern : kAllPatterns) {
    if (pattern_name(pattern) == name) return pattern;
  }
  return std::nullopt;
}

std::uint32_t minimum_tiles(Pattern pattern) { return pattern == Pattern::Paired ? 4 : 2; }

std::expected<void, std::string> check_options(const GeneratorOptions& options) {
  if (options.tiles < 1 || options.tiles > kMaxGeneratorTiles) {
    return std::unexpected(fmt::format("tile count {} is outside 1..{}", options.tiles, kMaxGeneratorTiles));
  }
  if (options.phases < 1) return std::unexpected(std::string("phase count must be at least 1"));
  const std::uint32_t needed = minimum_tiles(options.pattern);
  if (options.transfers > 0 && options.tiles < needed) {
    return std::unexpected(fmt::format("pattern {} needs at least {} tiles for any transfer, got {}",
                                       pattern_name(options.pattern), needed, options.tiles));
  }
  return {};
}

std::expected<codegen::ExchangeScheduleSnapshot, std::string> generate_snapshot(const GeneratorOptions& options) {
  if (auto checked = check_options(options); !checked) return std::unexpected(checked.error());

  codegen::ExchangeScheduleSnapshot snapshot;
  snapshot.schema_version = codegen::kSnapshotSchemaVersion;
  snapshot.tile_count = static_cast<std::uint16_t>(options.tiles);
  snapshot.phases.reserve(options.phases);
  for (std::uint32_t phase = 0; phase < options.phases; ++phase) {
    // Each phase draws from its own stream, so a phase does not change when
    // another phase's contents do. A phase the scheduler cannot place (its
    // own limits, such as coinciding receive controls) is drawn again from
    // the next stream of that phase.
    const std::uint64_t phase_seed = derive_seed(options.seed, phase);
    std::optional<codegen::ExchangeLoweringError> last_error;
    for (std::uint32_t attempt = 0; attempt < kMaxPhaseAttempts; ++attempt) {
      Random random(attempt == 0 ? phase_seed : derive_seed(phase_seed, attempt));
      PhaseWorkload workload(snapshot.tile_count, options.transfers, random);
      fill_phase(options.pattern, workload);
      codegen::ExchangeScheduleProblem problem{phase, std::move(workload.transfers)};
      const auto scheduled = codegen::schedule_exchange_problem(snapshot.tile_count, problem);
      if (scheduled) {
        snapshot.phases.push_back(std::move(problem));
        last_error.reset();
        break;
      }
      last_error = scheduled.error();
    }
    if (last_error) {
      return std::unexpected(fmt::format("no schedulable draw of phase {} in {} attempts: {}", phase,
                                         kMaxPhaseAttempts, last_error->message()));
    }
  }

  if (auto valid = snapshot.validate(); !valid) {
    return std::unexpected(fmt::format("generated snapshot is invalid: {}", valid.error().message()));
  }
  return snapshot;
}

}  // namespace oxu::snapshot_gen
