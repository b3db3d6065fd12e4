// Cost of the deferred earliest-offset search on a sender tile that already
// holds many sender rows. The overlap scan is a binary search over the
// sorted rows, so the cost must stay flat as the rows grow.

#include <benchmark/benchmark.h>

#include "oxu/exchange/phase_program_builder.hpp"

namespace oxu::exchange {
namespace {

constexpr std::uint16_t kTiles = 64;
constexpr std::uint32_t kCount = 16;

MulticastExchange point_rows(const Topology& topology, std::uint16_t sender, std::uint16_t receiver) {
  const auto exchange = topology.point_to_point(sender, receiver, kCount);
  const auto row = finalize_point_receiver(exchange->source_patch_index, exchange->receiver, topology.tiles[sender]);
  return MulticastExchange{{*row}, exchange->sender};
}

Topology prefix_topology() {
  const auto all = Topology::m72().tiles;
  return *Topology::create({all.begin(), all.begin() + kTiles});
}

// Tile 0 sends `rows` point-to-point transfers, round robin to tiles 1..63,
// each placed at its earliest offset after the previous one.
PhaseProgramBuilder busy_sender(const Topology& topology, std::size_t rows) {
  PhaseProgramBuilder builder(kTiles);
  std::uint32_t start = 0;
  for (std::size_t i = 0; i < rows; ++i) {
    const auto receiver = static_cast<std::uint16_t>(1 + i % (kTiles - 1));
    const MulticastExchange exchange = point_rows(topology, 0, receiver);
    const std::uint16_t receivers[] = {receiver};
    const auto offset = builder.earliest_transfer_offset_deferred(0, {}, receivers, exchange, kCount, start);
    const auto appended = builder.append_transfer_at(0, {}, receivers, exchange, *offset, kCount);
    if (!appended) std::abort();
    start = *offset;
  }
  return builder;
}

void BM_EarliestOffsetOnBusySender(benchmark::State& state) {
  const Topology topology = prefix_topology();
  const auto rows = static_cast<std::size_t>(state.range(0));
  const PhaseProgramBuilder builder = busy_sender(topology, rows);
  const MulticastExchange exchange = point_rows(topology, 0, 1);
  const std::uint16_t receivers[] = {1};
  // The scheduler searches from the transfer's ready cycle; here, a point a
  // few rows before the end of the tile's sends.
  const std::uint32_t start = builder.tiles()[0].senders()[rows - 8].start_cycle;
  for (auto _ : state) {
    benchmark::DoNotOptimize(builder.earliest_transfer_offset_deferred(0, {}, receivers, exchange, kCount, start));
  }
  state.counters["sender_rows"] = static_cast<double>(builder.tiles()[0].senders().size());
}
BENCHMARK(BM_EarliestOffsetOnBusySender)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace oxu::exchange
