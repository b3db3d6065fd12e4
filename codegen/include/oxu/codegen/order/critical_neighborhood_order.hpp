#pragma once
// Critical-neighbourhood repair: reorders transfers around the critical path
// of a placed schedule with a per-tile time model, keeping them close to
// their current positions and favouring transfers near the critical path.
//
// The critical path is the chain of blocking transfers behind the placement
// that ends last; its neighbourhood adds, on every tile, the transfers within
// a square-root window of a critical one in the tile's share of the current
// order. The repair is then a list scheduler: ready transfers are held in
// groups of equal endpoints, each group offers its best member by
// RepairReady, and a lazy priority queue picks the best offer.

#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <utility>
#include <vector>

#include "oxu/codegen/materialized_schedule.hpp"
#include "oxu/codegen/pending_transfer.hpp"

namespace oxu::codegen::order {

// A new order; the current one when there is nothing to repair or the repair
// gives up (a finish cycle beyond u32, a payload beyond 0x3FFFFFFF words).
[[nodiscard]] std::vector<std::size_t> critical_neighborhood_order(std::span<const PendingTransfer> pending,
                                                                   std::uint16_t tile_count,
                                                                   const MaterializedSchedule& best);

// Per transfer, whether it is in the critical neighbourhood of `best`: the
// critical chain (the placement ending last, ties to the higher index, and
// its blocking transfers) and, on every tile, the transfers within ⌊√d⌋
// entries of a critical one in the tile's list of d transfers in current
// order, a transfer naming the tile twice being listed once.
[[nodiscard]] std::vector<bool> critical_neighborhood(std::span<const PendingTransfer> pending,
                                                      std::uint16_t tile_count, const MaterializedSchedule& best);

// The rank of one ready transfer in the repair. A greater value ranks
// better: earlier start, earlier bucket, more continued receive addresses,
// neighbourhood members, more endpoint work, earlier position, smaller index,
// compared in that order.
struct RepairReady {
  std::uint32_t earliest_start = 0;  // in the repair's time model
  std::size_t bucket = 0;            // position / bucket width
  std::size_t continuity = 0;        // destinations that continue their tile's last receive
  bool in_neighborhood = false;
  std::uint64_t endpoint_work = 0;  // remaining items of the transfer's tiles, added up
  std::size_t position = 0;         // in the current order
  std::size_t transfer = 0;

  friend bool operator==(const RepairReady&, const RepairReady&) = default;
  friend std::strong_ordering operator<=>(const RepairReady& a, const RepairReady& b);
};

// The repair's model of one tile.
struct RepairTileState {
  std::uint32_t send_free = 0;     // cycle at which the transmit side is free
  std::uint32_t receive_free = 0;  // cycle at which the receive side is free
  std::optional<std::uint32_t> last_receive_end;  // byte address after the last words received
  std::uint64_t tile_work = 0;                    // items still to move through the tile
  friend bool operator==(const RepairTileState&, const RepairTileState&) = default;
};

// Everything the ranks are computed from.
struct RepairState {
  std::span<const PendingTransfer> pending;
  std::vector<std::size_t> positions;  // per transfer
  std::vector<bool> in_neighborhood;   // per transfer
  std::size_t bucket_width = 1;
  std::vector<RepairTileState> tiles;  // per logical tile
};

// The full rank of `transfer` in the current state.
[[nodiscard]] RepairReady repair_ready(std::size_t transfer, const RepairState& state);

// The static key of `transfer`: its rank with the start, the continuity and
// the endpoint work left at 0, which orders by bucket, then neighbourhood
// members first, then position, then index.
[[nodiscard]] RepairReady repair_static_key(std::size_t transfer, const RepairState& state);

// The ready transfers that share one endpoint signature (source, paired
// tile, sorted destination tiles).
struct RepairGroup {
  std::set<RepairReady, std::greater<>> ready;  // static keys, best first
  // (destination tile, destination address) -> members with that
  // destination, ascending index.
  std::map<std::pair<std::uint16_t, std::uint32_t>, std::vector<std::size_t>> members_by_destination;
  std::size_t version = 0;  // raised whenever the ready set changed

  // The statically first ready member, or a ready member of its bucket that
  // writes exactly where one of its destination tiles last stopped
  // receiving, whichever ranks higher; nothing when no member is ready.
  [[nodiscard]] std::optional<RepairReady> best(const RepairState& state) const;
};

}  // namespace oxu::codegen::order
