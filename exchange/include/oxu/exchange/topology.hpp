#pragma once
// Topology: the map from logical tiles (the numbering of snapshots and of the
// scheduler) to physical tile ids of the exchange fabric.
//
// Logical tile numbers are valid below tiles.size(); ids are unique. Every
// topology in use is a prefix of the fixed M72 table of 1472 tiles.

#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "oxu/exchange/error.hpp"
#include "oxu/exchange/instruction_words.hpp"

namespace oxu::exchange {

// Number of tiles of the M72 table.
inline constexpr std::uint16_t kM72TileCount = 1472;

// The rows of one point-to-point transfer. Word `source_patch_index` of
// `receiver` is an Xpic control that finalize_point_receiver fills with the
// sender's physical id.
struct PointToPointExchange {
  ExchangeRow sender{};
  std::uint32_t source_patch_index = 1;
  PointReceiverWords receiver{};
  friend bool operator==(const PointToPointExchange&, const PointToPointExchange&) = default;
};

// The rows of one multicast (or paired multicast) transfer: one receiver row
// per receiver, in the order of the receiver list.
struct MulticastExchange {
  std::vector<ExchangeRow> receivers;
  ExchangeRow sender{};
  friend bool operator==(const MulticastExchange&, const MulticastExchange&) = default;
};

// Signed cycles between a sender starting to send and a receiver switching
// its incoming multiplexer, for two physical ids.
[[nodiscard]] std::int32_t time_to_mux(std::uint16_t sender_physical, std::uint16_t receiver_physical);
// Send direction (1 or 2) from one physical id to another.
[[nodiscard]] std::uint8_t direction(std::uint16_t sender_physical, std::uint16_t receiver_physical);

struct Topology {
  // Physical tile id of each logical tile.
  std::vector<std::uint16_t> tiles;
  // Logical tile of each physical id (kNoLogicalTile where none), built by
  // create() and m72() so that partner lookups are direct; a topology built
  // by hand without it falls back to a scan of `tiles`.
  std::vector<std::uint16_t> logical_by_physical;

  static constexpr std::uint16_t kNoLogicalTile = 0xFFFF;

  // Builds a topology from physical ids; an empty list or an id given twice
  // is a `ReceiverSet` error.
  [[nodiscard]] static std::expected<Topology, ExchangeError> create(std::vector<std::uint16_t> physical_ids);

  // The full M72 table (logical tiles 2k and 2k+1 are partners; columns are
  // walked in snake order). Not validated: it is a permutation of 0..1471.
  [[nodiscard]] static Topology m72();

  // The lowest logical tile whose physical id is `logical`'s id XOR 2 (the
  // other tile of its pair); `Tile(logical)` when out of range or unpaired.
  [[nodiscard]] std::expected<std::uint16_t, ExchangeError> paired_logical(std::uint16_t logical) const;

  // Rows of a transfer of `count` words (1..4148) between two logical tiles.
  [[nodiscard]] std::expected<PointToPointExchange, ExchangeError> point_to_point(std::uint16_t sender,
                                                                                 std::uint16_t receiver,
                                                                                 std::uint32_t count) const;

  // Rows of a `count`-word multicast whose sender starts no earlier than
  // `schedule_offset` (the scheduler passes 0).
  [[nodiscard]] std::expected<MulticastExchange, ExchangeError> multicast(std::uint16_t sender,
                                                                         std::span<const std::uint16_t> receivers,
                                                                         std::uint32_t count,
                                                                         std::uint32_t schedule_offset) const;

  // Rows of a Paired64 multicast of `count` words per receiver (64..4148):
  // both tiles of the sending pair feed both tiles of each receiving pair.
  [[nodiscard]] std::expected<MulticastExchange, ExchangeError> paired_multicast(
      std::uint16_t sender, std::span<const std::uint16_t> receivers, std::uint32_t count) const;

  // One receiver's row of a paired exchange, given the pair latency m (the
  // least, over the receivers R, of the larger latency to R and to R's
  // partner). The row's controls are placed from P = max(latency to R, to
  // R's partner) + max(0, 1 - m).
  [[nodiscard]] std::expected<ExchangeRow, ExchangeError> paired_receiver_row(std::uint16_t sender,
                                                                             std::uint16_t receiver,
                                                                             std::uint32_t count,
                                                                             std::int32_t pair_latency) const;

  friend bool operator==(const Topology&, const Topology&) = default;
};

}  // namespace oxu::exchange
