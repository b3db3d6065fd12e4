#include "oxu/codegen/order/critical_neighborhood_order.hpp"

#include <algorithm>
#include <queue>
#include <tuple>

#include "oxu/codegen/order/order_common.hpp"
#include "oxu/exchange/checked.hpp"

namespace oxu::codegen::order {
namespace {

// Largest payload whose byte length fits in u32.
constexpr std::uint32_t kMaxRepairWords = 0x3FFFFFFF;

// The paired tile of a transfer when it is a tile of the phase. A partner
// outside the phase never reaches the repair through a placed schedule; it
// is skipped rather than indexed.
std::optional<std::uint16_t> partner_in_phase(const PendingTransfer& transfer, std::size_t tile_count) {
  if (transfer.paired_tile && *transfer.paired_tile < tile_count) return transfer.paired_tile;
  return std::nullopt;
}

// Calls `visit` for every tile of the transfer: the source, the paired tile,
// then each destination tile; a tile named twice is visited twice.
template <typename Visit>
void for_each_tile(const PendingTransfer& transfer, std::size_t tile_count, Visit&& visit) {
  visit(transfer.source);
  if (const auto partner = partner_in_phase(transfer, tile_count)) visit(*partner);
  for (const auto& [tile, address] : transfer.destinations) visit(tile);
}

std::size_t bucket_of(std::size_t position, std::size_t bucket_width) {
  return position / std::max<std::size_t>(1, bucket_width);
}

std::uint64_t saturating_sub(std::uint64_t a, std::uint64_t b) { return b > a ? 0 : a - b; }

// The transfer ending last and the chain of blocking transfers behind it.
std::vector<bool> critical_transfers(const MaterializedSchedule& best, std::size_t n) {
  std::vector<bool> critical(n, false);
  const std::size_t placed = std::min(n, best.placements.size());
  std::optional<std::size_t> last;
  std::uint32_t last_end = 0;
  for (std::size_t t = 0; t < placed; ++t) {
    const auto& placement = best.placements[t];
    if (placement && (!last || placement->end_cycle >= last_end)) {
      last = t;
      last_end = placement->end_cycle;
    }
  }
  for (std::optional<std::size_t> next = last; next && *next < n && !critical[*next];) {
    critical[*next] = true;
    next = *next < placed && best.placements[*next] ? best.placements[*next]->blocking_transfer : std::nullopt;
  }
  return critical;
}

// The critical transfers and, on every tile, the transfers within ⌊√d⌋ list
// entries of a critical one in the tile's list of d transfers (in current
// order, each transfer once).
std::vector<bool> neighborhood_of(std::span<const PendingTransfer> pending, std::uint16_t tile_count,
                                  std::span<const std::size_t> current, const std::vector<bool>& critical) {
  const std::size_t n = pending.size();
  std::vector<std::vector<std::size_t>> per_tile(tile_count);
  for (const std::size_t t : current) {
    if (t >= n) continue;
    for_each_tile(pending[t], tile_count, [&](std::uint16_t tile) {
      std::vector<std::size_t>& list = per_tile[tile];
      if (list.empty() || list.back() != t) list.push_back(t);
    });
  }
  std::vector<bool> neighborhood = critical;
  for (const std::vector<std::size_t>& list : per_tile) {
    const std::size_t d = list.size();
    const std::size_t r = floor_sqrt(d);
    for (std::size_t c = 0; c < d; ++c) {
      if (!critical[list[c]]) continue;
      const std::size_t end = std::min(d, c + r + 1);
      for (std::size_t i = c >= r ? c - r : 0; i < end; ++i) neighborhood[list[i]] = true;
    }
  }
  return neighborhood;
}

// Transfers with equal endpoints share a group.
struct Signature {
  std::uint16_t source = 0;
  std::optional<std::uint16_t> paired_tile;
  std::vector<std::uint16_t> destinations;  // ascending, duplicates kept
  friend auto operator<=>(const Signature&, const Signature&) = default;
};

Signature signature_of(const PendingTransfer& transfer) {
  Signature signature{transfer.source, transfer.paired_tile, {}};
  signature.destinations.reserve(transfer.destinations.size());
  for (const auto& [tile, address] : transfer.destinations) signature.destinations.push_back(tile);
  std::sort(signature.destinations.begin(), signature.destinations.end());
  return signature;
}

struct HeapEntry {
  RepairReady ready;
  std::size_t group = 0;
  std::size_t version = 0;

  friend bool operator<(const HeapEntry& a, const HeapEntry& b) {
    if (const auto rank = a.ready <=> b.ready; rank != 0) return rank < 0;
    return std::tie(a.group, a.version) < std::tie(b.group, b.version);
  }
};

}  // namespace

std::strong_ordering operator<=>(const RepairReady& a, const RepairReady& b) {
  if (const auto c = b.earliest_start <=> a.earliest_start; c != 0) return c;
  if (const auto c = b.bucket <=> a.bucket; c != 0) return c;
  if (const auto c = a.continuity <=> b.continuity; c != 0) return c;
  if (const auto c = a.in_neighborhood <=> b.in_neighborhood; c != 0) return c;
  if (const auto c = a.endpoint_work <=> b.endpoint_work; c != 0) return c;
  if (const auto c = b.position <=> a.position; c != 0) return c;
  return b.transfer <=> a.transfer;
}

RepairReady repair_static_key(std::size_t transfer, const RepairState& state) {
  const std::size_t position = state.positions[transfer];
  RepairReady key;
  key.bucket = bucket_of(position, state.bucket_width);
  key.in_neighborhood = state.in_neighborhood[transfer];
  key.position = position;
  key.transfer = transfer;
  return key;
}

RepairReady repair_ready(std::size_t transfer, const RepairState& state) {
  const PendingTransfer& pending = state.pending[transfer];
  RepairReady ready = repair_static_key(transfer, state);
  const RepairTileState& source = state.tiles[pending.source];
  ready.earliest_start = source.send_free;
  ready.endpoint_work = source.tile_work;
  if (const auto partner = partner_in_phase(pending, state.tiles.size())) {
    ready.earliest_start = std::max(ready.earliest_start, state.tiles[*partner].send_free);
    ready.endpoint_work += state.tiles[*partner].tile_work;
  }
  for (const auto& [tile, address] : pending.destinations) {
    const RepairTileState& destination = state.tiles[tile];
    ready.earliest_start = std::max(ready.earliest_start, destination.receive_free);
    if (destination.last_receive_end == address) ++ready.continuity;
    ready.endpoint_work += destination.tile_work;
  }
  return ready;
}

std::optional<RepairReady> RepairGroup::best(const RepairState& state) const {
  if (ready.empty()) return std::nullopt;
  const std::size_t top = ready.begin()->transfer;
  RepairReady best = repair_ready(top, state);
  for (const auto& [tile, address] : state.pending[top].destinations) {
    const std::optional<std::uint32_t> last_end = state.tiles[tile].last_receive_end;
    if (!last_end) continue;
    const auto continuing = members_by_destination.find({tile, *last_end});
    if (continuing == members_by_destination.end()) continue;
    for (const std::size_t member : continuing->second) {
      if (bucket_of(state.positions[member], state.bucket_width) != best.bucket) continue;
      if (!ready.contains(repair_static_key(member, state))) continue;
      const RepairReady candidate = repair_ready(member, state);
      if (candidate >= best) best = candidate;
    }
  }
  return best;
}

std::vector<bool> critical_neighborhood(std::span<const PendingTransfer> pending, std::uint16_t tile_count,
                                        const MaterializedSchedule& best) {
  return neighborhood_of(pending, tile_count, best.order, critical_transfers(best, pending.size()));
}

std::vector<std::size_t> critical_neighborhood_order(std::span<const PendingTransfer> pending,
                                                     std::uint16_t tile_count, const MaterializedSchedule& best) {
  const std::vector<std::size_t>& current = best.order;
  const std::size_t n = pending.size();

  std::vector<bool> neighborhood = critical_neighborhood(pending, tile_count, best);
  if (std::count(neighborhood.begin(), neighborhood.end(), true) < 2) return current;

  DependencyGraph graph = dependency_graph(pending, tile_count);
  RepairState state;
  state.pending = pending;
  state.positions = positions_in(current, n);
  state.in_neighborhood = std::move(neighborhood);
  state.bucket_width = floor_sqrt(n);
  state.tiles.resize(tile_count);
  std::vector<std::uint32_t> items(n, 0);
  for (std::size_t t = 0; t < n; ++t) {
    items[t] = item_count(pending[t].width, pending[t].words);
    for_each_tile(pending[t], tile_count, [&](std::uint16_t tile) { state.tiles[tile].tile_work += items[t]; });
  }

  std::vector<RepairGroup> groups;
  std::vector<std::size_t> group_of(n, 0);
  std::map<Signature, std::size_t> group_by_signature;
  for (std::size_t t = 0; t < n; ++t) {
    const auto [found, created] = group_by_signature.try_emplace(signature_of(pending[t]), groups.size());
    if (created) groups.emplace_back();
    group_of[t] = found->second;
    RepairGroup& group = groups[found->second];
    for (const auto& destination : pending[t].destinations) group.members_by_destination[destination].push_back(t);
    if (graph.predecessor_count[t] == 0) group.ready.insert(repair_static_key(t, state));
  }

  std::priority_queue<HeapEntry> heap;
  for (std::size_t g = 0; g < groups.size(); ++g) {
    if (const auto offer = groups[g].best(state)) heap.push(HeapEntry{*offer, g, groups[g].version});
  }

  std::vector<std::size_t> order;
  order.reserve(n);
  std::vector<std::size_t> touched;
  // The queue is lazy: an entry of an outdated version is dropped, and an
  // entry whose group now offers something else is pushed again with the new
  // offer; only an offer that is still current gets scheduled.
  while (!heap.empty()) {
    const HeapEntry entry = heap.top();
    heap.pop();
    RepairGroup& group = groups[entry.group];
    if (entry.version != group.version) continue;
    const std::optional<RepairReady> offer = group.best(state);
    if (!offer) continue;
    if (*offer != entry.ready) {
      heap.push(HeapEntry{*offer, entry.group, entry.version});
      continue;
    }

    const std::size_t t = offer->transfer;
    const PendingTransfer& transfer = pending[t];
    group.ready.erase(repair_static_key(t, state));
    const std::optional<std::uint32_t> finish = exchange::checked_add(offer->earliest_start, items[t]);
    if (!finish) return current;
    state.tiles[transfer.source].send_free = *finish;
    if (const auto partner = partner_in_phase(transfer, tile_count)) state.tiles[*partner].send_free = *finish;
    if (transfer.words > kMaxRepairWords) return current;
    for (const auto& [tile, address] : transfer.destinations) {
      state.tiles[tile].receive_free = *finish;
      state.tiles[tile].last_receive_end = exchange::checked_add(address, 4 * transfer.words);
    }
    for_each_tile(transfer, tile_count, [&](std::uint16_t tile) {
      state.tiles[tile].tile_work = saturating_sub(state.tiles[tile].tile_work, items[t]);
    });
    order.push_back(t);

    // Groups whose ready set changed get a fresh entry under a new version.
    touched.assign(1, entry.group);
    for (const std::size_t successor : graph.successors[t]) {
      if (--graph.predecessor_count[successor] == 0) {
        groups[group_of[successor]].ready.insert(repair_static_key(successor, state));
        touched.push_back(group_of[successor]);
      }
    }
    std::sort(touched.begin(), touched.end());
    touched.erase(std::unique(touched.begin(), touched.end()), touched.end());
    for (const std::size_t g : touched) {
      ++groups[g].version;
      if (const auto renewed = groups[g].best(state)) heap.push(HeapEntry{*renewed, g, groups[g].version});
    }
  }
  return order.size() == n ? order : current;
}

}  // namespace oxu::codegen::order
