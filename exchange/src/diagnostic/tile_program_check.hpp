#pragma once
// The checks of validate_tile_program on the parts of a tile schedule they
// read, so that they can be exercised without building a schedule.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string_view>

#include "oxu/exchange/diagnostic/plan_program.hpp"
#include "oxu/exchange/error.hpp"
#include "oxu/exchange/row_timing.hpp"

namespace oxu::exchange::diagnostic {

// Target of the events the diagnostics emit.
inline constexpr std::string_view kDiagnosticEventTarget = "oxu_exchange::diagnostic";

// Decodes `words` and checks them against a tile's sender rows (sorted by
// start cycle), its receive events and its horizon; see
// validate_tile_program.
[[nodiscard]] std::expected<PlanProgramDiagnostic, ExchangeError> check_tile_program(
    std::size_t tile, std::span<const ScheduledSenderRow> senders, std::span<const ReceiveEvent> receive_events,
    std::uint32_t horizon, std::span<const std::uint32_t> words);

}  // namespace oxu::exchange::diagnostic
