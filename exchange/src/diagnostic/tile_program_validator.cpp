// Checks a freshly encoded tile program against the schedule it was built
// from, so that an encoder fault is caught before the program is handed on.

#include <algorithm>
#include <string>
#include <variant>
#include <vector>

#include <fmt/format.h>

#include "oxu/exchange/diagnostic/plan_program.hpp"
#include "oxu/exchange/events.hpp"
#include "oxu/exchange/result.hpp"
#include "tile_program_check.hpp"

namespace oxu::exchange::diagnostic {
namespace {

// An incoming control at the cycle it takes effect; ordered by cycle, then
// stream, then value.
struct TimedControl {
  std::uint32_t cycle = 0;
  IncomingControl control;
  friend auto operator<=>(const TimedControl&, const TimedControl&) = default;
};

// A cycle interval [start, end) during which the program sends.
struct OutgoingInterval {
  std::uint32_t start = 0;
  std::uint32_t end = 0;
  SendEncoding encoding = SendEncoding::Explicit;
};

struct EncodedActivity {
  std::vector<TimedControl> controls;
  std::vector<OutgoingInterval> outgoing;  // program order
};

// What the decoded program does: a timed control takes effect at its end, a
// control carried by a send one cycle after the send starts. A SENDPICP with
// send control 0 only switches streams and sends nothing.
EncodedActivity encoded_activity(const PlanProgramDiagnostic& diagnostic) {
  EncodedActivity activity;
  for (const DecodedPlanInstruction& instruction : diagnostic.instructions) {
    if (const auto* control = std::get_if<IncomingControl>(&instruction.operation)) {
      activity.controls.push_back({instruction.end_cycle, *control});
    } else if (const auto* send = std::get_if<operation::Send>(&instruction.operation)) {
      // A send lasts at least one cycle, so start + 1 <= end cannot wrap.
      for (const IncomingControl& carried : send->controls) {
        activity.controls.push_back({instruction.start_cycle + 1, carried});
      }
      if (!send->send_control || *send->send_control != 0) {
        activity.outgoing.push_back({instruction.start_cycle, instruction.end_cycle, send->encoding});
      }
    }
  }
  return activity;
}

std::vector<TimedControl> expected_controls(std::span<const ReceiveEvent> receive_events) {
  std::vector<TimedControl> controls;
  controls.reserve(receive_events.size());
  for (const ReceiveEvent& event : receive_events) {
    if (is_xpic_kind(event.kind)) {
      controls.push_back({event.cycle, {IncomingControlStream::Xpic, event.word & 0x3FFF}});
    } else {
      controls.push_back({event.cycle, {IncomingControlStream::Pic, event.word & 0x7FFFF}});
    }
  }
  return controls;
}

std::string control_text(const TimedControl& timed) {
  return fmt::format("({}, {}, {})", timed.cycle, stream_name(timed.control.stream), timed.control.value);
}

std::string element_text(std::span<const TimedControl> controls, std::size_t index) {
  return index < controls.size() ? control_text(controls[index]) : std::string("none");
}

// The elements from three before the mismatch up to three after it.
std::string window_text(std::span<const TimedControl> controls, std::size_t mismatch) {
  const std::size_t start = mismatch >= 3 ? mismatch - 3 : 0;
  const std::size_t end = std::min(controls.size(), mismatch + 4);
  if (start > end) return "none";
  std::string out = "[";
  for (std::size_t i = start; i < end; ++i) {
    if (i > start) out += ", ";
    out += control_text(controls[i]);
  }
  out += "]";
  return out;
}

std::expected<void, ExchangeError> check_controls(std::size_t tile, std::vector<TimedControl> actual,
                                                  std::vector<TimedControl> expected) {
  std::sort(actual.begin(), actual.end());
  std::sort(expected.begin(), expected.end());
  const auto [actual_at, expected_at] = std::mismatch(actual.begin(), actual.end(), expected.begin(), expected.end());
  if (actual_at == actual.end() && expected_at == expected.end()) return {};
  const auto mismatch = static_cast<std::size_t>(actual_at - actual.begin());
  OXU_EVENT(events::Level::Debug, kDiagnosticEventTarget, "encoded incoming controls differ from the phase schedule",
            {"tile", tile}, {"first_mismatch", mismatch}, {"actual_len", actual.size()},
            {"expected_len", expected.size()}, {"actual", element_text(actual, mismatch)},
            {"expected", element_text(expected, mismatch)}, {"actual_window", window_text(actual, mismatch)},
            {"expected_window", window_text(expected, mismatch)});
  return std::unexpected(ExchangeError::schedule("encoded incoming-control mismatch"));
}

// Each sender row is covered, from its first to its last send cycle, by a
// gapless run of the intervals that overlap it. The intervals come in program
// order, so they are sorted by start and by end, and those that overlap a row
// form one contiguous run.
bool sender_rows_covered(std::span<const ScheduledSenderRow> senders, std::span<const OutgoingInterval> outgoing) {
  for (const ScheduledSenderRow& sender : senders) {
    auto at = std::partition_point(outgoing.begin(), outgoing.end(), [&](const OutgoingInterval& interval) {
      return interval.end <= sender.start_cycle;
    });
    if (at == outgoing.end() || !(at->start < sender.end_cycle) || at->start != sender.start_cycle) return false;
    std::uint32_t reached = at->end;
    for (++at; at != outgoing.end() && at->start < sender.end_cycle; ++at) {
      if (at->start != reached) return false;
      reached = at->end;
    }
    if (reached != sender.end_cycle) return false;
  }
  return true;
}

// Sender rows are sorted by start cycle and do not overlap, so the only row
// that can hold an interval is the last one starting at or before it.
bool inside_some_sender_row(std::span<const ScheduledSenderRow> senders, const OutgoingInterval& interval) {
  const auto after = std::partition_point(senders.begin(), senders.end(), [&](const ScheduledSenderRow& sender) {
    return sender.start_cycle <= interval.start;
  });
  if (after == senders.begin()) return false;
  const ScheduledSenderRow& sender = *(after - 1);
  return interval.end <= sender.end_cycle;
}

}  // namespace

std::expected<PlanProgramDiagnostic, ExchangeError> check_tile_program(std::size_t tile,
                                                                      std::span<const ScheduledSenderRow> senders,
                                                                      std::span<const ReceiveEvent> receive_events,
                                                                      std::uint32_t horizon,
                                                                      std::span<const std::uint32_t> words) {
  OXU_TRY_ASSIGN(PlanProgramDiagnostic diagnostic, diagnose_plan_program(words, std::nullopt));
  if (diagnostic.horizon != horizon) {
    return std::unexpected(ExchangeError::schedule("encoded tile horizon mismatch"));
  }
  const bool has_unknown =
      std::any_of(diagnostic.instructions.begin(), diagnostic.instructions.end(), [](const auto& instruction) {
        return std::holds_alternative<operation::Unknown>(instruction.operation);
      });
  if (has_unknown) return std::unexpected(ExchangeError::schedule("unknown encoded exchange instruction"));

  EncodedActivity activity = encoded_activity(diagnostic);
  OXU_TRY(check_controls(tile, std::move(activity.controls), expected_controls(receive_events)));

  if (!sender_rows_covered(senders, activity.outgoing)) {
    return std::unexpected(ExchangeError::schedule("encoded sender interval mismatch"));
  }
  for (const OutgoingInterval& interval : activity.outgoing) {
    if (!inside_some_sender_row(senders, interval)) {
      return std::unexpected(ExchangeError::schedule("unexpected encoded outgoing interval"));
    }
  }
  return diagnostic;
}

std::expected<PlanProgramDiagnostic, ExchangeError> validate_tile_program(std::size_t tile,
                                                                         const TileProgramSchedule& schedule,
                                                                         std::span<const std::uint32_t> words) {
  return check_tile_program(tile, schedule.senders(), schedule.receive_events(), schedule.horizon(), words);
}

}  // namespace oxu::exchange::diagnostic
