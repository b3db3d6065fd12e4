#pragma once
// Topology: the map from logical tiles (the numbering of snapshots and of the
// scheduler) to physical tile ids of the exchange fabric.
//
// Logical tile numbers are valid below tiles.size(); ids are unique. Every
// topology in use is a prefix of the fixed M72 table of 1472 tiles.

#include <cstdint>
#include <expected>
#include <vector>

#include "oxu/exchange/error.hpp"

namespace oxu::exchange {

// Number of tiles of the M72 table.
inline constexpr std::uint16_t kM72TileCount = 1472;

struct Topology {
  // Physical tile id of each logical tile.
  std::vector<std::uint16_t> tiles;

  // Builds a topology from physical ids; an empty list or an id given twice
  // is a `ReceiverSet` error.
  [[nodiscard]] static std::expected<Topology, ExchangeError> create(std::vector<std::uint16_t> physical_ids);

  // The full M72 table (logical tiles 2k and 2k+1 are partners; columns are
  // walked in snake order). Not validated: it is a permutation of 0..1471.
  [[nodiscard]] static Topology m72();

  // The lowest logical tile whose physical id is `logical`'s id XOR 2 (the
  // other tile of its pair); `Tile(logical)` when out of range or unpaired.
  [[nodiscard]] std::expected<std::uint16_t, ExchangeError> paired_logical(std::uint16_t logical) const;

  friend bool operator==(const Topology&, const Topology&) = default;
};

}  // namespace oxu::exchange
