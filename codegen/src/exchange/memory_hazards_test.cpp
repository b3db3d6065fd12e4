#include "oxu/codegen/memory_hazards.hpp"

#include <gtest/gtest.h>

#include <algorithm>

#include "oxu/testing/split_mix.hpp"

namespace oxu::codegen {
namespace {

using Destinations = std::vector<std::pair<std::uint16_t, std::uint32_t>>;

PendingTransfer transfer(std::uint16_t source, std::vector<std::uint32_t> sources, Destinations destinations,
                         std::uint32_t words) {
  PendingTransfer pending;
  pending.source = source;
  pending.source_addresses = std::move(sources);
  pending.destinations = std::move(destinations);
  pending.words = words;
  pending.refresh_source_elements();
  return pending;
}

// ---------------------------------------------------------------------------
// Static dependencies

struct DependencyCase {
  const char* name;
  std::vector<PendingTransfer> transfers;
  MemoryDependencies expected;
};

TEST(MemoryDependenciesTest, Cases) {
  // 64 words = 0x100 bytes.
  const DependencyCase cases[] = {
      {"empty phase", {}, {}},
      {"no common tile", {transfer(0, {0x0}, {{1, 0x0}}, 64), transfer(2, {0x0}, {{3, 0x0}}, 64)}, {}},
      {"read after write", {transfer(0, {0x0}, {{3, 0x1000}}, 64), transfer(3, {0x1080}, {{4, 0x0}}, 64)}, {{0, 1}}},
      {"write after read", {transfer(3, {0x1000}, {{4, 0x0}}, 64), transfer(0, {0x0}, {{3, 0x1080}}, 64)}, {{0, 1}}},
      {"write after write", {transfer(0, {0x0}, {{3, 0x1000}}, 64), transfer(1, {0x0}, {{3, 0x10FC}}, 64)}, {{0, 1}}},
      {"two reads", {transfer(3, {0x1000}, {{4, 0x0}}, 64), transfer(3, {0x1080}, {{5, 0x0}}, 64)}, {}},
      {"readers then a writer then a reader",
       {transfer(0, {0x0}, {{3, 0x1000}}, 64), transfer(3, {0x1000}, {{4, 0x0}}, 64),
        transfer(3, {0x1040}, {{5, 0x0}}, 16), transfer(1, {0x0}, {{3, 0x1000}}, 64),
        transfer(3, {0x1000}, {{6, 0x0}}, 64)},
       {{0, 1}, {0, 2}, {0, 3}, {1, 3}, {2, 3}, {3, 4}}},
      {"a write clears the readers",
       {transfer(3, {0x1000}, {{4, 0x0}}, 64), transfer(0, {0x0}, {{3, 0x1000}}, 64),
        transfer(1, {0x0}, {{3, 0x1000}}, 64)},
       {{0, 1}, {1, 2}}},
      {"own loopback write over own read",
       {transfer(1, {0x0}, {{2, 0x0}, {1, 0x80}}, 64), transfer(1, {0x100}, {{3, 0x0}}, 1)},
       {{0, 1}}},
      {"ranges that only touch",
       {transfer(0, {0x0}, {{3, 0x1000}}, 64), transfer(3, {0x1100}, {{4, 0x0}}, 64),
        transfer(3, {0x0F00}, {{4, 0x0}}, 64)},
       {{1, 2}}},
      {"same element, disjoint bytes", {transfer(0, {0x100}, {{3, 0x0}}, 1), transfer(3, {0x3FFC}, {{4, 0x0}}, 1)}, {}},
      {"every repeat iteration is read",
       {transfer(1, {0x0, 0x2000}, {{2, 0x0}}, 16), transfer(0, {0x0}, {{1, 0x2020}}, 1)},
       {{0, 1}}},
      {"a repeat outside the write",
       {transfer(1, {0x0, 0x2000}, {{2, 0x0}}, 16), transfer(0, {0x0}, {{1, 0x1000}}, 1)},
       {}},
      {"span ending at the top of memory",
       {transfer(0, {0x0}, {{1, 0xFFFFFFF0}}, 4), transfer(1, {0xFFFFFFF8}, {{2, 0x0}}, 2)},
       {{0, 1}}},
      {"only the segments an access spans",
       {transfer(0, {0x0}, {{1, 0x0}}, 64), transfer(2, {0x0}, {{1, 0x0}}, 32), transfer(1, {0x80}, {{3, 0x0}}, 32)},
       {{0, 1}, {0, 2}}},
      {"a read spanning several writers",
       {transfer(0, {0x0}, {{1, 0x0}}, 32), transfer(2, {0x0}, {{1, 0x80}}, 32), transfer(3, {0x0}, {{1, 0x200}}, 32),
        transfer(1, {0x40}, {{4, 0x0}}, 64)},
       {{0, 3}, {1, 3}}},
      {"dependencies on two tiles",
       {transfer(0, {0x0}, {{1, 0x0}, {2, 0x0}}, 64), transfer(1, {0x0}, {{2, 0x40}}, 64)},
       {{0, 1}}},
  };
  for (const DependencyCase& c : cases) EXPECT_EQ(memory_dependencies(c.transfers, 8), c.expected) << c.name;
}

TEST(MemoryDependenciesDeathTest, TileBeyondTheTileCount) {
  const std::vector<PendingTransfer> pending = {transfer(0, {0x0}, {{4, 0x0}}, 1)};
  EXPECT_DEATH((void)memory_dependencies(pending, 4), "below the tile count");
}

// ---------------------------------------------------------------------------
// Timed check

struct Window {
  std::uint16_t tile;
  bool send;  // a read window; a write window otherwise
  std::uint32_t address;
  std::uint32_t words;
  std::uint32_t start_cycle;
  std::uint32_t end_cycle;
};

std::vector<TileMemorySchedule> schedules(std::size_t tiles, const std::vector<Window>& windows) {
  std::vector<TileMemorySchedule> memory(tiles);
  for (const Window& w : windows) {
    MemoryAccess access{span_memory_elements(w.address, w.words), w.start_cycle, w.end_cycle};
    if (w.send) {
      memory[w.tile].add_send(std::move(access));
    } else {
      memory[w.tile].add_receive(std::move(access));
    }
  }
  return memory;
}

exchange::PhaseTransferTiming timing(std::uint32_t send_start, std::uint32_t send_memory_end,
                                     std::vector<std::pair<std::uint32_t, std::uint32_t>> receives) {
  exchange::PhaseTransferTiming result;
  result.send_start = send_start;
  result.send_memory_end = send_memory_end;
  for (const auto& [start, end] : receives) {
    result.receive_starts.push_back(start);
    result.receive_bus_ends.push_back(end);
    result.receive_memory_ends.push_back(end);
  }
  return result;
}

struct OffsetCase {
  const char* name;
  std::vector<Window> windows;
  std::uint32_t delay;
};

TEST(MemoryHazardOffsetTest, Cases) {
  // Reads low element 0 and, in its second iteration, low element 2 on tile
  // 0; writes low element 1 on tile 1 and high element 0 on tile 2.
  const PendingTransfer placed = transfer(0, {0x0, 0x9000}, {{1, 0x4000}, {2, 0x80000}}, 1);
  const exchange::PhaseTransferTiming candidate = timing(20, 40, {{25, 45}, {30, 50}});
  constexpr bool kSend = true;
  constexpr bool kReceive = false;
  const OffsetCase cases[] = {
      {"nothing placed", {}, 0},
      {"write ending 7 cycles into the send", {{0, kReceive, 0x3FFC, 1, 10, 27}}, 7},
      {"write in the neighbouring element", {{0, kReceive, 0x4000, 1, 10, 27}}, 0},
      {"write on a later iteration's element", {{0, kReceive, 0xB000, 1, 10, 30}}, 10},
      {"write ending at the send start", {{0, kReceive, 0x0, 1, 5, 20}}, 0},
      {"write starting at the send memory end", {{0, kReceive, 0x0, 1, 40, 60}}, 0},
      {"write long before", {{0, kReceive, 0x0, 1, 0, 10}}, 0},
      {"write covering the send", {{0, kReceive, 0x0, 1, 0, 100}}, 80},
      {"write inside the send", {{0, kReceive, 0x0, 1, 25, 30}}, 10},
      {"latest of several writes", {{0, kReceive, 0x0, 1, 10, 27}, {0, kReceive, 0x0, 1, 15, 35}}, 15},
      {"latest write placed first", {{0, kReceive, 0x0, 1, 15, 35}, {0, kReceive, 0x0, 1, 10, 27}}, 15},
      {"a write spanning elements", {{0, kReceive, 0x7FFC, 2, 30, 44}}, 24},
      {"read against read", {{0, kSend, 0x0, 1, 10, 27}}, 0},
      {"read on a destination tile", {{1, kSend, 0x4100, 1, 0, 32}}, 7},
      {"write against write", {{1, kReceive, 0x4100, 1, 0, 32}}, 0},
      {"read in another element of a destination tile", {{1, kSend, 0x0, 1, 0, 32}}, 0},
      {"read on the second destination", {{2, kSend, 0x87FFC, 1, 40, 60}}, 30},
      {"read in the next high element", {{2, kSend, 0x88000, 1, 40, 60}}, 0},
      {"read ending at the receive start", {{2, kSend, 0x80000, 1, 0, 30}}, 0},
      {"largest of source and destinations",
       {{0, kReceive, 0x0, 1, 10, 27}, {1, kSend, 0x4000, 1, 0, 32}, {2, kSend, 0x80000, 1, 40, 60}},
       30},
      {"windows on other tiles", {{3, kReceive, 0x0, 1, 0, 100}, {3, kSend, 0x4000, 1, 0, 100}}, 0},
  };
  for (const OffsetCase& c : cases) {
    const std::vector<TileMemorySchedule> memory = schedules(4, c.windows);
    EXPECT_EQ(memory_safe_transfer_offset(memory, placed, candidate), c.delay) << c.name;
  }
}

TEST(MemoryHazardOffsetTest, DestinationsBeyondTheTimingAreIgnored) {
  const PendingTransfer placed = transfer(0, {0x0}, {{1, 0x4000}, {2, 0x80000}}, 1);
  const std::vector<TileMemorySchedule> memory = schedules(3, {{2, true, 0x80000, 1, 40, 60}});
  EXPECT_EQ(memory_safe_transfer_offset(memory, placed, timing(20, 40, {{25, 45}, {30, 50}})), 30U);
  EXPECT_EQ(memory_safe_transfer_offset(memory, placed, timing(20, 40, {{25, 45}})), 0U);
}

TEST(MemoryHazardOffsetTest, LoopbackDestinationMeetsTheSourceTilesReads) {
  const PendingTransfer placed = transfer(0, {0x0}, {{1, 0x0}, {0, 0x10000}}, 1);
  const std::vector<TileMemorySchedule> memory = schedules(2, {{0, true, 0x10004, 1, 0, 35}});
  EXPECT_EQ(memory_safe_transfer_offset(memory, placed, timing(20, 40, {{25, 45}, {30, 50}})), 5U);
}

TEST(MemoryHazardScheduleTest, KeepsWindowsInPlacementOrder) {
  TileMemorySchedule schedule;
  const MemoryAccess first{{{false, 1}}, 50, 60};
  const MemoryAccess second{{{false, 1}}, 10, 70};  // makes the first redundant for the index
  const MemoryAccess third{{{false, 0}, {true, 2}}, 0, 5};
  schedule.add_send(first);
  schedule.add_send(second);
  schedule.add_receive(third);
  EXPECT_EQ(schedule.sends(), (std::vector<MemoryAccess>{first, second}));
  EXPECT_EQ(schedule.receives(), std::vector<MemoryAccess>{third});
}

// The timed check as a plain scan over every window of the tiles involved.
bool share_element(const std::vector<ExchangeMemoryElement>& a, const std::vector<ExchangeMemoryElement>& b) {
  return std::any_of(a.begin(), a.end(),
                     [&](const ExchangeMemoryElement& e) { return std::find(b.begin(), b.end(), e) != b.end(); });
}

std::uint32_t scanned_delay(const std::vector<MemoryAccess>& windows,
                            const std::vector<ExchangeMemoryElement>& elements, std::uint32_t start,
                            std::uint32_t end) {
  std::uint32_t delay = 0;
  for (const MemoryAccess& m : windows) {
    if (start < m.end_cycle && m.start_cycle < end && share_element(m.elements, elements)) {
      delay = std::max(delay, m.end_cycle > start ? m.end_cycle - start : 0U);
    }
  }
  return delay;
}

std::uint32_t scanned_offset(const std::vector<TileMemorySchedule>& memory, const PendingTransfer& t,
                             const exchange::PhaseTransferTiming& timing) {
  std::uint32_t delay =
      scanned_delay(memory[t.source].receives(), t.source_elements, timing.send_start, timing.send_memory_end);
  for (std::size_t i = 0; i < std::min(t.destinations.size(), timing.receive_starts.size()); ++i) {
    const auto& [tile, address] = t.destinations[i];
    delay = std::max(delay, scanned_delay(memory[tile].sends(), span_memory_elements(address, t.words),
                                          timing.receive_starts[i], timing.receive_memory_ends[i]));
  }
  return delay;
}

TEST(MemoryHazardOffsetTest, IndexedCheckMatchesAPlainScan) {
  constexpr std::uint16_t kTileCount = 3;
  oxu::testing::SplitMix64 random(20240601);
  const auto below = [&](std::uint32_t bound) {
    return random.below(bound);
  };
  // Addresses within low elements 0 to 5 and high elements 0 to 2, so that
  // windows share elements often; spans of up to 0x2000 words cross into the
  // next element.
  const auto address = [&]() {
    const std::uint32_t base =
        below(2) == 0 ? below(6) * kLowElementBytes : kHighMemoryBase + below(3) * kHighElementBytes;
    return base + 4 * below(kLowElementBytes / 4);
  };
  const auto words = [&]() { return below(4) == 0 ? 1 + below(0x2000) : 1 + below(64); };
  // Cycles from a narrow range, so that windows overlap, start together and
  // end together often; some windows are empty or reversed.
  const auto window = [&]() {
    const std::uint32_t start = below(300);
    const std::uint32_t end = below(8) == 0 ? below(300) : start + below(60);
    return std::pair{start, end};
  };

  for (int round = 0; round < 25; ++round) {
    std::vector<TileMemorySchedule> memory(kTileCount);
    std::vector<std::vector<MemoryAccess>> sends(kTileCount);
    std::vector<std::vector<MemoryAccess>> receives(kTileCount);
    for (int step = 0; step < 300; ++step) {
      const auto tile = static_cast<std::uint16_t>(below(kTileCount));
      std::vector<ExchangeMemoryElement> elements;
      for (std::uint32_t repeat = below(3); repeat <= 2; ++repeat) {
        const auto span = span_memory_elements(address(), words());
        elements.insert(elements.end(), span.begin(), span.end());
      }
      std::sort(elements.begin(), elements.end());
      elements.erase(std::unique(elements.begin(), elements.end()), elements.end());
      const auto [start, end] = window();
      MemoryAccess access{elements, start, end};
      if (below(2) == 0) {
        sends[tile].push_back(access);
        memory[tile].add_send(std::move(access));
      } else {
        receives[tile].push_back(access);
        memory[tile].add_receive(std::move(access));
      }

      for (int query = 0; query < 4; ++query) {
        std::vector<std::uint32_t> sources(1 + below(3));
        for (std::uint32_t& source : sources) source = address();
        Destinations destinations;
        for (std::uint32_t d = below(kTileCount); d < kTileCount; ++d) {
          destinations.emplace_back(static_cast<std::uint16_t>(d), address());
        }
        const PendingTransfer candidate = transfer(static_cast<std::uint16_t>(below(kTileCount)), std::move(sources),
                                                   std::move(destinations), words());
        const auto [send_start, send_end] = window();
        std::vector<std::pair<std::uint32_t, std::uint32_t>> receive_windows(candidate.destinations.size());
        for (auto& receive : receive_windows) receive = window();
        const exchange::PhaseTransferTiming candidate_timing = timing(send_start, send_end, receive_windows);
        ASSERT_EQ(memory_safe_transfer_offset(memory, candidate, candidate_timing),
                  scanned_offset(memory, candidate, candidate_timing))
            << "round " << round << " step " << step;
      }
    }
    for (std::uint16_t tile = 0; tile < kTileCount; ++tile) {
      EXPECT_EQ(memory[tile].sends(), sends[tile]);
      EXPECT_EQ(memory[tile].receives(), receives[tile]);
    }
  }
}

}  // namespace
}  // namespace oxu::codegen
