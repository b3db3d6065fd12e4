#include "oxu/codegen/materialized_schedule.hpp"

#include <algorithm>
#include <limits>

#include "oxu/exchange/checked.hpp"
#include "oxu/exchange/instruction_words.hpp"
#include "oxu/exchange/result.hpp"

namespace oxu::codegen {
namespace {

using exchange::ExchangeError;
using exchange::MulticastExchange;

constexpr std::uint64_t kMinimumValidationBudget = 0x20000000;
constexpr std::string_view kLoopbackMessage =
    "multicast loopback requires separate source and destination memory elements";

std::uint64_t saturating_add_u64(std::uint64_t a, std::uint64_t b) {
  std::uint64_t out = 0;
  return __builtin_add_overflow(a, b, &out) ? std::numeric_limits<std::uint64_t>::max() : out;
}

std::uint64_t saturating_mul_u64(std::uint64_t a, std::uint64_t b) {
  std::uint64_t out = 0;
  return __builtin_mul_overflow(a, b, &out) ? std::numeric_limits<std::uint64_t>::max() : out;
}

bool shares_element(std::span<const ExchangeMemoryElement> sorted, std::span<const ExchangeMemoryElement> other) {
  return std::any_of(other.begin(), other.end(), [&](const ExchangeMemoryElement& element) {
    return std::binary_search(sorted.begin(), sorted.end(), element);
  });
}

// Writes a destination address into a multicast receiver row: into the
// first receive-pointer control, or into the operand word of the first
// receive-only SENDPICP.
std::expected<void, ExchangeError> patch_receive_address(exchange::ExchangeRow& row, std::uint32_t address) {
  if (address % 4 != 0 || address > 0xFFFFC) return std::unexpected(ExchangeError::address(address));
  const std::uint32_t units = address / 4;
  for (std::size_t i = 0; i < row.size(); ++i) {
    const std::uint32_t word = row[i];
    if (word < 0xF0000000) {
      if ((word & 0xFC040000) == 0x60000000) {
        row[i] = (word & 0x63F80000) | units;
        return {};
      }
      continue;
    }
    if ((word & 0x08000000) != 0) {
      ++i;  // a paired-format SENDPICP and its operand word
      continue;
    }
    if (i + 1 >= row.size()) return std::unexpected(ExchangeError::schedule("truncated SENDPICP payload"));
    row[i + 1] = (row[i + 1] & 0xFFFC0000) | units;
    return {};
  }
  return std::unexpected(ExchangeError::address(address));
}

}  // namespace

const char* activity_kind_name(ExchangeActivityKind kind) {
  switch (kind) {
    case ExchangeActivityKind::Send: return "Send";
    case ExchangeActivityKind::Receive: return "Receive";
    case ExchangeActivityKind::PartnerBusy: return "PartnerBusy";
  }
  return "";
}

MaterializedSchedule MaterializedSchedule::create(std::uint16_t tile_count, std::span<const PendingTransfer> pending) {
  std::vector<std::uint64_t> sends(tile_count, 0);
  std::vector<std::uint64_t> receives(tile_count, 0);
  for (const PendingTransfer& transfer : pending) {
    ++sends.at(transfer.source);
    for (const auto& [tile, address] : transfer.destinations) ++receives.at(tile);
  }
  std::uint64_t budget = 0;
  for (std::size_t tile = 0; tile < tile_count; ++tile) {
    const std::uint64_t traffic = saturating_add_u64(sends[tile], receives[tile]);
    const std::uint64_t weight =
        saturating_add_u64(saturating_add_u64(sends[tile], saturating_mul_u64(3, receives[tile])), 1);
    budget = saturating_add_u64(budget, saturating_mul_u64(traffic, weight));
  }
  budget = std::max(saturating_mul_u64(budget, 4), kMinimumValidationBudget);

  MaterializedSchedule schedule{
      .builder = exchange::PhaseProgramBuilder(tile_count).with_validation_budget(budget),
      .tile_ready = std::vector<std::pair<std::uint32_t, std::uint32_t>>(tile_count, {0, 0}),
      .memory = std::vector<TileMemorySchedule>(tile_count),
      .activities = std::vector<std::vector<ExchangeActivity>>(tile_count),
      .tile_sends = std::vector<std::vector<std::pair<std::uint32_t, std::uint32_t>>>(tile_count),
      .order = {},
      .placements = std::vector<std::optional<TransferPlacement>>(pending.size()),
      .horizon = 0,
  };
  schedule.order.reserve(pending.size());
  return schedule;
}

std::expected<std::uint32_t, ExchangeLoweringError> MaterializedSchedule::append(const PhaseContext& context,
                                                                                std::size_t t,
                                                                                std::uint32_t minimum_offset,
                                                                                bool incremental_validation,
                                                                                std::vector<TileFrontier>& frontiers) {
  const PendingTransfer& transfer = context.pending[t];
  const std::uint16_t source = transfer.source;
  const bool paired = transfer.width == ExchangeItemWidth::Paired64;
  // A partner outside the phase owns no per-tile state; the route below
  // reports it.
  const std::optional<std::uint16_t> partner =
      transfer.paired_tile && *transfer.paired_tile < context.tile_count ? transfer.paired_tile : std::nullopt;

  // The endpoint whose side became free last holds the transfer back.
  std::uint16_t critical_tile = source;
  std::uint32_t critical_cycle = tile_ready[source].first;
  const auto consider = [&](std::uint16_t tile, std::uint32_t cycle) {
    if (cycle > critical_cycle || (cycle == critical_cycle && tile < critical_tile)) {
      critical_tile = tile;
      critical_cycle = cycle;
    }
  };
  if (partner) consider(*partner, tile_ready[*partner].first);
  for (const auto& [tile, address] : transfer.destinations) consider(tile, tile_ready[tile].second);
  if (minimum_offset > critical_cycle) critical_tile = source;
  const bool critical_is_sender = critical_tile == source || (transfer.paired_tile && critical_tile == *transfer.paired_tile);
  const std::optional<std::size_t> critical_frontier =
      critical_is_sender ? frontiers[critical_tile].last_send : frontiers[critical_tile].last_receive;

  if (transfer.source_elements.empty() || transfer.words == 0) {
    return std::unexpected(ExchangeLoweringError::unaligned_payload());
  }
  const std::size_t destination_count = transfer.destinations.size();
  for (const auto& [tile, address] : transfer.destinations) {
    if (tile != source) continue;
    const bool separate = destination_count > 1 && !paired &&
                          !shares_element(transfer.source_elements, span_memory_elements(address, transfer.words));
    if (!separate) return std::unexpected(ExchangeLoweringError::invariant(std::string(kLoopbackMessage)));
  }
  if (paired && transfer.words % 2 != 0) return std::unexpected(ExchangeLoweringError::unaligned_payload());
  const std::uint32_t items = item_count(transfer.width, transfer.words);

  std::vector<std::uint16_t> receivers;
  receivers.reserve(destination_count);
  for (const auto& [tile, address] : transfer.destinations) receivers.push_back(tile);

  MulticastExchange route;
  std::vector<std::uint16_t> blocked;
  const bool point_to_point = !paired && destination_count == 1 &&
                              context.receive_counts[receivers[0]] == 1 &&
                              context.incoming_bases[receivers[0]] == transfer.destinations[0].second;
  if (paired) {
    OXU_TRY_ASSIGN(const std::uint16_t route_partner, context.topology.paired_logical(source));
    OXU_TRY_ASSIGN(route, context.topology.paired_multicast(source, receivers, items));
    blocked.push_back(route_partner);
  } else if (point_to_point) {
    OXU_TRY_ASSIGN(const exchange::PointToPointExchange exchange,
                   context.topology.point_to_point(source, receivers[0], transfer.words));
    OXU_TRY_ASSIGN(const exchange::ExchangeRow receiver_row,
                   exchange::finalize_point_receiver(exchange.source_patch_index, exchange.receiver,
                                                     context.topology.tiles[source]));
    route = MulticastExchange{{receiver_row}, exchange.sender};
  } else {
    OXU_TRY_ASSIGN(route, context.topology.multicast(source, receivers, transfer.words, 0));
  }
  if (!point_to_point) {
    for (std::size_t i = 0; i < std::min(destination_count, route.receivers.size()); ++i) {
      OXU_TRY(patch_receive_address(route.receivers[i], transfer.destinations[i].second));
    }
  }
  OXU_TRY(exchange::patch_sender_address(route.sender, transfer.source_addresses.front()));

  // Move the transfer later until the builder accepts it and its memory
  // windows clash with nothing already placed.
  std::uint32_t request = minimum_offset;
  std::uint32_t offset = 0;
  for (;;) {
    OXU_TRY_ASSIGN(offset, incremental_validation
                               ? builder.earliest_transfer_offset(source, blocked, receivers, route, items, request)
                               : builder.earliest_transfer_offset_deferred(source, blocked, receivers, route, items,
                                                                           request));
    OXU_TRY_ASSIGN(const exchange::PhaseTransferTiming candidate_timing,
                   builder.transfer_timing_at(source, receivers, route, offset, items));
    const std::uint32_t delay = memory_safe_transfer_offset(memory, transfer, candidate_timing);
    const auto candidate = exchange::checked_add(offset, delay);
    if (!candidate) return std::unexpected(ExchangeLoweringError::overflow());
    if (*candidate == request) break;
    request = *candidate;
  }

  OXU_TRY_ASSIGN(const exchange::PhaseTransferTiming timing,
                 builder.append_transfer_at(source, blocked, receivers, route, offset, items));
  const std::uint32_t send_start = timing.send_start;
  const std::uint32_t send_bus_end = timing.send_bus_end;
  const std::uint32_t send_memory_end = timing.send_memory_end;
  std::uint32_t end_cycle = send_bus_end;
  for (const std::uint32_t bus_end : timing.receive_bus_ends) end_cycle = std::max(end_cycle, bus_end);

  memory[source].add_send(MemoryAccess{transfer.source_elements, send_start, send_memory_end});
  const std::size_t windows =
      std::min({destination_count, timing.receive_starts.size(), timing.receive_memory_ends.size()});
  for (std::size_t i = 0; i < windows; ++i) {
    const auto& [tile, address] = transfer.destinations[i];
    memory[tile].add_receive(MemoryAccess{span_memory_elements(address, transfer.words), timing.receive_starts[i],
                                          timing.receive_memory_ends[i]});
  }
  tile_sends[source].emplace_back(transfer.index, transfer.origin_tag);
  if (t > std::numeric_limits<std::uint32_t>::max()) return std::unexpected(ExchangeLoweringError::overflow());

  const auto index = static_cast<std::uint32_t>(t);
  const auto destinations16 = static_cast<std::uint16_t>(destination_count);
  const std::uint32_t first_source = transfer.source_addresses.front();
  activities[source].push_back(ExchangeActivity{index, send_start, send_bus_end, send_memory_end, first_source,
                                                transfer.words, destinations16, ExchangeActivityKind::Send, paired});
  if (partner) {
    activities[*partner].push_back(ExchangeActivity{index, send_start, send_memory_end, send_memory_end, first_source,
                                                    transfer.words, destinations16, ExchangeActivityKind::PartnerBusy,
                                                    paired});
  }
  const std::size_t receptions = std::min(windows, timing.receive_bus_ends.size());
  for (std::size_t i = 0; i < receptions; ++i) {
    const auto& [tile, address] = transfer.destinations[i];
    activities[tile].push_back(ExchangeActivity{index, timing.receive_starts[i], timing.receive_bus_ends[i],
                                                timing.receive_memory_ends[i], address, transfer.words,
                                                destinations16, ExchangeActivityKind::Receive, paired});
  }

  tile_ready[source].first = send_bus_end;
  if (partner) {
    tile_ready[*partner].first = send_memory_end;
    frontiers[*partner].last_send = t;
  }
  for (std::size_t i = 0; i < std::min(destination_count, timing.receive_bus_ends.size()); ++i) {
    tile_ready[transfer.destinations[i].first].second = timing.receive_bus_ends[i];
  }
  frontiers[source].last_send = t;
  for (const auto& [tile, address] : transfer.destinations) frontiers[tile].last_receive = t;

  order.push_back(t);
  placements[t] = TransferPlacement{critical_frontier, send_start, end_cycle, critical_tile};
  return end_cycle;
}

}  // namespace oxu::codegen
