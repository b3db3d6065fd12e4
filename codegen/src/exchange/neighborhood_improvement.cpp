#include "oxu/codegen/neighborhood_improvement.hpp"

#include <algorithm>
#include <limits>
#include <vector>

#include "oxu/codegen/memory_hazards.hpp"
#include "oxu/codegen/order/critical_neighborhood_order.hpp"
#include "oxu/codegen/order/matching_wave_order.hpp"
#include "oxu/exchange/result.hpp"

namespace oxu::codegen {

ImprovementResult improve_pending_schedule(const PhaseContext& context, MaterializedSchedule greedy) {
  ImprovementResult result{
      .schedule = std::move(greedy),
      .neighborhood_improvements = 0,
      .initial_horizon_cycles = 0,
      .endpoint_lower_bound_cycles = endpoint_work_lower_bound(context.pending, context.tile_count),
  };
  result.initial_horizon_cycles = result.schedule.horizon;
  MaterializedSchedule& best = result.schedule;

  // Matching waves: one attempt.
  if (auto waves = order::point_to_point_matching_wave_order(context.pending, context.tile_count, best.order)) {
    auto candidate = materialize_schedule_order(context, *waves, false);
    if (candidate && candidate->horizon < best.horizon) best = std::move(*candidate);
  }

  // Critical-neighbourhood iterations, while each one shortens the horizon.
  for (;;) {
    std::vector<std::size_t> proposal = context.pending.size() <= 1
                                            ? best.order
                                            : order::critical_neighborhood_order(context.pending, context.tile_count, best);
    if (proposal == best.order) break;
    auto candidate = materialize_schedule_order(context, proposal, false);
    if (!candidate || candidate->horizon >= best.horizon) break;
    best = std::move(*candidate);
    ++result.neighborhood_improvements;
  }
  return result;
}

std::uint32_t endpoint_work_lower_bound(std::span<const PendingTransfer> pending, std::uint16_t tile_count) {
  std::vector<std::uint64_t> sent(tile_count, 0);
  std::vector<std::uint64_t> received(tile_count, 0);
  for (const PendingTransfer& transfer : pending) {
    const std::uint64_t items = item_count(transfer.width, transfer.words);
    sent.at(transfer.source) += items;
    if (transfer.paired_tile && *transfer.paired_tile < tile_count) sent[*transfer.paired_tile] += items;
    for (const auto& [tile, address] : transfer.destinations) received.at(tile) += items;
  }
  std::uint64_t bound = 0;
  for (std::size_t tile = 0; tile < tile_count; ++tile) bound = std::max({bound, sent[tile], received[tile]});
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(bound, std::numeric_limits<std::uint32_t>::max()));
}

std::expected<MaterializedSchedule, ExchangeLoweringError> materialize_schedule_order(
    const PhaseContext& context, std::span<const std::size_t> order, bool incremental_validation) {
  const std::size_t n = context.pending.size();
  if (order.size() != n) return std::unexpected(ExchangeLoweringError::overflow());
  MaterializedSchedule schedule = MaterializedSchedule::create(context.tile_count, context.pending);
  std::vector<TileFrontier> frontiers(context.tile_count);

  std::vector<std::vector<std::size_t>> predecessors(n);
  for (const auto& [earlier, later] : memory_dependencies(context.pending, context.tile_count)) {
    predecessors[later].push_back(earlier);
  }
  std::vector<bool> placed(n, false);
  std::vector<std::uint32_t> completion(n, 0);
  for (const std::size_t t : order) {
    const auto not_topological = [] {
      return std::unexpected(ExchangeLoweringError::invariant("exchange order is not a topological permutation"));
    };
    if (t >= n || placed[t]) return not_topological();
    std::uint32_t minimum_offset = 0;
    for (const std::size_t p : predecessors[t]) {
      if (!placed[p]) return not_topological();
      minimum_offset = std::max(minimum_offset, completion[p]);
    }
    OXU_TRY_ASSIGN(completion[t], schedule.append(context, t, minimum_offset, incremental_validation, frontiers));
    placed[t] = true;
  }
  schedule.horizon = schedule.builder.event_cycles();
  OXU_TRY(schedule.builder.finish());
  return schedule;
}

}  // namespace oxu::codegen
