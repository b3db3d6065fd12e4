#include "oxu/codegen/greedy_scheduler.hpp"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <map>
#include <tuple>
#include <vector>

#include "oxu/codegen/memory_hazards.hpp"
#include "oxu/exchange/result.hpp"

namespace oxu::codegen {
namespace {

constexpr std::size_t kNoGroup = std::numeric_limits<std::size_t>::max();

[[noreturn]] void internal_assertion(const char* message) {
  std::fprintf(stderr, "%s\n", message);
  std::abort();
}

// A max-heap of ready transfers whose top may be re-keyed in place.
class ReadyQueue {
 public:
  [[nodiscard]] bool empty() const { return heap_.empty(); }
  [[nodiscard]] std::size_t size() const { return heap_.size(); }
  [[nodiscard]] const ReadyTransfer& top() const { return heap_.front(); }
  void push(const ReadyTransfer& entry) {
    heap_.push_back(entry);
    std::push_heap(heap_.begin(), heap_.end());
  }
  ReadyTransfer pop() {
    std::pop_heap(heap_.begin(), heap_.end());
    const ReadyTransfer entry = heap_.back();
    heap_.pop_back();
    return entry;
  }
  // Gives the top a new key and lets it sink to its place.
  void replace_top(const ReadyTransfer& entry) {
    std::pop_heap(heap_.begin(), heap_.end());
    heap_.back() = entry;
    std::push_heap(heap_.begin(), heap_.end());
  }
  template <typename F>
  void rekey_all(F&& rekey) {
    for (ReadyTransfer& entry : heap_) rekey(entry);
    std::make_heap(heap_.begin(), heap_.end());
  }
  std::vector<ReadyTransfer> take_all() { return std::exchange(heap_, {}); }

 private:
  std::vector<ReadyTransfer> heap_;
};

class TransferScheduler {
 public:
  TransferScheduler(const PhaseContext& context, MaterializedSchedule& schedule)
      : context_(context),
        schedule_(schedule),
        tile_work_(context.tile_count, 0),
        successors_(context.pending.size()),
        remaining_predecessors_(context.pending.size(), 0),
        ready_cycles_(context.pending.size(), 0),
        group_of_(context.pending.size(), kNoGroup) {}

  std::expected<void, ExchangeLoweringError> run(bool incremental_validation) {
    const auto& pending = context_.pending;
    for (const PendingTransfer& transfer : pending) {
      for_each_tile(transfer, [&](std::uint16_t tile) { tile_work_[tile] += items_of(transfer); });
      if (transfer.destinations.size() > 1) multicast_ = true;
    }
    for (const auto& [earlier, later] : memory_dependencies(pending, context_.tile_count)) {
      successors_[earlier].push_back(later);
      ++remaining_predecessors_[later];
    }
    for (std::size_t t = 0; t < pending.size(); ++t) {
      if (remaining_predecessors_[t] == 0) push_ready(t, 0);
    }
    group_initially_ready();

    std::vector<TileFrontier> frontiers(context_.tile_count);
    std::size_t stale_heads = 0;
    while (!ready_.empty()) {
      const ReadyTransfer head = ready_.top();
      const std::uint32_t estimate = ready_estimate(head.transfer);
      const std::uint64_t work = multicast_ ? endpoint_work(head.transfer) : head.endpoint_work;
      if (head.ready_cycle != estimate || head.endpoint_work != work) {
        ++stale_heads;
        if (ready_queue_needs_rebuild(ready_.size(), stale_heads)) {
          ready_.rekey_all([&](ReadyTransfer& entry) {
            entry.ready_cycle = ready_estimate(entry.transfer);
            if (multicast_) entry.endpoint_work = endpoint_work(entry.transfer);
          });
        } else {
          ReadyTransfer refreshed = head;
          refreshed.ready_cycle = estimate;
          refreshed.endpoint_work = work;
          ready_.replace_top(refreshed);
        }
        continue;
      }

      const ReadyTransfer placed = ready_.pop();
      const std::size_t t = placed.transfer;
      if (group_of_[t] != kNoGroup) {
        ReadyQueue& group = groups_[group_of_[t]];
        if (group.empty()) internal_assertion("nonempty ready group");
        group.pop();
        if (!group.empty()) {
          ReadyTransfer next = group.top();
          next.ready_cycle = placed.ready_cycle;
          ready_.push(next);
        }
      }

      OXU_TRY_ASSIGN(const std::uint32_t end_cycle,
                     schedule_.append(context_, t, ready_cycles_[t], incremental_validation, frontiers));
      stale_heads = 0;
      if (multicast_) {
        const std::uint64_t items = items_of(pending[t]);
        for_each_tile(pending[t], [&](std::uint16_t tile) { tile_work_[tile] -= std::min(tile_work_[tile], items); });
      }
      for (const std::size_t successor : successors_[t]) {
        ready_cycles_[successor] = std::max(ready_cycles_[successor], end_cycle);
        if (--remaining_predecessors_[successor] == 0) push_ready(successor, ready_cycles_[successor]);
      }
    }
    return {};
  }

 private:
  static std::uint32_t items_of(const PendingTransfer& transfer) { return item_count(transfer.width, transfer.words); }

  // The transfer's tiles that belong to the phase, each time they occur.
  template <typename F>
  void for_each_tile(const PendingTransfer& transfer, F&& f) const {
    f(transfer.source);
    if (transfer.paired_tile && *transfer.paired_tile < context_.tile_count) f(*transfer.paired_tile);
    for (const auto& [tile, address] : transfer.destinations) f(tile);
  }

  std::uint64_t endpoint_work(std::size_t t) const {
    std::uint64_t work = 0;
    for_each_tile(context_.pending[t], [&](std::uint16_t tile) { work += tile_work_[tile]; });
    return work;
  }

  std::uint32_t ready_estimate(std::size_t t) const {
    const PendingTransfer& transfer = context_.pending[t];
    const auto& tile_ready = schedule_.tile_ready;
    std::uint32_t estimate = std::max(ready_cycles_[t], tile_ready[transfer.source].first);
    if (transfer.paired_tile && *transfer.paired_tile < context_.tile_count) {
      estimate = std::max(estimate, tile_ready[*transfer.paired_tile].first);
    }
    for (const auto& [tile, address] : transfer.destinations) estimate = std::max(estimate, tile_ready[tile].second);
    return estimate;
  }

  void push_ready(std::size_t t, std::uint32_t ready_cycle) {
    const PendingTransfer& transfer = context_.pending[t];
    ready_.push(ReadyTransfer{endpoint_work(t), transfer.destinations.size(), t, ready_cycle, items_of(transfer),
                              transfer.source});
  }

  // Interchangeable initially ready transfers (same source, partner and
  // destination list) compete through their group's best member only.
  void group_initially_ready() {
    using Key = std::tuple<std::uint16_t, std::optional<std::uint16_t>, std::vector<std::uint16_t>>;
    std::map<Key, std::size_t> group_numbers;
    for (const ReadyTransfer& entry : ready_.take_all()) {
      const PendingTransfer& transfer = context_.pending[entry.transfer];
      std::vector<std::uint16_t> destinations;
      destinations.reserve(transfer.destinations.size());
      for (const auto& [tile, address] : transfer.destinations) destinations.push_back(tile);
      const auto [it, inserted] =
          group_numbers.try_emplace(Key{transfer.source, transfer.paired_tile, std::move(destinations)}, groups_.size());
      if (inserted) groups_.emplace_back();
      group_of_[entry.transfer] = it->second;
      groups_[it->second].push(entry);
    }
    for (const ReadyQueue& group : groups_) {
      if (!group.empty()) ready_.push(group.top());
    }
  }

  const PhaseContext& context_;
  MaterializedSchedule& schedule_;
  std::vector<std::uint64_t> tile_work_;
  std::vector<std::vector<std::size_t>> successors_;
  std::vector<std::size_t> remaining_predecessors_;
  std::vector<std::uint32_t> ready_cycles_;
  ReadyQueue ready_;
  std::vector<ReadyQueue> groups_;
  std::vector<std::size_t> group_of_;
  bool multicast_ = false;
};

}  // namespace

bool operator<(const ReadyTransfer& a, const ReadyTransfer& b) {
  // Each field compares so that the more urgent value is the greater.
  if (a.ready_cycle != b.ready_cycle) return a.ready_cycle > b.ready_cycle;
  if (a.endpoint_work != b.endpoint_work) return a.endpoint_work < b.endpoint_work;
  if (a.destination_count != b.destination_count) return a.destination_count < b.destination_count;
  if (a.items != b.items) return a.items < b.items;
  if (a.source != b.source) return a.source > b.source;
  return a.transfer > b.transfer;
}

bool ready_queue_needs_rebuild(std::size_t entries, std::size_t stale_heads) {
  if (entries <= 127) return false;
  const auto log2_entries = static_cast<std::size_t>(std::bit_width(entries) - 1);
  return stale_heads * log2_entries >= entries;
}

std::expected<MaterializedSchedule, ExchangeLoweringError> materialize_greedy_schedule_impl(
    const PhaseContext& context, bool incremental_validation) {
  MaterializedSchedule schedule = MaterializedSchedule::create(context.tile_count, context.pending);
  TransferScheduler scheduler(context, schedule);
  OXU_TRY(scheduler.run(incremental_validation));
  schedule.horizon = schedule.builder.event_cycles();
  return schedule;
}

}  // namespace oxu::codegen
