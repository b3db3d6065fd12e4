#include "oxu/exchange/row_timing.hpp"

#include <algorithm>
#include <cstddef>
#include <string_view>
#include <utility>

#include "oxu/exchange/checked.hpp"
#include "oxu/exchange/result.hpp"

namespace oxu::exchange {
namespace {

// Stable sort by cycle. A window holds a handful of events, for which an
// insertion sort needs no buffer; long lists take the general stable sort.
void sort_events_by_cycle(std::vector<ReceiveEvent>& events) {
  const auto by_cycle = [](const ReceiveEvent& a, const ReceiveEvent& b) { return a.cycle < b.cycle; };
  if (events.size() > 16) {
    std::stable_sort(events.begin(), events.end(), by_cycle);
    return;
  }
  for (std::size_t i = 1; i < events.size(); ++i) {
    const ReceiveEvent event = events[i];
    std::size_t j = i;
    for (; j > 0 && by_cycle(event, events[j - 1]); --j) events[j] = events[j - 1];
    events[j] = event;
  }
}

constexpr std::uint32_t kPicValueMask = 0x7FFFF;        // Pic value, bits 18..0
constexpr std::uint32_t kPairedFormatValueMask = 0x3FFFF;  // the value below the paired-format flag
constexpr std::uint32_t kPointerAddressMask = 0xFFFFC;
constexpr std::uint32_t kSendpicpPairedFormatBit = 1U << 27;

// `a + b`, or the Schedule error `reason` (a string literal) on a wrap.
std::expected<std::uint32_t, ExchangeError> add_or(std::uint32_t a, std::uint32_t b, std::string_view reason) {
  const std::optional<std::uint32_t> sum = checked_add(a, b);
  if (!sum) return std::unexpected(ExchangeError::schedule(reason));
  return *sum;
}

// A present cycle moved by `offset`; an absent one stays absent.
std::expected<std::optional<std::uint32_t>, ExchangeError> place(std::optional<std::uint32_t> cycle,
                                                                 std::uint32_t offset) {
  if (!cycle) return std::optional<std::uint32_t>{};
  OXU_TRY_ASSIGN(const std::uint32_t placed, add_or(*cycle, offset, "receive offset overflow"));
  return std::optional<std::uint32_t>{placed};
}

// Index of the first Return among words 1..8.
std::optional<std::size_t> return_index(const ExchangeRow& row) {
  for (std::size_t i = 1; i < row.size(); ++i) {
    if (is_return_word(row[i])) return i;
  }
  return std::nullopt;
}

// A Pic control is a pointer unless it carries the paired-format flag. A
// pointer in a paired row is reclassified once the whole row has been read.
ReceiveEventKind pic_event_kind(std::uint32_t word) {
  return (word & kPicPairedFormatFlag) != 0 ? ReceiveEventKind::PairedFormat : ReceiveEventKind::Pointer;
}

std::uint32_t paired_format_value(std::uint32_t word) { return word & kPairedFormatValueMask; }

// The only two controls that may take effect in the same cycle: the receive
// pointer together with a source selection or a stream switch-off.
bool compatible_simultaneous(ReceiveEventKind a, ReceiveEventKind b) {
  const auto is_mux = [](ReceiveEventKind kind) {
    return kind == ReceiveEventKind::Source || kind == ReceiveEventKind::Teardown;
  };
  return (a == ReceiveEventKind::Pointer && is_mux(b)) || (b == ReceiveEventKind::Pointer && is_mux(a));
}

std::expected<void, ExchangeError> check_simultaneous_controls(const std::vector<ReceiveEvent>& events) {
  std::size_t group = 0;
  while (group < events.size()) {
    std::size_t next = group + 1;
    while (next < events.size() && events[next].cycle == events[group].cycle) ++next;
    const std::size_t size = next - group;
    if (size > 2 || (size == 2 && !compatible_simultaneous(events[group].kind, events[group + 1].kind))) {
      return std::unexpected(ExchangeError::schedule("incompatible simultaneous receive controls"));
    }
    group = next;
  }
  return {};
}

}  // namespace

std::expected<SenderRowTiming, ExchangeError> sender_row_timing(const ExchangeRow& row, std::uint32_t base) {
  if (row[0] != kSyncWord) return std::unexpected(ExchangeError::schedule("sender row entry"));
  const std::optional<std::size_t> end = return_index(row);
  if (!end) return std::unexpected(ExchangeError::schedule("sender row return"));

  std::uint32_t clock = base;
  std::optional<std::uint32_t> start_cycle;
  std::uint32_t end_cycle = 0;
  for (std::size_t i = 1; i < *end; ++i) {
    const std::uint32_t word = row[i];
    OXU_TRY_ASSIGN(const std::uint32_t after, add_or(clock, word_cycles(word), "sender event horizon overflow"));
    // Only the message's own payload words count; a Pic send or SENDPICP
    // continues a message and occupies cycles like any other word.
    if (is_explicit_send_word(word) || is_offset_send_word(word)) {
      if (!start_cycle) start_cycle = clock;
      end_cycle = after;
    }
    clock = after;
  }
  if (!start_cycle) return std::unexpected(ExchangeError::schedule("sender payload"));
  return SenderRowTiming{.start_cycle = *start_cycle, .end_cycle = end_cycle, .horizon = clock};
}

std::expected<ReceiveRowTiming, ExchangeError> receive_row_timing(const ExchangeRow& row, std::uint32_t base) {
  if (row[0] != kSyncWord) return std::unexpected(ExchangeError::schedule("receive row entry"));
  const std::optional<std::size_t> end = return_index(row);
  if (!end) return std::unexpected(ExchangeError::schedule("receive row return"));

  // Walk the row; every control takes effect at the clock after its wait.
  std::vector<ReceiveEvent> events;
  events.reserve(*end);
  std::uint32_t clock = base;
  std::size_t i = 1;
  while (i < *end) {
    const std::uint32_t word = row[i];
    OXU_TRY_ASSIGN(const std::uint32_t after, add_or(clock, word_cycles(word), "receive event horizon overflow"));
    if (is_xpic_control_word(word)) {
      events.push_back({.cycle = after, .word = word, .kind = xpic_event_kind(word)});
    } else if (is_pic_control_word(word)) {
      events.push_back({.cycle = after, .word = word, .kind = pic_event_kind(word)});
    } else if (is_sendpicp_word(word)) {
      // Both controls of the pair take effect one cycle after it starts. The
      // second word lies at most at the Return's index, so it is in the row.
      const std::uint32_t second = row[i + 1];
      OXU_TRY_ASSIGN(const std::uint32_t at, add_or(clock, 1, "receive event horizon overflow"));
      const std::uint32_t xpic = 0x64000000U | (second >> 18);
      events.push_back({.cycle = at, .word = xpic, .kind = xpic_event_kind(xpic)});
      const bool format = (word & kSendpicpPairedFormatBit) != 0;
      const std::uint32_t pic = 0x60000000U | (second & 0x3FFFF) | (format ? kPicPairedFormatFlag : 0U);
      events.push_back(
          {.cycle = at, .word = pic, .kind = format ? ReceiveEventKind::PairedFormat : ReceiveEventKind::Pointer});
      ++i;
    }
    clock = after;
    ++i;
  }

  ReceiveRowTiming timing;
  for (const ReceiveEvent& event : events) {
    switch (event.kind) {
      case ReceiveEventKind::Source:
      case ReceiveEventKind::PairedSource:
        if (timing.source) return std::unexpected(ExchangeError::schedule("multiple receive sources"));
        timing.source = event.cycle;
        break;
      case ReceiveEventKind::Teardown:
      case ReceiveEventKind::PairedTeardown:
        if (timing.teardown) return std::unexpected(ExchangeError::schedule("multiple receive teardowns"));
        timing.teardown = event.cycle;
        break;
      case ReceiveEventKind::PairedPointer:
      case ReceiveEventKind::Pointer:
        if (timing.pointer) return std::unexpected(ExchangeError::schedule("multiple receive pointers"));
        timing.pointer = event.cycle;
        // A 19-bit field shifted into a 20-bit byte address: cannot wrap.
        timing.pointer_address = ((event.word & kPicValueMask) << 2) & kPointerAddressMask;
        break;
      case ReceiveEventKind::PairedFormat: {
        const std::uint32_t value = paired_format_value(event.word);
        if (value == 1 || value == 2) {
          if (timing.paired_start) return std::unexpected(ExchangeError::schedule("multiple paired format starts"));
          timing.paired_start = event.cycle;
        } else if (value == 0) {
          if (timing.paired_end) return std::unexpected(ExchangeError::schedule("multiple paired format ends"));
          timing.paired_end = event.cycle;
        } else {
          return std::unexpected(ExchangeError::schedule("paired receive format value"));
        }
        break;
      }
    }
  }

  if (timing.paired_start) {
    if (!timing.paired_end) return std::unexpected(ExchangeError::schedule("incomplete paired receive format"));
    for (ReceiveEvent& event : events) {
      if (event.kind == ReceiveEventKind::Pointer) event.kind = ReceiveEventKind::PairedPointer;
    }
    timing.paired = true;
  } else {
    for (const ReceiveEvent& event : events) {
      if (event.kind == ReceiveEventKind::PairedSource || event.kind == ReceiveEventKind::PairedTeardown) {
        return std::unexpected(ExchangeError::schedule("incomplete paired receive format"));
      }
    }
    if (!timing.source || !timing.teardown) {
      return std::unexpected(ExchangeError::schedule("incomplete ordinary receive mux"));
    }
  }

  timing.events = std::move(events);
  timing.end_cycle = clock;
  return timing;
}

std::expected<std::vector<ReceiveEvent>, ExchangeError> receive_row_timing_from_base(
    std::span<const ReceiveEvent> events, std::uint32_t base) {
  std::vector<ReceiveEvent> moved;
  moved.reserve(events.size());
  for (ReceiveEvent event : events) {
    OXU_TRY_ASSIGN(event.cycle, add_or(event.cycle, base, "receive offset overflow"));
    moved.push_back(event);
  }
  return moved;
}

std::expected<ScheduledReceiverWindow, ExchangeError> scheduled_receive_window(
    const ReceiveRowTiming& timing, std::uint32_t offset, std::uint32_t count,
    const std::optional<ReceiveState>& state) {
  // Placement: every cycle of the row moves by the offset.
  OXU_TRY_ASSIGN(std::vector<ReceiveEvent> placed, receive_row_timing_from_base(timing.events, offset));
  OXU_TRY(place(timing.teardown, offset));
  OXU_TRY_ASSIGN(const std::optional<std::uint32_t> source, place(timing.source, offset));
  OXU_TRY_ASSIGN(const std::optional<std::uint32_t> paired_start, place(timing.paired_start, offset));
  OXU_TRY(place(timing.paired_end, offset));
  OXU_TRY_ASSIGN(const std::optional<std::uint32_t> pointer, place(timing.pointer, offset));
  OXU_TRY(add_or(timing.end_cycle, offset, "receive offset overflow"));

  // The stream is selected by the source, or by the paired format when the
  // row relies on its partner's source.
  const std::optional<std::uint32_t> stream_start = source ? source : paired_start;
  if (!stream_start) return std::unexpected(ExchangeError::schedule("receive source timing"));
  OXU_TRY_ASSIGN(const std::uint32_t stream_end, add_or(*stream_start, count, "receive source timing overflow"));

  if (!pointer) return std::unexpected(ExchangeError::schedule("receive pointer event"));
  OXU_TRY_ASSIGN(const std::uint32_t payload_end, add_or(*pointer, count, "receive payload timing overflow"));
  OXU_TRY_ASSIGN(const std::uint32_t row_end, add_or(offset, timing.end_cycle, "receive horizon overflow"));
  const std::uint32_t end_cycle = std::max({stream_end, payload_end, row_end});

  // A paired format that starts exactly where the tile's previous one ended,
  // with the same direction, simply carries on.
  bool continues_paired_format = false;
  if (paired_start && state && state->paired_end == *paired_start) {
    const auto start_event = std::find_if(placed.begin(), placed.end(), [&](const ReceiveEvent& event) {
      return event.kind == ReceiveEventKind::PairedFormat && event.cycle == *paired_start;
    });
    continues_paired_format =
        start_event != placed.end() && state->paired_format == paired_format_value(start_event->word);
  }

  // Consecutive ordinary payloads that continue at the same address need no
  // new pointer.
  const bool pointer_unchanged =
      state && !state->paired && !timing.paired && timing.pointer_address == state->next_address;

  std::vector<ReceiveEvent> events = std::move(placed);
  std::size_t kept = 0;
  for (ReceiveEvent event : events) {
    if (event.kind == ReceiveEventKind::Teardown) event.cycle = stream_end;
    if (continues_paired_format && event.kind == ReceiveEventKind::PairedFormat && event.cycle == *paired_start) {
      continue;
    }
    if (pointer_unchanged && event.kind == ReceiveEventKind::Pointer) continue;
    events[kept++] = event;
  }
  events.resize(kept);
  sort_events_by_cycle(events);
  OXU_TRY(check_simultaneous_controls(events));

  return ScheduledReceiverWindow{
      .events = std::move(events),
      .pointer_address = timing.pointer_address,
      .stream_start = *stream_start,
      .stream_end = stream_end,
      .pointer_cycle = *pointer,
      .payload_end = payload_end,
      .end_cycle = end_cycle,
      .continues_paired_format = continues_paired_format,
  };
}

}  // namespace oxu::exchange
