#pragma once
// PendingTransfer: the validated working form of one snapshot transfer, and
// pending_from_problem, which builds them and makes every per-transfer check
// of a snapshot.

#include <cstdint>
#include <expected>
#include <optional>
#include <utility>
#include <vector>

#include "oxu/codegen/lowering_error.hpp"
#include "oxu/codegen/memory_element.hpp"
#include "oxu/codegen/snapshot.hpp"

namespace oxu::codegen {

// Largest payload of one transfer, in 32-bit words.
inline constexpr std::uint32_t kMaxTransferWords = 4148;
// Smallest Paired64 payload, in 32-bit words.
inline constexpr std::uint32_t kMinPairedWords = 128;

struct PendingTransfer {
  // (tile, byte address) in snapshot order; tiles are distinct.
  std::vector<std::pair<std::uint16_t, std::uint32_t>> destinations;
  // One per Repeat iteration, in order; never empty.
  std::vector<std::uint32_t> source_addresses;
  // Every element touched by any source span, ascending, without duplicates.
  std::vector<ExchangeMemoryElement> source_elements;
  // Paired64 only: the M72 partner of `source`.
  std::optional<std::uint16_t> paired_tile;
  std::uint32_t index = 0;       // position in the phase's transfers
  std::uint32_t origin_tag = 0;  // 0 for transfers built from a snapshot
  std::uint32_t words = 0;       // 1 to 4148
  std::uint16_t source = 0;
  ExchangeItemWidth width = ExchangeItemWidth::Word32;

  // Rebuilds source_elements from source_addresses and words.
  void refresh_source_elements();

  // The tiles the transfer occupies: the source, the paired tile if any,
  // then each destination tile in order.
  [[nodiscard]] std::vector<std::uint16_t> tiles() const;

  friend bool operator==(const PendingTransfer&, const PendingTransfer&) = default;
};

// Item count: words for Word32, words / 2 for Paired64 (one 64-bit item is
// two words). An odd Paired64 count, which validation rejects, stays
// unhalved.
[[nodiscard]] std::uint32_t item_count(ExchangeItemWidth width, std::uint32_t words);

// Checks and converts every transfer of `problem`, in order; the first
// failure is returned and nothing else.
[[nodiscard]] std::expected<std::vector<PendingTransfer>, ExchangeLoweringError> pending_from_problem(
    const ExchangeScheduleProblem& problem, std::uint16_t tile_count);

}  // namespace oxu::codegen
