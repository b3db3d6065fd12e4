#include "oxu/exchange/diagnostic/plan_program.hpp"

#include <cstdio>
#include <cstdlib>
#include <limits>
#include <utility>

#include <fmt/format.h>

#include "oxu/exchange/checked.hpp"
#include "oxu/exchange/instruction_words.hpp"

namespace oxu::exchange::diagnostic {
namespace {

// One instruction read at a word index, before it is placed on the clock.
struct DecodedWord {
  PlanOperation operation;
  std::uint32_t cycles = 0;
  std::uint32_t consumed = 1;  // words the instruction occupies
};

constexpr std::uint32_t bits(std::uint32_t word, unsigned high, unsigned low) {
  return (word >> low) & ((std::uint32_t{1} << (high - low + 1)) - 1);
}

constexpr std::uint8_t send_control_bits(std::uint32_t word) { return static_cast<std::uint8_t>(word & 7); }

// Bits 26..21 + 1: the payload words of every send form but Offset, and the
// cycles of a Pic send and a SENDPICP.
constexpr std::uint32_t short_send_words(std::uint32_t word) { return bits(word, 26, 21) + 1; }

// The control a Pic send carries: bit 19 picks the stream, bit 18 is the
// control's flag (Pic value bit 18, Xpic value bit 13).
IncomingControl pic_send_control(std::uint32_t word) {
  if (bits(word, 19, 19) == 1) return {IncomingControlStream::Pic, bits(word, 18, 0)};
  return {IncomingControlStream::Xpic, bits(word, 12, 0) | (bits(word, 18, 18) << 13)};
}

// Decodes the instruction whose first word is words[index]; a SENDPICP also
// reads the word after it.
std::expected<DecodedWord, ExchangeError> decode_at(std::span<const std::uint32_t> words, std::size_t index) {
  const std::uint32_t word = words[index];
  if (is_return_word(word)) return DecodedWord{operation::Return{}, 0};
  if (is_delay_word(word)) return DecodedWord{operation::Delay{}, bits(word, 18, 0) + 1};
  if (is_xpic_control_word(word)) {
    return DecodedWord{IncomingControl{IncomingControlStream::Xpic, bits(word, 13, 0)}, bits(word, 25, 14) + 1};
  }
  if (is_pic_control_word(word)) {
    return DecodedWord{IncomingControl{IncomingControlStream::Pic, bits(word, 18, 0)}, bits(word, 25, 19) + 1};
  }
  if (is_sendpicp_word(word)) {
    if (index + 1 >= words.size()) return std::unexpected(ExchangeError::schedule("truncated SENDPICP payload"));
    const std::uint32_t second = words[index + 1];
    operation::Send send{
        .encoding = SendEncoding::PicPair,
        .words = short_send_words(word),
        .raw_operand = bits(word, 20, 3),
        .send_control = send_control_bits(word),
        .controls = {IncomingControl{IncomingControlStream::Xpic, second >> 18},
                     IncomingControl{IncomingControlStream::Pic, bits(second, 17, 0) | (bits(word, 27, 27) << 18)}},
    };
    const std::uint32_t cycles = send.words;
    return DecodedWord{std::move(send), cycles, 2};
  }
  if (is_pic_send_word(word)) {
    operation::Send send{
        .encoding = SendEncoding::Pic,
        .words = short_send_words(word),
        .raw_operand = bits(word, 17, 0),
        .send_control = std::nullopt,
        .controls = {pic_send_control(word)},
    };
    const std::uint32_t cycles = send.words;
    return DecodedWord{std::move(send), cycles};
  }
  if (is_explicit_send_word(word)) {
    operation::Send send{
        .encoding = SendEncoding::Explicit,
        .words = short_send_words(word),
        .raw_operand = bits(word, 20, 3),
        .send_control = send_control_bits(word),
        .controls = {},
    };
    const std::uint32_t cycles = send.words;
    return DecodedWord{std::move(send), cycles};
  }
  if (is_offset_send_word(word)) {
    operation::Send send{
        .encoding = SendEncoding::Offset,
        .words = bits(word, 19, 14) * 64 + bits(word, 26, 21) + 1,
        .raw_operand = bits(word, 13, 3),
        .send_control = send_control_bits(word),
        .controls = {},
    };
    const std::uint32_t cycles = send.words;
    return DecodedWord{std::move(send), cycles};
  }
  if (is_sync_word(word)) return DecodedWord{operation::Sync{static_cast<std::uint8_t>(word & 0xFF)}, 0};
  return DecodedWord{operation::Unknown{word}, 0};
}

std::string_view encoding_name(SendEncoding encoding) {
  switch (encoding) {
    case SendEncoding::Explicit: return "Explicit";
    case SendEncoding::Offset: return "Offset";
    case SendEncoding::Pic: return "Pic";
    case SendEncoding::PicPair: return "PicPair";
  }
  return "";
}

std::string control_debug(const IncomingControl& control) {
  return fmt::format("IncomingControl {{ stream: {}, value: {} }}", stream_name(control.stream), control.value);
}

std::string send_debug(const operation::Send& send) {
  std::string out = fmt::format("Send {{ encoding: {}, words: {}, raw_operand: {}, send_control: ",
                                encoding_name(send.encoding), send.words, send.raw_operand);
  if (send.send_control) {
    out += fmt::format("Some({})", unsigned{*send.send_control});
  } else {
    out += "None";
  }
  out += ", controls: [";
  for (std::size_t i = 0; i < send.controls.size(); ++i) {
    if (i > 0) out += ", ";
    out += control_debug(send.controls[i]);
  }
  out += "] }";
  return out;
}

// Overloaded visitor for std::visit.
template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

}  // namespace

std::string_view stream_name(IncomingControlStream stream) {
  switch (stream) {
    case IncomingControlStream::Pic: return "Pic";
    case IncomingControlStream::Xpic: return "Xpic";
  }
  return "";
}

std::string debug_string(const PlanOperation& operation) {
  return std::visit(Overloaded{
                        [](const operation::Delay&) { return std::string("Delay"); },
                        [](const IncomingControl& control) {
                          return fmt::format("IncomingControl({})", control_debug(control));
                        },
                        [](const operation::Send& send) { return send_debug(send); },
                        [](const operation::Sync& sync) { return fmt::format("Sync({})", unsigned{sync.code}); },
                        [](const operation::Return&) { return std::string("Return"); },
                        [](const operation::Unknown& unknown) { return fmt::format("Unknown({})", unknown.word); },
                    },
                    operation);
}

std::string PlanProgramDiagnostic::render() const {
  std::string out;
  for (const DecodedPlanInstruction& instruction : instructions) {
    const std::string location = instruction.address ? fmt::format("0x{:05x}", *instruction.address)
                                                     : fmt::format("word+{}", instruction.word_index);
    out += fmt::format("{} cycles={}..{} {}\n", location, instruction.start_cycle, instruction.end_cycle,
                       debug_string(instruction.operation));
  }
  return out;
}

std::expected<PlanProgramDiagnostic, ExchangeError> diagnose_plan_program(std::span<const std::uint32_t> words,
                                                                         std::optional<std::uint32_t> base) {
  // Word indexes are u32; a program of 2^32 words (16 GiB) is no exchange
  // program any encoder could have produced.
  if (words.size() > std::numeric_limits<std::uint32_t>::max()) {
    std::fputs("program word count fits u32\n", stderr);
    std::abort();
  }
  PlanProgramDiagnostic diagnostic;
  std::uint32_t clock = 0;
  std::size_t index = 0;
  while (index < words.size()) {
    auto decoded = decode_at(words, index);
    if (!decoded) return std::unexpected(decoded.error());
    const auto word_index = static_cast<std::uint32_t>(index);
    const std::optional<std::uint32_t> end_cycle = checked_add(clock, decoded->cycles);
    if (!end_cycle) return std::unexpected(ExchangeError::schedule("diagnostic event horizon overflow"));
    std::optional<std::uint32_t> address;
    if (base) {
      const std::optional<std::uint32_t> offset = checked_mul(word_index, 4);
      address = offset ? checked_add(*base, *offset) : std::nullopt;
      if (!address) return std::unexpected(ExchangeError::schedule("diagnostic row address overflow"));
    }
    diagnostic.instructions.push_back(DecodedPlanInstruction{
        .operation = std::move(decoded->operation),
        .address = address,
        .word_index = word_index,
        .start_cycle = clock,
        .end_cycle = *end_cycle,
    });
    clock = *end_cycle;
    index += decoded->consumed;
  }
  diagnostic.horizon = clock;
  diagnostic.word_count = static_cast<std::uint32_t>(words.size());
  return diagnostic;
}

}  // namespace oxu::exchange::diagnostic
