#include "oxu/codegen/order/matching_wave_order.hpp"

#include <algorithm>
#include <map>
#include <set>
#include <tuple>

#include "oxu/codegen/order/order_common.hpp"

namespace oxu::codegen::order {
namespace {

// Rank of a ready transfer among the ready transfers with the same source
// and destination tiles: smaller position, then more items, then smaller
// index. Such transfers share their destination's receive work, so this rank
// is their full rank and never changes while they wait.
struct MemberKey {
  std::size_t position = 0;
  std::uint32_t items = 0;
  std::size_t transfer = 0;

  friend bool operator<(const MemberKey& a, const MemberKey& b) {
    return std::tie(a.position, b.items, a.transfer) < std::tie(b.position, a.items, b.transfer);
  }
  friend bool operator==(const MemberKey&, const MemberKey&) = default;
};

// The best-ranked ready transfer of one (source, destination) pair.
struct Head {
  MemberKey key;
  std::uint16_t destination = 0;

  friend bool operator<(const Head& a, const Head& b) { return a.key < b.key; }
};

// The ready transfers of the phase, kept between waves.
//
// A source's ready list matters to the matching only through the first
// transfer to each destination tile: a later transfer to the same tile meets
// the same matched source (or the same free tile) and can never succeed where
// the first one failed. So each source keeps its ready transfers per
// destination tile and offers only the head of each, which bounds the
// matching's work per source by the number of distinct destination tiles
// instead of by the number of ready transfers.
class ReadyPool {
 public:
  explicit ReadyPool(std::size_t tiles) : members_(tiles), heads_(tiles) {}

  void insert(std::uint16_t source, std::uint16_t destination, const MemberKey& key) {
    std::set<MemberKey>& members = members_[source][destination];
    if (members.empty() || key < *members.begin()) {
      if (!members.empty()) heads_[source].erase(Head{*members.begin(), destination});
      heads_[source].insert(Head{key, destination});
    }
    members.insert(key);
    active_.insert(source);
  }

  void erase(std::uint16_t source, std::uint16_t destination, const MemberKey& key) {
    auto& by_destination = members_[source];
    const auto found = by_destination.find(destination);
    if (found == by_destination.end()) return;
    std::set<MemberKey>& members = found->second;
    const bool was_head = !members.empty() && *members.begin() == key;
    members.erase(key);
    if (was_head) {
      heads_[source].erase(Head{key, destination});
      if (!members.empty()) heads_[source].insert(Head{*members.begin(), destination});
    }
    if (members.empty()) by_destination.erase(found);
    if (heads_[source].empty()) active_.erase(source);
  }

  // Sources with at least one ready transfer, ascending.
  [[nodiscard]] const std::set<std::uint16_t>& active_sources() const { return active_; }
  [[nodiscard]] const std::set<Head>& heads(std::uint16_t source) const { return heads_[source]; }

 private:
  std::vector<std::map<std::uint16_t, std::set<MemberKey>>> members_;  // per source, per destination tile
  std::vector<std::set<Head>> heads_;                                  // per source
  std::set<std::uint16_t> active_;
};

std::uint16_t destination_of(const PendingTransfer& transfer) { return transfer.destinations.front().first; }

std::uint64_t saturating_sub(std::uint64_t a, std::uint64_t b) { return b > a ? 0 : a - b; }

// Whether the busiest tile carries at most twice an even share of the
// transfers among the tiles on the smaller side of the traffic.
bool balanced(std::span<const PendingTransfer> pending, std::uint16_t tile_count) {
  std::vector<std::size_t> out_degree(tile_count, 0);
  std::vector<std::size_t> in_degree(tile_count, 0);
  for (const PendingTransfer& transfer : pending) {
    ++out_degree[transfer.source];
    ++in_degree[destination_of(transfer)];
  }
  std::size_t senders = 0;
  std::size_t receivers = 0;
  std::size_t busiest = 0;
  for (std::size_t tile = 0; tile < tile_count; ++tile) {
    if (out_degree[tile] != 0) ++senders;
    if (in_degree[tile] != 0) ++receivers;
    busiest = std::max({busiest, out_degree[tile], in_degree[tile]});
  }
  const std::size_t sides = std::max<std::size_t>(1, std::min(senders, receivers));
  const std::size_t share = pending.size() / sides + (pending.size() % sides != 0 ? 1 : 0);
  return busiest <= 2 * share;
}

// Hopcroft-Karp phases over the sources of one wave, in their sorted order,
// until a phase finds no augmenting path.
void match_wave(std::span<const std::uint16_t> sources, MatchingWaveState& state) {
  std::vector<std::uint16_t> queue;
  queue.reserve(sources.size());
  while (true) {
    queue.clear();
    for (const std::uint16_t source : sources) {
      if (state.source_match[source]) {
        state.layer[source] = kUnreachedLayer;
      } else {
        state.layer[source] = 0;
        queue.push_back(source);
      }
    }
    bool free_destination_reached = false;
    for (std::size_t head = 0; head < queue.size(); ++head) {
      const std::uint16_t source = queue[head];
      for (const ReadyEdge& edge : state.ready[source]) {
        const std::optional<std::uint16_t> matched = state.destination_match[edge.destination];
        if (!matched) {
          free_destination_reached = true;
        } else if (state.layer[*matched] == kUnreachedLayer) {
          state.layer[*matched] = state.layer[source] + 1;
          queue.push_back(*matched);
        }
      }
    }
    if (!free_destination_reached || sources.empty()) return;
    bool augmented = false;
    for (const std::uint16_t source : sources) {
      if (!state.source_match[source] && augment_ready_matching(source, state)) augmented = true;
    }
    if (!augmented) return;
  }
}

}  // namespace

bool augment_ready_matching(std::uint16_t source, MatchingWaveState& state) {
  const std::size_t layer = state.layer[source];
  if (layer != kUnreachedLayer) {
    for (const ReadyEdge& edge : state.ready[source]) {
      const std::optional<std::uint16_t> matched = state.destination_match[edge.destination];
      const bool takes = !matched || (state.layer[*matched] == layer + 1 && augment_ready_matching(*matched, state));
      if (takes) {
        state.source_match[source] = edge;
        state.destination_match[edge.destination] = source;
        return true;
      }
    }
  }
  state.layer[source] = kUnreachedLayer;
  return false;
}

std::optional<std::vector<std::size_t>> point_to_point_matching_wave_order(std::span<const PendingTransfer> pending,
                                                                           std::uint16_t tile_count,
                                                                           std::span<const std::size_t> current_order) {
  const std::size_t n = pending.size();
  if (n < 2) return std::nullopt;
  for (const PendingTransfer& transfer : pending) {
    if (transfer.destinations.size() != 1) return std::nullopt;
  }
  if (!balanced(pending, tile_count)) return std::nullopt;

  std::vector<std::uint32_t> items(n, 0);
  std::vector<std::uint64_t> send_work(tile_count, 0);
  std::vector<std::uint64_t> receive_work(tile_count, 0);
  for (std::size_t t = 0; t < n; ++t) {
    const PendingTransfer& transfer = pending[t];
    items[t] = item_count(transfer.width, transfer.words);
    if (items[t] == 0 || (transfer.width == ExchangeItemWidth::Paired64 && transfer.words % 2 != 0)) {
      return std::nullopt;
    }
    send_work[transfer.source] += items[t];
    receive_work[destination_of(transfer)] += items[t];
  }
  const std::vector<std::size_t> positions = positions_in(current_order, n);
  DependencyGraph graph = dependency_graph(pending, tile_count);

  const auto key_of = [&](std::size_t t) { return MemberKey{positions[t], items[t], t}; };
  ReadyPool pool(tile_count);
  for (std::size_t t = 0; t < n; ++t) {
    if (graph.predecessor_count[t] == 0) pool.insert(pending[t].source, destination_of(pending[t]), key_of(t));
  }

  MatchingWaveState state;
  state.ready.resize(tile_count);
  state.source_match.resize(tile_count);
  state.destination_match.resize(tile_count);
  state.layer.assign(tile_count, kUnreachedLayer);

  std::vector<std::size_t> order;
  order.reserve(n);
  std::vector<std::uint16_t> sources;
  std::vector<std::size_t> wave;
  while (order.size() < n) {
    // Ready lists: positioned transfers by position; those missing from the
    // current order come last, the busier destination first.
    sources.clear();
    for (const std::uint16_t source : pool.active_sources()) {
      std::vector<ReadyEdge>& list = state.ready[source];
      list.clear();
      for (const Head& head : pool.heads(source)) list.push_back(ReadyEdge{head.key.transfer, head.destination});
      const auto unpositioned = std::find_if(list.begin(), list.end(), [&](const ReadyEdge& edge) {
        return positions[edge.transfer] == kNoPosition;
      });
      std::sort(unpositioned, list.end(), [&](const ReadyEdge& a, const ReadyEdge& b) {
        return std::tie(receive_work[b.destination], items[b.transfer], a.transfer) <
               std::tie(receive_work[a.destination], items[a.transfer], b.transfer);
      });
      sources.push_back(source);
    }
    // Sources: the earliest ready position first, then the most send work.
    std::sort(sources.begin(), sources.end(), [&](std::uint16_t a, std::uint16_t b) {
      const std::size_t first_a = positions[state.ready[a].front().transfer];
      const std::size_t first_b = positions[state.ready[b].front().transfer];
      return std::tie(first_a, send_work[b], a) < std::tie(first_b, send_work[a], b);
    });

    match_wave(sources, state);

    wave.clear();
    for (const std::uint16_t source : sources) {
      if (const std::optional<ReadyEdge> match = state.source_match[source]) {
        wave.push_back(match->transfer);
        state.destination_match[match->destination].reset();
        state.source_match[source].reset();
      }
      state.ready[source].clear();
    }
    if (wave.empty()) return std::nullopt;
    std::sort(wave.begin(), wave.end(), [&](std::size_t a, std::size_t b) {
      const std::uint16_t source_a = pending[a].source;
      const std::uint16_t source_b = pending[b].source;
      const std::uint16_t destination_a = destination_of(pending[a]);
      const std::uint16_t destination_b = destination_of(pending[b]);
      return std::tie(positions[a], items[b], source_a, destination_a, a) <
             std::tie(positions[b], items[a], source_b, destination_b, b);
    });

    for (const std::size_t t : wave) {
      const PendingTransfer& transfer = pending[t];
      order.push_back(t);
      send_work[transfer.source] = saturating_sub(send_work[transfer.source], items[t]);
      receive_work[destination_of(transfer)] = saturating_sub(receive_work[destination_of(transfer)], items[t]);
      pool.erase(transfer.source, destination_of(transfer), key_of(t));
      for (const std::size_t successor : graph.successors[t]) {
        if (--graph.predecessor_count[successor] == 0) {
          pool.insert(pending[successor].source, destination_of(pending[successor]), key_of(successor));
        }
      }
    }
  }
  return order;
}

}  // namespace oxu::codegen::order
