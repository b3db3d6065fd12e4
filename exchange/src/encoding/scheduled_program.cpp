// build_scheduled_program: checks the simultaneous receive controls, picks
// the checkpoint of the previous encoding to resume from, and walks the
// sender rows in time order, encoding the receive events before each send
// as timed controls and those inside it with its payload.

#include "oxu/exchange/encoding/scheduled_program.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <utility>

#include "oxu/exchange/instruction_words.hpp"
#include "oxu/exchange/result.hpp"
#include "program_emitter.hpp"

namespace oxu::exchange::encoding {
namespace {

using detail::cycle_before;
using detail::fail;
using detail::ProgramEmitter;
using detail::run_end;

// Two controls may take effect in the same cycle only as a pointer change
// together with a source change or a teardown (one SENDPICP).
bool compatible_pair(const ReceiveEvent& first, const ReceiveEvent& second) {
  const auto ordinary_stream = [](ReceiveEventKind kind) {
    return kind == ReceiveEventKind::Source || kind == ReceiveEventKind::Teardown;
  };
  return (first.kind == ReceiveEventKind::Pointer && ordinary_stream(second.kind)) ||
         (second.kind == ReceiveEventKind::Pointer && ordinary_stream(first.kind));
}

// Checks the runs of equal cycle from `from` on. Events before it were
// checked by the encoding they are unchanged since.
std::expected<void, ExchangeError> check_simultaneous_controls(std::span<const ReceiveEvent> events, std::size_t from) {
  for (std::size_t run = from; run < events.size();) {
    const std::size_t after = run_end(events, run, events.size());
    const std::size_t size = after - run;
    if (size > 2 || (size == 2 && !compatible_pair(events[run], events[run + 1]))) {
      return fail("incompatible simultaneous receive controls");
    }
    run = after;
  }
  return {};
}

// First event index whose run of equal cycle has to be checked again.
std::size_t check_boundary(std::span<const ReceiveEvent> events, const PreviousEncoding& previous) {
  if (!previous.encoding) return 0;
  std::size_t boundary = std::min(events.size(), previous.receive_dirty_from);
  if (boundary == 0 || boundary == events.size()) return boundary;
  const std::uint32_t cycle = events[boundary].cycle;
  while (boundary > 0 && events[boundary - 1].cycle == cycle) --boundary;
  return boundary;
}

// Whether encoding the current senders and events from `checkpoint` gives
// the same words as encoding them from the start.
bool resumable(const Checkpoint& checkpoint, std::span<const ScheduledSenderRow> senders,
               std::span<const ReceiveEvent> events, std::uint32_t horizon, std::size_t sender_dirty_from,
               std::size_t receive_dirty_from) {
  // Everything encoded before the checkpoint is unchanged.
  if (checkpoint.next_sender > sender_dirty_from || checkpoint.next_event > receive_dirty_from) return false;
  // The checkpoint lies before the next send (or the horizon) ...
  const std::uint32_t next_start =
      checkpoint.next_sender < senders.size() ? senders[checkpoint.next_sender].start_cycle : horizon;
  if (checkpoint.cycle > next_start) return false;
  // ... no new event falls into the words before it ...
  const std::size_t next_event = checkpoint.next_event;
  if (next_event < events.size() && events[next_event].cycle <= checkpoint.cycle) return false;
  // ... the events encoded before it still come before the next send ...
  if (next_event > 0 && events[next_event - 1].cycle >= next_start) return false;
  // ... and a receive-only SENDPICP before it had the same interval to fill.
  if (checkpoint.after_control_pair) {
    std::uint32_t limit = next_start;
    if (next_event < events.size() && events[next_event].cycle < next_start) {
      limit = cycle_before(events[next_event].cycle);
    }
    if (limit != checkpoint.interval_limit) return false;
  }
  return true;
}

// Where the encoding starts: the previous encoding's prefix up to the last
// checkpoint that is still valid, or nothing.
struct ResumePoint {
  std::size_t next_sender = 0;
  std::size_t next_event = 0;
};

ResumePoint resume(ProgramEmitter& out, std::span<const ScheduledSenderRow> senders,
                   std::span<const ReceiveEvent> events, std::uint32_t horizon, const PreviousEncoding& previous) {
  if (!previous.encoding) return {};
  const EncodedSchedule& encoding = *previous.encoding;
  // Dirty indexes never exceed the counts; clamping keeps every checkpoint
  // that passes the test below within the current lists.
  const std::size_t sender_dirty_from = std::min(previous.sender_dirty_from, senders.size());
  const std::size_t receive_dirty_from = std::min(previous.receive_dirty_from, events.size());
  for (std::size_t index = encoding.checkpoints.size(); index-- > 0;) {
    const Checkpoint& checkpoint = encoding.checkpoints[index];
    if (!resumable(checkpoint, senders, events, horizon, sender_dirty_from, receive_dirty_from)) continue;
    out.words = encoding.words;
    out.words.truncate(checkpoint.word_count);
    out.checkpoints = encoding.checkpoints;
    out.checkpoints.truncate(index + 1);
    out.cycle = checkpoint.cycle;
    return {.next_sender = checkpoint.next_sender, .next_event = checkpoint.next_event};
  }
  return {};
}

}  // namespace

std::expected<EncodedSchedule, ExchangeError> build_scheduled_program(std::span<const ScheduledSenderRow> senders,
                                                                      std::span<const ReceiveEvent> events,
                                                                      std::uint32_t horizon,
                                                                      const PreviousEncoding& previous) {
  OXU_TRY(check_simultaneous_controls(events, check_boundary(events, previous)));

  ProgramEmitter out;
  const ResumePoint start = resume(out, senders, events, horizon, previous);
  std::size_t event = start.next_event;
  for (std::size_t sender = start.next_sender; sender < senders.size(); ++sender) {
    const ScheduledSenderRow& row = senders[sender];
    std::size_t pre_end = event;
    while (pre_end < events.size() && events[pre_end].cycle <= row.start_cycle) ++pre_end;
    OXU_TRY(detail::encode_timed_events(out, events, event, pre_end, row.start_cycle, sender));

    std::size_t in_flight_end = pre_end;
    while (in_flight_end < events.size() && events[in_flight_end].cycle <= row.end_cycle) ++in_flight_end;
    OXU_TRY(detail::encode_sender_message(out, row, events.subspan(pre_end, in_flight_end - pre_end)));
    out.push_checkpoint(false, 0, sender + 1, in_flight_end);
    event = in_flight_end;
  }
  OXU_TRY(detail::encode_timed_events(out, events, event, events.size(), horizon, senders.size()));
  out.words.push(kReturnWord);
  return EncodedSchedule{.checkpoints = std::move(out.checkpoints), .words = std::move(out.words)};
}

}  // namespace oxu::exchange::encoding
