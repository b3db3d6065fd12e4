#include "oxu/codegen/invariant_checker.hpp"

#include <algorithm>
#include <compare>
#include <cstddef>
#include <map>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "oxu/codegen/materialized_schedule.hpp"
#include "oxu/codegen/memory_element.hpp"
#include "oxu/exchange/checked.hpp"
#include "oxu/exchange/diagnostic/plan_program.hpp"
#include "oxu/exchange/result.hpp"
#include "oxu/exchange/topology.hpp"

// The checker recounts everything from the snapshot phase and the decoded
// programs. The two per-tile overlap checks (send/receive memory and
// borrowed/local transmit) are existence questions over pairs of activities;
// both are answered by a sweep over start cycles instead of a scan of all
// pairs, which matters on tiles with thousands of activities.
//
// Two half-open windows a and b intersect, in the sense used by both checks
// (a.start < b.end and b.start < a.end), exactly when
//   - one of them starts strictly inside the other, or
//   - both start at the same cycle and neither is empty.
// The sweeps visit the distinct start cycles in ascending order and keep the
// windows that started earlier and have not yet ended ("live" windows), so
// that the first case is a question about the live set and the second one
// about the windows of the current start cycle.

namespace oxu::codegen {
namespace {

using Failure = std::unexpected<ExchangeLoweringError>;

template <typename... Args>
Failure violation(fmt::format_string<Args...> format, Args&&... args) {
  return Failure(ExchangeLoweringError::invariant(fmt::format(format, std::forward<Args>(args)...)));
}

// ---------------------------------------------------------------------------
// Per-call bookkeeping

// One destination entry of the problem; ordered so that the first entry of a
// (transfer, tile, address) key is the one earliest in the destination list.
struct DestinationKey {
  std::size_t transfer = 0;
  std::uint16_t tile = 0;
  std::uint32_t address = 0;
  std::size_t counter = 0;  // index into Bookkeeping::receives
  friend auto operator<=>(const DestinationKey&, const DestinationKey&) = default;
};

// The checker's own activity counts and what it derives once from the
// problem before the first tile.
struct Bookkeeping {
  std::vector<std::size_t> sends;          // per transfer
  std::vector<std::size_t> partner_busy;   // per transfer
  std::vector<std::size_t> receives;       // per destination entry, transfers in index order
  std::vector<std::size_t> first_receive;  // per transfer, plus one past the end: start of its counters
  std::vector<std::optional<std::uint16_t>> partners;  // M72 partner of each Paired64 transfer's source
  std::vector<bool> borrowed_tiles;                    // tiles of the phase that are some Paired64 partner
  std::vector<DestinationKey> destinations;            // sorted
};

std::expected<Bookkeeping, ExchangeLoweringError> start_bookkeeping(std::uint16_t tile_count,
                                                                    const ExchangeScheduleProblem& problem) {
  const exchange::Topology m72 = exchange::Topology::m72();
  const std::size_t transfer_count = problem.transfers.size();
  Bookkeeping books;
  books.sends.assign(transfer_count, 0);
  books.partner_busy.assign(transfer_count, 0);
  books.partners.assign(transfer_count, std::nullopt);
  books.borrowed_tiles.assign(tile_count, false);
  for (std::size_t index = 0; index < transfer_count; ++index) {
    const ExchangeScheduleTransfer& transfer = problem.transfers[index];
    books.first_receive.push_back(books.destinations.size());
    for (const ExchangeScheduleDestination& destination : transfer.destinations) {
      books.destinations.push_back({index, destination.tile, destination.address, books.destinations.size()});
    }
    if (transfer.width == ExchangeItemWidth::Paired64) {
      OXU_TRY_ASSIGN(const std::uint16_t partner, m72.paired_logical(transfer.source));
      books.partners[index] = partner;
      if (partner < tile_count) books.borrowed_tiles[partner] = true;
    }
  }
  books.first_receive.push_back(books.destinations.size());
  books.receives.assign(books.destinations.size(), 0);
  std::sort(books.destinations.begin(), books.destinations.end());
  return books;
}

// ---------------------------------------------------------------------------
// Effective memory elements as consecutive keys: the low elements first, then
// the high ones, so that the elements of a span form one closed key range.

struct ElementRange {
  std::uint32_t first = 0;
  std::uint32_t last = 0;
};

constexpr std::uint32_t kLowElementCount = kHighMemoryBase / kLowElementBytes;

std::uint32_t element_key(std::uint32_t address) {
  const ExchangeMemoryElement element = ExchangeMemoryElement::of_address(address);
  return element.high ? kLowElementCount + element.index : element.index;
}

// The elements of the span [start, start + 4 * words), its end saturating
// like span_memory_elements; nothing for an empty span.
std::optional<ElementRange> span_element_range(std::uint32_t start, std::uint32_t words) {
  const std::uint32_t end = exchange::saturating_add(start, exchange::saturating_mul(words, 4));
  if (start >= end) return std::nullopt;
  return ElementRange{element_key(start), element_key(end - 1)};
}

// A Fenwick tree of counts over positions 0..size-1 (`node & (~node + 1)` is
// the lowest set bit of a node number).
class PositionCounts {
 public:
  void reset(std::size_t size) { tree_.assign(size + 1, 0); }
  void increment(std::size_t position) {
    for (std::size_t node = position + 1; node < tree_.size(); node += node & (~node + 1)) ++tree_[node];
  }
  void decrement(std::size_t position) {
    for (std::size_t node = position + 1; node < tree_.size(); node += node & (~node + 1)) --tree_[node];
  }
  // The count at positions below `position`.
  [[nodiscard]] std::size_t below(std::size_t position) const {
    std::size_t sum = 0;
    for (std::size_t node = position; node > 0; node &= node - 1) sum += tree_[node];
    return sum;
  }

 private:
  std::vector<std::size_t> tree_;
};

// A multiset of element ranges over a fixed, sorted set of keys (every range
// end that will be inserted), answering whether some range shares a key with
// a given range.
class LiveElementRanges {
 public:
  void reset(std::span<const std::uint32_t> keys) {
    keys_ = keys;
    firsts_.reset(keys.size());
    lasts_.reset(keys.size());
    live_ = 0;
  }
  void insert(ElementRange range) {
    firsts_.increment(position(range.first));
    lasts_.increment(position(range.last));
    ++live_;
  }
  void erase(ElementRange range) {
    firsts_.decrement(position(range.first));
    lasts_.decrement(position(range.last));
    --live_;
  }
  [[nodiscard]] bool shares_element(ElementRange range) const {
    // A live range misses `range` when it lies wholly above it or wholly
    // below it; since first <= last on both sides, never both.
    const std::size_t starting_at_or_below = firsts_.below(keys_upper_bound(range.last));
    const std::size_t above = live_ - starting_at_or_below;
    const std::size_t below = lasts_.below(position(range.first));
    return live_ > above + below;
  }

 private:
  [[nodiscard]] std::size_t position(std::uint32_t key) const {
    return static_cast<std::size_t>(std::lower_bound(keys_.begin(), keys_.end(), key) - keys_.begin());
  }
  [[nodiscard]] std::size_t keys_upper_bound(std::uint32_t key) const {
    return static_cast<std::size_t>(std::upper_bound(keys_.begin(), keys_.end(), key) - keys_.begin());
  }

  std::span<const std::uint32_t> keys_;
  PositionCounts firsts_;
  PositionCounts lasts_;
  std::size_t live_ = 0;
};

// A multiset of transfer indices, answering whether it holds some other
// transfer than a given one.
class LiveTransfers {
 public:
  void clear() {
    counts_.clear();
    total_ = 0;
  }
  void insert(std::uint32_t transfer) {
    ++counts_[transfer];
    ++total_;
  }
  void erase(std::uint32_t transfer) {
    const auto entry = counts_.find(transfer);
    if (--entry->second == 0) counts_.erase(entry);
    --total_;
  }
  [[nodiscard]] bool holds_other_than(std::uint32_t transfer) const {
    const auto entry = counts_.find(transfer);
    return total_ > (entry == counts_.end() ? 0 : entry->second);
  }

 private:
  std::map<std::uint32_t, std::size_t> counts_;
  std::size_t total_ = 0;
};

// ---------------------------------------------------------------------------
// Per-tile working buffers, reused from tile to tile.

// A memory window of a Send or Receive activity with the element ranges it
// touches: ranges[first_range, end_range).
struct MemoryWindow {
  std::uint32_t start = 0;
  std::uint32_t end = 0;
  bool send = false;
  std::size_t first_range = 0;
  std::size_t end_range = 0;
};

// The bus interval of a Send or PartnerBusy activity.
struct TransmitWindow {
  std::uint32_t start = 0;
  std::uint32_t end = 0;
  bool borrowed = false;  // PartnerBusy
  std::uint32_t transfer = 0;
};

struct TileWorkspace {
  std::vector<std::pair<std::uint32_t, std::uint32_t>> bus_intervals;
  std::vector<MemoryWindow> memory_windows;
  std::vector<ElementRange> ranges;
  std::vector<std::uint32_t> keys;
  std::vector<std::size_t> by_end;
  LiveElementRanges live_sends;
  LiveElementRanges live_receives;
  std::vector<TransmitWindow> transmit_windows;
  LiveTransfers live_transmit;
  LiveTransfers live_borrowed;
};

// Sorts `windows` by start and fills `by_end` with the positions of the
// non-empty windows in ascending end order.
template <typename Window>
void order_windows(std::vector<Window>& windows, std::vector<std::size_t>& by_end) {
  std::sort(windows.begin(), windows.end(),
            [](const Window& a, const Window& b) { return a.start < b.start; });
  by_end.clear();
  for (std::size_t position = 0; position < windows.size(); ++position) {
    if (windows[position].start < windows[position].end) by_end.push_back(position);
  }
  std::sort(by_end.begin(), by_end.end(),
            [&windows](std::size_t a, std::size_t b) { return windows[a].end < windows[b].end; });
}

// ---------------------------------------------------------------------------
// Per-tile checks

struct CheckInput {
  std::uint16_t tile_count;
  const ExchangeScheduleProblem& problem;
  const PhysicalExchangePhase& phase;
};

bool is_first_source_address(const ExchangeScheduleTransfer& transfer, std::uint32_t address) {
  return !transfer.source_addresses.empty() && transfer.source_addresses.front() == address;
}

std::expected<void, ExchangeLoweringError> count_activities(const CheckInput& input, std::uint16_t tile,
                                                            Bookkeeping& books) {
  const std::uint32_t phase_id = input.problem.phase;
  const std::uint32_t horizon = input.phase.tile_horizons[tile];
  for (const ExchangeActivity& activity : input.phase.activities[tile]) {
    if (!(activity.start_cycle <= activity.end_cycle && activity.end_cycle <= activity.memory_end_cycle &&
          activity.memory_end_cycle <= horizon)) {
      return violation("phase {} tile {} transfer {} has invalid cycle interval", phase_id, tile, activity.transfer);
    }
    if (activity.transfer >= input.problem.transfers.size()) {
      return violation("phase {} tile {} references missing transfer {}", phase_id, tile, activity.transfer);
    }
    const ExchangeScheduleTransfer& transfer = input.problem.transfers[activity.transfer];
    if (activity.words != transfer.words) {
      return violation("phase {} tile {} transfer {} has wrong word count", phase_id, tile, activity.transfer);
    }
    switch (activity.kind) {
      case ExchangeActivityKind::Send:
        if (tile != transfer.source || !is_first_source_address(transfer, activity.address)) {
          return violation("phase {} transfer {} has a mismatched send activity", phase_id, activity.transfer);
        }
        ++books.sends[activity.transfer];
        break;
      case ExchangeActivityKind::Receive: {
        const DestinationKey probe{activity.transfer, tile, activity.address, 0};
        const auto found = std::lower_bound(books.destinations.begin(), books.destinations.end(), probe);
        if (found == books.destinations.end() || found->transfer != probe.transfer || found->tile != tile ||
            found->address != activity.address) {
          return violation("phase {} transfer {} has an unexpected receive activity on tile {}", phase_id,
                           activity.transfer, tile);
        }
        ++books.receives[found->counter];
        break;
      }
      case ExchangeActivityKind::PartnerBusy:
        // The partner of every Paired64 source was looked up when the
        // bookkeeping started, so no lookup can fail here.
        if (transfer.width != ExchangeItemWidth::Paired64 || books.partners[activity.transfer] != tile ||
            !is_first_source_address(transfer, activity.address)) {
          return violation("phase {} transfer {} has a mismatched partner-busy activity", phase_id,
                           activity.transfer);
        }
        ++books.partner_busy[activity.transfer];
        break;
    }
  }
  return {};
}

std::expected<void, ExchangeLoweringError> check_bus_intervals(const CheckInput& input, std::uint16_t tile,
                                                               ExchangeActivityKind kind, TileWorkspace& work) {
  auto& intervals = work.bus_intervals;
  intervals.clear();
  for (const ExchangeActivity& activity : input.phase.activities[tile]) {
    if (activity.kind == kind) intervals.emplace_back(activity.start_cycle, activity.end_cycle);
  }
  std::sort(intervals.begin(), intervals.end());
  for (std::size_t next = 1; next < intervals.size(); ++next) {
    if (intervals[next].first < intervals[next - 1].second) {
      return violation("phase {} tile {} has overlapping {} bus intervals", input.problem.phase, tile,
                       activity_kind_name(kind));
    }
  }
  return {};
}

// Whether a Send and a Receive of the tile whose memory windows intersect
// touch a common effective memory element (any source address of the send).
bool send_receive_share_memory(const CheckInput& input, std::uint16_t tile, TileWorkspace& work) {
  auto& windows = work.memory_windows;
  auto& ranges = work.ranges;
  windows.clear();
  ranges.clear();
  bool any_send = false;
  bool any_receive = false;
  for (const ExchangeActivity& activity : input.phase.activities[tile]) {
    const bool send = activity.kind == ExchangeActivityKind::Send;
    if (!send && activity.kind != ExchangeActivityKind::Receive) continue;
    const std::size_t first_range = ranges.size();
    if (send) {
      for (const std::uint32_t address : input.problem.transfers[activity.transfer].source_addresses) {
        if (const auto range = span_element_range(address, activity.words)) ranges.push_back(*range);
      }
    } else if (const auto range = span_element_range(activity.address, activity.words)) {
      ranges.push_back(*range);
    }
    // A window that touches no element can share none.
    if (ranges.size() == first_range) continue;
    windows.push_back({activity.start_cycle, activity.memory_end_cycle, send, first_range, ranges.size()});
    (send ? any_send : any_receive) = true;
  }
  if (!any_send || !any_receive) return false;

  auto& keys = work.keys;
  keys.clear();
  for (const ElementRange& range : ranges) {
    keys.push_back(range.first);
    keys.push_back(range.last);
  }
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  work.live_sends.reset(keys);
  work.live_receives.reset(keys);
  order_windows(windows, work.by_end);

  const auto window_ranges = [&ranges](const MemoryWindow& window) {
    return std::span<const ElementRange>(ranges).subspan(window.first_range, window.end_range - window.first_range);
  };
  const auto shares = [&](const LiveElementRanges& live, const MemoryWindow& window) {
    const auto own = window_ranges(window);
    return std::any_of(own.begin(), own.end(), [&live](ElementRange range) { return live.shares_element(range); });
  };
  const auto insert = [&](LiveElementRanges& live, const MemoryWindow& window) {
    for (const ElementRange& range : window_ranges(window)) live.insert(range);
  };

  std::size_t expired = 0;
  for (std::size_t group = 0; group < windows.size();) {
    const std::uint32_t cycle = windows[group].start;
    std::size_t group_end = group;
    while (group_end < windows.size() && windows[group_end].start == cycle) ++group_end;
    for (; expired < work.by_end.size() && windows[work.by_end[expired]].end <= cycle; ++expired) {
      const MemoryWindow& ended = windows[work.by_end[expired]];
      for (const ElementRange& range : window_ranges(ended)) {
        (ended.send ? work.live_sends : work.live_receives).erase(range);
      }
    }
    const auto starting = std::span<const MemoryWindow>(windows).subspan(group, group_end - group);
    // Windows starting strictly inside a live window of the other kind.
    for (const MemoryWindow& window : starting) {
      if (shares(window.send ? work.live_receives : work.live_sends, window)) return true;
    }
    // Non-empty windows starting together.
    for (const MemoryWindow& window : starting) {
      if (!window.send && window.start < window.end) insert(work.live_receives, window);
    }
    for (const MemoryWindow& window : starting) {
      if (window.send && window.start < window.end && shares(work.live_receives, window)) return true;
    }
    for (const MemoryWindow& window : starting) {
      if (window.send && window.start < window.end) insert(work.live_sends, window);
    }
    group = group_end;
  }
  return false;
}

// Whether a PartnerBusy bus interval of the tile intersects the bus interval
// of a Send or PartnerBusy activity of another transfer.
bool borrowed_meets_local_transmit(const CheckInput& input, std::uint16_t tile, TileWorkspace& work) {
  auto& windows = work.transmit_windows;
  windows.clear();
  bool any_borrowed = false;
  for (const ExchangeActivity& activity : input.phase.activities[tile]) {
    if (activity.kind == ExchangeActivityKind::Receive) continue;
    const bool borrowed = activity.kind == ExchangeActivityKind::PartnerBusy;
    windows.push_back({activity.start_cycle, activity.end_cycle, borrowed, activity.transfer});
    any_borrowed = any_borrowed || borrowed;
  }
  if (!any_borrowed) return false;
  order_windows(windows, work.by_end);
  work.live_transmit.clear();
  work.live_borrowed.clear();

  std::size_t expired = 0;
  for (std::size_t group = 0; group < windows.size();) {
    const std::uint32_t cycle = windows[group].start;
    std::size_t group_end = group;
    while (group_end < windows.size() && windows[group_end].start == cycle) ++group_end;
    for (; expired < work.by_end.size() && windows[work.by_end[expired]].end <= cycle; ++expired) {
      const TransmitWindow& ended = windows[work.by_end[expired]];
      work.live_transmit.erase(ended.transfer);
      if (ended.borrowed) work.live_borrowed.erase(ended.transfer);
    }
    const auto starting = std::span<const TransmitWindow>(windows).subspan(group, group_end - group);
    // Windows starting strictly inside a live window of the other role.
    for (const TransmitWindow& window : starting) {
      if (work.live_borrowed.holds_other_than(window.transfer)) return true;
      if (window.borrowed && work.live_transmit.holds_other_than(window.transfer)) return true;
    }
    // Non-empty windows starting together.
    for (const TransmitWindow& window : starting) {
      if (window.start < window.end) work.live_transmit.insert(window.transfer);
    }
    for (const TransmitWindow& window : starting) {
      if (window.borrowed && window.start < window.end && work.live_transmit.holds_other_than(window.transfer)) {
        return true;
      }
    }
    for (const TransmitWindow& window : starting) {
      if (window.borrowed && window.start < window.end) work.live_borrowed.insert(window.transfer);
    }
    group = group_end;
  }
  return false;
}

std::expected<void, ExchangeLoweringError> check_tile(const CheckInput& input, std::uint16_t tile, Bookkeeping& books,
                                                      TileWorkspace& work) {
  const std::uint32_t phase_id = input.problem.phase;
  const PhysicalExchangePhase& phase = input.phase;
  const std::uint32_t horizon = phase.tile_horizons[tile];
  {
    OXU_TRY_ASSIGN(const auto decoded, exchange::diagnostic::diagnose_plan_program(phase.programs[tile], std::nullopt));
    if (decoded.horizon != horizon) {
      return violation("phase {} tile {} decoded horizon {} differs from {}", phase_id, tile, decoded.horizon, horizon);
    }
  }
  const bool expected_active = !phase.activities[tile].empty() || books.borrowed_tiles[tile];
  const bool active = phase.active[tile];
  if (active != expected_active || active != (horizon != 0)) {
    return violation("phase {} tile {} has inconsistent active state", phase_id, tile);
  }
  OXU_TRY(count_activities(input, tile, books));
  OXU_TRY(check_bus_intervals(input, tile, ExchangeActivityKind::Send, work));
  OXU_TRY(check_bus_intervals(input, tile, ExchangeActivityKind::Receive, work));
  if (send_receive_share_memory(input, tile, work)) {
    return violation("phase {} tile {} overlaps send/receive access to one SRAM element", phase_id, tile);
  }
  if (borrowed_meets_local_transmit(input, tile, work)) {
    return violation("phase {} tile {} overlaps borrowed and local transmit intervals", phase_id, tile);
  }
  return {};
}

// ---------------------------------------------------------------------------
// Phase-level checks

std::expected<void, ExchangeLoweringError> check_phase_shape(const CheckInput& input) {
  const PhysicalExchangePhase& phase = input.phase;
  const std::uint32_t phase_id = input.problem.phase;
  if (phase.phase != phase_id) {
    return violation("phase id {} differs from snapshot phase {}", phase.phase, phase_id);
  }
  const std::pair<std::size_t, const char*> lengths[] = {
      {phase.active.size(), "active"},
      {phase.programs.size(), "programs"},
      {phase.incoming_bases.size(), "incoming bases"},
      {phase.tile_horizons.size(), "tile horizons"},
      {phase.activities.size(), "activities"},
      {phase.repeat_patches.size(), "repeat patches"},
  };
  for (const auto& [length, label] : lengths) {
    if (length != input.tile_count) {
      return violation("phase {} has {} {} entries for {} tiles", phase_id, length, label, input.tile_count);
    }
  }
  const bool any_patches = std::any_of(phase.repeat_patches.begin(), phase.repeat_patches.end(),
                                       [](const auto& patches) { return !patches.empty(); });
  if (any_patches) return violation("standalone phase {} unexpectedly contains repeat patches", phase_id);
  const std::uint32_t largest =
      phase.tile_horizons.empty() ? 0 : *std::max_element(phase.tile_horizons.begin(), phase.tile_horizons.end());
  if (phase.horizon_cycles != largest) {
    return violation("phase {} horizon {} differs from maximum tile horizon {}", phase_id, phase.horizon_cycles,
                     largest);
  }
  return {};
}

std::expected<void, ExchangeLoweringError> check_counts(const ExchangeScheduleProblem& problem,
                                                        const Bookkeeping& books) {
  const std::size_t transfer_count = problem.transfers.size();
  for (std::size_t transfer = 0; transfer < transfer_count; ++transfer) {
    if (books.sends[transfer] != 1) {
      return violation("phase {} transfer {} has {} send activities", problem.phase, transfer, books.sends[transfer]);
    }
  }
  for (std::size_t transfer = 0; transfer < transfer_count; ++transfer) {
    const std::size_t expected = problem.transfers[transfer].width == ExchangeItemWidth::Paired64 ? 1 : 0;
    if (books.partner_busy[transfer] != expected) {
      return violation("phase {} transfer {} has {} partner-busy activities, expected {}", problem.phase, transfer,
                       books.partner_busy[transfer], expected);
    }
  }
  for (std::size_t transfer = 0; transfer < transfer_count; ++transfer) {
    const auto first = books.receives.begin() + static_cast<std::ptrdiff_t>(books.first_receive[transfer]);
    const auto last = books.receives.begin() + static_cast<std::ptrdiff_t>(books.first_receive[transfer + 1]);
    if (std::any_of(first, last, [](std::size_t count) { return count != 1; })) {
      return violation("phase {} transfer {} does not have exactly one activity per destination", problem.phase,
                       transfer);
    }
  }
  return {};
}

}  // namespace

std::expected<void, ExchangeLoweringError> validate_exchange_schedule(std::uint16_t tile_count,
                                                                      const ExchangeScheduleProblem& problem,
                                                                      const PhysicalExchangePhase& phase) {
  const CheckInput input{tile_count, problem, phase};
  OXU_TRY(check_phase_shape(input));
  OXU_TRY_ASSIGN(Bookkeeping books, start_bookkeeping(tile_count, problem));
  TileWorkspace work;
  for (std::uint16_t tile = 0; tile < tile_count; ++tile) {
    OXU_TRY(check_tile(input, tile, books, work));
  }
  return check_counts(problem, books);
}

}  // namespace oxu::codegen
