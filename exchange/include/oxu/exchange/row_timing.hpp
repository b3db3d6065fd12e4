#pragma once
// Row timing: reads the small program rows back into timing facts.
//
// sender_row_timing tells when a sender row starts and stops sending;
// receive_row_timing lists the timed incoming-mux controls of a receiver
// row; scheduled_receive_window places a receiver row at an offset on a
// tile, relative to the tile's previous receive, so that overlaps can be
// tested and consecutive streams merged. All functions are pure.

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <vector>

#include "oxu/exchange/error.hpp"
#include "oxu/exchange/instruction_words.hpp"

namespace oxu::exchange {

enum class ReceiveEventKind : std::uint8_t {
  Source = 0,          // Xpic, selects the sending tile
  Teardown = 1,        // Xpic value 0x640, switches the stream off
  PairedSource = 2,    // Xpic with the paired flag
  PairedTeardown = 3,  // Xpic with the paired flag, value 0x640
  PairedPointer = 4,   // Pic pointer in a row with a paired format
  Pointer = 5,         // Pic pointer in an ordinary row
  PairedFormat = 6,    // Pic with bit 18: value 1 or 2 starts a paired format, 0 ends it
};

// Kind of an Xpic control word: (bit 13) * 2 + (low 13 bits == 0x640).
[[nodiscard]] constexpr ReceiveEventKind xpic_event_kind(std::uint32_t word) {
  const unsigned paired = (word >> 13) & 1;
  const unsigned teardown = (word & 0x1FFF) == kXpicTeardownValue ? 1 : 0;
  return static_cast<ReceiveEventKind>(paired * 2 + teardown);
}

// Whether an event of this kind is an Xpic control (else a Pic control).
[[nodiscard]] constexpr bool is_xpic_kind(ReceiveEventKind kind) {
  return static_cast<std::uint8_t>(kind) <= static_cast<std::uint8_t>(ReceiveEventKind::PairedTeardown);
}

// One timed receive-side control.
struct ReceiveEvent {
  std::uint32_t cycle = 0;  // when the control takes effect
  std::uint32_t word = 0;   // the Pic or Xpic control word
  ReceiveEventKind kind = ReceiveEventKind::Source;
  friend bool operator==(const ReceiveEvent&, const ReceiveEvent&) = default;
};

// A sender row placed on a tile.
struct ScheduledSenderRow {
  ExchangeRow words{};
  std::uint32_t start_cycle = 0;  // first Send word starts
  std::uint32_t end_cycle = 0;    // last Send word ends (exclusive)
  friend bool operator==(const ScheduledSenderRow&, const ScheduledSenderRow&) = default;
};

struct SenderRowTiming {
  std::uint32_t start_cycle = 0;
  std::uint32_t end_cycle = 0;
  std::uint32_t horizon = 0;  // clock at the Return
  friend bool operator==(const SenderRowTiming&, const SenderRowTiming&) = default;
};

// Cycles are the base plus the row clock.
struct ReceiveRowTiming {
  std::vector<ReceiveEvent> events;  // row order
  std::optional<std::uint32_t> teardown{};
  std::optional<std::uint32_t> source{};
  std::optional<std::uint32_t> paired_start{};
  std::optional<std::uint32_t> paired_end{};
  std::optional<std::uint32_t> pointer{};
  std::optional<std::uint32_t> pointer_address{};  // (pointer value * 4) & 0xFFFFC, with `pointer`
  std::uint32_t end_cycle = 0;                     // clock at the Return
  bool paired = false;                             // has a paired format start
  friend bool operator==(const ReceiveRowTiming&, const ReceiveRowTiming&) = default;
};

// A receiver row placed on a tile, in absolute cycles.
struct ScheduledReceiverWindow {
  std::vector<ReceiveEvent> events;  // placed, filtered, sorted by cycle
  std::optional<std::uint32_t> pointer_address{};
  std::uint32_t stream_start = 0;
  std::uint32_t stream_end = 0;  // stream_start + count
  std::uint32_t pointer_cycle = 0;
  std::uint32_t payload_end = 0;  // pointer_cycle + count
  std::uint32_t end_cycle = 0;    // window horizon
  bool continues_paired_format = false;
  friend bool operator==(const ScheduledReceiverWindow&, const ScheduledReceiverWindow&) = default;
};

// What the next receiver row placed on a tile must continue from.
struct ReceiveState {
  std::optional<std::uint32_t> paired_format{};  // value of the row's paired format start
  std::optional<std::uint32_t> paired_end{};     // absolute cycle of its paired format end
  std::optional<std::uint32_t> next_address{};   // where the next payload would continue
  std::uint32_t stream_end = 0;
  std::uint32_t payload_end = 0;
  bool paired = false;
  friend bool operator==(const ReceiveState&, const ReceiveState&) = default;
};

// Times a sender row whose Sync runs at `base`: the Explicit and Offset send
// words give the payload interval, the Return the horizon. Errors: "sender
// row entry", "sender row return", "sender event horizon overflow", "sender
// payload".
[[nodiscard]] std::expected<SenderRowTiming, ExchangeError> sender_row_timing(const ExchangeRow& row,
                                                                             std::uint32_t base);

// Times a receiver row whose Sync runs at `base`: every Pic and Xpic control
// becomes an event at the clock after its wait, a SENDPICP two events one
// cycle after it starts. The row must hold at most one source, teardown,
// pointer, paired format start and end; a row with a paired format start
// needs its end (its pointer becomes a PairedPointer), an ordinary row needs
// a source and a teardown and no paired Xpic control.
[[nodiscard]] std::expected<ReceiveRowTiming, ExchangeError> receive_row_timing(const ExchangeRow& row,
                                                                               std::uint32_t base);

// The events moved by `base` ("receive offset overflow" on a wrap).
[[nodiscard]] std::expected<std::vector<ReceiveEvent>, ExchangeError> receive_row_timing_from_base(
    std::span<const ReceiveEvent> events, std::uint32_t base);

// Places a timed receiver row at `offset` for a transfer of `count` words,
// after the tile's previous receive (`state`, absent for the first one). The
// stream runs from the source (or the paired format start) for `count`
// cycles and the payload from the pointer for `count` cycles. Teardowns move
// to the stream's end; a paired format start that continues the previous
// format, and a pointer that continues the previous ordinary payload, are
// dropped. At most two controls may share a cycle, and only a Pointer with a
// Source or a Teardown ("incompatible simultaneous receive controls").
[[nodiscard]] std::expected<ScheduledReceiverWindow, ExchangeError> scheduled_receive_window(
    const ReceiveRowTiming& timing, std::uint32_t offset, std::uint32_t count, const std::optional<ReceiveState>& state);

}  // namespace oxu::exchange
