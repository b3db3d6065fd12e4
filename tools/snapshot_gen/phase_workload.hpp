#pragma once
// PhaseWorkload: one phase's transfers while a pattern builds them, with a
// simple memory allocator per tile and the payload-size mixes.
//
// Each tile's memory is split in two regions: payloads that the tile sends
// are allocated in [0x4000, 0x80000), buffers that it receives into in
// [0x80000, 0x100000). Sends and receives of a tile therefore never share
// an effective memory element unless a pattern deliberately reads received
// data (relays, Repeat iterations) or writes over data that was read. Each
// region is a bump allocator that starts again at its bottom when full, so
// destinations on a tile overlap only after a region has been used up.

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "oxu/codegen/snapshot.hpp"
#include "random.hpp"

namespace oxu::snapshot_gen {

inline constexpr std::uint32_t kTileMemoryEnd = 0x100000;     // 1 MiB per tile
inline constexpr std::uint32_t kSendRegionStart = 0x4000;     // below: code and stack
inline constexpr std::uint32_t kReceiveRegionStart = 0x80000;  // also the first high element
inline constexpr std::uint32_t kMaxWords = 4148;

// Word counts whose loopback would put the sending tile's own receive
// teardown on the first cycles of its send (the self-latency of a tile is
// -28 or -29 cycles); loopback transfers avoid them.
inline constexpr std::uint32_t kLoopbackAvoidFirst = 26;
inline constexpr std::uint32_t kLoopbackAvoidLast = 30;

// A byte range [address, address + 4 * words) of one tile.
struct Span {
  std::uint32_t address = 0;
  std::uint32_t words = 0;
};

struct TileMemory {
  std::uint32_t send_cursor = kSendRegionStart;
  std::uint32_t receive_cursor = kReceiveRegionStart;
  std::vector<Span> received;  // destination spans on this tile, in transfer order
  std::vector<Span> read;      // source spans on this tile, in transfer order
};

struct PhaseWorkload {
  PhaseWorkload(std::uint16_t tile_count, std::uint32_t transfer_budget, Random& random);

  std::uint16_t tiles;
  std::uint32_t budget;  // transfers wanted in the phase
  Random& random;
  std::vector<TileMemory> memory;                 // one per tile
  std::vector<std::uint16_t> tiles_with_receives;  // in order of their first receive
  // Complete tile pairs of the phase (lower tile first), ascending.
  std::vector<std::pair<std::uint16_t, std::uint16_t>> pairs;
  std::vector<codegen::ExchangeScheduleTransfer> transfers;

  [[nodiscard]] bool full() const { return transfers.size() >= budget; }
  [[nodiscard]] std::uint32_t remaining() const {
    return budget - static_cast<std::uint32_t>(transfers.size());
  }

  // Appends the transfer and records its spans; false (and nothing added)
  // once the phase holds its budget.
  bool add(codegen::ExchangeScheduleTransfer transfer);

  // A buffer of `words` 32-bit words (8-byte aligned) in the tile's send or
  // receive region.
  std::uint32_t allocate_send(std::uint16_t tile, std::uint32_t words);
  std::uint32_t allocate_receive(std::uint16_t tile, std::uint32_t words);

  // `count` distinct tiles chosen uniformly, none of them in `excluded`;
  // fewer when not enough tiles are left.
  std::vector<std::uint16_t> pick_tiles(std::uint32_t count, const std::vector<std::uint16_t>& excluded);
};

// The M72 partner of `tile` when it is a tile of a phase with `tile_count`
// tiles.
[[nodiscard]] std::optional<std::uint16_t> partner_in_phase(std::uint16_t tile, std::uint16_t tile_count);

// Payload sizes in words. A general message: many of 1 to 16 words, a good
// share of 64 to 1024, a few up to 4148.
[[nodiscard]] std::uint32_t draw_message_words(Random& random);
// Small slices (all-to-all): 1 to 64 words, mostly at most 16.
[[nodiscard]] std::uint32_t draw_small_words(Random& random);
// Paired64 payloads: multiples of 4 from 128 to 4148, so that the item count
// is even (an odd item count can make two paired receive controls coincide).
[[nodiscard]] std::uint32_t draw_paired_words(Random& random);
// A general message whose size keeps loopback receive controls clear of the
// send start.
[[nodiscard]] std::uint32_t draw_loopback_words(Random& random);

}  // namespace oxu::snapshot_gen
