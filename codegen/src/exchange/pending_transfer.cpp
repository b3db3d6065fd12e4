#include "oxu/codegen/pending_transfer.hpp"

#include <algorithm>
#include <cstddef>
#include <limits>
#include <set>

#include <fmt/format.h>

#include "oxu/exchange/result.hpp"
#include "oxu/exchange/topology.hpp"

namespace oxu::codegen {
namespace {

// One past the last byte of a span must not pass 2^32.
constexpr std::uint64_t kAddressSpaceEnd = std::uint64_t{1} << 32;

bool span_fits(std::uint32_t address, std::uint32_t words) {
  return std::uint64_t{address} + 4 * std::uint64_t{words} <= kAddressSpaceEnd;
}

std::uint32_t alignment_of(ExchangeItemWidth width) { return width == ExchangeItemWidth::Paired64 ? 8 : 4; }

// Checks one snapshot transfer and builds its pending form.
std::expected<PendingTransfer, ExchangeLoweringError> pending_from_transfer(const ExchangeScheduleTransfer& transfer,
                                                                            std::uint32_t phase, std::size_t t,
                                                                            std::uint16_t tile_count) {
  const auto invalid = [&](std::string detail) {
    return std::unexpected(
        ExchangeLoweringError::invalid_snapshot(fmt::format("phase {} transfer {} {}", phase, t, detail)));
  };
  const bool paired = transfer.width == ExchangeItemWidth::Paired64;
  const std::uint32_t alignment = alignment_of(transfer.width);

  if (transfer.source >= tile_count) {
    return invalid(fmt::format("has source tile {} outside 0..{}", transfer.source, tile_count));
  }
  if (transfer.words < 1 || transfer.words > kMaxTransferWords) {
    return invalid(fmt::format("has invalid word count {}", transfer.words));
  }
  if (paired && (transfer.words < kMinPairedWords || transfer.words % 2 != 0)) {
    return invalid(fmt::format("has invalid {}-word paired payload", transfer.words));
  }
  if (transfer.source_addresses.empty()) return invalid("has no source addresses");
  for (const std::uint32_t address : transfer.source_addresses) {
    if (address % alignment != 0) return invalid(fmt::format("has unaligned source address {:#x}", address));
    if (!span_fits(address, transfer.words)) return std::unexpected(ExchangeLoweringError::overflow());
  }
  if (transfer.destinations.empty()) return invalid("has no destinations");

  PendingTransfer pending;
  pending.destinations.reserve(transfer.destinations.size());
  std::set<std::uint16_t> seen_tiles;
  for (const ExchangeScheduleDestination& destination : transfer.destinations) {
    const auto invalid_tile = [&] { return invalid(fmt::format("has invalid destination tile {}", destination.tile)); };
    if (destination.tile >= tile_count) return invalid_tile();
    if (destination.tile == transfer.source) {
      // A loopback copy is a Word32 multicast into memory its own payload does not occupy.
      const bool loopback_allowed =
          !paired && transfer.destinations.size() > 1 &&
          std::none_of(transfer.source_addresses.begin(), transfer.source_addresses.end(),
                       [&](std::uint32_t source_address) {
                         return spans_share_effective_memory_element(source_address, transfer.words,
                                                                     destination.address, transfer.words);
                       });
      if (!loopback_allowed) return invalid_tile();
    }
    if (!seen_tiles.insert(destination.tile).second) return invalid_tile();
    if (destination.address % alignment != 0) {
      return invalid(fmt::format("has unaligned destination address {:#x}", destination.address));
    }
    if (!span_fits(destination.address, transfer.words)) return std::unexpected(ExchangeLoweringError::overflow());
    pending.destinations.emplace_back(destination.tile, destination.address);
  }
  if (t > std::numeric_limits<std::uint32_t>::max()) return std::unexpected(ExchangeLoweringError::overflow());

  pending.source_addresses = transfer.source_addresses;
  if (paired) {
    static const exchange::Topology m72 = exchange::Topology::m72();
    OXU_TRY_ASSIGN(pending.paired_tile, m72.paired_logical(transfer.source));
  }
  pending.index = static_cast<std::uint32_t>(t);
  pending.origin_tag = 0;
  pending.words = transfer.words;
  pending.source = transfer.source;
  pending.width = transfer.width;
  pending.refresh_source_elements();
  return pending;
}

}  // namespace

void PendingTransfer::refresh_source_elements() {
  std::vector<ExchangeMemoryElement> elements;
  for (const std::uint32_t address : source_addresses) {
    const auto span = span_memory_elements(address, words);
    elements.insert(elements.end(), span.begin(), span.end());
  }
  std::sort(elements.begin(), elements.end());
  elements.erase(std::unique(elements.begin(), elements.end()), elements.end());
  source_elements = std::move(elements);
}

std::vector<std::uint16_t> PendingTransfer::tiles() const {
  std::vector<std::uint16_t> out;
  out.reserve(destinations.size() + 2);
  out.push_back(source);
  if (paired_tile) out.push_back(*paired_tile);
  for (const auto& [tile, address] : destinations) out.push_back(tile);
  return out;
}

std::uint32_t item_count(ExchangeItemWidth width, std::uint32_t words) {
  return width == ExchangeItemWidth::Paired64 && words % 2 == 0 ? words / 2 : words;
}

std::expected<std::vector<PendingTransfer>, ExchangeLoweringError> pending_from_problem(
    const ExchangeScheduleProblem& problem, std::uint16_t tile_count) {
  std::vector<PendingTransfer> pending;
  pending.reserve(problem.transfers.size());
  for (std::size_t t = 0; t < problem.transfers.size(); ++t) {
    OXU_TRY_ASSIGN(auto transfer, pending_from_transfer(problem.transfers[t], problem.phase, t, tile_count));
    pending.push_back(std::move(transfer));
  }
  return pending;
}

}  // namespace oxu::codegen
