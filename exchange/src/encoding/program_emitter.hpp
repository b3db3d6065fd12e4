#pragma once
// Internal to the tile program encoder: the program under construction and
// the two encoding steps that append to it.
//
// build_scheduled_program (scheduled_program.cpp) walks a tile's sender rows
// in time order. The receive events between two sends are encoded as timed
// incoming controls (timed_events.cpp); the events that fall inside a send
// ride on its payload words (sender_message.cpp). Both steps append words to
// one ProgramEmitter and take checkpoints in it.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string_view>

#include "oxu/exchange/encoding/chunks.hpp"
#include "oxu/exchange/encoding/scheduled_program.hpp"
#include "oxu/exchange/error.hpp"
#include "oxu/exchange/instruction_words.hpp"
#include "oxu/exchange/row_timing.hpp"

namespace oxu::exchange::encoding::detail {

// `reason` must be a string literal (the error keeps a view of it).
[[nodiscard]] inline std::unexpected<ExchangeError> fail(std::string_view reason) {
  return std::unexpected(ExchangeError::schedule(reason));
}

// The cycle before `cycle`, and 0 for 0: the last cycle an instruction may
// occupy when the next control takes effect at `cycle`.
[[nodiscard]] constexpr std::uint32_t cycle_before(std::uint32_t cycle) { return cycle == 0 ? 0 : cycle - 1; }

// The words and checkpoints emitted so far and the program clock after them.
struct ProgramEmitter {
  Chunks<std::uint32_t> words;
  Chunks<Checkpoint> checkpoints;
  std::uint32_t cycle = 0;

  [[nodiscard]] std::size_t word_count() const { return words.size(); }
  [[nodiscard]] bool odd_word_count() const { return words.size() % 2 != 0; }

  // Pushes Delay words of at most kMaxDelayCycles each until `cycles` have
  // passed. The caller guarantees that the clock does not wrap.
  void emit_delay(std::uint32_t cycles) {
    while (cycles > 0) {
      const std::uint32_t k = cycles < kMaxDelayCycles ? cycles : kMaxDelayCycles;
      words.push(delay_word(k));
      cycle += k;
      cycles -= k;
    }
  }

  void push_checkpoint(bool after_control_pair, std::uint32_t interval_limit, std::size_t next_sender,
                       std::size_t next_event) {
    checkpoints.push(Checkpoint{
        .after_control_pair = after_control_pair,
        .interval_limit = interval_limit,
        .next_sender = next_sender,
        .next_event = next_event,
        .word_count = words.size(),
        .cycle = cycle,
    });
  }
};

// End (exclusive) of the run of events that share the cycle of
// events[begin], looking no further than `end`.
[[nodiscard]] inline std::size_t run_end(std::span<const ReceiveEvent> events, std::size_t begin, std::size_t end) {
  std::size_t next = begin + 1;
  while (next < end && events[next].cycle == events[begin].cycle) ++next;
  return next;
}

// The Pic and the Xpic control of a run of two events.
struct ControlPair {
  std::uint32_t pic_word = 0;
  std::uint32_t xpic_word = 0;
};

// Checks that a run of two events is one Pic and one Xpic control at the
// same cycle. Errors: "SENDPICP PIC control" (two Xpic controls),
// "SENDPICP XPIC control" (two Pic controls), "SENDPICP event time".
[[nodiscard]] std::expected<ControlPair, ExchangeError> control_pair(const ReceiveEvent& first,
                                                                     const ReceiveEvent& second);

// First word of a SENDPICP: Pic value bit 18 in bit 27, the size, the source
// address field and the send control (both 0 when nothing is sent).
[[nodiscard]] constexpr std::uint32_t sendpicp_first_word(std::uint32_t pic_word, std::uint32_t words,
                                                          std::uint32_t address_field, std::uint32_t control) {
  return 0xF0000000u | (((pic_word >> 18) & 1u) << 27) | ((words - 1) << 21) | (address_field << 3) | control;
}

// Second word of a SENDPICP: the Xpic value in bits 31..18, Pic value bits
// 17..0 below it.
[[nodiscard]] constexpr std::uint32_t sendpicp_second_word(const ControlPair& pair) {
  return (pair.pic_word & 0x3FFFFu) | (pair.xpic_word << 18);
}

// Encodes events[begin, end) as timed incoming controls and then delays up
// to `limit`. Every run of equal cycle is followed by a checkpoint that
// records `next_sender`.
[[nodiscard]] std::expected<void, ExchangeError> encode_timed_events(ProgramEmitter& out,
                                                                     std::span<const ReceiveEvent> events,
                                                                     std::size_t begin, std::size_t end,
                                                                     std::uint32_t limit, std::size_t next_sender);

// Delays up to the row's start and encodes its payload, with the in-flight
// events (those up to its end cycle) riding on the payload words.
[[nodiscard]] std::expected<void, ExchangeError> encode_sender_message(ProgramEmitter& out,
                                                                       const ScheduledSenderRow& row,
                                                                       std::span<const ReceiveEvent> in_flight);

}  // namespace oxu::exchange::encoding::detail
