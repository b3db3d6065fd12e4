#include "oxu/exchange/tile_program_schedule.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "oxu/exchange/checked.hpp"
#include "oxu/exchange/result.hpp"

namespace oxu::exchange {
namespace {

ExchangeError schedule_error(std::string_view reason) { return ExchangeError::schedule(reason); }

bool by_cycle(const ReceiveEvent& a, const ReceiveEvent& b) { return a.cycle < b.cycle; }

// The value of the row's paired format start event, when it has one.
std::optional<std::uint32_t> paired_format_value(const ReceiveRowTiming& timing) {
  if (!timing.paired_start) return std::nullopt;
  for (const ReceiveEvent& event : timing.events) {
    if (event.kind == ReceiveEventKind::PairedFormat && event.cycle == *timing.paired_start) {
      return event.word & 0x3FFFF;
    }
  }
  return std::nullopt;
}

}  // namespace

void TileProgramSchedule::invalidate() {
  if (!encoding_cache_) return;
  previous_encoding_ = std::move(encoding_cache_);
  encoding_cache_.reset();
  sender_dirty_from_ = senders_.size();
  receive_dirty_from_ = receive_events_.size();
}

std::expected<TileProgramSchedule::PreparedSender, ExchangeError> TileProgramSchedule::prepare_sender_at(
    const ExchangeRow& row, std::uint32_t offset) const {
  OXU_TRY_ASSIGN(const SenderRowTiming timing, sender_row_timing(row, offset));
  const auto at = std::lower_bound(senders_.begin(), senders_.end(), timing.start_cycle,
                                   [](const ScheduledSenderRow& s, std::uint32_t start) { return s.start_cycle < start; });
  const auto index = static_cast<std::size_t>(at - senders_.begin());
  if ((index > 0 && senders_[index - 1].end_cycle > timing.start_cycle) ||
      (index < senders_.size() && senders_[index].start_cycle < timing.end_cycle)) {
    return std::unexpected(schedule_error("overlapping outgoing messages"));
  }
  // A send must not begin in the same cycle as, or one cycle before, an incoming control.
  const auto next_event = std::lower_bound(receive_events_.begin(), receive_events_.end(),
                                           ReceiveEvent{timing.start_cycle, 0, {}}, by_cycle);
  if (next_event != receive_events_.end() && next_event->cycle <= saturating_add(timing.start_cycle, 1)) {
    return std::unexpected(schedule_error("unencodable initial send control"));
  }
  return PreparedSender{ScheduledSenderRow{row, timing.start_cycle, timing.end_cycle}, index, timing.horizon};
}

void TileProgramSchedule::commit_sender(const PreparedSender& prepared) {
  invalidate();
  sender_dirty_from_ = std::min(sender_dirty_from_, prepared.index);
  horizon_ = std::max(horizon_, prepared.horizon);
  senders_.insert(senders_.begin() + static_cast<std::ptrdiff_t>(prepared.index), prepared.row);
}

std::expected<void, ExchangeError> TileProgramSchedule::append_sender_at(const ExchangeRow& row,
                                                                         std::uint32_t offset) {
  OXU_TRY_ASSIGN(const PreparedSender prepared, prepare_sender_at(row, offset));
  commit_sender(prepared);
  return {};
}

std::expected<TileProgramSchedule::PreparedReceiver, ExchangeError> TileProgramSchedule::prepare_receiver_at(
    const ExchangeRow& row, std::uint32_t offset, std::uint32_t count) const {
  OXU_TRY_ASSIGN(const ReceiveRowTiming timing, receive_row_timing(row, 0));
  OXU_TRY_ASSIGN(ScheduledReceiverWindow window, scheduled_receive_window(timing, offset, count, receive_state_));

  std::optional<std::uint32_t> next_address;
  if (window.pointer_address) {
    const auto bytes = checked_mul(count, timing.paired ? 8 : 4);
    const auto next = bytes ? checked_add(*window.pointer_address, *bytes) : std::nullopt;
    if (!next) return std::unexpected(schedule_error("receive address overflow"));
    next_address = next;
  }
  if (receive_state_ &&
      (window.stream_start < receive_state_->stream_end || window.pointer_cycle < receive_state_->payload_end)) {
    return std::unexpected(schedule_error("overlapping receive streams"));
  }
  std::optional<std::uint32_t> paired_end;
  if (timing.paired_end) {
    // The window moved every present cycle of the row by the offset already.
    paired_end = checked_add(offset, *timing.paired_end);
    if (!paired_end) return std::unexpected(schedule_error("receive offset overflow"));
  }
  ReceiveState next_state{
      .paired_format = paired_format_value(timing),
      .paired_end = paired_end,
      .next_address = next_address,
      .stream_end = window.stream_end,
      .payload_end = window.payload_end,
      .paired = timing.paired,
  };
  return PreparedReceiver{std::move(window), next_state, timing.paired};
}

bool TileProgramSchedule::removed_by_receiver(const ReceiveEvent& existing, const ScheduledReceiverWindow& window,
                                              bool row_paired) const {
  if (!receive_state_) return false;
  const ReceiveState& state = *receive_state_;
  if (window.continues_paired_format && state.paired_end && existing.kind == ReceiveEventKind::PairedFormat &&
      existing.cycle == *state.paired_end) {
    return true;
  }
  if (window.stream_start != state.stream_end || existing.cycle != state.stream_end) return false;
  if (!state.paired && !row_paired) return existing.kind == ReceiveEventKind::Teardown;
  if (state.paired && row_paired && window.continues_paired_format) {
    return existing.kind == ReceiveEventKind::PairedTeardown;
  }
  return false;
}

ScheduledReceiverWindow TileProgramSchedule::commit_receiver(PreparedReceiver prepared) {
  const ScheduledReceiverWindow& window = prepared.window;
  invalidate();

  if (receive_state_) {
    // Only events at the previous stream end or paired format end can go.
    std::vector<std::size_t> removed;
    const auto collect_at = [&](std::uint32_t cycle) {
      const auto [first, last] =
          std::equal_range(receive_events_.begin(), receive_events_.end(), ReceiveEvent{cycle, 0, {}}, by_cycle);
      for (auto it = first; it != last; ++it) {
        if (removed_by_receiver(*it, window, prepared.paired)) {
          removed.push_back(static_cast<std::size_t>(it - receive_events_.begin()));
        }
      }
    };
    collect_at(receive_state_->stream_end);
    if (receive_state_->paired_end && *receive_state_->paired_end != receive_state_->stream_end) {
      collect_at(*receive_state_->paired_end);
    }
    std::sort(removed.begin(), removed.end());
    for (auto it = removed.rbegin(); it != removed.rend(); ++it) {
      receive_events_.erase(receive_events_.begin() + static_cast<std::ptrdiff_t>(*it));
    }
    if (!removed.empty()) receive_dirty_from_ = std::min(receive_dirty_from_, removed.front());
  }

  for (const ReceiveEvent& event : window.events) {
    const auto at = std::upper_bound(receive_events_.begin(), receive_events_.end(), event, by_cycle);
    receive_dirty_from_ = std::min(receive_dirty_from_, static_cast<std::size_t>(at - receive_events_.begin()));
    receive_events_.insert(at, event);
  }
  horizon_ = std::max(horizon_, window.end_cycle);
  receive_state_ = prepared.next_state;
  return std::move(prepared.window);
}

std::expected<ScheduledReceiverWindow, ExchangeError> TileProgramSchedule::append_receiver_at(const ExchangeRow& row,
                                                                                             std::uint32_t offset,
                                                                                             std::uint32_t count) {
  OXU_TRY_ASSIGN(PreparedReceiver prepared, prepare_receiver_at(row, offset, count));
  return commit_receiver(std::move(prepared));
}

void TileProgramSchedule::hold_until(std::uint32_t until) {
  invalidate();
  busy_until_ = std::max(busy_until_, until);
  horizon_ = std::max(horizon_, until);
}

std::expected<std::shared_ptr<const encoding::EncodedSchedule>, ExchangeError> TileProgramSchedule::encoded() const {
  if (encoding_cache_) return encoding_cache_;
  const encoding::PreviousEncoding previous{previous_encoding_, sender_dirty_from_, receive_dirty_from_};
  OXU_TRY_ASSIGN(encoding::EncodedSchedule built,
                 encoding::build_scheduled_program(senders_, receive_events_, horizon_, previous));
  encoding_cache_ = std::make_shared<const encoding::EncodedSchedule>(std::move(built));
  if (!encoding_cache_) {
    std::fputs("successful encoding was cached\n", stderr);
    std::abort();
  }
  return encoding_cache_;
}

}  // namespace oxu::exchange
