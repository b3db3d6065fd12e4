#include "oxu/codegen/order/matching_wave_order.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>

#include "oxu/codegen/memory_hazards.hpp"
#include "oxu/codegen/order/order_common.hpp"

namespace oxu::codegen::order {
namespace {

using Order = std::vector<std::size_t>;

PendingTransfer transfer(std::uint16_t source, std::uint32_t source_address, std::uint16_t destination,
                         std::uint32_t destination_address, std::uint32_t words,
                         ExchangeItemWidth width = ExchangeItemWidth::Word32) {
  PendingTransfer pending;
  pending.source = source;
  pending.source_addresses = {source_address};
  pending.destinations = {{destination, destination_address}};
  pending.words = words;
  pending.width = width;
  pending.refresh_source_elements();
  return pending;
}

// Numbers the transfers in list order.
std::vector<PendingTransfer> phase(std::vector<PendingTransfer> transfers) {
  for (std::size_t t = 0; t < transfers.size(); ++t) transfers[t].index = static_cast<std::uint32_t>(t);
  return transfers;
}

Order identity(std::size_t n) {
  Order order(n);
  std::iota(order.begin(), order.end(), std::size_t{0});
  return order;
}

// Every transfer once, each after all its memory-dependency predecessors.
void expect_topological_permutation(const Order& order, std::span<const PendingTransfer> pending,
                                    std::uint16_t tiles) {
  ASSERT_EQ(order.size(), pending.size());
  const std::vector<std::size_t> positions = positions_in(order, pending.size());
  ASSERT_TRUE(std::none_of(positions.begin(), positions.end(), [](std::size_t p) { return p == kNoPosition; }));
  for (const auto& [earlier, later] : memory_dependencies(pending, tiles)) {
    ASSERT_LT(positions[earlier], positions[later]) << earlier << " before " << later;
  }
}

// ---------------------------------------------------------------------------
// Shared notions

TEST(OrderCommonTest, PositionsOfAnOrder) {
  EXPECT_EQ(positions_in(Order{2, 0, 7, 0}, 4), (std::vector<std::size_t>{1, kNoPosition, 0, kNoPosition}));
  EXPECT_EQ(positions_in(Order{}, 2), (std::vector<std::size_t>{kNoPosition, kNoPosition}));
}

TEST(OrderCommonTest, GraphFromADependencySet) {
  const MemoryDependencies dependencies = {{0, 3}, {0, 1}, {1, 3}, {2, 3}, {0, 2}};
  const DependencyGraph graph = dependency_graph_from(dependencies, 5);
  EXPECT_EQ(graph.successors,
            (std::vector<std::vector<std::size_t>>{{1, 2, 3}, {3}, {3}, {}, {}}));
  EXPECT_EQ(graph.predecessor_count, (std::vector<std::size_t>{0, 1, 1, 3, 0}));
}

TEST(OrderCommonTest, GraphOfAPhase) {
  // 0 writes tile 1 [0x1000, 0x1040); 1 reads it back; 2 overwrites it.
  const auto pending = phase({transfer(0, 0x0, 1, 0x1000, 16), transfer(1, 0x1000, 2, 0x0, 16),
                              transfer(3, 0x0, 1, 0x1020, 16)});
  const DependencyGraph graph = dependency_graph(pending, 4);
  EXPECT_EQ(graph.successors, (std::vector<std::vector<std::size_t>>{{1, 2}, {2}, {}}));
  EXPECT_EQ(graph.predecessor_count, (std::vector<std::size_t>{0, 1, 2}));
}

TEST(OrderCommonTest, FloorSquareRoot) {
  const std::pair<std::size_t, std::size_t> cases[] = {
      {0, 0}, {1, 1}, {2, 1}, {3, 1}, {4, 2}, {8, 2}, {9, 3}, {99, 9}, {100, 10},
      {0xFFFFFFFF, 0xFFFF}, {std::size_t{0x100000000}, 0x10000}, {~std::size_t{0}, 0xFFFFFFFF}};
  for (const auto& [value, root] : cases) EXPECT_EQ(floor_sqrt(value), root) << value;
}

// ---------------------------------------------------------------------------
// Giving up

struct GiveUpCase {
  const char* name;
  std::vector<PendingTransfer> pending;
};

std::vector<PendingTransfer> with_second_destination(std::vector<PendingTransfer> pending) {
  pending[1].destinations.emplace_back(std::uint16_t{9}, 0x4000);
  return pending;
}

std::vector<PendingTransfer> zero_words() {
  auto pending = phase({transfer(0, 0x0, 1, 0x0, 16), transfer(2, 0x0, 3, 0x0, 16)});
  pending[1].words = 0;
  return pending;
}

TEST(MatchingWaveOrderTest, GivesUpOnUnsuitablePhases) {
  std::vector<PendingTransfer> unbalanced;
  // Tile 0 sends to tiles 1..5; five more pairs are disjoint: S = 6, D = 5 > 2 * ceil(10 / 6).
  for (std::uint16_t d = 1; d <= 5; ++d) unbalanced.push_back(transfer(0, 0x0, d, 0x0, 16));
  for (std::uint16_t s = 6; s < 16; s += 2) unbalanced.push_back(transfer(s, 0x0, static_cast<std::uint16_t>(s + 1), 0x0, 16));

  const GiveUpCase cases[] = {
      {"no transfers", {}},
      {"one transfer", phase({transfer(0, 0x0, 1, 0x0, 16)})},
      {"a multicast", with_second_destination(phase({transfer(0, 0x0, 1, 0x0, 16), transfer(2, 0x0, 3, 0x0, 16)}))},
      {"unbalanced", phase(unbalanced)},
      {"zero words", zero_words()},
      {"odd paired payload",
       phase({transfer(0, 0x0, 1, 0x0, 16), transfer(2, 0x0, 3, 0x0, 129, ExchangeItemWidth::Paired64)})},
  };
  for (const GiveUpCase& c : cases) {
    EXPECT_EQ(point_to_point_matching_wave_order(c.pending, 16, identity(c.pending.size())), std::nullopt) << c.name;
  }
}

// ---------------------------------------------------------------------------
// Waves

struct WaveCase {
  const char* name;
  std::vector<PendingTransfer> pending;
  Order current;
  Order expected;
};

std::vector<PendingTransfer> star(std::size_t fan_out) {
  std::vector<PendingTransfer> pending;
  for (std::size_t d = 1; d <= fan_out; ++d) pending.push_back(transfer(0, 0x0, static_cast<std::uint16_t>(d), 0x0, 16));
  return phase(pending);
}

std::vector<PendingTransfer> paired_and_its_partner() {
  auto pending = phase({transfer(0, 0x0, 2, 0x0, 128, ExchangeItemWidth::Paired64), transfer(1, 0x0, 3, 0x0, 16),
                        transfer(0, 0x1000, 4, 0x0, 16)});
  pending[0].paired_tile = 1;
  return pending;
}

TEST(MatchingWaveOrderTest, Waves) {
  const WaveCase cases[] = {
      {"shared source splits a wave",
       phase({transfer(0, 0x0, 1, 0x0, 16), transfer(0, 0x0, 2, 0x0, 16), transfer(3, 0x0, 4, 0x0, 16)}),
       {0, 1, 2},
       {0, 2, 1}},
      {"shared destination splits a wave",
       phase({transfer(0, 0x0, 5, 0x0, 16), transfer(1, 0x0, 5, 0x100, 16), transfer(2, 0x0, 6, 0x0, 16)}),
       {0, 1, 2},
       {0, 2, 1}},
      {"disjoint transfers form one wave in position order",
       phase({transfer(0, 0x0, 1, 0x0, 16), transfer(2, 0x0, 3, 0x0, 16)}),
       {1, 0},
       {1, 0}},
      // Tile 0 first takes tile 5, which tile 1 needs; the augmenting path
      // moves tile 0 to tile 6 so that the wave holds two transfers.
      {"augmenting path makes the wave maximum",
       phase({transfer(0, 0x0, 5, 0x0, 16), transfer(0, 0x0, 6, 0x0, 16), transfer(1, 0x0, 5, 0x100, 16)}),
       {0, 1, 2},
       {1, 2, 0}},
      {"paired partner takes no part", paired_and_its_partner(), {0, 2, 1}, {0, 1, 2}},
      {"single source: one transfer per wave, by position", star(10), {9, 8, 7, 6, 5, 4, 3, 2, 1, 0},
       {9, 8, 7, 6, 5, 4, 3, 2, 1, 0}},
      // Transfer 1 reads on tile 1 what transfer 0 writes there.
      {"dependency holds a transfer back",
       phase({transfer(0, 0x0, 1, 0x1000, 16), transfer(1, 0x1000, 2, 0x0, 16)}),
       {1, 0},
       {0, 1}},
      // Without positions tile 0 ranks by its destinations' remaining
      // receive work (tile 2: 12 items, tile 1: 8), then by items, then by
      // index; the receive work falls as transfers are ordered.
      {"unpositioned ready list ranks by receive work, items, index",
       phase({transfer(0, 0x0, 1, 0x0, 8), transfer(0, 0x0, 2, 0x0, 4), transfer(0, 0x0, 2, 0x100, 4),
              transfer(0, 0x0, 2, 0x200, 4)}),
       {},
       {1, 0, 2, 3}},
      // Tiles 0 and 1 compete for tile 5: the source with more send work
      // matches first, then the smaller tile on equal work.
      {"unpositioned sources rank by send work, then tile",
       phase({transfer(0, 0x0, 5, 0x0, 16), transfer(1, 0x0, 5, 0x100, 16), transfer(1, 0x0, 5, 0x200, 16)}),
       {},
       {1, 0, 2}},
      {"unpositioned wave ranks by items",
       phase({transfer(0, 0x0, 1, 0x0, 4), transfer(2, 0x0, 3, 0x0, 8)}),
       {},
       {1, 0}},
  };
  for (const WaveCase& c : cases) {
    const auto order = point_to_point_matching_wave_order(c.pending, 16, c.current);
    ASSERT_TRUE(order.has_value()) << c.name;
    EXPECT_EQ(*order, c.expected) << c.name;
  }
}

// ---------------------------------------------------------------------------
// Augmenting paths

MatchingWaveState two_sources(std::vector<ReadyEdge> second_list) {
  // Tile 1 holds tile 5 at layer 1; tile 0 wants tile 5 from layer 0.
  MatchingWaveState state;
  state.ready.resize(8);
  state.source_match.resize(8);
  state.destination_match.resize(8);
  state.layer.assign(8, kUnreachedLayer);
  state.ready[0] = {{0, 5}};
  state.ready[1] = std::move(second_list);
  state.layer[0] = 0;
  state.layer[1] = 1;
  state.source_match[1] = state.ready[1].front();
  state.destination_match[5] = 1;
  return state;
}

TEST(AugmentReadyMatchingTest, MovesTheHolderAlongTheNextLayer) {
  MatchingWaveState state = two_sources({{2, 5}, {3, 6}});
  EXPECT_TRUE(augment_ready_matching(0, state));
  EXPECT_EQ(state.source_match[0], (ReadyEdge{0, 5}));
  EXPECT_EQ(state.source_match[1], (ReadyEdge{3, 6}));
  EXPECT_EQ(state.destination_match[5], std::uint16_t{0});
  EXPECT_EQ(state.destination_match[6], std::uint16_t{1});
}

TEST(AugmentReadyMatchingTest, FailedSearchLeavesMatchesAndMarksSourcesUnreached) {
  MatchingWaveState state = two_sources({{2, 5}});
  EXPECT_FALSE(augment_ready_matching(0, state));
  EXPECT_EQ(state.source_match[0], std::nullopt);
  EXPECT_EQ(state.source_match[1], (ReadyEdge{2, 5}));
  EXPECT_EQ(state.destination_match[5], std::uint16_t{1});
  EXPECT_EQ(state.layer[0], kUnreachedLayer);
  EXPECT_EQ(state.layer[1], kUnreachedLayer);
}

TEST(AugmentReadyMatchingTest, OnlyTheNextLayerIsEntered) {
  MatchingWaveState state = two_sources({{2, 5}, {3, 6}});
  state.layer[1] = 2;
  EXPECT_FALSE(augment_ready_matching(0, state));
  EXPECT_EQ(state.source_match[1], (ReadyEdge{2, 5}));
  EXPECT_EQ(state.layer[1], 2u);

  MatchingWaveState empty = two_sources({{2, 5}});
  empty.layer[3] = 0;
  EXPECT_FALSE(augment_ready_matching(3, empty));
  EXPECT_EQ(empty.layer[3], kUnreachedLayer);
}

// ---------------------------------------------------------------------------
// Large phases

constexpr std::uint16_t kM72Tiles = 1472;

TEST(MatchingWaveOrderTest, OneSenderToEveryTileFollowsTheCurrentOrder) {
  // 20000 transfers from tile 0, each wave one transfer: the order is the
  // current one.
  std::vector<PendingTransfer> pending;
  for (std::size_t i = 0; i < 20000; ++i) {
    pending.push_back(transfer(0, 0x0, static_cast<std::uint16_t>(1 + i % (kM72Tiles - 1)),
                               static_cast<std::uint32_t>(i / (kM72Tiles - 1) * 0x40), 16));
  }
  pending = phase(std::move(pending));
  Order current = identity(pending.size());
  std::reverse(current.begin(), current.end());
  const auto order = point_to_point_matching_wave_order(pending, kM72Tiles, current);
  ASSERT_TRUE(order.has_value());
  EXPECT_EQ(*order, current);
}

TEST(MatchingWaveOrderTest, LargeMixedPhaseGivesATopologicalPermutation) {
  std::vector<PendingTransfer> pending;
  std::uint64_t seed = 12345;
  const auto next = [&seed](std::uint64_t bound) {
    seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
    return (seed >> 33) % bound;
  };
  for (std::size_t i = 0; i < 30000; ++i) {
    const auto source = static_cast<std::uint16_t>(next(kM72Tiles));
    auto destination = static_cast<std::uint16_t>(next(kM72Tiles - 1));
    if (destination >= source) ++destination;
    // Few distinct addresses, so that many transfers depend on each other.
    pending.push_back(transfer(source, static_cast<std::uint32_t>(next(32) * 0x100), destination,
                               static_cast<std::uint32_t>(next(32) * 0x100), 64));
  }
  pending = phase(std::move(pending));
  const auto order = point_to_point_matching_wave_order(pending, kM72Tiles, identity(pending.size()));
  ASSERT_TRUE(order.has_value());
  expect_topological_permutation(*order, pending, kM72Tiles);
}

}  // namespace
}  // namespace oxu::codegen::order
