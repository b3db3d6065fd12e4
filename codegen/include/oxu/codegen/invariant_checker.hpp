#pragma once
// The schedule invariant checker: an independent check of a scheduled phase
// against its snapshot phase. It decodes every tile program again and
// counts every transfer's activities afresh against the snapshot, trusting
// nothing from the scheduler, and reports the first invariant that fails.

#include <cstdint>
#include <expected>

#include "oxu/codegen/lowering_error.hpp"
#include "oxu/codegen/scheduling_pipeline.hpp"
#include "oxu/codegen/snapshot.hpp"

namespace oxu::codegen {

[[nodiscard]] std::expected<void, ExchangeLoweringError> validate_exchange_schedule(
    std::uint16_t tile_count, const ExchangeScheduleProblem& problem, const PhysicalExchangePhase& phase);

}  // namespace oxu::codegen
