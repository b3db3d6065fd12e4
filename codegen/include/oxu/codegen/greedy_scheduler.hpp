#pragma once
// The greedy list scheduler: the first complete schedule of a phase.
//
// Ready transfers (all memory-dependency predecessors placed) wait in a
// priority queue; the most urgent one is placed next at the earliest offset
// its predecessors allow. Urgency: the earliest estimated start, then the
// most remaining work on the transfer's tiles, then more destinations, more
// items, the lower source tile and the lower index. Keys go stale as other
// transfers are placed and are refreshed lazily at the head of the queue.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>

#include "oxu/codegen/lowering_error.hpp"
#include "oxu/codegen/materialized_schedule.hpp"

namespace oxu::codegen {

// The priority-queue entry of one ready transfer.
struct ReadyTransfer {
  std::uint64_t endpoint_work = 0;
  std::size_t destination_count = 0;
  std::size_t transfer = 0;
  std::uint32_t ready_cycle = 0;
  std::uint32_t items = 0;
  std::uint16_t source = 0;
  friend bool operator==(const ReadyTransfer&, const ReadyTransfer&) = default;
};

// Total order of the queue: `a < b` when b is the more urgent entry.
[[nodiscard]] bool operator<(const ReadyTransfer& a, const ReadyTransfer& b);

// Whether a queue of `entries` entries is rebuilt after `stale_heads` stale
// heads since the last placement.
[[nodiscard]] bool ready_queue_needs_rebuild(std::size_t entries, std::size_t stale_heads);

// Places every transfer of the phase and sets the schedule's horizon.
[[nodiscard]] std::expected<MaterializedSchedule, ExchangeLoweringError> materialize_greedy_schedule_impl(
    const PhaseContext& context, bool incremental_validation);

}  // namespace oxu::codegen
