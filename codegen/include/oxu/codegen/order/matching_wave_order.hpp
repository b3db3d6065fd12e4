#pragma once
// Matching-wave order: for phases of single-destination transfers, a
// placement order built in waves of maximum matchings between sending and
// receiving tiles, so that one wave holds at most one transfer per source
// tile and per destination tile.
//
// Each wave matches the ready transfers (those whose memory-dependency
// predecessors are all ordered) Hopcroft-Karp style: a layered search from
// the unmatched sources, then augmenting paths along strictly increasing
// layers, until no augmenting path is left. Ready transfers are ranked by
// their position in the current best order, so the waves stay close to it.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "oxu/codegen/pending_transfer.hpp"

namespace oxu::codegen::order {

// A new order, or nothing when the phase does not suit the heuristic: fewer
// than two transfers, a transfer without exactly one destination, a phase
// whose busiest tile carries far more than its share, or an empty payload.
[[nodiscard]] std::optional<std::vector<std::size_t>> point_to_point_matching_wave_order(
    std::span<const PendingTransfer> pending, std::uint16_t tile_count, std::span<const std::size_t> current_order);

// Layer of a source that the layered search has not reached.
inline constexpr std::size_t kUnreachedLayer = std::numeric_limits<std::size_t>::max();

// One ready transfer as an edge from its source tile to its destination tile.
struct ReadyEdge {
  std::size_t transfer = 0;
  std::uint16_t destination = 0;
  friend bool operator==(const ReadyEdge&, const ReadyEdge&) = default;
};

// The matching of one wave. Every vector is indexed by logical tile.
struct MatchingWaveState {
  std::vector<std::vector<ReadyEdge>> ready;                    // per source, in rank order
  std::vector<std::optional<ReadyEdge>> source_match;           // per source
  std::vector<std::optional<std::uint16_t>> destination_match;  // per destination: its source
  std::vector<std::size_t> layer;                               // per source
};

// One augmenting-path search from `source` along strictly increasing layers;
// true when the source got matched. A source whose search fails is marked
// unreached so that no later search of the phase enters it again.
[[nodiscard]] bool augment_ready_matching(std::uint16_t source, MatchingWaveState& state);

}  // namespace oxu::codegen::order
