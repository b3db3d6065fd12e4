#include "oxu/exchange/topology.hpp"

#include <algorithm>

#include <gtest/gtest.h>

namespace oxu::exchange {
namespace {

TEST(TopologyTest, M72TableRows) {
  const Topology m72 = Topology::m72();
  ASSERT_EQ(m72.tiles.size(), 1472U);
  const std::pair<std::uint16_t, std::uint16_t> rows[] = {
      {0, 0},       {1, 2},       {2, 64}, {3, 66}, {44, 1408}, {45, 1410}, {46, 1409},
      {47, 1411},   {91, 3},      {92, 4}, {93, 6}, {1470, 61}, {1471, 63},
  };
  for (const auto& [logical, physical] : rows) EXPECT_EQ(m72.tiles[logical], physical) << "logical " << logical;
}

TEST(TopologyTest, M72IsAPermutation) {
  std::vector<std::uint16_t> ids = Topology::m72().tiles;
  std::sort(ids.begin(), ids.end());
  for (std::size_t i = 0; i < ids.size(); ++i) ASSERT_EQ(ids[i], i);
}

TEST(TopologyTest, PairedLogical) {
  const Topology m72 = Topology::m72();
  const std::pair<std::uint16_t, std::uint16_t> pairs[] = {{0, 1}, {1, 0}, {45, 44}, {46, 47}, {1471, 1470}};
  for (const auto& [logical, partner] : pairs) EXPECT_EQ(m72.paired_logical(logical), partner) << logical;
  EXPECT_EQ(m72.paired_logical(1472), std::unexpected(ExchangeError::tile(1472)));
}

TEST(TopologyTest, PairedLogicalWithoutPartnerInAPrefix) {
  // Three tiles: the third tile's partner is not part of the topology.
  const Topology m72 = Topology::m72();
  const auto prefix = Topology::create({m72.tiles.begin(), m72.tiles.begin() + 3});
  ASSERT_TRUE(prefix.has_value());
  EXPECT_EQ(prefix->paired_logical(0), 1);
  EXPECT_EQ(prefix->paired_logical(2), std::unexpected(ExchangeError::tile(2)));
}

TEST(TopologyTest, CreateRejectsEmptyAndRepeatedIds) {
  EXPECT_EQ(Topology::create({}), std::unexpected(ExchangeError::receiver_set()));
  EXPECT_EQ(Topology::create({5, 5}), std::unexpected(ExchangeError::receiver_set()));
  const auto ok = Topology::create({5, 7});
  ASSERT_TRUE(ok.has_value());
  EXPECT_EQ(ok->tiles, (std::vector<std::uint16_t>{5, 7}));
}

}  // namespace
}  // namespace oxu::exchange
