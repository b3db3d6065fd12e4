// Arbitrary bytes as one small, valid exchange phase (1 to 16 tiles, 1 to 8
// transfers of every width and shape), scheduled twice and checked.
//
// The bytes are read from the front as choices within the snapshot rules, so
// nearly every input describes a phase that passes snapshot validation; an
// exhausted input reads as zeros. Per input:
//   byte      tile count 1..16 (a single tile admits no transfer: empty phase)
//   byte      transfer count 1..8
//   4 x u16   a phase-wide pool of addresses that transfers share
//   per transfer: its shape, source tile, word count, Repeat source addresses,
//   destination tiles and their addresses.
// Shapes: point-to-point, multicast, loopback multicast (one destination on
// the source tile, in memory elements apart from every source span), Paired64
// to complete tile pairs, Paired64 to arbitrary (mostly incomplete) pairs, and
// Paired64 from the last tile of an odd tile count, whose partner lies
// outside the phase.
//
// A scheduling error is an accepted outcome. A phase that schedules must pass
// the invariant checker, and a second run must give the same programs,
// activities and horizon; either failure prints the snapshot and aborts.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "oxu/codegen/invariant_checker.hpp"
#include "oxu/codegen/scheduling_pipeline.hpp"
#include "oxu/codegen/snapshot.hpp"

namespace {

using oxu::codegen::ExchangeItemWidth;
using oxu::codegen::ExchangeScheduleDestination;
using oxu::codegen::ExchangeScheduleProblem;
using oxu::codegen::ExchangeScheduleSnapshot;
using oxu::codegen::ExchangeScheduleTransfer;
using oxu::codegen::PhysicalExchangePhase;

constexpr std::uint16_t kMaxTiles = 16;
constexpr std::uint32_t kMaxTransfers = 8;
constexpr std::uint32_t kMaxWords = 4148;
constexpr std::uint32_t kMaxPairedItems = kMaxWords / 2;
constexpr std::uint32_t kMinPairedItems = 64;
constexpr std::uint32_t kMaxSourceAddresses = 4;
constexpr std::size_t kAddressPoolSize = 4;
// One past the last byte a receive pointer can name; ordinary payloads stay below it.
constexpr std::uint64_t kMemoryEnd = 0x100000;
constexpr std::uint64_t kAddressSpaceEnd = std::uint64_t{1} << 32;

// Memory elements: 16 KiB below 0x80000, 32 KiB from there on.
constexpr std::uint64_t kHighBase = 0x80000;
constexpr std::uint64_t kLowElementBytes = 0x4000;
constexpr std::uint64_t kHighElementBytes = 0x8000;
constexpr std::uint64_t kLowElements = kHighBase / kLowElementBytes;
constexpr std::uint64_t kElementsInMemory = kLowElements + (kMemoryEnd - kHighBase) / kHighElementBytes;

// Hands out the input bytes in order; past the end every byte reads as 0.
class ByteReader {
 public:
  ByteReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  std::uint8_t byte() { return position_ < size_ ? data_[position_++] : std::uint8_t{0}; }
  std::uint16_t u16() {
    const std::uint16_t low = byte();
    return static_cast<std::uint16_t>(low | (byte() << 8));
  }
  std::uint32_t u32() {
    const std::uint32_t low = u16();
    return low | (std::uint32_t{u16()} << 16);
  }

  // A value in 0..bound-1; bound must be positive.
  std::uint32_t below(std::uint32_t bound) {
    if (bound <= 0x100) return byte() % bound;
    if (bound <= 0x10000) return u16() % bound;
    return u32() % bound;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t position_ = 0;
};

std::uint64_t element_of(std::uint64_t address) {
  if (address < kHighBase) return address / kLowElementBytes;
  return kLowElements + (address - kHighBase) / kHighElementBytes;
}

std::uint64_t element_start(std::uint64_t element) {
  if (element < kLowElements) return element * kLowElementBytes;
  return kHighBase + (element - kLowElements) * kHighElementBytes;
}

std::uint64_t span_bytes(std::uint32_t words) { return std::uint64_t{4} * words; }

// Whether the byte spans [a, a + 4w) and [b, b + 4w) touch a common memory element.
bool spans_share_element(std::uint64_t a, std::uint64_t b, std::uint32_t words) {
  const std::uint64_t bytes = span_bytes(words);
  return element_of(a) <= element_of(b + bytes - 1) && element_of(b) <= element_of(a + bytes - 1);
}

std::uint32_t align_down(std::uint64_t address, std::uint32_t alignment) {
  return static_cast<std::uint32_t>(address - address % alignment);
}

// A payload address for a span of `words`: mostly an entry of the shared pool
// (exact, or a little past it), else anywhere in tile memory, and rarely
// anywhere in the address space where the span still ends at or below 2^32.
std::uint32_t draw_address(ByteReader& reader, const std::array<std::uint32_t, kAddressPoolSize>& pool,
                           std::uint32_t words, std::uint32_t alignment) {
  const std::uint8_t selector = reader.byte();
  if (selector == 0xFF) {
    const std::uint64_t last = kAddressSpaceEnd - span_bytes(words);
    return align_down(reader.u32() % (last + 1), alignment);
  }
  std::uint64_t address = 0;
  if (selector < 80) {
    address = pool[selector % kAddressPoolSize];
  } else if (selector < 130) {
    address = pool[selector % kAddressPoolSize] + std::uint64_t{reader.byte()} * alignment;
  } else {
    address = std::uint64_t{reader.u16()} * 16;
  }
  return align_down(std::min(address, kMemoryEnd - span_bytes(words)), alignment);
}

// Word counts of a Word32 payload: edges of the row encodings, short ones, any.
std::uint32_t draw_word32_count(ByteReader& reader) {
  static constexpr std::array<std::uint32_t, 24> kEdges{1,  2,   3,   4,   5,   6,    7,    8,
                                                        51, 52,  53,  63,  64,  65,   66,   127,
                                                        128, 129, 256, 1024, 4095, 4096, 4097, kMaxWords};
  const std::uint8_t selector = reader.byte();
  if (selector < 64) return kEdges[selector % kEdges.size()];
  if (selector < 192) return 1 + reader.byte() % 128;
  return 1 + reader.u16() % kMaxWords;
}

// Word counts of a Paired64 payload: twice an item count of 64..2074.
std::uint32_t draw_paired_word_count(ByteReader& reader) {
  static constexpr std::array<std::uint32_t, 12> kItemEdges{
      kMinPairedItems, 65, 66, 67, 100, 127, 128, 129, 1024, 2048, kMaxPairedItems - 1, kMaxPairedItems};
  const std::uint8_t selector = reader.byte();
  std::uint32_t items = 0;
  if (selector < 64) {
    items = kItemEdges[selector % kItemEdges.size()];
  } else if (selector < 192) {
    items = kMinPairedItems + reader.byte();
  } else {
    items = kMinPairedItems + reader.u16() % (kMaxPairedItems - kMinPairedItems + 1);
  }
  return 2 * items;
}

// `count` distinct entries of `candidates`, chosen and ordered by the input.
std::vector<std::uint16_t> pick(ByteReader& reader, std::vector<std::uint16_t> candidates, std::size_t count) {
  count = std::min(count, candidates.size());
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t j = i + reader.below(static_cast<std::uint32_t>(candidates.size() - i));
    std::swap(candidates[i], candidates[j]);
  }
  candidates.resize(count);
  return candidates;
}

std::vector<std::uint16_t> tiles_except(std::uint16_t tile_count, std::uint16_t excluded) {
  std::vector<std::uint16_t> tiles;
  for (std::uint16_t tile = 0; tile < tile_count; ++tile) {
    if (tile != excluded) tiles.push_back(tile);
  }
  return tiles;
}

// 1..count, smaller ones more often.
std::size_t draw_count(ByteReader& reader, std::size_t count) {
  const std::uint8_t selector = reader.byte();
  if (selector < 128) return 1 + selector % std::min<std::size_t>(count, 2);
  return 1 + selector % count;
}

// Logical tiles 2k and 2k + 1 are partners; with an odd tile count the last
// tile's partner lies outside the phase.
std::uint16_t partner_of(std::uint16_t tile) { return static_cast<std::uint16_t>(tile ^ 1U); }

// Destinations to whole tile pairs other than `source`'s, each pair listed
// together or, on request of the input, the whole list shuffled.
std::vector<std::uint16_t> complete_pair_destinations(ByteReader& reader, std::uint16_t pair_tiles,
                                                      std::uint16_t source) {
  std::vector<std::uint16_t> pairs;
  for (std::uint16_t first = 0; first + 1 < pair_tiles; first = static_cast<std::uint16_t>(first + 2)) {
    if (first != (source & ~1U)) pairs.push_back(first);
  }
  const std::vector<std::uint16_t> chosen = pick(reader, pairs, draw_count(reader, pairs.size()));
  const std::uint8_t layout = reader.byte();
  std::vector<std::uint16_t> tiles;
  for (std::size_t i = 0; i < chosen.size(); ++i) {
    const bool swapped = ((layout >> (i % 7)) & 1U) != 0;
    tiles.push_back(swapped ? partner_of(chosen[i]) : chosen[i]);
    tiles.push_back(swapped ? chosen[i] : partner_of(chosen[i]));
  }
  if ((layout & 0x80U) != 0) tiles = pick(reader, tiles, tiles.size());
  return tiles;
}

enum class Shape : std::uint8_t {
  PointToPoint,
  Multicast,
  Loopback,
  PairedComplete,
  PairedIncomplete,
  PairedPartnerOutside,
};

Shape draw_shape(ByteReader& reader, std::uint16_t tile_count) {
  // Shapes that fail to schedule (incomplete pairs, a partner outside the
  // phase) are rare, so that most phases of several transfers schedule.
  const std::uint8_t selector = reader.byte() % 32;
  Shape shape = Shape::PointToPoint;
  if (selector < 8) {
    shape = Shape::PointToPoint;
  } else if (selector < 14) {
    shape = Shape::Multicast;
  } else if (selector < 19) {
    shape = Shape::Loopback;
  } else if (selector < 30) {
    shape = Shape::PairedComplete;
  } else if (selector < 31) {
    shape = Shape::PairedIncomplete;
  } else {
    shape = Shape::PairedPartnerOutside;
  }
  // Fall back to a shape that the tile count admits.
  if (shape == Shape::PairedPartnerOutside && tile_count % 2 == 0) shape = Shape::PairedComplete;
  if (shape == Shape::PairedComplete && tile_count < 4) shape = Shape::Multicast;
  if (shape == Shape::Multicast && tile_count < 3) shape = Shape::PointToPoint;
  return shape;
}

// The address of a destination on the source tile: the drawn one when its
// span shares no memory element with any source span, else the first element
// start, from a drawn element on, whose span shares none. Nothing when none
// fits in tile memory.
std::optional<std::uint32_t> loopback_address(ByteReader& reader, std::uint32_t drawn,
                                              const std::vector<std::uint32_t>& sources, std::uint32_t words) {
  const auto clear = [&](std::uint64_t address) {
    if (address + span_bytes(words) > kMemoryEnd) return false;
    return std::none_of(sources.begin(), sources.end(),
                        [&](std::uint32_t source) { return spans_share_element(source, address, words); });
  };
  if (clear(drawn)) return drawn;
  const std::uint64_t first = reader.below(static_cast<std::uint32_t>(kElementsInMemory));
  for (std::uint64_t step = 0; step < kElementsInMemory; ++step) {
    const std::uint64_t address = element_start((first + step) % kElementsInMemory);
    if (clear(address)) return static_cast<std::uint32_t>(address);
  }
  return std::nullopt;
}

ExchangeScheduleTransfer draw_transfer(ByteReader& reader, std::uint16_t tile_count,
                                       const std::array<std::uint32_t, kAddressPoolSize>& pool) {
  const Shape shape = draw_shape(reader, tile_count);
  const bool paired = shape == Shape::PairedComplete || shape == Shape::PairedIncomplete ||
                      shape == Shape::PairedPartnerOutside;

  ExchangeScheduleTransfer transfer;
  transfer.width = paired ? ExchangeItemWidth::Paired64 : ExchangeItemWidth::Word32;
  const std::uint32_t alignment = paired ? 8 : 4;
  transfer.words = paired ? draw_paired_word_count(reader) : draw_word32_count(reader);

  // Complete pairs need the source's own partner inside the phase.
  const std::uint16_t pair_tiles = static_cast<std::uint16_t>(tile_count & ~1U);
  if (shape == Shape::PairedPartnerOutside) {
    transfer.source = static_cast<std::uint16_t>(tile_count - 1);
  } else if (shape == Shape::PairedComplete) {
    transfer.source = static_cast<std::uint16_t>(reader.below(pair_tiles));
  } else {
    transfer.source = static_cast<std::uint16_t>(reader.below(tile_count));
  }

  const std::uint8_t repeats = reader.byte();
  const std::uint32_t source_count = repeats < 160 ? 1 : 2 + repeats % (kMaxSourceAddresses - 1);
  for (std::uint32_t i = 0; i < source_count; ++i) {
    transfer.source_addresses.push_back(draw_address(reader, pool, transfer.words, alignment));
  }

  const std::vector<std::uint16_t> others = tiles_except(tile_count, transfer.source);
  std::vector<std::uint16_t> tiles;
  switch (shape) {
    case Shape::PointToPoint:
      tiles = pick(reader, others, 1);
      break;
    case Shape::Multicast:
      tiles = pick(reader, others, 2 + reader.below(static_cast<std::uint32_t>(others.size() - 1)));
      break;
    case Shape::Loopback:
      tiles = pick(reader, others, draw_count(reader, others.size()));
      tiles.insert(tiles.begin() + reader.below(static_cast<std::uint32_t>(tiles.size() + 1)), transfer.source);
      break;
    case Shape::PairedComplete:
      tiles = complete_pair_destinations(reader, pair_tiles, transfer.source);
      break;
    case Shape::PairedPartnerOutside:
      tiles = complete_pair_destinations(reader, static_cast<std::uint16_t>(tile_count - 1), transfer.source);
      break;
    case Shape::PairedIncomplete:
      tiles = pick(reader, others, draw_count(reader, std::min<std::size_t>(others.size(), 6)));
      break;
  }

  for (const std::uint16_t tile : tiles) {
    std::uint32_t address = draw_address(reader, pool, transfer.words, alignment);
    if (tile == transfer.source) {
      const auto separate = loopback_address(reader, address, transfer.source_addresses, transfer.words);
      // Without room beside the source spans the loopback destination is dropped.
      if (!separate) continue;
      address = *separate;
    }
    transfer.destinations.push_back(ExchangeScheduleDestination{tile, address});
  }
  return transfer;
}

ExchangeScheduleSnapshot snapshot_from_bytes(const std::uint8_t* data, std::size_t size) {
  ByteReader reader(data, size);
  const auto tile_count = static_cast<std::uint16_t>(1 + reader.byte() % kMaxTiles);
  const std::uint32_t transfer_count = 1 + reader.byte() % kMaxTransfers;
  std::array<std::uint32_t, kAddressPoolSize> pool{};
  for (std::uint32_t& address : pool) address = std::uint32_t{reader.u16()} * 16;

  ExchangeScheduleProblem problem;
  // A single tile has nobody to send to: its only valid phase is empty.
  if (tile_count > 1) {
    for (std::uint32_t i = 0; i < transfer_count; ++i) {
      problem.transfers.push_back(draw_transfer(reader, tile_count, pool));
    }
  }
  return ExchangeScheduleSnapshot{oxu::codegen::kSnapshotSchemaVersion, tile_count, {std::move(problem)}};
}

// The snapshot as the reader accepts it, one transfer per line.
std::string snapshot_json(const ExchangeScheduleSnapshot& snapshot) {
  std::string out;
  auto sink = std::back_inserter(out);
  fmt::format_to(sink, "{{\"schema_version\": {}, \"tile_count\": {}, \"phases\": [", snapshot.schema_version,
                 snapshot.tile_count);
  for (std::size_t p = 0; p < snapshot.phases.size(); ++p) {
    const ExchangeScheduleProblem& problem = snapshot.phases[p];
    fmt::format_to(sink, "{}\n  {{\"phase\": {}, \"transfers\": [", p == 0 ? "" : ",", problem.phase);
    for (std::size_t t = 0; t < problem.transfers.size(); ++t) {
      const ExchangeScheduleTransfer& transfer = problem.transfers[t];
      fmt::format_to(sink, "{}\n    {{\"source\": {}, \"source_addresses\": [", t == 0 ? "" : ",", transfer.source);
      for (std::size_t a = 0; a < transfer.source_addresses.size(); ++a) {
        fmt::format_to(sink, "{}{}", a == 0 ? "" : ", ", transfer.source_addresses[a]);
      }
      out += "], \"destinations\": [";
      for (std::size_t d = 0; d < transfer.destinations.size(); ++d) {
        fmt::format_to(sink, "{}{{\"tile\": {}, \"address\": {}}}", d == 0 ? "" : ", ",
                       transfer.destinations[d].tile, transfer.destinations[d].address);
      }
      fmt::format_to(sink, "], \"words\": {}, \"width\": \"{}\"}}", transfer.words,
                     transfer.width == ExchangeItemWidth::Paired64 ? "Paired64" : "Word32");
    }
    out += "]}";
  }
  out += "\n]}\n";
  return out;
}

[[noreturn]] void fail(std::string_view what, const ExchangeScheduleSnapshot& snapshot) {
  fmt::print(stderr, "schedule_fuzz: {}\nsnapshot:\n{}", what, snapshot_json(snapshot));
  std::fflush(stderr);
  std::abort();
}

// The first field in which two runs on the same problem differ, or empty.
std::string_view first_difference(const PhysicalExchangePhase& first, const PhysicalExchangePhase& second) {
  if (first.programs != second.programs) return "programs";
  if (first.activities != second.activities) return "activities";
  if (first.horizon_cycles != second.horizon_cycles) return "horizon";
  return {};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ExchangeScheduleSnapshot snapshot = snapshot_from_bytes(data, size);
  if (!snapshot.validate()) return 0;
  const ExchangeScheduleProblem& problem = snapshot.phases.front();

  const auto first = oxu::codegen::schedule_exchange_problem(snapshot.tile_count, problem);
  const auto second = oxu::codegen::schedule_exchange_problem(snapshot.tile_count, problem);
  if (first.has_value() != second.has_value()) fail("two runs disagree on whether the phase schedules", snapshot);
  if (!first) {
    if (!(first.error() == second.error())) {
      fail(fmt::format("two runs fail differently: {} / {}", first.error().message(), second.error().message()),
           snapshot);
    }
    return 0;
  }

  if (const auto checked = oxu::codegen::validate_exchange_schedule(snapshot.tile_count, problem, *first); !checked) {
    fail(fmt::format("scheduled phase fails the invariant checker: {}", checked.error().message()), snapshot);
  }
  if (const std::string_view field = first_difference(*first, *second); !field.empty()) {
    fail(fmt::format("two runs give different {}", field), snapshot);
  }
  return 0;
}
