#include "phase_workload.hpp"

#include <algorithm>
#include <utility>

#include "oxu/exchange/topology.hpp"

namespace oxu::snapshot_gen {
namespace {

// The M72 partner of every logical tile, looked up once.
const std::vector<std::uint16_t>& m72_partners() {
  static const std::vector<std::uint16_t> partners = [] {
    const exchange::Topology topology = exchange::Topology::m72();
    std::vector<std::uint16_t> result(topology.tiles.size());
    for (std::size_t tile = 0; tile < result.size(); ++tile) {
      // Every M72 tile has a partner.
      result[tile] = topology.paired_logical(static_cast<std::uint16_t>(tile)).value();
    }
    return result;
  }();
  return partners;
}

std::uint32_t round_up_8(std::uint32_t bytes) { return (bytes + 7U) & ~7U; }

// Bump allocation of `words` in [bottom, top); starts again at the bottom
// when the rest of the region is too small.
std::uint32_t bump(std::uint32_t& cursor, std::uint32_t bottom, std::uint32_t top, std::uint32_t words) {
  const std::uint32_t bytes = round_up_8(4 * words);
  if (cursor + bytes > top) cursor = bottom;
  const std::uint32_t address = cursor;
  cursor += bytes;
  return address;
}

}  // namespace

PhaseWorkload::PhaseWorkload(std::uint16_t tile_count, std::uint32_t transfer_budget, Random& random_source)
    : tiles(tile_count), budget(transfer_budget), random(random_source), memory(tile_count) {
  // Stagger the first buffers of the tiles a little, as a program's own data
  // would.
  for (TileMemory& tile : memory) {
    tile.send_cursor += 0x400 * random.between(0, 15);
    tile.receive_cursor += 0x400 * random.between(0, 15);
  }
  for (std::uint16_t tile = 0; tile < tiles; ++tile) {
    const std::optional<std::uint16_t> partner = partner_in_phase(tile, tiles);
    if (partner && tile < *partner) pairs.emplace_back(tile, *partner);
  }
  transfers.reserve(budget);
}

bool PhaseWorkload::add(codegen::ExchangeScheduleTransfer transfer) {
  if (full()) return false;
  for (const std::uint32_t address : transfer.source_addresses) {
    memory[transfer.source].read.push_back(Span{address, transfer.words});
  }
  for (const codegen::ExchangeScheduleDestination& destination : transfer.destinations) {
    TileMemory& tile = memory[destination.tile];
    if (tile.received.empty()) tiles_with_receives.push_back(destination.tile);
    tile.received.push_back(Span{destination.address, transfer.words});
  }
  transfers.push_back(std::move(transfer));
  return true;
}

std::uint32_t PhaseWorkload::allocate_send(std::uint16_t tile, std::uint32_t words) {
  return bump(memory[tile].send_cursor, kSendRegionStart, kReceiveRegionStart, words);
}

std::uint32_t PhaseWorkload::allocate_receive(std::uint16_t tile, std::uint32_t words) {
  return bump(memory[tile].receive_cursor, kReceiveRegionStart, kTileMemoryEnd, words);
}

std::vector<std::uint16_t> PhaseWorkload::pick_tiles(std::uint32_t count,
                                                     const std::vector<std::uint16_t>& excluded) {
  std::vector<std::uint16_t> candidates;
  candidates.reserve(tiles);
  for (std::uint16_t tile = 0; tile < tiles; ++tile) {
    if (std::find(excluded.begin(), excluded.end(), tile) == excluded.end()) candidates.push_back(tile);
  }
  const std::size_t wanted = std::min<std::size_t>(count, candidates.size());
  // Partial Fisher-Yates: the first `wanted` entries become the sample.
  for (std::size_t i = 0; i < wanted; ++i) {
    const auto j = i + static_cast<std::size_t>(random.below(candidates.size() - i));
    std::swap(candidates[i], candidates[j]);
  }
  candidates.resize(wanted);
  return candidates;
}

std::optional<std::uint16_t> partner_in_phase(std::uint16_t tile, std::uint16_t tile_count) {
  const std::vector<std::uint16_t>& partners = m72_partners();
  if (tile >= tile_count || tile >= partners.size()) return std::nullopt;
  const std::uint16_t partner = partners[tile];
  if (partner >= tile_count) return std::nullopt;
  return partner;
}

std::uint32_t draw_message_words(Random& random) {
  const std::uint64_t bucket = random.below(100);
  if (bucket < 50) return random.between(1, 16);
  if (bucket < 62) return random.between(17, 63);
  if (bucket < 88) return random.between(64, 1024);
  if (bucket < 97) return random.between(1025, 2048);
  return random.between(2049, kMaxWords);
}

std::uint32_t draw_small_words(Random& random) {
  const std::uint64_t bucket = random.below(100);
  if (bucket < 50) return random.between(1, 4);
  if (bucket < 85) return random.between(5, 16);
  return random.between(17, 64);
}

std::uint32_t draw_paired_words(Random& random) {
  const std::uint64_t bucket = random.below(100);
  if (bucket < 60) return 4 * random.between(32, 128);    // 128 to 512 words
  if (bucket < 90) return 4 * random.between(129, 512);   // up to 2048
  return 4 * random.between(513, kMaxWords / 4);           // up to 4148
}

std::uint32_t draw_loopback_words(Random& random) {
  for (;;) {
    const std::uint32_t words = draw_message_words(random);
    if (words < kLoopbackAvoidFirst || words > kLoopbackAvoidLast) return words;
  }
}

}  // namespace oxu::snapshot_gen
