#pragma once
// Memory hazards between the transfers of a phase.
//
// memory_dependencies orders transfers statically: on every tile, a later
// transfer that writes bytes an earlier one read or wrote, or reads bytes an
// earlier one wrote, depends on it (exact byte ranges, all Repeat
// iterations). memory_safe_transfer_offset is the timed check on effective
// memory elements: a read window must not overlap in time a write window on
// a shared element of the same tile, nor a write window a read window.

#include <cstddef>
#include <cstdint>
#include <set>
#include <span>
#include <utility>
#include <vector>

#include "oxu/codegen/memory_element.hpp"
#include "oxu/codegen/pending_transfer.hpp"
#include "oxu/exchange/phase_program_builder.hpp"

namespace oxu::codegen {

// (earlier, later) transfer index pairs, earlier < later, ascending.
using MemoryDependencies = std::set<std::pair<std::size_t, std::size_t>>;

// One timed access window that a placed transfer holds on one tile.
struct MemoryAccess {
  std::vector<ExchangeMemoryElement> elements;  // ascending, distinct
  std::uint32_t start_cycle = 0;
  std::uint32_t end_cycle = 0;  // exclusive
  friend bool operator==(const MemoryAccess&, const MemoryAccess&) = default;
};

// The timed accesses of one tile: reads by its sends, writes by its
// receives, each in placement order.
//
// Beside the two lists the schedule keeps, per memory element, an index of
// the windows that touch it, so that the clash queries below cost a binary
// search per queried element however many windows the tile holds.
class TileMemorySchedule {
 public:
  void add_send(MemoryAccess access);
  void add_receive(MemoryAccess access);
  [[nodiscard]] const std::vector<MemoryAccess>& sends() const { return sends_; }
  [[nodiscard]] const std::vector<MemoryAccess>& receives() const { return receives_; }

  // Cycles from `start_cycle` to the largest end among the send (read)
  // windows that overlap [start_cycle, end_cycle) and share one of
  // `elements`; 0 when there is none.
  [[nodiscard]] std::uint32_t send_clash_delay(std::span<const ExchangeMemoryElement> elements,
                                               std::uint32_t start_cycle, std::uint32_t end_cycle) const;
  // The same against the receive (write) windows.
  [[nodiscard]] std::uint32_t receive_clash_delay(std::span<const ExchangeMemoryElement> elements,
                                                  std::uint32_t start_cycle, std::uint32_t end_cycle) const;

 private:
  // A window reduced to what the clash query needs.
  struct Step {
    std::uint32_t start_cycle = 0;
    std::uint32_t end_cycle = 0;
  };
  // The windows of one element that no other window of the element makes
  // redundant: ordered by start, with ends strictly rising along it. A window
  // that starts no earlier and ends no later than another is dropped, since
  // wherever it would clash the other clashes with a larger end.
  struct ElementWindows {
    ExchangeMemoryElement element;
    std::vector<Step> steps;
  };
  // Ordered by element.
  using WindowIndex = std::vector<ElementWindows>;

  static void index_window(WindowIndex& index, const MemoryAccess& access);
  static std::uint32_t clash_delay(const WindowIndex& index, std::span<const ExchangeMemoryElement> elements,
                                   std::uint32_t start_cycle, std::uint32_t end_cycle);

  std::vector<MemoryAccess> sends_;
  std::vector<MemoryAccess> receives_;
  WindowIndex send_index_;
  WindowIndex receive_index_;
};

// Every source and destination tile must be below `tile_count`.
[[nodiscard]] MemoryDependencies memory_dependencies(std::span<const PendingTransfer> pending,
                                                     std::uint16_t tile_count);

// Cycles by which the transfer must start later than the candidate whose
// timing is given, so that its windows clash with nothing placed; 0 when the
// candidate is safe. `memory` holds one schedule per logical tile.
[[nodiscard]] std::uint32_t memory_safe_transfer_offset(std::span<const TileMemorySchedule> memory,
                                                        const PendingTransfer& transfer,
                                                        const exchange::PhaseTransferTiming& timing);

}  // namespace oxu::codegen
