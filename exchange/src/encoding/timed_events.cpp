// Timed incoming controls: receive events that fall outside every send.
//
// A single event becomes a Pic or Xpic control word whose wait ends exactly
// at the event's cycle (with Delay words first when the wait field cannot
// reach that far). Two events at one cycle become a receive-only SENDPICP
// that starts one cycle earlier; its first word must stand at an even word
// index, so the delays before it are spread over one extra Delay word when
// the parity needs it.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>

#include "oxu/exchange/instruction_words.hpp"
#include "oxu/exchange/result.hpp"
#include "program_emitter.hpp"

namespace oxu::exchange::encoding::detail {
namespace {

// Emits `event` as a control word that waits `wait` cycles.
std::expected<void, ExchangeError> emit_timed_control(ProgramEmitter& out, const ReceiveEvent& event,
                                                      std::uint32_t wait) {
  if (wait == 0) return fail("zero event advance");
  if (is_xpic_kind(event.kind)) {
    if (wait > kMaxXpicWait) return fail("XPIC delay advance overflow");
    out.words.push((event.word & 0x64003FFFu) | ((wait - 1) << 14));
  } else {
    if (wait > kMaxPicWait) return fail("PIC delay advance overflow");
    out.words.push((event.word & 0x6007FFFFu) | ((wait - 1) << 19));
  }
  out.cycle += wait;
  return {};
}

std::expected<void, ExchangeError> encode_single(ProgramEmitter& out, const ReceiveEvent& event) {
  const std::uint32_t c = event.cycle;
  if (c < out.cycle) return fail("receive event order");
  if (c == out.cycle) return fail("receive control issue interval");
  if (!is_pic_control_word(event.word) && !is_xpic_control_word(event.word)) return fail("receive timed event");
  const std::uint32_t longest = is_xpic_kind(event.kind) ? kMaxXpicWait : kMaxPicWait;
  if (c - out.cycle > longest) out.emit_delay(c - longest - out.cycle);
  return emit_timed_control(out, event, c - out.cycle);
}

// Fills the `gap` cycles before a receive-only SENDPICP with Delay words so
// that the instruction lands at an even word index.
std::expected<void, ExchangeError> emit_aligned_delay(ProgramEmitter& out, std::uint32_t gap) {
  std::uint32_t delays = gap / kMaxDelayCycles + (gap % kMaxDelayCycles != 0 ? 1 : 0);
  if ((out.word_count() + delays) % 2 != 0) ++delays;
  if (gap < delays) return fail("SENDPICP instruction alignment");
  // Each Delay word takes as much as it may while leaving one cycle for
  // every Delay word still to come.
  for (std::uint32_t left = delays; left > 0; --left) {
    const std::uint32_t k = std::min(kMaxDelayCycles, gap - (left - 1));
    out.words.push(delay_word(k));
    out.cycle += k;
    gap -= k;
  }
  return {};
}

// A run of two events at cycle c with the run limit m: a SENDPICP that
// starts at c - 1 and stays for up to 64 cycles, but not past m.
std::expected<void, ExchangeError> encode_pair(ProgramEmitter& out, const ReceiveEvent& first,
                                               const ReceiveEvent& second, std::uint32_t m) {
  const std::uint32_t c = first.cycle;
  if (c == 0) return fail("receive control at phase entry");
  if (c - 1 < out.cycle) return fail("plan delay order");
  if (c - 1 > out.cycle) {
    OXU_TRY(emit_aligned_delay(out, c - 1 - out.cycle));
  } else if (out.odd_word_count()) {
    return fail("SENDPICP instruction alignment");
  }
  if (m < out.cycle) return fail("receive control order");
  if (m == out.cycle) return fail("empty SENDPICP interval");
  OXU_TRY_ASSIGN(const ControlPair pair, control_pair(first, second));
  const std::uint32_t n = std::min(m - out.cycle, kMaxExplicitSendWords);
  out.words.extend(sendpicp_first_word(pair.pic_word, n, 0, 0), sendpicp_second_word(pair));
  out.cycle += n;
  return {};
}

}  // namespace

std::expected<ControlPair, ExchangeError> control_pair(const ReceiveEvent& first, const ReceiveEvent& second) {
  const bool first_xpic = is_xpic_kind(first.kind);
  const bool second_xpic = is_xpic_kind(second.kind);
  if (first_xpic && second_xpic) return fail("SENDPICP PIC control");
  if (!first_xpic && !second_xpic) return fail("SENDPICP XPIC control");
  if (first.cycle != second.cycle) return fail("SENDPICP event time");
  return first_xpic ? ControlPair{.pic_word = second.word, .xpic_word = first.word}
                    : ControlPair{.pic_word = first.word, .xpic_word = second.word};
}

std::expected<void, ExchangeError> encode_timed_events(ProgramEmitter& out, std::span<const ReceiveEvent> events,
                                                       std::size_t begin, std::size_t end, std::uint32_t limit,
                                                       std::size_t next_sender) {
  for (std::size_t run = begin; run < end;) {
    const std::size_t after = run_end(events, run, end);
    // The run may occupy the program up to the cycle before the next run.
    const std::uint32_t m = after < end ? cycle_before(events[after].cycle) : limit;
    const std::size_t size = after - run;
    if (size == 1) {
      OXU_TRY(encode_single(out, events[run]));
    } else if (size == 2) {
      OXU_TRY(encode_pair(out, events[run], events[run + 1], m));
    } else {
      return fail("incompatible simultaneous receive controls");
    }
    out.push_checkpoint(size == 2, m, next_sender, after);
    run = after;
  }
  if (limit < out.cycle) return fail("plan delay order");
  out.emit_delay(limit - out.cycle);
  return {};
}

}  // namespace oxu::exchange::encoding::detail
