// Sender messages: one sender row's payload, with the receive events that
// fall inside the send riding on its payload words.
//
// The payload starts with exactly one Explicit send (at most 64 words; it
// sets the source address) and continues with Offset sends. An incoming
// control that must take effect at cycle U during the send rides on the
// payload instruction that starts at U - 1: a Pic send for one control, a
// SENDPICP (which repeats the source address) for a Pic and an Xpic control
// together. A SENDPICP must stand at an even word index, so the payload
// words before it are split into pieces of the right parity.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>

#include "oxu/exchange/checked.hpp"
#include "oxu/exchange/instruction_words.hpp"
#include "oxu/exchange/result.hpp"
#include "program_emitter.hpp"

namespace oxu::exchange::encoding::detail {
namespace {

// What the sender message has sent of its row's payload so far.
struct Message {
  std::uint32_t initial = 0;  // the row's Explicit word
  std::uint32_t control = 0;  // its send control
  std::uint32_t address = 0;  // its source address field
  std::uint32_t remaining = 0;
  std::uint32_t sent = 0;
  bool started = false;  // the Explicit word was emitted
};

// Finds the row's Explicit word and adds up the payload of its Explicit
// and Offset words; every other word of the row is ignored.
std::expected<Message, ExchangeError> analyse_row(const ExchangeRow& row) {
  std::optional<std::uint32_t> initial;
  std::uint32_t payload = 0;
  for (const std::uint32_t word : row) {
    if (is_explicit_send_word(word)) {
      if (initial) return fail("multiple initial sends");
      initial = word;
    } else if (!is_offset_send_word(word)) {
      continue;
    }
    const std::optional<std::uint32_t> sum = checked_add(payload, word_cycles(word));
    if (!sum) return fail("sender payload overflow");
    payload = *sum;
  }
  if (!initial) return fail("sender payload");
  return Message{
      .initial = *initial,
      .control = *initial & 7u,
      .address = (*initial >> 3) & kMaxSendAddressField,
      .remaining = payload,
  };
}

// Emits one payload piece: the Explicit word while the message has not
// started, an Offset word afterwards.
std::expected<void, ExchangeError> emit_piece(ProgramEmitter& out, Message& message, std::uint32_t size) {
  const std::optional<std::uint32_t> end = checked_add(out.cycle, size);
  if (!end) return fail("sender payload horizon");
  if (!message.started) {
    if (size == 0 || size > kMaxExplicitSendWords) return fail("initial send size");
    out.words.push((message.initial & 0x781FFFFFu) | ((size - 1) << 21));
    message.started = true;
  } else {
    out.words.push(offset_send_word(size, message.control));
  }
  out.cycle = *end;
  message.sent += size;
  message.remaining -= size;
  return {};
}

// Emits `length` payload words. With `align`, the words emitted end at an
// even word count, so that a SENDPICP can follow.
std::expected<void, ExchangeError> emit_sender_words(ProgramEmitter& out, Message& message, std::uint32_t length,
                                                     bool align) {
  if (length > message.remaining) return fail("sender payload overflow");
  if (length == 0) {
    // A control cannot ride on the initial send.
    if (!message.started) return fail("unencodable initial send control");
    if (align && out.odd_word_count()) return fail("SENDPICP instruction alignment");
    return {};
  }
  // Pieces: the first of up to 64 words (initial send) or 4096 (Offset),
  // then Offset pieces of up to 4096. Every piece but the last is full.
  const std::uint32_t first = std::min(length, message.started ? kMaxOffsetSendWords : kMaxExplicitSendWords);
  const std::uint32_t rest = length - first;
  const std::uint32_t full_after_first = rest / kMaxOffsetSendWords;
  const std::uint32_t tail = rest % kMaxOffsetSendWords;
  const std::size_t pieces = 1 + full_after_first + (tail != 0 ? 1 : 0);
  const std::uint32_t last = pieces == 1 ? first : (tail != 0 ? tail : kMaxOffsetSendWords);

  // With the wrong parity, the last piece of two or more words is split
  // into one word and the rest.
  std::optional<std::size_t> split;
  if (align && (out.word_count() + pieces) % 2 != 0) {
    if (last >= 2) {
      split = pieces - 1;
    } else if (pieces >= 2) {
      split = pieces - 2;
    } else {
      return fail("SENDPICP instruction alignment");
    }
  }
  for (std::size_t piece = 0; piece < pieces; ++piece) {
    const std::uint32_t size = piece == 0 ? first : (piece + 1 == pieces ? last : kMaxOffsetSendWords);
    if (split == piece) {
      OXU_TRY(emit_piece(out, message, 1));
      OXU_TRY(emit_piece(out, message, size - 1));
    } else {
      OXU_TRY(emit_piece(out, message, size));
    }
  }
  if (align && out.odd_word_count()) return fail("SENDPICP instruction alignment");
  return {};
}

// The Pic send word that carries one incoming control for `words` payload
// words: stream bit 19, the control's flag in bit 18, its value below.
std::uint32_t pic_send_word(const ReceiveEvent& event, std::uint32_t words) {
  const std::uint32_t w = event.word;
  const std::uint32_t fields =
      is_xpic_kind(event.kind) ? (((w >> 13) & 1u) << 18) | (w & 0x1FFFu) : (1u << 19) | (w & 0x7FFFFu);
  return 0x70100000u | ((words - 1) << 21) | fields;
}

}  // namespace

std::expected<void, ExchangeError> encode_sender_message(ProgramEmitter& out, const ScheduledSenderRow& row,
                                                         std::span<const ReceiveEvent> in_flight) {
  if (row.start_cycle < out.cycle) return fail("plan delay order");
  out.emit_delay(row.start_cycle - out.cycle);
  OXU_TRY_ASSIGN(Message message, analyse_row(row.words));

  const std::size_t count = in_flight.size();
  for (std::size_t run = 0; run < count;) {
    const std::size_t after = run_end(in_flight, run, count);
    const std::size_t size = after - run;
    if (size > 2) return fail("incompatible simultaneous receive controls");
    const bool pair = size == 2;

    // The control instruction starts at U - 1 and takes effect at U.
    const std::uint32_t u = in_flight[run].cycle;
    if (u == 0) return fail("send control at phase entry");
    if (u - 1 < out.cycle) return fail("send control order");
    const std::uint32_t before = u - 1 - out.cycle;
    if (before >= message.remaining) return fail("send control beyond payload");
    OXU_TRY(emit_sender_words(out, message, before, pair));

    // The instruction may carry payload up to the cycle before the next
    // run, or to the end of the send.
    const bool next_run = after < count;
    const std::uint32_t limit = next_run ? cycle_before(in_flight[after].cycle) : row.end_cycle;
    if (limit < out.cycle) return fail("send control order");
    std::uint32_t room = limit - out.cycle;
    const std::size_t instruction_words = pair ? 2 : 1;
    // Leave one payload word before a following SENDPICP whose alignment
    // would otherwise fail.
    if (next_run && run_end(in_flight, after, count) - after == 2 && room > 1 &&
        (out.word_count() + instruction_words) % 2 != 0) {
      --room;
    }
    std::uint32_t y = std::min(room, message.remaining);
    if (y == 0) return fail("empty receive-control continuation");
    y = std::min(y, kMaxExplicitSendWords);

    if (!pair) {
      out.words.push(pic_send_word(in_flight[run], y));
    } else {
      const std::optional<std::uint32_t> source = checked_add(message.address, message.sent);
      if (!source) return fail("SENDPICP source overflow");
      if (*source > kMaxSendAddressField) return fail("SENDPICP operand");
      OXU_TRY_ASSIGN(const ControlPair controls, control_pair(in_flight[run], in_flight[run + 1]));
      out.words.extend(sendpicp_first_word(controls.pic_word, y, *source, message.control),
                       sendpicp_second_word(controls));
    }
    out.cycle += y;
    message.remaining -= y;
    message.sent += y;
    run = after;
  }

  if (!message.started) {
    if (message.remaining == 0) return fail("initial send size");
    OXU_TRY(emit_piece(out, message, std::min(message.remaining, kMaxExplicitSendWords)));
  }
  while (message.remaining > 0) {
    OXU_TRY(emit_piece(out, message, std::min(message.remaining, kMaxOffsetSendWords)));
  }
  if (out.cycle != row.end_cycle) return fail("sender payload horizon");
  return {};
}

}  // namespace oxu::exchange::encoding::detail
