#pragma once
// MaterializedSchedule: the schedule of one phase while it is built.
//
// It wraps the phase program builder and keeps the scheduler's bookkeeping
// beside it: when each tile's sender and receiver become free, the memory
// windows each tile holds, the tiles' bus activities, the placement order
// and where each transfer was placed and what held it back. append() places
// one transfer: shape checks, route choice, address patching, the earliest
// offset that the builder and the memory windows allow, and the records.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "oxu/codegen/lowering_error.hpp"
#include "oxu/codegen/memory_hazards.hpp"
#include "oxu/codegen/pending_transfer.hpp"
#include "oxu/exchange/phase_program_builder.hpp"
#include "oxu/exchange/topology.hpp"

namespace oxu::codegen {

enum class ExchangeActivityKind : std::uint8_t { Send, Receive, PartnerBusy };

[[nodiscard]] const char* activity_kind_name(ExchangeActivityKind kind);

// One bus activity of one transfer on one tile.
struct ExchangeActivity {
  std::uint32_t transfer = 0;
  std::uint32_t start_cycle = 0;
  std::uint32_t end_cycle = 0;         // one past the bus interval
  std::uint32_t memory_end_cycle = 0;  // one past the memory window
  std::uint32_t address = 0;           // first source address, or the destination address
  std::uint32_t words = 0;
  std::uint16_t destination_count = 0;
  ExchangeActivityKind kind = ExchangeActivityKind::Send;
  bool paired = false;
  friend bool operator==(const ExchangeActivity&, const ExchangeActivity&) = default;
};

// A repeat patch of a tile's rows; carried in results, created by nothing here.
struct ExchangeRowPatch {
  std::uint32_t word_index = 0;
  std::vector<std::uint32_t> values;
  friend bool operator==(const ExchangeRowPatch&, const ExchangeRowPatch&) = default;
};

// Where one transfer was placed.
struct TransferPlacement {
  std::optional<std::size_t> blocking_transfer;  // last user of the critical endpoint's side
  std::uint32_t start_cycle = 0;                 // send start
  std::uint32_t end_cycle = 0;                   // largest of the send and receive bus ends
  std::uint16_t critical_tile = 0;
  friend bool operator==(const TransferPlacement&, const TransferPlacement&) = default;
};

// Per tile, the last placed transfers that used its sender and its receiver;
// owned by the caller of append for the whole schedule.
struct TileFrontier {
  std::optional<std::size_t> last_send;
  std::optional<std::size_t> last_receive;
  friend bool operator==(const TileFrontier&, const TileFrontier&) = default;
};

// What every placement of one phase needs besides the schedule.
struct PhaseContext {
  const exchange::Topology& topology;
  std::span<const PendingTransfer> pending;
  std::span<const std::uint32_t> incoming_bases;
  std::span<const std::uint64_t> receive_counts;
  std::uint16_t tile_count;
};

struct MaterializedSchedule {
  exchange::PhaseProgramBuilder builder;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> tile_ready;  // (send ready, receive ready)
  std::vector<TileMemorySchedule> memory;
  std::vector<std::vector<ExchangeActivity>> activities;
  std::vector<std::vector<std::pair<std::uint32_t, std::uint32_t>>> tile_sends;  // (index, origin_tag)
  std::vector<std::size_t> order;
  std::vector<std::optional<TransferPlacement>> placements;
  std::uint32_t horizon = 0;

  // A fresh schedule with the validation budget derived from the phase's
  // traffic.
  [[nodiscard]] static MaterializedSchedule create(std::uint16_t tile_count, std::span<const PendingTransfer> pending);

  // Places transfer `transfer` no earlier than `minimum_offset`; returns its
  // end cycle. Callers discard the schedule after an error.
  [[nodiscard]] std::expected<std::uint32_t, ExchangeLoweringError> append(const PhaseContext& context,
                                                                         std::size_t transfer,
                                                                         std::uint32_t minimum_offset,
                                                                         bool incremental_validation,
                                                                         std::vector<TileFrontier>& frontiers);
};

}  // namespace oxu::codegen
