// Cost of the memory hazard model at full-chip scale.
//
// BM_MemorySafeTransferOffset: one timed check of a transfer whose source
// tile holds N write windows and whose destination tile holds N read
// windows, laid out one after another over the phase as a long-lived tile
// accumulates them; the candidate sits near the end of the phase, where the
// scheduler places. BM_ScannedTransferOffset runs the same check as a plain
// scan over both window lists, for comparison. BM_RecordWindows is the cost
// of recording N windows on each of the two tiles. BM_MemoryDependencies
// derives the static dependencies of a phase of 1472 tiles and 30000
// transfers.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "oxu/codegen/memory_hazards.hpp"
#include "oxu/testing/split_mix.hpp"

namespace oxu::codegen {
namespace {

using Random = oxu::testing::SplitMix64;

// Tile memory of 624 KiB: 32 low elements and 4 high ones.
constexpr std::uint32_t kMemoryBytes = 0x9C000;
constexpr std::uint32_t kWindowStride = 150;  // cycles between window starts
constexpr std::uint32_t kWindowLength = 400;  // neighbouring windows overlap

// A word-aligned span of `words` inside tile memory.
std::uint32_t random_address(Random& random, std::uint32_t words) {
  return 4 * random.below((kMemoryBytes - 4 * words) / 4 + 1);
}

std::vector<MemoryAccess> windows(std::size_t count, std::uint64_t seed) {
  Random random(seed);
  std::vector<MemoryAccess> result;
  result.reserve(count);
  for (std::size_t k = 0; k < count; ++k) {
    const std::uint32_t words = 1 + random.below(1024);
    const auto start = static_cast<std::uint32_t>(k) * kWindowStride;
    result.push_back(
        MemoryAccess{span_memory_elements(random_address(random, words), words), start, start + kWindowLength});
  }
  return result;
}

struct Fixture {
  std::vector<TileMemorySchedule> memory = std::vector<TileMemorySchedule>(2);
  std::vector<PendingTransfer> candidates;
  std::vector<exchange::PhaseTransferTiming> timings;
};

// Tile 0 holds `count` write windows, tile 1 `count` read windows; 64
// candidate transfers from tile 0 to tile 1 lie in the last windows' cycles.
Fixture fixture(std::size_t count) {
  Fixture f;
  for (MemoryAccess& access : windows(count, 1)) f.memory[0].add_receive(std::move(access));
  for (MemoryAccess& access : windows(count, 2)) f.memory[1].add_send(std::move(access));
  Random random(3);
  const auto frontier = static_cast<std::uint32_t>(count) * kWindowStride;
  for (int k = 0; k < 64; ++k) {
    PendingTransfer t;
    t.source = 0;
    t.words = 1 + random.below(1024);
    t.source_addresses = {random_address(random, t.words)};
    t.destinations = {{1, random_address(random, t.words)}};
    t.refresh_source_elements();
    exchange::PhaseTransferTiming timing;
    timing.send_start = frontier - random.below(4 * kWindowStride);
    timing.send_memory_end = timing.send_start + 40 + t.words;
    timing.receive_starts = {timing.send_start + 20};
    timing.receive_memory_ends = {timing.send_memory_end + 20};
    timing.receive_bus_ends = timing.receive_memory_ends;
    f.candidates.push_back(std::move(t));
    f.timings.push_back(std::move(timing));
  }
  return f;
}

void BM_MemorySafeTransferOffset(benchmark::State& state) {
  const Fixture f = fixture(static_cast<std::size_t>(state.range(0)));
  std::size_t k = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(memory_safe_transfer_offset(f.memory, f.candidates[k], f.timings[k]));
    k = (k + 1) % f.candidates.size();
  }
}
BENCHMARK(BM_MemorySafeTransferOffset)->Arg(100)->Arg(10000);

bool share_element(const std::vector<ExchangeMemoryElement>& a, const std::vector<ExchangeMemoryElement>& b) {
  return std::any_of(a.begin(), a.end(),
                     [&](const ExchangeMemoryElement& e) { return std::binary_search(b.begin(), b.end(), e); });
}

std::uint32_t scanned_delay(const std::vector<MemoryAccess>& held, const std::vector<ExchangeMemoryElement>& elements,
                            std::uint32_t start, std::uint32_t end) {
  std::uint32_t delay = 0;
  for (const MemoryAccess& m : held) {
    if (start < m.end_cycle && m.start_cycle < end && share_element(m.elements, elements)) {
      delay = std::max(delay, m.end_cycle - start);
    }
  }
  return delay;
}

void BM_ScannedTransferOffset(benchmark::State& state) {
  const Fixture f = fixture(static_cast<std::size_t>(state.range(0)));
  std::size_t k = 0;
  for (auto _ : state) {
    const PendingTransfer& t = f.candidates[k];
    const exchange::PhaseTransferTiming& timing = f.timings[k];
    std::uint32_t delay =
        scanned_delay(f.memory[0].receives(), t.source_elements, timing.send_start, timing.send_memory_end);
    delay = std::max(delay, scanned_delay(f.memory[1].sends(), span_memory_elements(t.destinations[0].second, t.words),
                                          timing.receive_starts[0], timing.receive_memory_ends[0]));
    benchmark::DoNotOptimize(delay);
    k = (k + 1) % f.candidates.size();
  }
}
BENCHMARK(BM_ScannedTransferOffset)->Arg(100)->Arg(10000);

void BM_RecordWindows(benchmark::State& state) {
  const auto count = static_cast<std::size_t>(state.range(0));
  const std::vector<MemoryAccess> writes = windows(count, 1);
  const std::vector<MemoryAccess> reads = windows(count, 2);
  for (auto _ : state) {
    TileMemorySchedule source;
    TileMemorySchedule destination;
    for (const MemoryAccess& access : writes) source.add_receive(access);
    for (const MemoryAccess& access : reads) destination.add_send(access);
    benchmark::DoNotOptimize(source.receives().data());
    benchmark::DoNotOptimize(destination.sends().data());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * 2 * count));
}
BENCHMARK(BM_RecordWindows)->Arg(100)->Arg(10000);

// A full-chip phase: every tile sends about 20 transfers of 1 to 4148 words,
// a quarter of them with 2 or 3 Repeat iterations, to 1 to 4 destinations.
std::vector<PendingTransfer> full_chip_phase(std::uint16_t tiles, std::size_t transfers) {
  Random random(7);
  std::vector<PendingTransfer> pending;
  pending.reserve(transfers);
  for (std::size_t k = 0; k < transfers; ++k) {
    PendingTransfer t;
    t.index = static_cast<std::uint32_t>(k);
    t.source = static_cast<std::uint16_t>(random.below(tiles));
    t.words = random.below(8) == 0 ? 1 + random.below(4148) : 1 + random.below(256);
    const std::uint32_t repeats = random.below(4) == 0 ? 2 + random.below(2) : 1;
    for (std::uint32_t r = 0; r < repeats; ++r) t.source_addresses.push_back(random_address(random, t.words));
    const std::uint32_t destinations = 1 + random.below(4);
    while (t.destinations.size() < destinations) {
      const auto tile = static_cast<std::uint16_t>(random.below(tiles));
      if (tile == t.source) continue;
      if (std::any_of(t.destinations.begin(), t.destinations.end(), [&](const auto& d) { return d.first == tile; })) {
        continue;
      }
      t.destinations.emplace_back(tile, random_address(random, t.words));
    }
    t.refresh_source_elements();
    pending.push_back(std::move(t));
  }
  return pending;
}

void BM_MemoryDependencies(benchmark::State& state) {
  constexpr std::uint16_t kTiles = 1472;
  const std::vector<PendingTransfer> pending = full_chip_phase(kTiles, 30000);
  std::size_t pairs = 0;
  for (auto _ : state) {
    const MemoryDependencies dependencies = memory_dependencies(pending, kTiles);
    pairs = dependencies.size();
    benchmark::DoNotOptimize(pairs);
  }
  state.counters["pairs"] = static_cast<double>(pairs);
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * pending.size()));
}
BENCHMARK(BM_MemoryDependencies)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace oxu::codegen
