#pragma once
// Neighbourhood improvement: re-places the transfers of a greedy schedule in
// the orders the order module proposes and keeps a candidate only when its
// horizon is strictly shorter.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>

#include "oxu/codegen/lowering_error.hpp"
#include "oxu/codegen/materialized_schedule.hpp"

namespace oxu::codegen {

struct ImprovementResult {
  MaterializedSchedule schedule;         // the best schedule found
  std::size_t neighborhood_improvements = 0;  // accepted critical-neighbourhood iterations
  std::uint32_t initial_horizon_cycles = 0;   // horizon of the greedy schedule
  std::uint32_t endpoint_lower_bound_cycles = 0;
};

// Never fails: a candidate that cannot be placed only ends the search.
[[nodiscard]] ImprovementResult improve_pending_schedule(const PhaseContext& context, MaterializedSchedule greedy);

// The largest item count any tile sends (a Paired64 partner sends too) or
// receives, saturated to u32.
[[nodiscard]] std::uint32_t endpoint_work_lower_bound(std::span<const PendingTransfer> pending,
                                                      std::uint16_t tile_count);

// Places the transfers in exactly `order` and proves that the programs
// finish.
[[nodiscard]] std::expected<MaterializedSchedule, ExchangeLoweringError> materialize_schedule_order(
    const PhaseContext& context, std::span<const std::size_t> order, bool incremental_validation);

}  // namespace oxu::codegen
