#pragma once
// TileProgramSchedule: everything one tile does in one exchange phase.
//
// It holds the tile's placed sender rows (sorted, non-overlapping), its timed
// receive events (sorted by cycle, ties in insertion order) and the receive
// state the next receiver row continues from. The encoded program is built
// on demand and cached; an append moves the cached encoding aside as the
// previous encoding and records from which sender row and receive event the
// schedule changed, so the next encoding can resume. Copies share the
// immutable encodings. Every append succeeds completely or changes nothing.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <vector>

#include "oxu/exchange/encoding/scheduled_program.hpp"
#include "oxu/exchange/error.hpp"
#include "oxu/exchange/instruction_words.hpp"
#include "oxu/exchange/row_timing.hpp"

namespace oxu::exchange {

class TileProgramSchedule {
 public:
  // A checked sender append, ready to commit. Valid until the schedule
  // changes, except that committing a receiver of the same tile first is
  // fine: receiver appends do not read sender rows.
  struct PreparedSender {
    ScheduledSenderRow row;
    std::size_t index = 0;  // insertion position among the sender rows
    std::uint32_t horizon = 0;
  };
  // A checked receiver append, ready to commit. Valid until the receive side
  // of the schedule changes; a sender commit in between is fine.
  struct PreparedReceiver {
    ScheduledReceiverWindow window;
    ReceiveState next_state;
    bool paired = false;
  };

  // Places a sender row whose Sync runs at `offset`. Errors: "overlapping
  // outgoing messages", "unencodable initial send control", and those of
  // sender_row_timing.
  [[nodiscard]] std::expected<void, ExchangeError> append_sender_at(const ExchangeRow& row, std::uint32_t offset);

  // Places a receiver row of a `count`-word transfer at `offset` and returns
  // its window. Errors: "overlapping receive streams", "receive address
  // overflow", and those of the row timing.
  [[nodiscard]] std::expected<ScheduledReceiverWindow, ExchangeError> append_receiver_at(const ExchangeRow& row,
                                                                                        std::uint32_t offset,
                                                                                        std::uint32_t count);

  // The two halves of each append: all checks, then the change, which
  // cannot fail. The builder checks every tile of a transfer before it
  // changes any.
  [[nodiscard]] std::expected<PreparedSender, ExchangeError> prepare_sender_at(const ExchangeRow& row,
                                                                              std::uint32_t offset) const;
  void commit_sender(const PreparedSender& prepared);
  [[nodiscard]] std::expected<PreparedReceiver, ExchangeError> prepare_receiver_at(const ExchangeRow& row,
                                                                                  std::uint32_t offset,
                                                                                  std::uint32_t count) const;
  ScheduledReceiverWindow commit_receiver(PreparedReceiver prepared);

  // Whether appending a receiver with `window` removes the existing event:
  // a stream that starts where the previous one ended drops the previous
  // teardown, and a continued paired format drops the previous format end.
  [[nodiscard]] bool removed_by_receiver(const ReceiveEvent& existing, const ScheduledReceiverWindow& window,
                                         bool row_paired) const;

  // Holds the tile as the paired partner of a sender until `until`: raises
  // busy_until and the horizon, invalidating the cached encoding as an append
  // does.
  void hold_until(std::uint32_t until);

  // The tile's program, encoded on first use and cached until the next
  // change.
  [[nodiscard]] std::expected<std::shared_ptr<const encoding::EncodedSchedule>, ExchangeError> encoded() const;

  [[nodiscard]] const std::vector<ScheduledSenderRow>& senders() const { return senders_; }
  [[nodiscard]] const std::vector<ReceiveEvent>& receive_events() const { return receive_events_; }
  [[nodiscard]] const std::optional<ReceiveState>& receive_state() const { return receive_state_; }
  [[nodiscard]] std::uint32_t busy_until() const { return busy_until_; }
  [[nodiscard]] std::uint32_t horizon() const { return horizon_; }
  [[nodiscard]] const std::shared_ptr<const encoding::EncodedSchedule>& cached_encoding() const { return encoding_cache_; }
  [[nodiscard]] const std::shared_ptr<const encoding::EncodedSchedule>& previous_encoding() const {
    return previous_encoding_;
  }
  [[nodiscard]] std::size_t sender_dirty_from() const { return sender_dirty_from_; }
  [[nodiscard]] std::size_t receive_dirty_from() const { return receive_dirty_from_; }

 private:
  void invalidate();

  std::vector<ScheduledSenderRow> senders_;
  std::vector<ReceiveEvent> receive_events_;
  mutable std::shared_ptr<const encoding::EncodedSchedule> encoding_cache_;  // set once per change
  std::shared_ptr<const encoding::EncodedSchedule> previous_encoding_;
  std::size_t sender_dirty_from_ = 0;
  std::size_t receive_dirty_from_ = 0;
  std::optional<ReceiveState> receive_state_;
  std::uint32_t busy_until_ = 0;
  std::uint32_t horizon_ = 0;
};

}  // namespace oxu::exchange
