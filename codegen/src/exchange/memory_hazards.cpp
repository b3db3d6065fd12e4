#include "oxu/codegen/memory_hazards.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <optional>

namespace oxu::codegen {
namespace {

[[noreturn]] void fatal(const char* message) {
  std::fputs(message, stderr);
  std::fputc('\n', stderr);
  std::abort();
}

// One byte range that one transfer reads or writes on one tile. The end is
// computed in 64 bits: a span may end exactly at 2^32.
struct TransferAccess {
  std::size_t transfer = 0;
  std::uint64_t start = 0;
  std::uint64_t end = 0;
  bool write = false;
};

// What one segment of a tile's memory has seen so far.
struct AccessFrontier {
  std::optional<std::size_t> last_writer;
  // Readers since the last write, in visiting order, never the same index
  // twice in a row.
  std::vector<std::size_t> readers;
};

std::size_t boundary_position(const std::vector<std::uint64_t>& boundaries, std::uint64_t value, const char* message) {
  const auto found = std::lower_bound(boundaries.begin(), boundaries.end(), value);
  if (found == boundaries.end() || *found != value) fatal(message);
  return static_cast<std::size_t>(found - boundaries.begin());
}

}  // namespace

void TileMemorySchedule::add_send(MemoryAccess access) {
  index_window(send_index_, access);
  sends_.push_back(std::move(access));
}

void TileMemorySchedule::add_receive(MemoryAccess access) {
  index_window(receive_index_, access);
  receives_.push_back(std::move(access));
}

std::uint32_t TileMemorySchedule::send_clash_delay(std::span<const ExchangeMemoryElement> elements,
                                                   std::uint32_t start_cycle, std::uint32_t end_cycle) const {
  return clash_delay(send_index_, elements, start_cycle, end_cycle);
}

std::uint32_t TileMemorySchedule::receive_clash_delay(std::span<const ExchangeMemoryElement> elements,
                                                      std::uint32_t start_cycle, std::uint32_t end_cycle) const {
  return clash_delay(receive_index_, elements, start_cycle, end_cycle);
}

void TileMemorySchedule::index_window(WindowIndex& index, const MemoryAccess& access) {
  const Step step{access.start_cycle, access.end_cycle};
  for (const ExchangeMemoryElement& element : access.elements) {
    auto slot = std::lower_bound(
        index.begin(), index.end(), element,
        [](const ElementWindows& entry, const ExchangeMemoryElement& key) { return entry.element < key; });
    if (slot == index.end() || slot->element != element) slot = index.insert(slot, ElementWindows{element, {}});
    std::vector<Step>& steps = slot->steps;

    // Redundant when a kept window starts no later and ends no earlier.
    const auto after = std::upper_bound(steps.begin(), steps.end(), step.start_cycle,
                                        [](std::uint32_t start, const Step& kept) { return start < kept.start_cycle; });
    if (after != steps.begin() && std::prev(after)->end_cycle >= step.end_cycle) continue;

    // The kept windows that start no earlier and end no later become
    // redundant; since ends rise with starts they form one run.
    const auto first = std::lower_bound(steps.begin(), steps.end(), step.start_cycle,
                                        [](const Step& kept, std::uint32_t start) { return kept.start_cycle < start; });
    auto last = first;
    while (last != steps.end() && last->end_cycle <= step.end_cycle) ++last;
    if (first == last) {
      steps.insert(first, step);
    } else {
      *first = step;
      steps.erase(std::next(first), last);
    }
  }
}

std::uint32_t TileMemorySchedule::clash_delay(const WindowIndex& index, std::span<const ExchangeMemoryElement> elements,
                                              std::uint32_t start_cycle, std::uint32_t end_cycle) {
  // A window overlaps [start_cycle, end_cycle) when it starts before
  // end_cycle and ends after start_cycle. Among the windows of an element
  // that start before end_cycle, the one with the largest end overlaps
  // exactly when any of them does, and its end is the one that counts.
  std::uint32_t delay = 0;
  for (const ExchangeMemoryElement& element : elements) {
    const auto slot = std::lower_bound(
        index.begin(), index.end(), element,
        [](const ElementWindows& entry, const ExchangeMemoryElement& key) { return entry.element < key; });
    if (slot == index.end() || slot->element != element) continue;
    const std::vector<Step>& steps = slot->steps;
    const auto beyond = std::lower_bound(steps.begin(), steps.end(), end_cycle,
                                         [](const Step& kept, std::uint32_t end) { return kept.start_cycle < end; });
    if (beyond == steps.begin()) continue;
    const std::uint32_t latest_end = std::prev(beyond)->end_cycle;
    if (latest_end > start_cycle) delay = std::max(delay, latest_end - start_cycle);
  }
  return delay;
}

MemoryDependencies memory_dependencies(std::span<const PendingTransfer> pending, std::uint16_t tile_count) {
  std::vector<std::vector<TransferAccess>> accesses(tile_count);
  for (std::size_t t = 0; t < pending.size(); ++t) {
    const PendingTransfer& transfer = pending[t];
    const std::uint64_t bytes = 4 * static_cast<std::uint64_t>(transfer.words);
    // The reads of a transfer come before its writes.
    if (transfer.source >= tile_count) fatal("transfer source tile is below the tile count");
    for (const std::uint32_t address : transfer.source_addresses) {
      accesses[transfer.source].push_back(TransferAccess{t, address, address + bytes, false});
    }
    for (const auto& [tile, address] : transfer.destinations) {
      if (tile >= tile_count) fatal("transfer destination tile is below the tile count");
      accesses[tile].push_back(TransferAccess{t, address, address + bytes, true});
    }
  }

  std::vector<std::pair<std::size_t, std::size_t>> pairs;
  std::vector<std::uint64_t> boundaries;
  std::vector<AccessFrontier> frontiers;
  std::vector<std::size_t> predecessors;
  for (const std::vector<TransferAccess>& tile_accesses : accesses) {
    if (tile_accesses.empty()) continue;
    boundaries.clear();
    for (const TransferAccess& access : tile_accesses) {
      boundaries.push_back(access.start);
      boundaries.push_back(access.end);
    }
    std::sort(boundaries.begin(), boundaries.end());
    boundaries.erase(std::unique(boundaries.begin(), boundaries.end()), boundaries.end());
    const std::size_t segments = boundaries.size() - 1;
    if (frontiers.size() < segments) frontiers.resize(segments);
    for (std::size_t s = 0; s < segments; ++s) {
      frontiers[s].last_writer.reset();
      frontiers[s].readers.clear();
    }

    for (const TransferAccess& access : tile_accesses) {
      const std::size_t first = boundary_position(boundaries, access.start, "access start is a boundary");
      const std::size_t end = boundary_position(boundaries, access.end, "access end is a boundary");
      const std::size_t t = access.transfer;
      predecessors.clear();
      for (std::size_t s = first; s < end; ++s) {
        AccessFrontier& frontier = frontiers[s];
        if (frontier.last_writer && *frontier.last_writer != t) predecessors.push_back(*frontier.last_writer);
        if (access.write) {
          for (const std::size_t reader : frontier.readers) {
            if (reader != t) predecessors.push_back(reader);
          }
          frontier.readers.clear();
          frontier.last_writer = t;
        } else if (frontier.readers.empty() || frontier.readers.back() != t) {
          frontier.readers.push_back(t);
        }
      }
      // An access spanning many segments meets the same predecessor many
      // times; keep each once before it joins the phase's pairs.
      std::sort(predecessors.begin(), predecessors.end());
      predecessors.erase(std::unique(predecessors.begin(), predecessors.end()), predecessors.end());
      for (const std::size_t earlier : predecessors) pairs.emplace_back(earlier, t);
    }
  }

  std::sort(pairs.begin(), pairs.end());
  pairs.erase(std::unique(pairs.begin(), pairs.end()), pairs.end());
  return MemoryDependencies(pairs.begin(), pairs.end());
}

std::uint32_t memory_safe_transfer_offset(std::span<const TileMemorySchedule> memory, const PendingTransfer& transfer,
                                          const exchange::PhaseTransferTiming& timing) {
  if (transfer.source >= memory.size()) fatal("transfer source tile has a memory schedule");
  // The send reads the source elements: it must not overlap a write held on
  // the source tile.
  std::uint32_t delay =
      memory[transfer.source].receive_clash_delay(transfer.source_elements, timing.send_start, timing.send_memory_end);
  // Each receive writes its destination span: it must not overlap a read
  // held on the destination tile.
  const std::size_t windows =
      std::min({transfer.destinations.size(), timing.receive_starts.size(), timing.receive_memory_ends.size()});
  for (std::size_t i = 0; i < windows; ++i) {
    const auto& [tile, address] = transfer.destinations[i];
    if (tile >= memory.size()) fatal("transfer destination tile has a memory schedule");
    const TileMemorySchedule& schedule = memory[tile];
    if (schedule.sends().empty()) continue;
    const std::vector<ExchangeMemoryElement> elements = span_memory_elements(address, transfer.words);
    delay =
        std::max(delay, schedule.send_clash_delay(elements, timing.receive_starts[i], timing.receive_memory_ends[i]));
  }
  return delay;
}

}  // namespace oxu::codegen
