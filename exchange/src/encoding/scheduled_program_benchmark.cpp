// Cost of encoding one busy tile: 1,000 sender rows and 10,000 receive
// events from scratch, against re-encoding it after one more sender row and
// its receive events were appended at the end, resuming from the first
// encoding. The resumed encoding copies the chunk handles of the unchanged
// prefix and encodes only the new tail.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "oxu/exchange/encoding/scheduled_program.hpp"
#include "oxu/exchange/instruction_words.hpp"
#include "oxu/exchange/row_timing.hpp"

namespace oxu::exchange::encoding {
namespace {

constexpr std::uint32_t kBlockCycles = 400;
constexpr std::uint32_t kBlocks = 1000;

struct Tile {
  std::vector<ScheduledSenderRow> senders;
  std::vector<ReceiveEvent> events;
  std::uint32_t horizon = 0;
};

ReceiveEvent source(std::uint32_t cycle, std::uint32_t id) {
  return {.cycle = cycle, .word = xpic_control_word(0, id), .kind = ReceiveEventKind::Source};
}
ReceiveEvent teardown(std::uint32_t cycle) {
  return {.cycle = cycle, .word = xpic_control_word(0, kXpicTeardownValue), .kind = ReceiveEventKind::Teardown};
}
ReceiveEvent pointer(std::uint32_t cycle, std::uint32_t value) {
  return {.cycle = cycle, .word = pic_control_word(0, value), .kind = ReceiveEventKind::Pointer};
}

// One block of 400 cycles: a 100-word send with three controls riding on
// it (one pair), then seven timed controls (one pair) before the next send.
void append_block(Tile& tile, std::uint32_t block) {
  const std::uint32_t base = block * kBlockCycles;
  ExchangeRow row{};
  row[0] = kSyncWord;
  row[1] = explicit_send_word(64, 3) | (((block * 64) % 0x30000) << 3);
  row[2] = offset_send_word(36, 3);
  row[3] = kReturnWord;
  tile.senders.push_back({.words = row, .start_cycle = base + 10, .end_cycle = base + 110});
  const std::uint32_t id = block % 0x600;
  // During the send.
  for (const ReceiveEvent& event : {pointer(base + 50, 0x100), source(base + 50, id), teardown(base + 100)}) {
    tile.events.push_back(event);
  }
  // Between this send and the next.
  for (const ReceiveEvent& event :
       {source(base + 150, id), pointer(base + 152, 0x200), teardown(base + 200), pointer(base + 230, 0x300),
        source(base + 230, id), teardown(base + 300), pointer(base + 330, 0x400)}) {
    tile.events.push_back(event);
  }
  tile.horizon = base + kBlockCycles;
}

Tile busy_tile(std::uint32_t blocks) {
  Tile tile;
  tile.senders.reserve(blocks);
  tile.events.reserve(blocks * 10);
  for (std::uint32_t block = 0; block < blocks; ++block) append_block(tile, block);
  return tile;
}

void BM_EncodeFromScratch(benchmark::State& state) {
  const Tile tile = busy_tile(kBlocks);
  for (auto _ : state) {
    auto encoded = build_scheduled_program(tile.senders, tile.events, tile.horizon, {});
    if (!encoded) {
      state.SkipWithError(encoded.error().message().c_str());
      return;
    }
    benchmark::DoNotOptimize(encoded);
  }
  state.counters["words"] =
      static_cast<double>(build_scheduled_program(tile.senders, tile.events, tile.horizon, {})->words.size());
}
BENCHMARK(BM_EncodeFromScratch)->Unit(benchmark::kMicrosecond);

void BM_EncodeResumedAfterTailAppend(benchmark::State& state) {
  Tile tile = busy_tile(kBlocks);
  auto first = build_scheduled_program(tile.senders, tile.events, tile.horizon, {});
  if (!first) {
    state.SkipWithError(first.error().message().c_str());
    return;
  }
  const PreviousEncoding previous{.encoding = std::make_shared<const EncodedSchedule>(*std::move(first)),
                                  .sender_dirty_from = tile.senders.size(),
                                  .receive_dirty_from = tile.events.size()};
  append_block(tile, kBlocks);

  // The resumed words must be those of an encoding from scratch.
  const auto resumed = build_scheduled_program(tile.senders, tile.events, tile.horizon, previous);
  const auto scratch = build_scheduled_program(tile.senders, tile.events, tile.horizon, {});
  if (!resumed || !scratch || resumed->words.to_vector() != scratch->words.to_vector()) {
    state.SkipWithError("resumed encoding differs from the encoding from scratch");
    return;
  }
  state.counters["shared_chunks"] = static_cast<double>(resumed->words.shared_chunks_with(previous.encoding->words));

  for (auto _ : state) {
    auto encoded = build_scheduled_program(tile.senders, tile.events, tile.horizon, previous);
    benchmark::DoNotOptimize(encoded);
  }
}
BENCHMARK(BM_EncodeResumedAfterTailAppend)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace oxu::exchange::encoding
