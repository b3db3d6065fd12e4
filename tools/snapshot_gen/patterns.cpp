#include "patterns.hpp"

#include <algorithm>
#include <array>
#include <utility>
#include <vector>

namespace oxu::snapshot_gen {
namespace {

using codegen::ExchangeItemWidth;
using codegen::ExchangeScheduleDestination;
using codegen::ExchangeScheduleTransfer;

ExchangeScheduleTransfer word_transfer(std::uint16_t source, std::vector<std::uint32_t> source_addresses,
                                       std::vector<ExchangeScheduleDestination> destinations, std::uint32_t words) {
  return ExchangeScheduleTransfer{source, std::move(source_addresses), std::move(destinations), words,
                                  ExchangeItemWidth::Word32};
}

// Destinations on `tiles`, each with a fresh receive buffer.
std::vector<ExchangeScheduleDestination> receive_on(PhaseWorkload& workload, const std::vector<std::uint16_t>& tiles,
                                                    std::uint32_t words) {
  std::vector<ExchangeScheduleDestination> destinations;
  destinations.reserve(tiles.size());
  for (const std::uint16_t tile : tiles) {
    destinations.push_back(ExchangeScheduleDestination{tile, workload.allocate_receive(tile, words)});
  }
  return destinations;
}

// ---- p2p -------------------------------------------------------------------

// One transfer to one other tile: a near neighbour in the logical order
// (which follows the fabric's columns) or any tile.
void p2p_unit(PhaseWorkload& workload) {
  const std::uint32_t tiles = workload.tiles;
  const auto source = static_cast<std::uint16_t>(workload.random.below32(tiles));
  std::uint32_t destination = 0;
  if (workload.random.percent(40)) {
    const std::uint32_t step = workload.random.between(1, 8) % tiles;
    destination = workload.random.percent(50) ? (source + step) % tiles : (source + tiles - step) % tiles;
    if (destination == source) destination = (source + 1) % tiles;
  } else {
    destination = workload.random.below32(tiles - 1);
    if (destination >= source) ++destination;
  }
  const std::uint32_t words = draw_message_words(workload.random);
  const auto tile = static_cast<std::uint16_t>(destination);
  workload.add(word_transfer(source, {workload.allocate_send(source, words)},
                             {{tile, workload.allocate_receive(tile, words)}}, words));
}

// ---- alltoall ----------------------------------------------------------------

// Every member of the group of `size` tiles from `first` on (wrapping) sends
// its slice for every other member: slot j of a sender's block goes to member
// j, and lands in slot i of member j's receive block when i sends.
void alltoall_group(PhaseWorkload& workload, std::uint32_t first, std::uint32_t size) {
  const std::uint32_t words = draw_small_words(workload.random);
  std::vector<std::uint16_t> members;
  std::vector<std::uint32_t> send_blocks;
  std::vector<std::uint32_t> receive_blocks;
  for (std::uint32_t i = 0; i < size; ++i) {
    const auto tile = static_cast<std::uint16_t>((first + i) % workload.tiles);
    members.push_back(tile);
    send_blocks.push_back(workload.allocate_send(tile, size * words));
    receive_blocks.push_back(workload.allocate_receive(tile, size * words));
  }
  for (std::uint32_t i = 0; i < size; ++i) {
    for (std::uint32_t j = 0; j < size; ++j) {
      if (i == j) continue;
      const std::uint32_t source_address = send_blocks[i] + 4 * words * j;
      const std::uint32_t destination_address = receive_blocks[j] + 4 * words * i;
      if (!workload.add(word_transfer(members[i], {source_address}, {{members[j], destination_address}}, words))) {
        return;
      }
    }
  }
}

// The largest group, at most `tiles`, whose exchange fits `budget` transfers.
std::uint32_t alltoall_group_size(std::uint32_t tiles, std::uint32_t budget) {
  std::uint32_t size = 2;
  while (size + 1 <= tiles && std::uint64_t{size + 1} * size <= budget) ++size;
  return size;
}

void fill_alltoall(PhaseWorkload& workload) {
  std::uint32_t first = 0;
  while (!workload.full()) {
    const std::uint32_t size = alltoall_group_size(workload.tiles, workload.remaining());
    alltoall_group(workload, first, size);
    first = (first + size) % workload.tiles;
  }
}

// ---- halo ----------------------------------------------------------------------

// The tiles laid out row by row on a grid of `width` columns; the last row
// may be short.
struct Grid {
  std::uint32_t width = 1;
  std::uint32_t height = 1;
};

Grid grid_of(std::uint32_t tiles) {
  std::uint32_t width = 1;
  while (width * width < tiles) ++width;
  return Grid{width, (tiles + width - 1) / width};
}

// A rectangle of grid cells.
struct Region {
  std::uint32_t row = 0;
  std::uint32_t rows = 0;
  std::uint32_t column = 0;
  std::uint32_t columns = 0;
};

// One stencil field: every tile of the region sends its north, south, west
// and east boundary to the neighbour on that side, when the neighbour is a
// tile of the region. Rows of the block are `width` items long, columns
// `height` items.
void halo_sweep(PhaseWorkload& workload, const Grid& grid, const Region& region) {
  static constexpr std::array<std::uint32_t, 4> kItemWords = {1, 1, 2, 4};
  static constexpr std::array<std::uint32_t, 7> kBlockEdges = {4, 8, 16, 32, 64, 128, 256};
  Random& random = workload.random;
  const std::uint32_t item_words = kItemWords[random.below(kItemWords.size())];
  const std::uint32_t row_words = std::min(kMaxWords, item_words * kBlockEdges[random.below(kBlockEdges.size())]);
  const std::uint32_t column_words = std::min(kMaxWords, item_words * kBlockEdges[random.below(kBlockEdges.size())]);

  struct Side {
    int row_step;
    int column_step;
    bool horizontal;  // north and south boundaries are rows of the block
  };
  static constexpr std::array<Side, 4> kSides = {{{-1, 0, true}, {1, 0, true}, {0, -1, false}, {0, 1, false}}};

  for (std::uint32_t row = region.row; row < region.row + region.rows; ++row) {
    for (std::uint32_t column = region.column; column < region.column + region.columns; ++column) {
      const std::uint32_t tile = row * grid.width + column;
      if (tile >= workload.tiles) continue;
      for (const Side& side : kSides) {
        const auto neighbour_row = static_cast<std::int64_t>(row) + side.row_step;
        const auto neighbour_column = static_cast<std::int64_t>(column) + side.column_step;
        if (neighbour_row < region.row || neighbour_row >= region.row + region.rows ||
            neighbour_column < region.column || neighbour_column >= region.column + region.columns) {
          continue;
        }
        const auto neighbour = static_cast<std::uint32_t>(neighbour_row * grid.width + neighbour_column);
        if (neighbour >= workload.tiles) continue;
        const std::uint32_t words = side.horizontal ? row_words : column_words;
        const auto source = static_cast<std::uint16_t>(tile);
        const auto destination = static_cast<std::uint16_t>(neighbour);
        if (!workload.add(word_transfer(source, {workload.allocate_send(source, words)},
                                        {{destination, workload.allocate_receive(destination, words)}}, words))) {
          return;
        }
      }
    }
  }
}

void fill_halo(PhaseWorkload& workload) {
  const Grid grid = grid_of(workload.tiles);
  const Region whole{0, grid.height, 0, grid.width};
  while (!workload.full()) halo_sweep(workload, grid, whole);
}

// A halo exchange on a small block of the grid (at most 3 x 3 tiles).
void halo_block(PhaseWorkload& workload) {
  const Grid grid = grid_of(workload.tiles);
  Region region;
  region.rows = std::min(grid.height, workload.random.between(2, 3));
  region.columns = std::min(grid.width, workload.random.between(2, 3));
  region.row = static_cast<std::uint32_t>(workload.random.below(grid.height - region.rows + 1));
  region.column = static_cast<std::uint32_t>(workload.random.below(grid.width - region.columns + 1));
  halo_sweep(workload, grid, region);
}

// ---- broadcast ------------------------------------------------------------------

// One multicast tree. Either the root sends to every member directly, or it
// sends to a few relays, each of which passes the payload it received on to
// its share of the other members in a later transfer.
void broadcast_tree(PhaseWorkload& workload) {
  Random& random = workload.random;
  const auto root = static_cast<std::uint16_t>(random.below(workload.tiles));
  const std::uint32_t most = std::min<std::uint32_t>(workload.tiles - 1U, 32);
  std::uint32_t members = most;
  if (most > 2) {
    members = random.percent(60) ? random.between(2, std::min<std::uint32_t>(most, 8)) : random.between(2, most);
  }
  const std::uint32_t words = draw_message_words(random);
  const std::vector<std::uint16_t> tiles = workload.pick_tiles(members, {root});
  const std::uint32_t source_address = workload.allocate_send(root, words);

  if (tiles.size() < 6 || workload.remaining() < 3 || !random.percent(50)) {
    workload.add(word_transfer(root, {source_address}, receive_on(workload, tiles, words), words));
    return;
  }
  const auto member_count = static_cast<std::uint32_t>(tiles.size());
  const std::uint32_t relay_count = random.between(2, std::min<std::uint32_t>(4, member_count / 3));
  const std::vector<std::uint16_t> relays(tiles.begin(), tiles.begin() + relay_count);
  const std::vector<ExchangeScheduleDestination> relay_buffers = receive_on(workload, relays, words);
  if (!workload.add(word_transfer(root, {source_address}, relay_buffers, words))) return;
  for (std::uint32_t relay = 0; relay < relay_count; ++relay) {
    std::vector<std::uint16_t> share;
    for (std::size_t member = relay_count + relay; member < tiles.size(); member += relay_count) {
      share.push_back(tiles[member]);
    }
    const ExchangeScheduleDestination& received = relay_buffers[relay];
    if (!workload.add(word_transfer(received.tile, {received.address}, receive_on(workload, share, words), words))) {
      return;
    }
  }
}

// ---- paired ----------------------------------------------------------------------

// A Paired64 multicast from one tile of a complete pair to one or more other
// complete pairs (both tiles of each). Needs two complete pairs.
void paired_unit(PhaseWorkload& workload) {
  Random& random = workload.random;
  const auto pair_count = static_cast<std::uint32_t>(workload.pairs.size());
  const auto source_pair = static_cast<std::uint32_t>(random.below(pair_count));
  const auto& [low, high] = workload.pairs[source_pair];
  const std::uint16_t source = random.percent(50) ? low : high;

  const std::uint32_t most = std::min<std::uint32_t>(pair_count - 1, 6);
  const std::uint32_t wanted = random.percent(60) ? 1 : random.between(1, most);
  // Choose the destination pairs among the others, partial Fisher-Yates.
  std::vector<std::uint32_t> others;
  for (std::uint32_t pair = 0; pair < pair_count; ++pair) {
    if (pair != source_pair) others.push_back(pair);
  }
  for (std::uint32_t i = 0; i < wanted; ++i) {
    const auto j = i + static_cast<std::size_t>(random.below(others.size() - i));
    std::swap(others[i], others[j]);
  }
  const std::uint32_t words = draw_paired_words(random);
  std::vector<ExchangeScheduleDestination> destinations;
  for (std::uint32_t i = 0; i < wanted; ++i) {
    const auto& [first, second] = workload.pairs[others[i]];
    destinations.push_back({first, workload.allocate_receive(first, words)});
    destinations.push_back({second, workload.allocate_receive(second, words)});
  }
  workload.add(ExchangeScheduleTransfer{source, {workload.allocate_send(source, words)}, std::move(destinations),
                                        words, ExchangeItemWidth::Paired64});
}

// ---- repeat ----------------------------------------------------------------------

// A transfer repeated over several source buffers, one per iteration, laid
// out one after the other. The source is preferably a tile that has received
// data in this phase, and some iterations read such data (the received
// buffer itself, or the memory right after it), so that the transfer depends
// on the one that wrote it. Occasionally a destination overwrites a buffer
// that an earlier transfer read from.
void repeat_unit(PhaseWorkload& workload) {
  Random& random = workload.random;
  std::uint16_t source = 0;
  if (!workload.tiles_with_receives.empty() && random.percent(75)) {
    source = random.pick(workload.tiles_with_receives);
  } else {
    source = static_cast<std::uint16_t>(random.below(workload.tiles));
  }
  const std::uint32_t words = std::min<std::uint32_t>(draw_message_words(random), 2048);
  const std::uint32_t iterations = random.percent(80) ? random.between(2, 4) : random.between(5, 8);
  const std::uint32_t stride = (4 * words + 7U) & ~7U;
  const std::uint32_t block = workload.allocate_send(source, iterations * stride / 4);
  std::vector<std::uint32_t> source_addresses;
  for (std::uint32_t i = 0; i < iterations; ++i) source_addresses.push_back(block + i * stride);

  const std::vector<Span>& received = workload.memory[source].received;
  if (!received.empty() && random.percent(65)) {
    const std::uint32_t reads = random.percent(70) ? 1 : 2;
    for (std::uint32_t read = 0; read < reads; ++read) {
      const Span& span = random.pick(received);
      const std::uint32_t address =
          random.percent(75) ? span.address : (span.address + 4 * span.words + 7U) & ~7U;
      if (address + 4 * words <= kTileMemoryEnd) {
        source_addresses[static_cast<std::size_t>(random.below(iterations))] = address;
      }
    }
  }

  const std::uint32_t count = random.percent(65) ? 1 : random.between(2, 3);
  std::vector<ExchangeScheduleDestination> destinations;
  for (const std::uint16_t tile : workload.pick_tiles(count, {source})) {
    const std::vector<Span>& read = workload.memory[tile].read;
    std::uint32_t address = workload.allocate_receive(tile, words);
    if (!read.empty() && random.percent(15)) {
      const Span& span = random.pick(read);
      if (span.address + 4 * words <= kTileMemoryEnd) address = span.address;
    }
    destinations.push_back({tile, address});
  }
  workload.add(word_transfer(source, std::move(source_addresses), std::move(destinations), words));
}

// ---- loopback --------------------------------------------------------------------

// A Word32 multicast that also delivers to its own source tile, into the
// tile's receive region (so no memory element is shared with the source).
void loopback_unit(PhaseWorkload& workload) {
  Random& random = workload.random;
  const auto source = static_cast<std::uint16_t>(random.below(workload.tiles));
  const std::uint32_t others = random.between(1, std::min<std::uint32_t>(7, workload.tiles - 1U));
  const std::uint32_t words = draw_loopback_words(random);
  const std::uint32_t source_address = workload.allocate_send(source, words);
  std::vector<ExchangeScheduleDestination> destinations =
      receive_on(workload, workload.pick_tiles(others, {source}), words);
  const auto position = static_cast<std::ptrdiff_t>(random.below(destinations.size() + 1));
  destinations.insert(destinations.begin() + position, {source, workload.allocate_receive(source, words)});
  workload.add(word_transfer(source, {source_address}, std::move(destinations), words));
}

// ---- mixed -----------------------------------------------------------------------

void mixed_unit(PhaseWorkload& workload) {
  // Weights of p2p, alltoall, halo, broadcast, paired, repeat, loopback per
  // unit. Groups and halo blocks bring several transfers each, so their
  // weights are lower: per transfer the families come out roughly as 20, 15,
  // 15, 15, 10, 12 and 12 percent.
  std::array<std::uint32_t, 7> weights = {40, 5, 2, 20, 20, 25, 25};
  if (workload.pairs.size() < 2) weights[4] = 0;
  std::uint32_t total = 0;
  for (const std::uint32_t weight : weights) total += weight;
  auto roll = static_cast<std::uint32_t>(workload.random.below(total));
  std::size_t choice = 0;
  while (roll >= weights[choice]) roll -= weights[choice++];
  switch (choice) {
    case 0: p2p_unit(workload); break;
    case 1: {
      const std::uint32_t size = workload.random.between(2, std::min<std::uint32_t>(4, workload.tiles));
      alltoall_group(workload, static_cast<std::uint32_t>(workload.random.below(workload.tiles)), size);
      break;
    }
    case 2: halo_block(workload); break;
    case 3: broadcast_tree(workload); break;
    case 4: paired_unit(workload); break;
    case 5: repeat_unit(workload); break;
    default: loopback_unit(workload); break;
  }
}

// One unit of the pattern: a single transfer, a group, a sweep or a tree.
void pattern_unit(Pattern pattern, PhaseWorkload& workload) {
  switch (pattern) {
    case Pattern::P2p: p2p_unit(workload); break;
    case Pattern::AllToAll: fill_alltoall(workload); break;
    case Pattern::Halo: fill_halo(workload); break;
    case Pattern::Broadcast: broadcast_tree(workload); break;
    case Pattern::Paired: paired_unit(workload); break;
    case Pattern::Repeat: repeat_unit(workload); break;
    case Pattern::Loopback: loopback_unit(workload); break;
    case Pattern::Mixed: mixed_unit(workload); break;
  }
}

}  // namespace

void fill_phase(Pattern pattern, PhaseWorkload& workload) {
  while (!workload.full()) {
    const std::size_t before = workload.transfers.size();
    pattern_unit(pattern, workload);
    // A halo block that fell outside the tiles (or any other unit that found
    // nothing to do) gives way to a plain transfer, so the phase always fills.
    if (workload.transfers.size() == before) p2p_unit(workload);
  }
}

}  // namespace oxu::snapshot_gen
