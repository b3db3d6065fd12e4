#include "oxu/exchange/phase_program_builder.hpp"

#include <algorithm>
#include <limits>
#include <utility>

#include "oxu/exchange/checked.hpp"
#include "oxu/exchange/diagnostic/plan_program.hpp"
#include "oxu/exchange/result.hpp"

namespace oxu::exchange {
namespace {

constexpr std::string_view kAlignmentReason = "SENDPICP instruction alignment";

ExchangeError schedule_error(std::string_view reason) { return ExchangeError::schedule(reason); }

bool is_alignment_failure(const ExchangeError& error) {
  return error.kind() == ExchangeError::Kind::Schedule && error.reason() == kAlignmentReason;
}

std::expected<void, ExchangeError> check_row_count(std::span<const std::uint16_t> receivers,
                                                   const MulticastExchange& rows) {
  if (receivers.size() != rows.receivers.size()) return std::unexpected(schedule_error("receiver row count"));
  return {};
}

// Whether two receive controls at the same cycle can share it: a pointer
// with a source or a teardown.
bool compatible_pair(ReceiveEventKind a, ReceiveEventKind b) {
  const auto pointer_with = [](ReceiveEventKind pointer, ReceiveEventKind other) {
    return pointer == ReceiveEventKind::Pointer &&
           (other == ReceiveEventKind::Source || other == ReceiveEventKind::Teardown);
  };
  return pointer_with(a, b) || pointer_with(b, a);
}

// The first sender row of the tile that overlaps [start, end). Rows are
// sorted and disjoint, so it is the first one that ends after `start`.
const ScheduledSenderRow* first_overlapping_sender(const std::vector<ScheduledSenderRow>& senders,
                                                   std::uint32_t start, std::uint32_t end) {
  const auto it = std::upper_bound(senders.begin(), senders.end(), start,
                                   [](std::uint32_t cycle, const ScheduledSenderRow& row) { return cycle < row.end_cycle; });
  if (it == senders.end() || it->start_cycle >= end) return nullptr;
  return &*it;
}

bool has_event_within_one_cycle(const std::vector<ReceiveEvent>& events, std::uint32_t cycle) {
  const auto it = std::lower_bound(events.begin(), events.end(), cycle,
                                   [](const ReceiveEvent& event, std::uint32_t c) { return event.cycle < c; });
  return it != events.end() && it->cycle <= saturating_add(cycle, 1);
}

bool sender_starts_at(const std::vector<ScheduledSenderRow>& senders, std::uint32_t cycle) {
  const auto it = std::lower_bound(senders.begin(), senders.end(), cycle,
                                   [](const ScheduledSenderRow& row, std::uint32_t c) { return row.start_cycle < c; });
  return it != senders.end() && it->start_cycle == cycle;
}

// Whether a receive window placed on `tile` meets an existing control of the
// tile at its cycle, or a send that starts at its cycle or the cycle after.
bool window_collides(const TileProgramSchedule& tile, const ScheduledReceiverWindow& window, bool row_paired) {
  const auto& events = tile.receive_events();
  const auto& senders = tile.senders();
  for (const ReceiveEvent& event : window.events) {
    const auto [first, last] = std::equal_range(events.begin(), events.end(), event,
                                                [](const ReceiveEvent& a, const ReceiveEvent& b) { return a.cycle < b.cycle; });
    for (auto it = first; it != last; ++it) {
      if (tile.removed_by_receiver(*it, window, row_paired)) continue;
      if (!compatible_pair(it->kind, event.kind)) return true;
    }
    if (sender_starts_at(senders, event.cycle)) return true;
    if (event.cycle > 0 && sender_starts_at(senders, event.cycle - 1)) return true;
  }
  return false;
}

std::uint64_t tile_work(const TileProgramSchedule& tile) {
  return tile.senders().size() + tile.receive_events().size() + 1;
}

std::uint64_t saturating_add_u64(std::uint64_t a, std::uint64_t b) {
  std::uint64_t out = 0;
  return __builtin_add_overflow(a, b, &out) ? std::numeric_limits<std::uint64_t>::max() : out;
}

}  // namespace

PhaseProgramBuilder::PhaseProgramBuilder(std::uint16_t tile_count) : tiles_(tile_count) {}

PhaseProgramBuilder PhaseProgramBuilder::with_validation_budget(std::uint64_t budget) && {
  validation_budget_ = std::make_shared<std::atomic<std::uint64_t>>(budget);
  return std::move(*this);
}

std::uint32_t PhaseProgramBuilder::event_cycles() const {
  std::uint32_t horizon = 0;
  for (const TileProgramSchedule& tile : tiles_) horizon = std::max(horizon, tile.horizon());
  return horizon;
}

std::expected<std::uint32_t, ExchangeError> PhaseProgramBuilder::earliest_transfer_offset(
    std::uint16_t sender, std::span<const std::uint16_t> blocked, std::span<const std::uint16_t> receivers,
    const MulticastExchange& rows, std::uint32_t count, std::uint32_t start) const {
  return earliest_transfer_offset_impl(sender, blocked, receivers, rows, count, start, true);
}

std::expected<std::uint32_t, ExchangeError> PhaseProgramBuilder::earliest_transfer_offset_deferred(
    std::uint16_t sender, std::span<const std::uint16_t> blocked, std::span<const std::uint16_t> receivers,
    const MulticastExchange& rows, std::uint32_t count, std::uint32_t start) const {
  return earliest_transfer_offset_impl(sender, blocked, receivers, rows, count, start, false);
}

std::expected<std::uint32_t, ExchangeError> PhaseProgramBuilder::earliest_transfer_offset_impl(
    std::uint16_t sender, std::span<const std::uint16_t> blocked, std::span<const std::uint16_t> receivers,
    const MulticastExchange& rows, std::uint32_t count, std::uint32_t start, bool trial) const {
  OXU_TRY(check_row_count(receivers, rows));
  if (sender >= tiles_.size()) return std::unexpected(ExchangeError::tile(sender));
  OXU_TRY_ASSIGN(const SenderRowTiming send, sender_row_timing(rows.sender, 0));
  const TileProgramSchedule& sender_tile = tiles_[sender];

  std::uint32_t s = start;
  for (;;) {
    // Fixed-point search: every adjustment only raises the offset.
    for (;;) {
      std::uint32_t o = std::max(s, saturating_sub(sender_tile.busy_until(), send.start_cycle));
      for (;;) {
        const auto send_start = checked_add(o, send.start_cycle);
        const auto send_end = checked_add(o, send.end_cycle);
        if (!send_start || !send_end) return std::unexpected(schedule_error("send offset overflow"));
        if (const ScheduledSenderRow* busy = first_overlapping_sender(sender_tile.senders(), *send_start, *send_end)) {
          if (busy->end_cycle < send.start_cycle) return std::unexpected(schedule_error("send offset order"));
          o = busy->end_cycle - send.start_cycle;
          continue;
        }
        if (has_event_within_one_cycle(sender_tile.receive_events(), *send_start)) {
          const auto next = checked_add(o, 1);
          if (!next) return std::unexpected(schedule_error("send offset overflow"));
          o = *next;
          continue;
        }
        break;
      }

      for (const std::uint16_t tile : blocked) {
        if (tile >= tiles_.size()) return std::unexpected(ExchangeError::tile(tile));
        const TileProgramSchedule& held = tiles_[tile];
        o = std::max(o, held.busy_until());
        if (!held.senders().empty()) o = std::max(o, held.senders().back().end_cycle);
      }

      for (std::size_t r = 0; r < receivers.size(); ++r) {
        const std::uint16_t tile = receivers[r];
        if (tile >= tiles_.size()) return std::unexpected(ExchangeError::tile(tile));
        const TileProgramSchedule& receiver = tiles_[tile];
        OXU_TRY_ASSIGN(const ReceiveRowTiming timing, receive_row_timing(rows.receivers[r], 0));
        std::uint32_t b = o;
        if (const auto& state = receiver.receive_state()) {
          const auto stream_cycle = timing.source ? timing.source : timing.paired_start;
          if (!stream_cycle) return std::unexpected(schedule_error("receive source timing"));
          if (!timing.pointer) return std::unexpected(schedule_error("receive pointer event"));
          b = std::max({b, saturating_sub(state->stream_end, *stream_cycle),
                        saturating_sub(state->payload_end, *timing.pointer)});
          if (!state->paired && timing.paired_start) {
            b = std::max(b, saturating_sub(state->payload_end, *timing.paired_start));
          }
        }
        for (;;) {
          OXU_TRY_ASSIGN(const ScheduledReceiverWindow window,
                         scheduled_receive_window(timing, b, count, receiver.receive_state()));
          if (!window_collides(receiver, window, timing.paired)) break;
          const auto next = checked_add(b, 1);
          if (!next) return std::unexpected(schedule_error("receive offset overflow"));
          b = *next;
        }
        o = b;
      }

      if (o == s) break;
      s = o;
    }
    if (!trial) return s;

    if (validation_budget_) {
      if (sender >= tiles_.size()) return std::unexpected(ExchangeError::tile(sender));
      std::uint64_t work = tile_work(tiles_[sender]);
      for (const std::uint16_t tile : receivers) {
        if (tile >= tiles_.size()) return std::unexpected(ExchangeError::tile(tile));
        work = saturating_add_u64(work, tile_work(tiles_[tile]));
      }
      std::uint64_t available = validation_budget_->load(std::memory_order_relaxed);
      do {
        if (available < work) return std::unexpected(ExchangeError::validation_budget_exceeded());
      } while (!validation_budget_->compare_exchange_weak(available, available - work, std::memory_order_relaxed));
    }

    // Trial encoding: the copies resume from the tiles' cached encodings.
    const auto trial_outcome = [&]() -> std::expected<void, ExchangeError> {
      OXU_TRY(sender_tile.encoded());
      TileProgramSchedule sender_copy = sender_tile;
      OXU_TRY(sender_copy.append_sender_at(rows.sender, s));
      OXU_TRY(sender_copy.encoded());
      for (std::size_t r = 0; r < receivers.size(); ++r) {
        if (receivers[r] != sender) OXU_TRY(tiles_[receivers[r]].encoded());
        TileProgramSchedule copy = receivers[r] == sender ? sender_copy : tiles_[receivers[r]];
        OXU_TRY(copy.append_receiver_at(rows.receivers[r], s, count));
        OXU_TRY(copy.encoded());
      }
      return {};
    }();
    if (trial_outcome) return s;
    if (!is_alignment_failure(trial_outcome.error())) return std::unexpected(trial_outcome.error());
    const auto next = checked_add(s, 1);
    if (!next) return std::unexpected(schedule_error("receive offset overflow"));
    s = *next;
  }
}

std::expected<PhaseTransferTiming, ExchangeError> PhaseProgramBuilder::transfer_timing_at(
    std::uint16_t sender, std::span<const std::uint16_t> receivers, const MulticastExchange& rows,
    std::uint32_t offset, std::uint32_t count) const {
  OXU_TRY(check_row_count(receivers, rows));
  if (sender >= tiles_.size()) return std::unexpected(ExchangeError::tile(sender));
  OXU_TRY_ASSIGN(const SenderRowTiming send, sender_row_timing(rows.sender, offset));
  PhaseTransferTiming timing;
  timing.receive_starts.reserve(receivers.size());
  timing.receive_bus_ends.reserve(receivers.size());
  timing.receive_memory_ends.reserve(receivers.size());
  timing.send_start = send.start_cycle;
  timing.send_bus_end = send.end_cycle;
  timing.send_memory_end = send.horizon;
  timing.end_cycle = send.horizon;
  for (std::size_t r = 0; r < receivers.size(); ++r) {
    if (receivers[r] >= tiles_.size()) return std::unexpected(ExchangeError::tile(receivers[r]));
    OXU_TRY_ASSIGN(const ReceiveRowTiming row_timing, receive_row_timing(rows.receivers[r], 0));
    OXU_TRY_ASSIGN(const ScheduledReceiverWindow window,
                   scheduled_receive_window(row_timing, offset, count, tiles_[receivers[r]].receive_state()));
    timing.receive_starts.push_back(window.pointer_cycle);
    timing.receive_bus_ends.push_back(window.payload_end);
    timing.receive_memory_ends.push_back(window.end_cycle);
    timing.end_cycle = std::max(timing.end_cycle, window.end_cycle);
  }
  return timing;
}

std::expected<PhaseTransferTiming, ExchangeError> PhaseProgramBuilder::append_transfer_at(
    std::uint16_t sender, std::span<const std::uint16_t> blocked, std::span<const std::uint16_t> receivers,
    const MulticastExchange& rows, std::uint32_t offset, std::uint32_t count) {
  OXU_TRY_ASSIGN(PhaseTransferTiming timing, transfer_timing_at(sender, receivers, rows, offset, count));
  OXU_TRY(check_row_count(receivers, rows));

  // Every tile is checked before any changes; each tile takes at most one
  // sender and one receiver append, and a receiver append does not read the
  // sender rows, so checking both against the unchanged tile is exact.
  if (sender >= tiles_.size()) return std::unexpected(ExchangeError::tile(sender));
  OXU_TRY_ASSIGN(const TileProgramSchedule::PreparedSender prepared_sender,
                 tiles_[sender].prepare_sender_at(rows.sender, offset));

  std::vector<std::uint16_t> staged{sender};
  const auto is_staged = [&](std::uint16_t tile) { return std::find(staged.begin(), staged.end(), tile) != staged.end(); };
  for (const std::uint16_t tile : blocked) {
    const bool among_receivers = std::find(receivers.begin(), receivers.end(), tile) != receivers.end();
    if (tile == sender || among_receivers || is_staged(tile)) return std::unexpected(ExchangeError::duplicate_tile());
    if (tile >= tiles_.size()) return std::unexpected(ExchangeError::tile(tile));
    staged.push_back(tile);
  }

  std::vector<std::pair<std::uint16_t, TileProgramSchedule::PreparedReceiver>> prepared_receivers;
  prepared_receivers.reserve(receivers.size());
  for (std::size_t r = 0; r < receivers.size(); ++r) {
    const std::uint16_t tile = receivers[r];
    if (std::find(receivers.begin(), receivers.begin() + static_cast<std::ptrdiff_t>(r), tile) !=
        receivers.begin() + static_cast<std::ptrdiff_t>(r)) {
      return std::unexpected(ExchangeError::duplicate_tile());
    }
    if (tile != sender && is_staged(tile)) return std::unexpected(ExchangeError::duplicate_tile());
    if (tile >= tiles_.size()) return std::unexpected(ExchangeError::tile(tile));
    OXU_TRY_ASSIGN(auto prepared, tiles_[tile].prepare_receiver_at(rows.receivers[r], offset, count));
    prepared_receivers.emplace_back(tile, std::move(prepared));
  }

  tiles_[sender].commit_sender(prepared_sender);
  for (std::size_t b = 1; b < staged.size(); ++b) tiles_[staged[b]].hold_until(timing.send_memory_end);
  for (auto& [tile, prepared] : prepared_receivers) tiles_[tile].commit_receiver(std::move(prepared));
  return timing;
}

std::expected<PhasePrograms, ExchangeError> PhaseProgramBuilder::finish() const {
  PhasePrograms out;
  out.horizon = event_cycles();
  out.tile_horizons.reserve(tiles_.size());
  out.programs.reserve(tiles_.size());
  for (const TileProgramSchedule& tile : tiles_) out.tile_horizons.push_back(tile.horizon());
  for (std::size_t index = 0; index < tiles_.size(); ++index) {
    const TileProgramSchedule& tile = tiles_[index];
    if (tile.horizon() == 0) {
      out.programs.emplace_back();
      continue;
    }
    OXU_TRY_ASSIGN(const auto encoding, tile.encoded());
    std::vector<std::uint32_t> words = encoding->words.to_vector();
    OXU_TRY(diagnostic::validate_tile_program(index, tile, words));
    out.programs.emplace_back(std::move(words));
  }
  return out;
}

}  // namespace oxu::exchange
