#include "oxu/exchange/topology.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <limits>
#include <set>
#include <utility>

#include "oxu/exchange/checked.hpp"
#include "oxu/exchange/events.hpp"
#include "oxu/exchange/result.hpp"
#include "oxu/exchange/row_timing.hpp"

namespace oxu::exchange {
namespace {

constexpr std::array<std::uint16_t, kM72TileCount> build_m72_table() {
  std::array<std::uint16_t, kM72TileCount> table{};
  for (unsigned i = 0; i < kM72TileCount; ++i) {
    const unsigned column = i / 46;
    const unsigned e = (i / 2) % 23;
    const unsigned row = column % 2 == 0 ? e : 22 - e;
    table[i] = static_cast<std::uint16_t>(row * 64 + (column / 2) * 4 + (i % 2) * 2 + (column % 2));
  }
  return table;
}

constexpr std::array<std::uint16_t, kM72TileCount> kM72Table = build_m72_table();

// Fields of a physical tile id.
constexpr int side_of(std::uint16_t id) { return id & 1; }
constexpr int lane_of(std::uint16_t id) { return (id >> 1) & 1; }
constexpr int group_of(std::uint16_t id) { return (id >> 2) & 15; }
constexpr int half_of(std::uint16_t id) { return group_of(id) >= 8 ? 1 : 0; }
constexpr int fold_of(std::uint16_t id) { return group_of(id) < 8 ? group_of(id) : 15 - group_of(id); }
constexpr int outer_of(std::uint16_t id) { return side_of(id) ^ half_of(id); }
constexpr int row_of(std::uint16_t id) { return (id >> 6) & 31; }
constexpr int slot_of(std::uint16_t id) {
  if (outer_of(id) == 0) return lane_of(id) == 0 ? 1 : 2;
  return lane_of(id) == 1 ? 4 : 5;
}

// Signed lateral distance between a sender and a receiver; its sign picks
// the send direction.
constexpr int lateral_distance(std::uint16_t sender, std::uint16_t receiver) {
  return slot_of(receiver) + 6 * (fold_of(receiver) - fold_of(sender) - outer_of(sender));
}

// 2 * row + 51 for a receiver: the wait field of the pointer control that
// follows the source control of a receiver row (the pointer thus switches
// 2 * row + 52 cycles after the source), and the distance from a paired
// row's source cycle to its format start.
constexpr std::uint32_t pointer_lag(std::uint16_t receiver) {
  return static_cast<std::uint32_t>(2 * row_of(receiver) + 51);
}

constexpr std::uint32_t kMulticastPointerValue = 0x14000;
constexpr std::uint32_t kMaxMulticastCycle = 4095;  // largest start or receive switch cycle of a multicast
// A point-to-point sender starts at 112 - latency, so that its words meet
// the receiver's source control, which waits 113 cycles.
constexpr std::int32_t kPointSenderLead = 112;
// Paired rows end this many cycles after their last control.
constexpr std::uint32_t kPairedRowTail = 7;
constexpr std::uint32_t kMaxPairedLastCycle = 0xFFFFFFF8;
constexpr std::uint32_t kMinPairedCount = 64;

// Fills a fixed row word by word; the callers never push beyond its size.
template <std::size_t N>
struct RowWriter {
  std::array<std::uint32_t, N> words{};
  std::size_t size = 0;
  void push(std::uint32_t word) { words[size++] = word; }
};

// Sends `count` words with `control`: one Explicit word for the first 64,
// one Offset word for the rest (count <= 4148 leaves at most 4084).
template <std::size_t N>
std::expected<void, ExchangeError> push_sends(RowWriter<N>& row, std::uint32_t count, std::uint32_t control) {
  const std::uint32_t initial = std::min(count, kMaxExplicitSendWords);
  if (initial < 1 || initial > kMaxExplicitSendWords) {
    return std::unexpected(ExchangeError::schedule("send instruction operand"));
  }
  row.push(explicit_send_word(initial, control));
  if (count > kMaxExplicitSendWords) row.push(offset_send_word(count - kMaxExplicitSendWords, control));
  return {};
}

// The receive tail shared by point-to-point and multicast receiver rows,
// after the Sync and the source control: teardown and pointer (in the order
// in which they take effect), final delay, Return.
template <std::size_t N>
void push_receive_tail(RowWriter<N>& row, std::uint16_t receiver, std::uint32_t count, std::uint32_t pointer_value) {
  constexpr std::uint32_t kShortCount = 52;
  if (count < kShortCount) {
    // The teardown comes first; the pointer waits for what is left of the lag.
    row.push(xpic_control_word(count - 1, kXpicTeardownValue));
    row.push(pic_control_word((pointer_lag(receiver) - count) & 127, pointer_value));
    row.push(delay_word(count + 5));
  } else {
    row.push(pic_control_word(pointer_lag(receiver), pointer_value));
    row.push(xpic_control_word(count == kShortCount ? 0 : count - 53, kXpicTeardownValue));
    row.push(delay_word(57));
  }
  row.push(kReturnWord);
}

// Timed-event encoding of one paired receiver row: each control is issued
// with the wait that makes it take effect at its cycle; gaps beyond a
// control's longest wait are filled with Delay words first.
class PairedRowEncoder {
 public:
  std::expected<void, ExchangeError> push(std::uint32_t word) {
    if (size_ == row_.size()) return std::unexpected(ExchangeError::schedule("paired receive row capacity"));
    row_[size_++] = word;
    return {};
  }

  std::expected<void, ExchangeError> push_delay(std::uint32_t cycles) {
    while (cycles > 0) {
      const std::uint32_t step = std::min(cycles, kMaxDelayCycles);
      OXU_TRY(push(delay_word(step)));
      cycles -= step;
    }
    return {};
  }

  std::expected<void, ExchangeError> push_event(const ReceiveEvent& event) {
    if (event.cycle < clock_) return std::unexpected(ExchangeError::schedule("receive event order"));
    if (event.cycle == clock_) return std::unexpected(ExchangeError::schedule("receive control issue interval"));
    const bool pic = is_pic_control_word(event.word);
    if (!pic && !is_xpic_control_word(event.word)) {
      return std::unexpected(ExchangeError::schedule("receive timed event"));
    }
    const std::uint32_t longest_wait = pic ? kMaxPicWait : kMaxXpicWait;
    const std::uint32_t gap = event.cycle - clock_;
    if (gap > longest_wait) OXU_TRY(push_delay(gap - longest_wait));
    const std::uint32_t wait = std::min(gap, longest_wait);
    OXU_TRY(
        push(pic ? (event.word & 0x6007FFFF) | ((wait - 1) << 19) : (event.word & 0x64003FFF) | ((wait - 1) << 14)));
    clock_ = event.cycle;
    return {};
  }

  // Delays up to `end` and the Return.
  std::expected<ExchangeRow, ExchangeError> finish(std::uint32_t end) {
    OXU_TRY(push_delay(end - clock_));
    OXU_TRY(push(kReturnWord));
    return row_;
  }

 private:
  ExchangeRow row_{kSyncWord};
  std::size_t size_ = 1;
  std::uint32_t clock_ = 0;
};

std::expected<std::uint32_t, ExchangeError> cycle_after(std::uint32_t cycle, std::uint32_t cycles) {
  const auto sum = checked_add(cycle, cycles);
  if (!sum) return std::unexpected(ExchangeError::schedule("paired receive horizon overflow"));
  return *sum;
}

// Logical tile of each physical id; the lowest one when an id repeats.
std::vector<std::uint16_t> index_physical_ids(const std::vector<std::uint16_t>& tiles) {
  std::uint16_t largest = 0;
  for (const std::uint16_t id : tiles) largest = std::max(largest, id);
  std::vector<std::uint16_t> index(static_cast<std::size_t>(largest) + 1, Topology::kNoLogicalTile);
  for (std::size_t logical = tiles.size(); logical-- > 0;) index[tiles[logical]] = static_cast<std::uint16_t>(logical);
  return index;
}

}  // namespace

std::int32_t time_to_mux(std::uint16_t sender_physical, std::uint16_t receiver_physical) {
  const std::uint16_t s = sender_physical;
  const std::uint16_t r = receiver_physical;
  const int distance = lateral_distance(s, r);
  const int x = half_of(s) == half_of(r) ? group_of(s) % 8 + 1 : 16 - group_of(s) % 8;
  return 8 * half_of(s) + 3 + 4 * fold_of(s) + x - group_of(r) - 4 * fold_of(r) + 2 * (row_of(s) - row_of(r)) +
         (distance < 0 ? -distance : distance) - 34;
}

std::uint8_t direction(std::uint16_t sender_physical, std::uint16_t receiver_physical) {
  return lateral_distance(sender_physical, receiver_physical) > 0 ? 1 : 2;
}

std::expected<Topology, ExchangeError> Topology::create(std::vector<std::uint16_t> physical_ids) {
  if (physical_ids.empty()) return std::unexpected(ExchangeError::receiver_set());
  std::set<std::uint16_t> seen;
  for (const std::uint16_t id : physical_ids) {
    if (!seen.insert(id).second) return std::unexpected(ExchangeError::receiver_set());
  }
  Topology topology{std::move(physical_ids), {}};
  topology.logical_by_physical = index_physical_ids(topology.tiles);
  return topology;
}

Topology Topology::m72() {
  Topology topology{std::vector<std::uint16_t>(kM72Table.begin(), kM72Table.end()), {}};
  topology.logical_by_physical = index_physical_ids(topology.tiles);
  return topology;
}

std::expected<std::uint16_t, ExchangeError> Topology::paired_logical(std::uint16_t logical) const {
  if (logical >= tiles.size()) return std::unexpected(ExchangeError::tile(logical));
  const auto partner_id = static_cast<std::uint16_t>(tiles[logical] ^ 2U);
  if (!logical_by_physical.empty()) {
    // Ids are unique, so the indexed tile is the only (and lowest) match.
    if (partner_id >= logical_by_physical.size() || logical_by_physical[partner_id] == kNoLogicalTile) {
      return std::unexpected(ExchangeError::tile(logical));
    }
    return logical_by_physical[partner_id];
  }
  const auto found = std::find(tiles.begin(), tiles.end(), partner_id);
  if (found == tiles.end()) return std::unexpected(ExchangeError::tile(logical));
  return static_cast<std::uint16_t>(found - tiles.begin());
}

std::expected<PointToPointExchange, ExchangeError> Topology::point_to_point(std::uint16_t sender,
                                                                            std::uint16_t receiver,
                                                                            std::uint32_t count) const {
  if (count < 1 || count > kMaxExchangeCount) return std::unexpected(ExchangeError::count(count));
  if (sender == receiver) return std::unexpected(ExchangeError::duplicate_tile());
  if (sender >= tiles.size()) return std::unexpected(ExchangeError::tile(sender));
  if (receiver >= tiles.size()) return std::unexpected(ExchangeError::tile(receiver));

  const std::uint16_t s = tiles[sender];
  const std::uint16_t r = tiles[receiver];
  const std::int32_t latency = time_to_mux(s, r);
  const std::uint8_t dir = direction(s, r);
  if (latency > kPointSenderLead) return std::unexpected(ExchangeError::schedule("sender delay"));

  // The sender starts at 112 - latency, so that its first word reaches the
  // receiver's multiplexer as it switches at cycle 113.
  RowWriter<9> sender_row;
  sender_row.push(kSyncWord);
  if (latency < kPointSenderLead) sender_row.push(delay_word(static_cast<std::uint32_t>(kPointSenderLead - latency)));
  OXU_TRY(push_sends(sender_row, count, dir));
  // The span from the Sync to the Return is never shorter than 6 cycles.
  const std::int64_t tail = std::int64_t{latency} - std::int64_t{count} - 106;
  if (tail > 0) sender_row.push(delay_word(static_cast<std::uint32_t>(tail)));
  sender_row.push(kReturnWord);

  PointToPointExchange exchange;
  exchange.sender = sender_row.words;
  exchange.source_patch_index = 1;
  RowWriter<8> receiver_row;
  receiver_row.push(kSyncWord);
  receiver_row.push(xpic_control_word(static_cast<std::uint32_t>(kPointSenderLead), 0));  // source, patched later
  push_receive_tail(receiver_row, r, count, 0);
  exchange.receiver = receiver_row.words;

  OXU_EVENT(events::Level::Debug, "oxu_exchange", "assembled point-to-point exchange", {"sender_logical", sender},
            {"receiver_logical", receiver}, {"count", count});
  return exchange;
}

std::expected<MulticastExchange, ExchangeError> Topology::multicast(std::uint16_t sender,
                                                                    std::span<const std::uint16_t> receivers,
                                                                    std::uint32_t count,
                                                                    std::uint32_t schedule_offset) const {
  if (count < 1 || count > kMaxExchangeCount) return std::unexpected(ExchangeError::count(count));
  if (sender >= tiles.size()) return std::unexpected(ExchangeError::tile(sender));
  if (receivers.empty() || (receivers.size() == 1 && receivers[0] == sender)) {
    return std::unexpected(ExchangeError::receiver_set());
  }
  std::set<std::uint16_t> seen;
  for (const std::uint16_t receiver : receivers) {
    if (receiver >= tiles.size() || !seen.insert(receiver).second) {
      return std::unexpected(ExchangeError::receiver_set());
    }
  }

  const std::uint16_t s = tiles[sender];
  std::int32_t min_latency = std::numeric_limits<std::int32_t>::max();
  for (const std::uint16_t receiver : receivers) min_latency = std::min(min_latency, time_to_mux(s, tiles[receiver]));
  // The sender waits until no receiver would have to switch before the Sync.
  const auto lead = static_cast<std::uint32_t>(std::max(0, -min_latency));
  const auto start_sum = checked_add(schedule_offset, lead);
  if (!start_sum || *start_sum > kMaxMulticastCycle) {
    return std::unexpected(ExchangeError::schedule("multicast start cycle"));
  }
  const std::uint32_t start = *start_sum;
  const std::uint32_t control = receivers.size() == 1 ? direction(s, tiles[receivers[0]]) : 3U;

  RowWriter<9> sender_row;
  sender_row.push(kSyncWord);
  if (start > 0) sender_row.push(delay_word(start));
  OXU_TRY(push_sends(sender_row, count, control));
  if (start + count < 6) sender_row.push(delay_word(6 - start - count));
  sender_row.push(kReturnWord);

  MulticastExchange exchange;
  exchange.sender = sender_row.words;
  exchange.receivers.reserve(receivers.size());
  for (const std::uint16_t receiver : receivers) {
    const std::uint16_t r = tiles[receiver];
    const std::int64_t switch_cycle = std::int64_t{time_to_mux(s, r)} + std::int64_t{start};
    if (switch_cycle > kMaxMulticastCycle) return std::unexpected(ExchangeError::schedule("multicast receive cycle"));
    RowWriter<9> receiver_row;
    receiver_row.push(kSyncWord);
    receiver_row.push(xpic_control_word(static_cast<std::uint32_t>(switch_cycle), s & 0x1FFFU));
    push_receive_tail(receiver_row, r, count, kMulticastPointerValue);
    exchange.receivers.push_back(receiver_row.words);
  }

  OXU_EVENT(events::Level::Debug, "oxu_exchange", "assembled multicast exchange", {"sender_logical", sender},
            {"receiver_logical", receivers}, {"count", count}, {"schedule_offset", schedule_offset});
  return exchange;
}

std::expected<MulticastExchange, ExchangeError> Topology::paired_multicast(std::uint16_t sender,
                                                                           std::span<const std::uint16_t> receivers,
                                                                           std::uint32_t count) const {
  if (count < kMinPairedCount || count > kMaxExchangeCount) return std::unexpected(ExchangeError::count(count));
  if (receivers.empty() || receivers.size() % 2 != 0) return std::unexpected(ExchangeError::receiver_set());
  const std::set<std::uint16_t> receiver_set(receivers.begin(), receivers.end());
  if (receiver_set.size() != receivers.size() || receiver_set.contains(sender)) {
    return std::unexpected(ExchangeError::receiver_set());
  }

  // Both tiles of the sending pair feed both tiles of every receiving pair.
  const auto sender_partner = paired_logical(sender);
  if (!sender_partner) return std::unexpected(ExchangeError::tile(sender));
  if (receiver_set.contains(*sender_partner)) return std::unexpected(ExchangeError::receiver_set());
  for (const std::uint16_t receiver : receivers) {
    const auto partner = paired_logical(receiver);
    if (!partner || !receiver_set.contains(*partner)) return std::unexpected(ExchangeError::receiver_set());
  }

  OXU_TRY_ASSIGN(MulticastExchange exchange, multicast(sender, receivers, count, 0));
  const std::uint16_t s = tiles[sender];
  const std::uint8_t control =
      receivers.size() == 2 ? static_cast<std::uint8_t>(direction(s, tiles[receivers[0]]) | 4U) : std::uint8_t{7};
  OXU_TRY(set_sender_control(exchange.sender, control));

  // The pair latency: over the receiving pairs, the least latency by which
  // both tiles of a pair can switch.
  std::int32_t pair_latency = std::numeric_limits<std::int32_t>::max();
  for (const std::uint16_t receiver : receivers) {
    const std::uint16_t r = tiles[receiver];
    pair_latency =
        std::min(pair_latency, std::max(time_to_mux(s, r), time_to_mux(s, static_cast<std::uint16_t>(r ^ 2U))));
  }
  for (std::size_t k = 0; k < receivers.size(); ++k) {
    OXU_TRY_ASSIGN(exchange.receivers[k], paired_receiver_row(sender, receivers[k], count, pair_latency));
  }
  return exchange;
}

std::expected<ExchangeRow, ExchangeError> Topology::paired_receiver_row(std::uint16_t sender, std::uint16_t receiver,
                                                                        std::uint32_t count,
                                                                        std::int32_t pair_latency) const {
  if (sender >= tiles.size()) return std::unexpected(ExchangeError::tile(sender));
  if (receiver >= tiles.size()) return std::unexpected(ExchangeError::tile(receiver));
  const std::uint16_t s = tiles[sender];
  const std::uint16_t r = tiles[receiver];
  const auto r_partner = static_cast<std::uint16_t>(r ^ 2U);

  const std::int64_t lead = std::max<std::int64_t>(0, 1 - std::int64_t{pair_latency});
  const std::int32_t own_latency = time_to_mux(s, r);
  const std::int32_t partner_latency = time_to_mux(s, r_partner);
  const std::int64_t source_cycle = std::int64_t{std::max(own_latency, partner_latency)} + lead;
  if (source_cycle < 0) return std::unexpected(ExchangeError::schedule("paired source timing"));
  // At most 2^31 + the largest latency: always a u32.
  const auto p = static_cast<std::uint32_t>(source_cycle);

  std::array<ReceiveEvent, 5> controls{};
  std::size_t size = 0;
  if (own_latency < partner_latency) {
    // This tile hears the sender first: it selects the pair's source itself.
    const std::uint32_t source = kXpicPairedFlag | ((s & 0x1FFFU) ^ (r & 2U));
    OXU_TRY_ASSIGN(const std::uint32_t teardown_cycle, cycle_after(p, count));
    controls[size++] = {p, xpic_control_word(0, source), ReceiveEventKind::PairedSource};
    controls[size++] = {teardown_cycle, xpic_control_word(0, kXpicPairedFlag | kXpicTeardownValue),
                        ReceiveEventKind::PairedTeardown};
  }
  OXU_TRY_ASSIGN(const std::uint32_t format_cycle, cycle_after(p, pointer_lag(r)));
  OXU_TRY_ASSIGN(const std::uint32_t pointer_cycle, cycle_after(format_cycle, 2));
  OXU_TRY_ASSIGN(const std::uint32_t format_end_cycle, cycle_after(format_cycle, count));
  controls[size++] = {format_cycle, pic_control_word(0, kPicPairedFormatFlag | direction(s, r)),
                      ReceiveEventKind::PairedFormat};
  controls[size++] = {pointer_cycle, pic_control_word(0, 0), ReceiveEventKind::PairedPointer};
  controls[size++] = {format_end_cycle, pic_control_word(0, kPicPairedFormatFlag), ReceiveEventKind::PairedFormat};

  const std::span<ReceiveEvent> timed(controls.data(), size);
  std::stable_sort(timed.begin(), timed.end(),
                   [](const ReceiveEvent& a, const ReceiveEvent& b) { return a.cycle < b.cycle; });
  for (std::size_t i = 1; i < timed.size(); ++i) {
    if (timed[i - 1].cycle == timed[i].cycle) {
      return std::unexpected(ExchangeError::schedule("paired receive coincident controls"));
    }
  }
  const std::uint32_t last_cycle = timed.back().cycle;
  if (last_cycle > kMaxPairedLastCycle) {
    return std::unexpected(ExchangeError::schedule("paired receive horizon overflow"));
  }

  PairedRowEncoder encoder;
  for (const ReceiveEvent& event : timed) OXU_TRY(encoder.push_event(event));
  return encoder.finish(last_cycle + kPairedRowTail);
}

}  // namespace oxu::exchange
