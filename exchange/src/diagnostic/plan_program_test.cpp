#include "oxu/exchange/diagnostic/plan_program.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "oxu/exchange/instruction_words.hpp"

namespace oxu::exchange::diagnostic {
namespace {

using Words = std::vector<std::uint32_t>;

constexpr std::uint32_t kMaxDelayWord = 0x40A7FFFF;

IncomingControl xpic(std::uint32_t value) { return {IncomingControlStream::Xpic, value}; }
IncomingControl pic(std::uint32_t value) { return {IncomingControlStream::Pic, value}; }

operation::Send send(SendEncoding encoding, std::uint32_t words, std::uint32_t raw_operand,
                     std::optional<std::uint8_t> control, std::vector<IncomingControl> controls = {}) {
  return {encoding, words, raw_operand, control, std::move(controls)};
}

// The first word of a SENDPICP: bit 27 carries the Pic value's bit 18.
constexpr std::uint32_t sendpicp_first(std::uint32_t words, std::uint32_t pic_value, std::uint32_t address,
                                       std::uint32_t control) {
  return 0xF0000000 | (((pic_value >> 18) & 1) << 27) | ((words - 1) << 21) | (address << 3) | control;
}
constexpr std::uint32_t sendpicp_second(std::uint32_t xpic_value, std::uint32_t pic_value) {
  return (xpic_value << 18) | (pic_value & 0x3FFFF);
}

struct DecodeCase {
  const char* name;
  Words words;
  PlanOperation operation;
  std::uint32_t cycles;
  const char* debug;
};

TEST(PlanProgramDecode, SingleInstructions) {
  const DecodeCase cases[] = {
      {"return", {kReturnWord}, operation::Return{}, 0, "Return"},
      {"delay of ten", {delay_word(10)}, operation::Delay{}, 10, "Delay"},
      {"longest delay", {kMaxDelayWord}, operation::Delay{}, 0x80000, "Delay"},
      {"xpic control", {xpic_control_word(4, 1600)}, xpic(1600), 5,
       "IncomingControl(IncomingControl { stream: Xpic, value: 1600 })"},
      {"widest xpic control", {0x67FFFFFF}, xpic(0x3FFF), 4096,
       "IncomingControl(IncomingControl { stream: Xpic, value: 16383 })"},
      {"pic control", {pic_control_word(2, 0x40001)}, pic(0x40001), 3,
       "IncomingControl(IncomingControl { stream: Pic, value: 262145 })"},
      {"widest pic control", {0x63FFFFFF}, pic(0x7FFFF), 128,
       "IncomingControl(IncomingControl { stream: Pic, value: 524287 })"},
      {"sendpicp that sends",
       {sendpicp_first(3, 0x40123, 0x100, 3), sendpicp_second(1600, 0x40123)},
       send(SendEncoding::PicPair, 3, 0x100, 3, {xpic(1600), pic(0x40123)}), 3,
       "Send { encoding: PicPair, words: 3, raw_operand: 256, send_control: Some(3), controls: "
       "[IncomingControl { stream: Xpic, value: 1600 }, IncomingControl { stream: Pic, value: 262435 }] }"},
      {"sendpicp that only switches streams", {0xF0000000, 0xFFFFFFFF},
       send(SendEncoding::PicPair, 1, 0, 0, {xpic(0x3FFF), pic(0x3FFFF)}), 1,
       "Send { encoding: PicPair, words: 1, raw_operand: 0, send_control: Some(0), controls: "
       "[IncomingControl { stream: Xpic, value: 16383 }, IncomingControl { stream: Pic, value: 262143 }] }"},
      {"pic send with an xpic control", {0x70100000 | (2 << 21) | 1600},
       send(SendEncoding::Pic, 3, 1600, std::nullopt, {xpic(1600)}), 3,
       "Send { encoding: Pic, words: 3, raw_operand: 1600, send_control: None, controls: "
       "[IncomingControl { stream: Xpic, value: 1600 }] }"},
      {"pic send with a paired xpic control", {0x70100000 | (1 << 18) | 5},
       send(SendEncoding::Pic, 1, 5, std::nullopt, {xpic(0x2005)}), 1,
       "Send { encoding: Pic, words: 1, raw_operand: 5, send_control: None, controls: "
       "[IncomingControl { stream: Xpic, value: 8197 }] }"},
      {"pic send with a pic control", {0x70100000 | (63 << 21) | (1 << 19) | (1 << 18) | 0x12345},
       send(SendEncoding::Pic, 64, 0x12345, std::nullopt, {pic(0x52345)}), 64,
       "Send { encoding: Pic, words: 64, raw_operand: 74565, send_control: None, controls: "
       "[IncomingControl { stream: Pic, value: 336709 }] }"},
      {"explicit send", {explicit_send_word(64, 7) | (0x3FFFF << 3)},
       send(SendEncoding::Explicit, 64, 0x3FFFF, 7), 64,
       "Send { encoding: Explicit, words: 64, raw_operand: 262143, send_control: Some(7), controls: [] }"},
      {"widest explicit word", {0x7FFFFFFF}, send(SendEncoding::Explicit, 64, 0x3FFFF, 7), 64,
       "Send { encoding: Explicit, words: 64, raw_operand: 262143, send_control: Some(7), controls: [] }"},
      {"offset send of 4096 words", {offset_send_word(4096, 2)}, send(SendEncoding::Offset, 4096, 0, 2), 4096,
       "Send { encoding: Offset, words: 4096, raw_operand: 0, send_control: Some(2), controls: [] }"},
      {"offset send with operand bits", {0x70000000 | (5 << 21) | (1 << 14) | (0x7FF << 3) | 1},
       send(SendEncoding::Offset, 70, 0x7FF, 1), 70,
       "Send { encoding: Offset, words: 70, raw_operand: 2047, send_control: Some(1), controls: [] }"},
      {"row sync", {kSyncWord}, operation::Sync{3}, 0, "Sync(3)"},
      {"highest sync code", {0x418000FF}, operation::Sync{255}, 0, "Sync(255)"},
      {"small unknown word", {12345}, operation::Unknown{12345}, 0, "Unknown(12345)"},
      {"word after the sync range", {0x41800100}, operation::Unknown{0x41800100}, 0, "Unknown(1098907904)"},
      {"word after the delay range", {0x40A80000}, operation::Unknown{0x40A80000}, 0, "Unknown(1084751872)"},
      {"return with a stray bit", {0x43A00001}, operation::Unknown{0x43A00001}, 0, "Unknown(1134559233)"},
      {"word between xpic and send ranges", {0x68000000}, operation::Unknown{0x68000000}, 0, "Unknown(1744830464)"},
      {"word below sendpicp", {0xEFFFFFFF}, operation::Unknown{0xEFFFFFFF}, 0, "Unknown(4026531839)"},
  };
  for (const DecodeCase& c : cases) {
    SCOPED_TRACE(c.name);
    const auto diagnostic = diagnose_plan_program(c.words, std::nullopt);
    ASSERT_TRUE(diagnostic.has_value()) << diagnostic.error().debug();
    ASSERT_EQ(diagnostic->instructions.size(), 1u);
    const DecodedPlanInstruction& instruction = diagnostic->instructions[0];
    EXPECT_EQ(instruction.operation, c.operation);
    EXPECT_EQ(instruction.address, std::nullopt);
    EXPECT_EQ(instruction.word_index, 0u);
    EXPECT_EQ(instruction.start_cycle, 0u);
    EXPECT_EQ(instruction.end_cycle, c.cycles);
    EXPECT_EQ(diagnostic->horizon, c.cycles);
    EXPECT_EQ(diagnostic->word_count, c.words.size());
    EXPECT_EQ(debug_string(instruction.operation), c.debug);
  }
}

TEST(PlanProgramDecode, ProgramWithBaseKeepsClockIndexAndAddress) {
  const Words words = {kSyncWord,
                       delay_word(10),
                       explicit_send_word(3, 3),
                       sendpicp_first(2, 0x40001, 3, 3),
                       sendpicp_second(7, 0x40001),
                       kReturnWord,
                       delay_word(4)};
  const auto diagnostic = diagnose_plan_program(words, 0x1000);
  ASSERT_TRUE(diagnostic.has_value()) << diagnostic.error().debug();
  const std::vector<DecodedPlanInstruction> expected = {
      {operation::Sync{3}, 0x1000, 0, 0, 0},
      {operation::Delay{}, 0x1004, 1, 0, 10},
      {send(SendEncoding::Explicit, 3, 0, 3), 0x1008, 2, 10, 13},
      {send(SendEncoding::PicPair, 2, 3, 3, {xpic(7), pic(0x40001)}), 0x100C, 3, 13, 15},
      {operation::Return{}, 0x1014, 5, 15, 15},
      {operation::Delay{}, 0x1018, 6, 15, 19},
  };
  EXPECT_EQ(diagnostic->instructions, expected);
  EXPECT_EQ(diagnostic->horizon, 19u);
  EXPECT_EQ(diagnostic->word_count, 7u);
}

TEST(PlanProgramDecode, LongestClockJustFits) {
  Words words(8191, kMaxDelayWord);
  words.push_back(kReturnWord);
  const auto diagnostic = diagnose_plan_program(words, std::nullopt);
  ASSERT_TRUE(diagnostic.has_value()) << diagnostic.error().debug();
  EXPECT_EQ(diagnostic->horizon, 0xFFF80000u);
  EXPECT_EQ(diagnostic->word_count, 8192u);
}

TEST(PlanProgramDecode, HighestAddressJustFits) {
  const Words words = {kReturnWord};
  const auto diagnostic = diagnose_plan_program(words, 0xFFFFFFFC);
  ASSERT_TRUE(diagnostic.has_value()) << diagnostic.error().debug();
  EXPECT_EQ(diagnostic->instructions[0].address, 0xFFFFFFFCu);
}

struct ErrorCase {
  const char* name;
  Words words;
  std::optional<std::uint32_t> base;
  const char* reason;
};

TEST(PlanProgramDecode, Errors) {
  Words clock_overflow(8192, kMaxDelayWord);
  const ErrorCase cases[] = {
      {"sendpicp as the only word", {0xF0000000}, std::nullopt, "truncated SENDPICP payload"},
      {"sendpicp as the last word", {delay_word(10), 0xF0000000}, std::nullopt, "truncated SENDPICP payload"},
      {"sendpicp as the last word after a return", {kReturnWord, 0xF0000000}, 0x100, "truncated SENDPICP payload"},
      {"clock beyond u32", clock_overflow, std::nullopt, "diagnostic event horizon overflow"},
      {"address beyond u32", {kReturnWord, kReturnWord}, 0xFFFFFFFC, "diagnostic row address overflow"},
      {"truncation checked before address", {kReturnWord, 0xF0000000}, 0xFFFFFFFC, "truncated SENDPICP payload"},
      // At word 8191 both the clock and the address wrap; the clock is checked first.
      {"clock checked before address", clock_overflow, 0xFFFF8004, "diagnostic event horizon overflow"},
      {"address wraps one word earlier", Words(8191, kMaxDelayWord), 0xFFFF8008, "diagnostic row address overflow"},
  };
  for (const ErrorCase& c : cases) {
    SCOPED_TRACE(c.name);
    const auto diagnostic = diagnose_plan_program(c.words, c.base);
    ASSERT_FALSE(diagnostic.has_value());
    EXPECT_EQ(diagnostic.error(), ExchangeError::schedule(c.reason));
  }
}

struct RenderCase {
  const char* name;
  Words words;
  std::optional<std::uint32_t> base;
  const char* listing;
};

TEST(PlanProgramRender, Listings) {
  const RenderCase cases[] = {
      {"empty program", {}, std::nullopt, ""},
      {"empty program with a base", {}, 0x100, ""},
      {"return only", {kReturnWord}, std::nullopt, "word+0 cycles=0..0 Return\n"},
      {"delay then return", {delay_word(10), kReturnWord}, std::nullopt,
       "word+0 cycles=0..10 Delay\nword+1 cycles=10..10 Return\n"},
      {"short addresses are zero-padded", {delay_word(10), kReturnWord}, 0x10,
       "0x00010 cycles=0..10 Delay\n0x00014 cycles=10..10 Return\n"},
      {"long addresses are not cut", {kReturnWord}, 0xABCDE0, "0xabcde0 cycles=0..0 Return\n"},
      {"sendpicp takes two word indexes", {sendpicp_first(1, 0, 0, 0), sendpicp_second(0x640, 0), kSyncWord},
       std::nullopt,
       "word+0 cycles=0..1 Send { encoding: PicPair, words: 1, raw_operand: 0, send_control: Some(0), controls: "
       "[IncomingControl { stream: Xpic, value: 1600 }, IncomingControl { stream: Pic, value: 0 }] }\n"
       "word+2 cycles=1..1 Sync(3)\n"},
      {"words after a return", {kReturnWord, explicit_send_word(2, 1), 12345}, std::nullopt,
       "word+0 cycles=0..0 Return\n"
       "word+1 cycles=0..2 Send { encoding: Explicit, words: 2, raw_operand: 0, send_control: Some(1), "
       "controls: [] }\n"
       "word+2 cycles=2..2 Unknown(12345)\n"},
      {"timed controls", {xpic_control_word(1, 1600), pic_control_word(0, 5)}, std::nullopt,
       "word+0 cycles=0..2 IncomingControl(IncomingControl { stream: Xpic, value: 1600 })\n"
       "word+1 cycles=2..3 IncomingControl(IncomingControl { stream: Pic, value: 5 })\n"},
  };
  for (const RenderCase& c : cases) {
    SCOPED_TRACE(c.name);
    const auto diagnostic = diagnose_plan_program(c.words, c.base);
    ASSERT_TRUE(diagnostic.has_value()) << diagnostic.error().debug();
    EXPECT_EQ(diagnostic->render(), c.listing);
  }
}

}  // namespace
}  // namespace oxu::exchange::diagnostic
