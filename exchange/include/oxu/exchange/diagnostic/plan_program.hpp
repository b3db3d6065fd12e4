#pragma once
// Decoding of encoded tile exchange programs into timed listings, and the
// check of a freshly encoded program against the schedule it was built from.
//
// diagnose_plan_program walks the instruction words with the program clock
// and gives one DecodedPlanInstruction per instruction (a SENDPICP counts as
// one instruction of two words); render() prints the listing, one line per
// instruction:
//
//   word+0 cycles=0..10 Delay
//   word+1 cycles=10..10 Return
//
// validate_tile_program decodes a program the encoder has just produced and
// compares it with the tile's schedule: the horizon, the absence of unknown
// words, every timed incoming control, and the outgoing intervals of every
// sender row. Every failure is an ExchangeError of the `Schedule` kind.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "oxu/exchange/error.hpp"
#include "oxu/exchange/tile_program_schedule.hpp"

namespace oxu::exchange::diagnostic {

// The incoming-stream selector a control reprograms; Pic orders before Xpic.
enum class IncomingControlStream : std::uint8_t { Pic, Xpic };

// "Pic" or "Xpic".
[[nodiscard]] std::string_view stream_name(IncomingControlStream stream);

// One incoming control; ordered by stream, then value.
struct IncomingControl {
  IncomingControlStream stream = IncomingControlStream::Pic;
  std::uint32_t value = 0;  // 19-bit Pic or 14-bit Xpic value, without wait
  friend auto operator<=>(const IncomingControl&, const IncomingControl&) = default;
};

// The four send forms: the initial send with its address, a continuation, a
// continuation carrying one incoming control, and the two-word SENDPICP
// carrying two.
enum class SendEncoding : std::uint8_t { Explicit, Offset, Pic, PicPair };

// Payloads of the PlanOperation alternatives.
namespace operation {
struct Delay {
  friend bool operator==(const Delay&, const Delay&) = default;
};
struct Send {
  SendEncoding encoding = SendEncoding::Explicit;
  std::uint32_t words = 0;        // payload words sent
  std::uint32_t raw_operand = 0;  // address field (Explicit, PicPair), bits 13..3 (Offset), bits 17..0 (Pic)
  std::optional<std::uint8_t> send_control;  // absent for a Pic send, which continues the message
  std::vector<IncomingControl> controls;     // PicPair: the Xpic control, then the Pic control
  friend bool operator==(const Send&, const Send&) = default;
};
struct Sync {
  std::uint8_t code = 0;  // the word's low 8 bits
  friend bool operator==(const Sync&, const Sync&) = default;
};
struct Return {
  friend bool operator==(const Return&, const Return&) = default;
};
struct Unknown {
  std::uint32_t word = 0;  // the whole word
  friend bool operator==(const Unknown&, const Unknown&) = default;
};
}  // namespace operation

// One decoded instruction; alternatives in the order Delay, IncomingControl,
// Send, Sync, Return, Unknown.
using PlanOperation = std::variant<operation::Delay, IncomingControl, operation::Send, operation::Sync,
                                   operation::Return, operation::Unknown>;

// The debug form used by the listing, e.g. "Delay", "Sync(3)",
// "IncomingControl(IncomingControl { stream: Xpic, value: 1600 })", or
// "Send { encoding: Pic, words: 3, raw_operand: 1600, send_control: None,
// controls: [IncomingControl { stream: Xpic, value: 1600 }] }".
[[nodiscard]] std::string debug_string(const PlanOperation& operation);

struct DecodedPlanInstruction {
  PlanOperation operation;
  std::optional<std::uint32_t> address;  // byte address of the first word, with a base
  std::uint32_t word_index = 0;          // index of the first word
  std::uint32_t start_cycle = 0;         // program clock when the instruction starts
  std::uint32_t end_cycle = 0;           // start_cycle + the instruction's cycles
  friend bool operator==(const DecodedPlanInstruction&, const DecodedPlanInstruction&) = default;
};

struct PlanProgramDiagnostic {
  std::vector<DecodedPlanInstruction> instructions;
  std::uint32_t horizon = 0;     // the program's cycle count
  std::uint32_t word_count = 0;  // words decoded

  // One line per instruction: "{location} cycles={start}..{end} {operation}\n",
  // the location being "0x{address:05x}" with a base and "word+{index}"
  // without. An empty program renders as empty text.
  [[nodiscard]] std::string render() const;
  friend bool operator==(const PlanProgramDiagnostic&, const PlanProgramDiagnostic&) = default;
};

// Decodes every word (also those after a Return). With a base, each
// instruction's address is base + 4 * word index. Errors: "truncated
// SENDPICP payload", "diagnostic event horizon overflow", "diagnostic row
// address overflow".
[[nodiscard]] std::expected<PlanProgramDiagnostic, ExchangeError> diagnose_plan_program(
    std::span<const std::uint32_t> words, std::optional<std::uint32_t> base);

// Decodes `words` and checks them against `schedule`: horizon, no unknown
// words, the incoming controls, and the outgoing intervals of every sender
// row. `tile` serves only the diagnostic event. Errors: those of the
// decoder, then "encoded tile horizon mismatch", "unknown encoded exchange
// instruction", "encoded incoming-control mismatch", "encoded sender interval
// mismatch", "unexpected encoded outgoing interval", checked in that order.
[[nodiscard]] std::expected<PlanProgramDiagnostic, ExchangeError> validate_tile_program(
    std::size_t tile, const TileProgramSchedule& schedule, std::span<const std::uint32_t> words);

}  // namespace oxu::exchange::diagnostic
