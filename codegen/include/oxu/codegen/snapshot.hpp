#pragma once
// Snapshot records: the JSON exchange-schedule snapshot (schema version 3)
// and the scheduler's input, one record per JSON object.
//
// Field order is declaration order; the JSON reader also accepts each record
// as an array of its field values in this order.

#include <cstdint>
#include <expected>
#include <vector>

#include "oxu/codegen/lowering_error.hpp"

namespace oxu::codegen {

// Item width of a transfer's payload.
enum class ExchangeItemWidth : std::uint8_t {
  Word32,    // 32-bit items, addresses aligned to 4 bytes
  Paired64,  // 64-bit items sent through a tile pair, addresses aligned to 8 bytes
};

struct ExchangeScheduleDestination {
  std::uint16_t tile = 0;     // receiving logical tile
  std::uint32_t address = 0;  // byte address in that tile's memory
  friend bool operator==(const ExchangeScheduleDestination&, const ExchangeScheduleDestination&) = default;
};

// One source tile sending one payload to one or more destination tiles.
struct ExchangeScheduleTransfer {
  std::uint16_t source = 0;
  // Payload address on the source tile, one per Repeat iteration.
  std::vector<std::uint32_t> source_addresses;
  std::vector<ExchangeScheduleDestination> destinations;
  std::uint32_t words = 0;  // payload length in 32-bit words
  ExchangeItemWidth width = ExchangeItemWidth::Word32;
  friend bool operator==(const ExchangeScheduleTransfer&, const ExchangeScheduleTransfer&) = default;
};

// One physical exchange phase. A transfer's position is its transfer index.
struct ExchangeScheduleProblem {
  std::uint32_t phase = 0;
  std::vector<ExchangeScheduleTransfer> transfers;
  friend bool operator==(const ExchangeScheduleProblem&, const ExchangeScheduleProblem&) = default;
};

// The snapshot file's root object.
struct ExchangeScheduleSnapshot {
  std::uint32_t schema_version = 0;  // only 3 is accepted
  std::uint16_t tile_count = 0;      // 1 to 1472
  std::vector<ExchangeScheduleProblem> phases;

  // Checks the header, the uniqueness of phase IDs and every transfer; stops
  // at the first failure. Changes nothing.
  [[nodiscard]] std::expected<void, ExchangeLoweringError> validate() const;

  friend bool operator==(const ExchangeScheduleSnapshot&, const ExchangeScheduleSnapshot&) = default;
};

// The only snapshot schema version this program reads.
inline constexpr std::uint32_t kSnapshotSchemaVersion = 3;

}  // namespace oxu::codegen
