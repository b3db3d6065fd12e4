#include "oxu/codegen/order/critical_neighborhood_order.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>

#include "oxu/codegen/memory_hazards.hpp"
#include "oxu/codegen/order/order_common.hpp"

namespace oxu::codegen::order {
namespace {

using Order = std::vector<std::size_t>;
using Destinations = std::vector<std::pair<std::uint16_t, std::uint32_t>>;
using Placements = std::vector<std::optional<TransferPlacement>>;

PendingTransfer transfer(std::uint16_t source, std::uint32_t source_address, Destinations destinations,
                         std::uint32_t words) {
  PendingTransfer pending;
  pending.source = source;
  pending.source_addresses = {source_address};
  pending.destinations = std::move(destinations);
  pending.words = words;
  pending.refresh_source_elements();
  return pending;
}

std::vector<PendingTransfer> phase(std::vector<PendingTransfer> transfers) {
  for (std::size_t t = 0; t < transfers.size(); ++t) transfers[t].index = static_cast<std::uint32_t>(t);
  return transfers;
}

TransferPlacement ending_at(std::uint32_t end_cycle, std::optional<std::size_t> blocking = std::nullopt) {
  return TransferPlacement{blocking, 0, end_cycle, 0};
}

MaterializedSchedule placed(std::uint16_t tiles, Order order, Placements placements) {
  return MaterializedSchedule{exchange::PhaseProgramBuilder(tiles), {}, {}, {}, {}, std::move(order),
                              std::move(placements), 0};
}

Order identity(std::size_t n) {
  Order order(n);
  std::iota(order.begin(), order.end(), std::size_t{0});
  return order;
}

constexpr std::uint16_t kTiles = 16;

// ---------------------------------------------------------------------------
// Ranks

struct RankCase {
  const char* field;
  RepairReady better;
  RepairReady worse;
};

TEST(RepairReadyTest, RanksFieldByFieldEachOverridingAllLaterOnes) {
  // Each `better` wins on its field and loses on every later one.
  const RankCase cases[] = {
      {"earliest_start", {5, 9, 0, false, 0, 9, 9}, {6, 0, 5, true, 99, 0, 0}},
      {"bucket", {6, 0, 0, false, 0, 9, 9}, {6, 1, 5, true, 99, 0, 0}},
      {"continuity", {6, 1, 2, false, 0, 9, 9}, {6, 1, 1, true, 99, 0, 0}},
      {"in_neighborhood", {6, 1, 1, true, 0, 9, 9}, {6, 1, 1, false, 99, 0, 0}},
      {"endpoint_work", {6, 1, 1, true, 99, 9, 9}, {6, 1, 1, true, 98, 0, 0}},
      {"position", {6, 1, 1, true, 99, 0, 9}, {6, 1, 1, true, 99, 1, 0}},
      {"transfer", {6, 1, 1, true, 99, 1, 0}, {6, 1, 1, true, 99, 1, 1}},
  };
  for (const RankCase& c : cases) {
    EXPECT_GT(c.better, c.worse) << c.field;
    EXPECT_LT(c.worse, c.better) << c.field;
    EXPECT_NE(c.better, c.worse) << c.field;
  }
  const RepairReady value{6, 1, 1, true, 99, 1, 0};
  EXPECT_EQ(value <=> RepairReady(value), std::strong_ordering::equal);
}

TEST(RepairReadyTest, ComputedFromTheTileModel) {
  std::vector<PendingTransfer> pending = phase({transfer(1, 0x0, {{3, 0x100}, {4, 0x200}, {5, 0x300}}, 16)});
  pending[0].paired_tile = 2;
  RepairState state;
  state.pending = pending;
  state.positions = {7};
  state.in_neighborhood = {true};
  state.bucket_width = 3;
  state.tiles.resize(8);
  state.tiles[1] = {10, 100, std::nullopt, 1};  // a source's receive side does not count
  state.tiles[2] = {30, 0, std::nullopt, 2};
  state.tiles[3] = {100, 20, 0x100, 4};  // a destination's send side does not count
  state.tiles[4] = {0, 25, 0x1FC, 8};
  state.tiles[5] = {0, 5, std::nullopt, 16};
  state.tiles[6] = {0, 50, 0x300, 32};

  EXPECT_EQ(repair_ready(0, state), (RepairReady{30, 2, 1, true, 31, 7, 0}));
  EXPECT_EQ(repair_static_key(0, state), (RepairReady{0, 2, 0, true, 0, 7, 0}));
}

// ---------------------------------------------------------------------------
// Group offers

struct BestCase {
  const char* name;
  std::vector<std::size_t> ready;
  std::vector<bool> in_neighborhood;
  std::optional<std::uint32_t> last_receive_end;  // on tile 1
  std::optional<std::size_t> expected;
  std::size_t expected_continuity;
};

TEST(RepairGroupTest, BestIsTheStaticTopOrAContinuationInItsBucket) {
  // One group: tile 0 sends to tile 1 at 0x100, 0x200 and 0x300 (positions
  // 0, 1, 2; buckets 0, 0, 1).
  const std::vector<PendingTransfer> pending = phase(
      {transfer(0, 0x0, {{1, 0x100}}, 16), transfer(0, 0x0, {{1, 0x200}}, 16), transfer(0, 0x0, {{1, 0x300}}, 16)});
  const BestCase cases[] = {
      {"nothing ready", {}, {false, false, false}, std::nullopt, std::nullopt, 0},
      {"static top without a last receive", {0, 1, 2}, {false, false, false}, std::nullopt, 0, 0},
      {"continuation in the same bucket", {0, 1, 2}, {false, false, false}, 0x200, 1, 1},
      {"continuation that is not ready", {0, 2}, {false, false, false}, 0x200, 0, 0},
      {"continuation in a later bucket", {0, 1, 2}, {false, false, false}, 0x300, 0, 0},
      {"the top continues itself", {0, 1, 2}, {false, false, false}, 0x100, 0, 1},
      {"bucket of the top decides", {1, 2}, {false, false, false}, 0x300, 1, 0},
      {"neighbourhood member is statically first", {0, 1, 2}, {false, true, false}, std::nullopt, 1, 0},
  };
  for (const BestCase& c : cases) {
    RepairState state;
    state.pending = pending;
    state.positions = {0, 1, 2};
    state.in_neighborhood = c.in_neighborhood;
    state.bucket_width = 2;
    state.tiles.resize(2);
    state.tiles[1].last_receive_end = c.last_receive_end;
    RepairGroup group;
    group.members_by_destination = {{{1, 0x100}, {0}}, {{1, 0x200}, {1}}, {{1, 0x300}, {2}}};
    for (const std::size_t t : c.ready) group.ready.insert(repair_static_key(t, state));

    const std::optional<RepairReady> best = group.best(state);
    ASSERT_EQ(best.has_value(), c.expected.has_value()) << c.name;
    if (!best) continue;
    EXPECT_EQ(best->transfer, *c.expected) << c.name;
    EXPECT_EQ(best->continuity, c.expected_continuity) << c.name;
  }
}

// ---------------------------------------------------------------------------
// Neighbourhood

struct NeighborhoodCase {
  const char* name;
  std::vector<PendingTransfer> pending;
  Order current;
  Placements placements;
  std::vector<bool> expected;
};

std::vector<PendingTransfer> disjoint(std::size_t n) {
  std::vector<PendingTransfer> pending;
  for (std::size_t t = 0; t < n; ++t) {
    pending.push_back(transfer(static_cast<std::uint16_t>(2 * t), 0x0, {{static_cast<std::uint16_t>(2 * t + 1), 0x0}}, 16));
  }
  return phase(pending);
}

std::vector<PendingTransfer> fan_out(std::size_t n) {
  std::vector<PendingTransfer> pending;
  for (std::size_t t = 0; t < n; ++t) pending.push_back(transfer(0, 0x0, {{static_cast<std::uint16_t>(t + 1), 0x0}}, 16));
  return phase(pending);
}

TEST(CriticalNeighborhoodTest, Membership) {
  const NeighborhoodCase cases[] = {
      {"lone critical transfer", disjoint(2), {0, 1}, {ending_at(10), ending_at(5)}, {true, false}},
      {"latest end, ties to the higher index, then blocking links", disjoint(4), {0, 1, 2, 3},
       {ending_at(9), ending_at(9, 2), ending_at(3), ending_at(4)}, {false, true, true, false}},
      {"a cycle of blocking links ends", disjoint(3), {0, 1, 2}, {ending_at(9, 1), ending_at(5, 0), ending_at(1)},
       {true, true, false}},
      {"a blocking transfer without a placement ends the chain", disjoint(3), {0, 1, 2},
       {ending_at(9, 1), std::nullopt, ending_at(1)}, {true, true, false}},
      {"nothing placed", disjoint(2), {0, 1}, {std::nullopt, std::nullopt}, {false, false}},
      // Tile 0's list in current order is 4 0 1 2 3 5 6 7 8; ⌊√9⌋ = 3 entries
      // after transfer 4.
      {"window of the square root in the tile's current order", fan_out(9), {4, 0, 1, 2, 3, 5, 6, 7, 8},
       {ending_at(1), ending_at(1), ending_at(1), ending_at(1), ending_at(9), ending_at(1), ending_at(1),
        ending_at(1), ending_at(1)},
       {true, true, true, false, true, false, false, false, false}},
      {"receiving tile shares its window",
       phase({transfer(0, 0x0, {{5, 0x0}}, 16), transfer(1, 0x0, {{5, 0x100}}, 16), transfer(2, 0x0, {{6, 0x0}}, 16)}),
       {0, 1, 2}, {ending_at(9), ending_at(1), ending_at(1)}, {true, true, false}},
      // Transfer 1 names tile 0 twice (source and loopback destination) but
      // is listed once: tile 0's list has four entries, a window of two.
      {"a loopback is listed once on its tile",
       phase({transfer(0, 0x0, {{1, 0x0}}, 16), transfer(0, 0x0, {{2, 0x0}, {0, 0x8000}}, 16),
              transfer(0, 0x0, {{3, 0x0}}, 16), transfer(0, 0x0, {{4, 0x0}}, 16)}),
       {0, 1, 2, 3}, {ending_at(9), ending_at(1), ending_at(1), ending_at(1)}, {true, true, true, false}},
  };
  for (const NeighborhoodCase& c : cases) {
    const MaterializedSchedule best = placed(kTiles, c.current, c.placements);
    EXPECT_EQ(critical_neighborhood(c.pending, kTiles, best), c.expected) << c.name;
  }
}

// ---------------------------------------------------------------------------
// Repair

struct RepairCase {
  const char* name;
  std::vector<PendingTransfer> pending;
  Placements placements;
  Order expected;
};

// Tile 0 sends a long payload, then a short one; tile 3 sends on its own.
std::vector<PendingTransfer> busy_sender() {
  return phase({transfer(0, 0x0, {{1, 0x0}}, 64), transfer(0, 0x0, {{2, 0x0}}, 16), transfer(3, 0x0, {{4, 0x0}}, 16)});
}

// As busy_sender, but tile 3's transfer is tile 2 sending on what the short
// payload writes there.
std::vector<PendingTransfer> busy_sender_with_dependency() {
  return phase({transfer(0, 0x0, {{1, 0x0}}, 64), transfer(0, 0x0, {{2, 0x1000}}, 16),
                transfer(2, 0x1000, {{4, 0x0}}, 16)});
}

// Tile 5 first receives [0x1000, 0x1040); transfer 3 writes right after it,
// transfer 2 (a neighbourhood member, earlier position) elsewhere.
std::vector<PendingTransfer> continued_receive(std::uint32_t third_address) {
  return phase({transfer(0, 0x0, {{5, 0x1000}}, 16), transfer(8, 0x0, {{9, 0x0}}, 16),
                transfer(6, 0x0, {{5, 0x2000}}, 16), transfer(7, 0x0, {{5, third_address}}, 16)});
}

// Tile 0 sends five payloads of `words`; tile 6 sends a short one last.
std::vector<PendingTransfer> five_from_one(std::uint32_t words) {
  std::vector<PendingTransfer> pending;
  for (std::uint16_t d = 1; d <= 5; ++d) pending.push_back(transfer(0, 0x0, {{d, 0x0}}, words));
  pending.push_back(transfer(6, 0x0, {{7, 0x0}}, 16));
  return phase(pending);
}

// Transfers 2 and 3 compete on equal start and bucket; transfer 2 receives
// on tile 2, whose remaining work falls once transfer 0 has sent from it.
std::vector<PendingTransfer> remaining_work() {
  return phase({transfer(2, 0x0, {{3, 0x0}}, 200), transfer(9, 0x0, {{10, 0x0}}, 16), transfer(7, 0x0, {{2, 0x0}}, 16),
                transfer(5, 0x0, {{6, 0x0}}, 100)});
}

// A paired payload from tile 0 keeps its partner, tile 1, sending.
std::vector<PendingTransfer> paired_partner() {
  std::vector<PendingTransfer> pending =
      phase({transfer(0, 0x0, {{2, 0x0}}, 128), transfer(1, 0x0, {{3, 0x0}}, 16), transfer(4, 0x0, {{5, 0x0}}, 16)});
  pending[0].width = ExchangeItemWidth::Paired64;
  pending[0].paired_tile = 1;
  return pending;
}

const Placements kChainOfFour = {ending_at(1), ending_at(2, 0), ending_at(3, 1), ending_at(100, 2)};
const Placements kChainOfThree = {ending_at(1), ending_at(2, 0), ending_at(100, 1)};

const Placements kChainOfFive = {ending_at(1), ending_at(2, 0), ending_at(3, 1), ending_at(4, 2), ending_at(5, 3),
                                 ending_at(0)};

TEST(CriticalNeighborhoodOrderTest, Repairs) {
  const RepairCase cases[] = {
      {"lone critical transfer: nothing to repair", busy_sender(),
       {ending_at(64), ending_at(80, 0), ending_at(100)}, {0, 1, 2}},
      {"earlier start beats an earlier bucket", busy_sender(), {ending_at(64), ending_at(100, 0), ending_at(16)},
       {0, 2, 1}},
      {"a transfer waits for its predecessors", busy_sender_with_dependency(),
       {ending_at(64), ending_at(100, 0), ending_at(16)}, {0, 1, 2}},
      {"continuing a receive beats neighbourhood and position", continued_receive(0x1040),
       {ending_at(100), ending_at(1), ending_at(1), ending_at(1)}, {0, 1, 3, 2}},
      {"without a continuation the neighbourhood member goes first", continued_receive(0x1080),
       {ending_at(100), ending_at(1), ending_at(1), ending_at(1)}, {0, 1, 2, 3}},
      {"endpoint work counts only what is still to move", remaining_work(), kChainOfFour, {0, 1, 3, 2}},
      {"a paired payload occupies its partner's sender", paired_partner(), kChainOfThree, {0, 2, 1}},
      {"short payloads repair", five_from_one(16), kChainOfFive, {0, 5, 1, 2, 3, 4}},
      {"a finish beyond u32 gives up", five_from_one(0x3FFFFFFF), kChainOfFive, {0, 1, 2, 3, 4, 5}},
      {"a payload beyond 0x3FFFFFFF words gives up", five_from_one(0x40000000), kChainOfFive, {0, 1, 2, 3, 4, 5}},
  };
  for (const RepairCase& c : cases) {
    const MaterializedSchedule best = placed(kTiles, identity(c.pending.size()), c.placements);
    EXPECT_EQ(critical_neighborhood_order(c.pending, kTiles, best), c.expected) << c.name;
  }
}

TEST(CriticalNeighborhoodOrderTest, EmptyAndSingleTransferPhasesKeepTheirOrder) {
  EXPECT_EQ(critical_neighborhood_order({}, kTiles, placed(kTiles, {}, {})), Order{});
  const std::vector<PendingTransfer> one = disjoint(1);
  EXPECT_EQ(critical_neighborhood_order(one, kTiles, placed(kTiles, {0}, {ending_at(5)})), Order{0});
}

// ---------------------------------------------------------------------------
// Large phases

constexpr std::uint16_t kM72Tiles = 1472;

// Places the transfers in `order` on a plain per-tile time model, recording
// for each the last user of its latest endpoint as the blocking transfer.
Placements model_placements(std::span<const PendingTransfer> pending, const Order& order) {
  std::vector<std::uint32_t> send_ready(kM72Tiles, 0);
  std::vector<std::uint32_t> receive_ready(kM72Tiles, 0);
  std::vector<std::optional<std::size_t>> last_send(kM72Tiles);
  std::vector<std::optional<std::size_t>> last_receive(kM72Tiles);
  Placements placements(pending.size());
  for (const std::size_t t : order) {
    const PendingTransfer& p = pending[t];
    std::uint32_t start = send_ready[p.source];
    std::optional<std::size_t> blocking = last_send[p.source];
    for (const auto& [tile, address] : p.destinations) {
      if (receive_ready[tile] > start) {
        start = receive_ready[tile];
        blocking = last_receive[tile];
      }
    }
    const std::uint32_t end = start + item_count(p.width, p.words);
    send_ready[p.source] = end;
    last_send[p.source] = t;
    for (const auto& [tile, address] : p.destinations) {
      receive_ready[tile] = end;
      last_receive[tile] = t;
    }
    placements[t] = TransferPlacement{blocking, start, end, p.source};
  }
  return placements;
}

TEST(CriticalNeighborhoodOrderTest, LargePhaseGivesATopologicalPermutation) {
  std::uint64_t seed = 777;
  const auto next = [&seed](std::uint64_t bound) {
    seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
    return (seed >> 33) % bound;
  };
  std::vector<PendingTransfer> pending;
  for (std::size_t i = 0; i < 30000; ++i) {
    const auto source = static_cast<std::uint16_t>(next(kM72Tiles));
    Destinations destinations;
    const std::size_t fan = i % 7 == 0 ? 3 : 1;
    while (destinations.size() < fan) {
      const auto tile = static_cast<std::uint16_t>(next(kM72Tiles));
      const bool taken = std::any_of(destinations.begin(), destinations.end(),
                                     [&](const auto& destination) { return destination.first == tile; });
      if (tile != source && !taken) destinations.emplace_back(tile, static_cast<std::uint32_t>(next(32) * 0x100));
    }
    pending.push_back(transfer(source, static_cast<std::uint32_t>(next(32) * 0x100), std::move(destinations),
                               static_cast<std::uint32_t>(16 + next(64))));
  }
  pending = phase(std::move(pending));
  const Order current = identity(pending.size());
  const MaterializedSchedule best = placed(kM72Tiles, current, model_placements(pending, current));

  const Order order = critical_neighborhood_order(pending, kM72Tiles, best);
  ASSERT_EQ(order.size(), pending.size());
  const std::vector<std::size_t> positions = positions_in(order, pending.size());
  ASSERT_TRUE(std::none_of(positions.begin(), positions.end(), [](std::size_t p) { return p == kNoPosition; }));
  for (const auto& [earlier, later] : memory_dependencies(pending, kM72Tiles)) {
    ASSERT_LT(positions[earlier], positions[later]) << earlier << " before " << later;
  }
  EXPECT_NE(order, current);
}

}  // namespace
}  // namespace oxu::codegen::order
