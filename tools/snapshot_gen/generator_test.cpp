#include "generator.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "oxu/codegen/memory_element.hpp"
#include "oxu/exchange/topology.hpp"
#include "patterns.hpp"
#include "phase_workload.hpp"
#include "random.hpp"
#include "snapshot_writer.hpp"

namespace oxu::snapshot_gen {
namespace {

using codegen::ExchangeItemWidth;
using codegen::ExchangeScheduleSnapshot;
using codegen::ExchangeScheduleTransfer;

codegen::ExchangeScheduleSnapshot generate_or_fail(const GeneratorOptions& options) {
  auto snapshot = generate_snapshot(options);
  if (!snapshot) {
    ADD_FAILURE() << "generation failed: " << snapshot.error();
    return {};
  }
  return *snapshot;
}

bool has_destination(const ExchangeScheduleTransfer& transfer, std::uint32_t tile) {
  return std::any_of(transfer.destinations.begin(), transfer.destinations.end(),
                     [tile](const auto& destination) { return destination.tile == tile; });
}

// The first place where a transfer leaves the limits within which a
// scheduler can place it, or an empty text.
std::string first_limit_violation(const ExchangeScheduleSnapshot& snapshot) {
  const exchange::Topology m72 = exchange::Topology::m72();
  for (const auto& phase : snapshot.phases) {
    for (std::size_t index = 0; index < phase.transfers.size(); ++index) {
      const ExchangeScheduleTransfer& transfer = phase.transfers[index];
      const std::string where = fmt::format("phase {} transfer {}: ", phase.phase, index);
      const bool paired = transfer.width == ExchangeItemWidth::Paired64;
      const std::uint32_t alignment = paired ? 8 : 4;
      const std::uint64_t bytes = 4ULL * transfer.words;
      if (transfer.words < 1 || transfer.words > 4148) return where + "word count";
      for (const std::uint32_t address : transfer.source_addresses) {
        if (address % alignment != 0) return where + "source alignment";
        if (address > (paired ? 8U * 0x3FFFF : 0xFFFFCU)) return where + "source address field";
        if (address + bytes > 0x100000) return where + "source span leaves the tile memory";
      }
      for (const auto& destination : transfer.destinations) {
        if (destination.address % alignment != 0) return where + "destination alignment";
        if (destination.address > 0xFFFFC) return where + "destination address";
        if (destination.address + bytes > 0x100000) return where + "destination span leaves the tile memory";
      }
      if (paired) {
        if (transfer.words < 128 || transfer.words % 4 != 0) return where + "paired word count";
        const auto source_partner = m72.paired_logical(transfer.source);
        if (!source_partner || *source_partner >= snapshot.tile_count) return where + "source partner outside";
        if (has_destination(transfer, *source_partner) || has_destination(transfer, transfer.source)) {
          return where + "destination on the sending pair";
        }
        for (const auto& destination : transfer.destinations) {
          const auto partner = m72.paired_logical(destination.tile);
          if (!partner || *partner >= snapshot.tile_count || !has_destination(transfer, *partner)) {
            return where + "incomplete destination pair";
          }
        }
      }
      for (const auto& destination : transfer.destinations) {
        if (destination.tile != transfer.source) continue;
        if (paired || transfer.destinations.size() < 2) return where + "loopback shape";
        if (transfer.words >= kLoopbackAvoidFirst && transfer.words <= kLoopbackAvoidLast) {
          return where + "loopback word count";
        }
        for (const std::uint32_t source : transfer.source_addresses) {
          if (codegen::spans_share_effective_memory_element(source, transfer.words, destination.address,
                                                            transfer.words)) {
            return where + "loopback shares a memory element";
          }
        }
      }
    }
  }
  return {};
}

struct Shape {
  std::uint32_t tiles;
  std::uint32_t transfers;
};

// Every pattern over several seeds and tile counts (2, odd ones, the whole
// chip): the snapshot validates, holds exactly the requested phases and
// transfers with distinct phase IDs, and stays inside the scheduler's limits.
TEST(GeneratorTest, EveryPatternGivesValidPlaceableSnapshots) {
  const Shape shapes[] = {{2, 60}, {4, 60}, {5, 120}, {17, 200}, {64, 300}, {1472, 800}};
  for (const Pattern pattern : kAllPatterns) {
    for (const Shape& shape : shapes) {
      if (shape.tiles < minimum_tiles(pattern)) continue;
      for (const std::uint64_t seed : {1ULL, 2ULL, 77ULL}) {
        SCOPED_TRACE(fmt::format("{} tiles={} seed={}", pattern_name(pattern), shape.tiles, seed));
        const GeneratorOptions options{pattern, shape.tiles, 2, shape.transfers, seed};
        const ExchangeScheduleSnapshot snapshot = generate_or_fail(options);
        ASSERT_TRUE(snapshot.validate().has_value()) << snapshot.validate().error().message();
        EXPECT_EQ(snapshot.schema_version, 3U);
        EXPECT_EQ(snapshot.tile_count, shape.tiles);
        ASSERT_EQ(snapshot.phases.size(), 2U);
        EXPECT_NE(snapshot.phases[0].phase, snapshot.phases[1].phase);
        for (const auto& phase : snapshot.phases) EXPECT_EQ(phase.transfers.size(), shape.transfers);
        EXPECT_EQ(first_limit_violation(snapshot), "");
      }
    }
  }
}

TEST(GeneratorTest, SameOptionsGiveIdenticalTextAndSeedsDiffer) {
  for (const Pattern pattern : kAllPatterns) {
    SCOPED_TRACE(pattern_name(pattern));
    const GeneratorOptions options{pattern, 33, 2, 150, 5};
    const std::string first = write_snapshot_json(generate_or_fail(options));
    EXPECT_EQ(write_snapshot_json(generate_or_fail(options)), first);
    GeneratorOptions reseeded = options;
    reseeded.seed = 6;
    EXPECT_NE(write_snapshot_json(generate_or_fail(reseeded)), first);
  }
}

TEST(GeneratorTest, PhasesAreDistinctAndIndependentOfTheirCount) {
  const ExchangeScheduleSnapshot three = generate_or_fail({Pattern::Mixed, 40, 3, 50, 9});
  const ExchangeScheduleSnapshot one = generate_or_fail({Pattern::Mixed, 40, 1, 50, 9});
  ASSERT_EQ(three.phases.size(), 3U);
  std::set<std::uint32_t> ids;
  for (const auto& phase : three.phases) ids.insert(phase.phase);
  EXPECT_EQ(ids.size(), 3U);
  EXPECT_NE(three.phases[0].transfers, three.phases[1].transfers);
  EXPECT_EQ(one.phases[0], three.phases[0]);
}

TEST(GeneratorTest, PairedTransfersReachCompletePairsOnly) {
  // 9 tiles: tile 8's partner (9) is not part of the phase.
  for (const std::uint32_t tiles : {4U, 9U, 1471U}) {
    SCOPED_TRACE(tiles);
    const ExchangeScheduleSnapshot snapshot = generate_or_fail({Pattern::Paired, tiles, 1, 300, 3});
    const exchange::Topology m72 = exchange::Topology::m72();
    std::size_t multi_pair = 0;
    for (const ExchangeScheduleTransfer& transfer : snapshot.phases.at(0).transfers) {
      ASSERT_EQ(transfer.width, ExchangeItemWidth::Paired64);
      if (tiles % 2 == 1) {
        EXPECT_NE(transfer.source, tiles - 1U) << "the last tile of an odd count has no partner";
      }
      const std::uint16_t source_partner = m72.paired_logical(transfer.source).value();
      EXPECT_LT(source_partner, tiles);
      EXPECT_FALSE(has_destination(transfer, source_partner));
      EXPECT_EQ(transfer.destinations.size() % 2, 0U);
      for (const auto& destination : transfer.destinations) {
        EXPECT_TRUE(has_destination(transfer, m72.paired_logical(destination.tile).value()));
      }
      if (transfer.destinations.size() > 2) ++multi_pair;
    }
    if (tiles > 4) {
      EXPECT_GT(multi_pair, 0U) << "some transfers reach several pairs";
    }
  }
}

TEST(GeneratorTest, LoopbackTransfersDeliverToTheirOwnTile) {
  for (const std::uint32_t tiles : {2U, 17U, 1472U}) {
    SCOPED_TRACE(tiles);
    const ExchangeScheduleSnapshot snapshot = generate_or_fail({Pattern::Loopback, tiles, 1, 200, 4});
    for (const ExchangeScheduleTransfer& transfer : snapshot.phases.at(0).transfers) {
      EXPECT_EQ(transfer.width, ExchangeItemWidth::Word32);
      EXPECT_GE(transfer.destinations.size(), 2U);
      EXPECT_TRUE(has_destination(transfer, transfer.source));
    }
  }
}

// Whether [a, a + 4 * words) and [b, b + 4 * words) share a byte.
bool bytes_overlap(std::uint32_t a, std::uint32_t b, std::uint32_t words) {
  return a < std::uint64_t{b} + 4ULL * words && b < std::uint64_t{a} + 4ULL * words;
}

TEST(GeneratorTest, RepeatTransfersReadDataWrittenEarlierInThePhase) {
  const ExchangeScheduleSnapshot snapshot = generate_or_fail({Pattern::Repeat, 16, 1, 200, 8});
  const auto& transfers = snapshot.phases.at(0).transfers;
  std::size_t reads_received = 0;
  std::size_t element_only = 0;
  for (std::size_t later = 0; later < transfers.size(); ++later) {
    const ExchangeScheduleTransfer& reader = transfers[later];
    EXPECT_GE(reader.source_addresses.size(), 2U);
    for (std::size_t earlier = 0; earlier < later; ++earlier) {
      for (const auto& destination : transfers[earlier].destinations) {
        if (destination.tile != reader.source) continue;
        for (const std::uint32_t address : reader.source_addresses) {
          const std::uint32_t words = std::min(reader.words, transfers[earlier].words);
          if (bytes_overlap(address, destination.address, words)) {
            ++reads_received;
          } else if (codegen::spans_share_effective_memory_element(address, reader.words, destination.address,
                                                                   transfers[earlier].words)) {
            ++element_only;
          }
        }
      }
    }
  }
  EXPECT_GT(reads_received, 10U);
  EXPECT_GT(element_only, 0U);
}

TEST(GeneratorTest, OtherPatternsKeepDestinationsApart) {
  // Outside repeat (and broadcast relays, which read what they received), no
  // transfer reads memory that another one writes on the same tile.
  for (const Pattern pattern : {Pattern::P2p, Pattern::AllToAll, Pattern::Halo, Pattern::Paired, Pattern::Loopback}) {
    SCOPED_TRACE(pattern_name(pattern));
    const ExchangeScheduleSnapshot snapshot = generate_or_fail({pattern, 16, 1, 300, 2});
    std::map<std::uint16_t, std::vector<std::uint32_t>> sources;
    std::map<std::uint16_t, std::vector<std::uint32_t>> destinations;
    for (const ExchangeScheduleTransfer& transfer : snapshot.phases.at(0).transfers) {
      for (const std::uint32_t address : transfer.source_addresses) sources[transfer.source].push_back(address);
      for (const auto& destination : transfer.destinations) {
        destinations[destination.tile].push_back(destination.address);
      }
    }
    for (const auto& [tile, addresses] : sources) {
      for (const std::uint32_t address : addresses) EXPECT_LT(address, kReceiveRegionStart);
    }
    for (const auto& [tile, addresses] : destinations) {
      for (const std::uint32_t address : addresses) EXPECT_GE(address, kReceiveRegionStart);
      EXPECT_EQ(std::set<std::uint32_t>(addresses.begin(), addresses.end()).size(), addresses.size())
          << "tile " << tile << " receives twice at one address";
    }
  }
}

TEST(GeneratorTest, BroadcastBuildsMulticastsAndRelayTrees) {
  const ExchangeScheduleSnapshot snapshot = generate_or_fail({Pattern::Broadcast, 64, 1, 300, 1});
  const auto& transfers = snapshot.phases.at(0).transfers;
  std::size_t wide = 0;
  std::size_t relayed = 0;
  for (std::size_t later = 0; later < transfers.size(); ++later) {
    if (transfers[later].destinations.size() >= 8) ++wide;
    // A relay sends exactly the buffer that an earlier transfer of the same
    // payload size delivered to it.
    for (std::size_t earlier = 0; earlier < later; ++earlier) {
      for (const auto& destination : transfers[earlier].destinations) {
        const ExchangeScheduleTransfer& relay = transfers[later];
        if (destination.tile == relay.source && destination.address == relay.source_addresses[0] &&
            transfers[earlier].words == relay.words) {
          ++relayed;
        }
      }
    }
  }
  EXPECT_GT(wide, 10U);
  EXPECT_GT(relayed, 10U);
}

TEST(GeneratorTest, AllToAllGroupsFitTheTransferCount) {
  // 8 tiles and 56 transfers: one group of all 8 tiles, each sending to the
  // 7 others exactly once.
  const ExchangeScheduleSnapshot snapshot = generate_or_fail({Pattern::AllToAll, 8, 1, 56, 1});
  std::set<std::pair<std::uint16_t, std::uint16_t>> links;
  for (const ExchangeScheduleTransfer& transfer : snapshot.phases.at(0).transfers) {
    ASSERT_EQ(transfer.destinations.size(), 1U);
    EXPECT_LE(transfer.words, 64U);
    links.emplace(transfer.source, transfer.destinations[0].tile);
  }
  EXPECT_EQ(links.size(), 56U);
  // On many tiles the groups shrink to the budget instead of spanning the chip.
  const ExchangeScheduleSnapshot chip = generate_or_fail({Pattern::AllToAll, 1472, 1, 100, 1});
  std::set<std::uint16_t> senders;
  for (const ExchangeScheduleTransfer& transfer : chip.phases.at(0).transfers) senders.insert(transfer.source);
  EXPECT_LE(senders.size(), 20U);
}

TEST(GeneratorTest, HaloSendsToGridNeighbours) {
  // 16 tiles form a 4 x 4 grid with 48 neighbour links.
  const ExchangeScheduleSnapshot snapshot = generate_or_fail({Pattern::Halo, 16, 1, 48, 1});
  std::set<std::pair<std::uint16_t, std::uint16_t>> links;
  for (const ExchangeScheduleTransfer& transfer : snapshot.phases.at(0).transfers) {
    ASSERT_EQ(transfer.destinations.size(), 1U);
    const int source = transfer.source;
    const int destination = transfer.destinations[0].tile;
    const bool vertical = std::abs(source - destination) == 4;
    const bool horizontal = std::abs(source - destination) == 1 && source / 4 == destination / 4;
    EXPECT_TRUE(vertical || horizontal) << source << " -> " << destination;
    links.emplace(transfer.source, transfer.destinations[0].tile);
  }
  EXPECT_EQ(links.size(), 48U);
}

TEST(GeneratorTest, MessageSizesFollowARealisticMix) {
  const ExchangeScheduleSnapshot snapshot = generate_or_fail({Pattern::P2p, 64, 1, 2000, 1});
  std::size_t small = 0;
  std::size_t medium = 0;
  std::size_t large = 0;
  for (const ExchangeScheduleTransfer& transfer : snapshot.phases.at(0).transfers) {
    if (transfer.words <= 16) ++small;
    if (transfer.words >= 64 && transfer.words <= 1024) ++medium;
    if (transfer.words > 2048) ++large;
  }
  EXPECT_GT(small, 800U);
  EXPECT_GT(medium, 350U);
  EXPECT_GT(large, 20U);
  EXPECT_LT(large, 150U);
}

TEST(GeneratorTest, MixedBlendsEveryFamily) {
  const ExchangeScheduleSnapshot snapshot = generate_or_fail({Pattern::Mixed, 64, 1, 500, 1});
  std::size_t paired = 0;
  std::size_t loopback = 0;
  std::size_t repeated = 0;
  std::size_t multicast = 0;
  for (const ExchangeScheduleTransfer& transfer : snapshot.phases.at(0).transfers) {
    if (transfer.width == ExchangeItemWidth::Paired64) ++paired;
    if (has_destination(transfer, transfer.source)) ++loopback;
    if (transfer.source_addresses.size() > 1) ++repeated;
    if (transfer.destinations.size() > 1) ++multicast;
  }
  EXPECT_GT(paired, 0U);
  EXPECT_GT(loopback, 0U);
  EXPECT_GT(repeated, 0U);
  EXPECT_GT(multicast, loopback + paired);
}

TEST(GeneratorTest, BadOptionsAreReported) {
  struct Case {
    GeneratorOptions options;
    std::string error;
  };
  const Case cases[] = {
      {{Pattern::P2p, 0, 1, 10, 1}, "tile count 0 is outside 1..1472"},
      {{Pattern::P2p, 1473, 1, 10, 1}, "tile count 1473 is outside 1..1472"},
      {{Pattern::P2p, 16, 0, 10, 1}, "phase count must be at least 1"},
      {{Pattern::Mixed, 1, 1, 1, 1}, "pattern mixed needs at least 2 tiles for any transfer, got 1"},
      {{Pattern::Paired, 3, 1, 10, 1}, "pattern paired needs at least 4 tiles for any transfer, got 3"},
  };
  for (const Case& c : cases) {
    const auto snapshot = generate_snapshot(c.options);
    ASSERT_FALSE(snapshot.has_value()) << c.error;
    EXPECT_EQ(snapshot.error(), c.error);
  }
}

TEST(GeneratorTest, ZeroTransfersWorkOnAnyTileCount) {
  // A single tile has no second tile to send to, but empty phases are valid.
  for (const Pattern pattern : {Pattern::P2p, Pattern::Paired, Pattern::Mixed}) {
    const ExchangeScheduleSnapshot snapshot = generate_or_fail({pattern, 1, 3, 0, 1});
    EXPECT_TRUE(snapshot.validate().has_value());
    ASSERT_EQ(snapshot.phases.size(), 3U);
    for (const auto& phase : snapshot.phases) EXPECT_TRUE(phase.transfers.empty());
  }
}

TEST(GeneratorTest, PatternNamesRoundTrip) {
  for (const Pattern pattern : kAllPatterns) EXPECT_EQ(parse_pattern(pattern_name(pattern)), pattern);
  EXPECT_EQ(parse_pattern("P2P"), std::nullopt);
  EXPECT_EQ(parse_pattern(""), std::nullopt);
}

TEST(RandomTest, MatchesTheReferenceStream) {
  // The published splitmix64 values: generated files stay the same on every
  // machine only while the stream does.
  Random random(0);
  EXPECT_EQ(random.next(), 0xE220A8397B1DCDAFULL);
  EXPECT_EQ(random.next(), 0x6E789E6AA1B965F4ULL);
  EXPECT_EQ(random.next(), 0x06C45D188009454FULL);
}

TEST(RandomTest, RangesStayInBoundsAndReachBothEnds) {
  Random random(42);
  std::set<std::uint32_t> seen;
  for (int i = 0; i < 2000; ++i) {
    const std::uint32_t value = random.between(3, 9);
    ASSERT_GE(value, 3U);
    ASSERT_LE(value, 9U);
    seen.insert(value);
    ASSERT_EQ(random.below(1), 0U);
  }
  EXPECT_EQ(seen.size(), 7U);
}

TEST(PhaseWorkloadTest, AllocatorsStayInTheirRegionsAndWrapAround) {
  Random random(1);
  PhaseWorkload workload(4, 0, random);
  std::uint32_t previous = 0;
  bool wrapped = false;
  for (int i = 0; i < 200; ++i) {
    const std::uint32_t send = workload.allocate_send(1, 4148);
    const std::uint32_t receive = workload.allocate_receive(1, 4148);
    ASSERT_EQ(send % 8, 0U);
    ASSERT_EQ(receive % 8, 0U);
    ASSERT_GE(send, kSendRegionStart);
    ASSERT_LE(send + 4 * 4148, kReceiveRegionStart);
    ASSERT_GE(receive, kReceiveRegionStart);
    ASSERT_LE(receive + 4 * 4148, kTileMemoryEnd);
    if (i > 0 && receive < previous) wrapped = true;
    previous = receive;
  }
  EXPECT_TRUE(wrapped);
  // Consecutive buffers of one tile do not overlap.
  const std::uint32_t first = workload.allocate_receive(2, 5);
  EXPECT_GE(workload.allocate_receive(2, 1), first + 20);
}

TEST(PhaseWorkloadTest, PairsAreTheCompletePairsOfThePhase) {
  Random random(1);
  PhaseWorkload odd(7, 0, random);
  const std::vector<std::pair<std::uint16_t, std::uint16_t>> expected = {{0, 1}, {2, 3}, {4, 5}};
  EXPECT_EQ(odd.pairs, expected);
  EXPECT_EQ(partner_in_phase(6, 7), std::nullopt);
  EXPECT_EQ(partner_in_phase(6, 8), std::optional<std::uint16_t>(7));
}

}  // namespace
}  // namespace oxu::snapshot_gen
