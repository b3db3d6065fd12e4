#pragma once
// The scheduler's entry point for one physical exchange phase.
//
// schedule_exchange_problem builds the phase topology and the pending
// transfers, derives the per-tile receive configuration, builds a greedy
// schedule (once more with incremental alignment validation when the
// deferred validation rejects it), improves it, finishes the tile programs
// and assembles the scheduled phase.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "oxu/codegen/lowering_error.hpp"
#include "oxu/codegen/materialized_schedule.hpp"
#include "oxu/codegen/neighborhood_improvement.hpp"
#include "oxu/codegen/pending_transfer.hpp"
#include "oxu/codegen/snapshot.hpp"
#include "oxu/exchange/topology.hpp"

namespace oxu::codegen {

// One scheduled phase; per-tile vectors have one entry per logical tile.
struct PhysicalExchangePhase {
  std::uint32_t phase = 0;
  std::vector<bool> active;                          // the tile has a program of its own
  std::vector<std::vector<std::uint32_t>> programs;  // [Return] for an inactive tile
  std::vector<std::uint32_t> incoming_bases;
  std::vector<std::uint32_t> tile_horizons;
  std::vector<std::vector<ExchangeActivity>> activities;
  std::vector<std::vector<ExchangeRowPatch>> repeat_patches;
  std::uint32_t horizon_cycles = 0;
  std::size_t neighborhood_improvements = 0;
  std::uint32_t initial_horizon_cycles = 0;
  std::uint32_t endpoint_lower_bound_cycles = 0;
};

struct ReceiveConfiguration {
  std::vector<std::uint64_t> receive_counts;  // destination entries naming the tile
  std::vector<std::uint32_t> incoming_bases;  // address of a tile's only, point-to-point destination; else 0
};

[[nodiscard]] std::expected<ReceiveConfiguration, ExchangeLoweringError> receive_configuration(
    std::span<const PendingTransfer> pending, std::uint16_t tile_count);

// The greedy schedule, rebuilt once with incremental alignment validation
// when its programs fail only on instruction alignment.
[[nodiscard]] std::expected<MaterializedSchedule, ExchangeLoweringError> materialize_greedy_schedule(
    const PhaseContext& context);

[[nodiscard]] std::expected<ImprovementResult, ExchangeLoweringError> optimize_pending_schedule(
    const PhaseContext& context);

// Present programs unchanged, absent ones replaced by the single Return word.
[[nodiscard]] std::vector<std::vector<std::uint32_t>> lower_exchanges_cached(
    std::vector<std::optional<std::vector<std::uint32_t>>> programs);

[[nodiscard]] std::expected<PhysicalExchangePhase, ExchangeLoweringError> schedule_exchange_problem(
    std::uint16_t tile_count, const ExchangeScheduleProblem& problem);

}  // namespace oxu::codegen
