#include "oxu/exchange/instruction_words.hpp"

#include <cstdint>
#include <string>

#include <gtest/gtest.h>

namespace oxu::exchange {
namespace {

template <typename T>
std::string outcome(const std::expected<T, ExchangeError>& result) {
  return result ? std::string("ok") : result.error().debug();
}

TEST(InstructionWordsTest, BuildersGiveTheTableValues) {
  struct Case {
    const char* name;
    std::uint32_t built;
    std::uint32_t expected;
  };
  const Case cases[] = {
      {"delay 1", delay_word(1), 0x40A00000},
      {"delay 140", delay_word(140), 0x40A0008B},
      {"delay max", delay_word(kMaxDelayCycles), 0x40A7FFFF},
      {"explicit 1", explicit_send_word(1, 1), 0x78000001},
      {"explicit 64", explicit_send_word(64, 3), 0x7FE00003},
      {"offset 1", offset_send_word(1, 2), 0x70000002},
      {"offset 65", offset_send_word(65, 1), 0x70004001},
      {"offset 4084", offset_send_word(4084, 1), 0x766FC001},
      {"offset 4096", offset_send_word(4096, 7), 0x77EFC007},
      {"pic", pic_control_word(41, 0x14000), 0x61494000},
      {"pic max wait", pic_control_word(127, 0x7FFFF), 0x63FFFFFF},
      {"xpic", xpic_control_word(112, 0), 0x641C0000},
      {"xpic teardown", xpic_control_word(0, kXpicTeardownValue), 0x64000640},
      {"xpic max wait", xpic_control_word(4095, 0x3FFF), 0x67FFFFFF},
  };
  for (const Case& c : cases) EXPECT_EQ(c.built, c.expected) << c.name;
}

TEST(InstructionWordsTest, ClassificationAndCycles) {
  enum Class { Delay, Sync, Return, Pic, Xpic, Explicit, Offset, PicSend, SendPicP, Other };
  struct Case {
    std::uint32_t word;
    Class kind;
    std::uint32_t cycles;
  };
  const Case cases[] = {
      {0x40A00000, Delay, 1},     {0x40A7FFFF, Delay, 0x80000}, {0x40A80000, Other, 0},     {0x41800000, Sync, 0},
      {0x41800003, Sync, 0},      {0x418000FF, Sync, 0},        {0x41800100, Other, 0},     {0x43A00000, Return, 0},
      {0x43A00001, Other, 0},     {0x60000000, Pic, 1},         {0x63FFFFFF, Pic, 128},     {0x61494000, Pic, 42},
      {0x64000000, Xpic, 1},      {0x67FFFFFF, Xpic, 4096},     {0x641C0000, Xpic, 113},    {0x78000001, Explicit, 1},
      {0x7FFFFFFF, Explicit, 64}, {0x70000000, Offset, 1},      {0x766FC001, Offset, 4084}, {0x77EFC007, Offset, 4096},
      {0x70100000, PicSend, 1},   {0x77F00000, PicSend, 64},    {0xF0000000, SendPicP, 1},  {0xF7E00000, SendPicP, 64},
      {0x00000000, Other, 0},     {0x68000000, Other, 0},
  };
  for (const Case& c : cases) {
    const Class kind = is_delay_word(c.word)           ? Delay
                       : is_sync_word(c.word)          ? Sync
                       : is_return_word(c.word)        ? Return
                       : is_pic_control_word(c.word)   ? Pic
                       : is_xpic_control_word(c.word)  ? Xpic
                       : is_explicit_send_word(c.word) ? Explicit
                       : is_offset_send_word(c.word)   ? Offset
                       : is_pic_send_word(c.word)      ? PicSend
                       : is_sendpicp_word(c.word)      ? SendPicP
                                                       : Other;
    EXPECT_EQ(kind, c.kind) << std::hex << c.word;
    EXPECT_EQ(word_cycles(c.word), c.cycles) << std::hex << c.word;
  }
}

TEST(InstructionWordsTest, SetSenderControl) {
  const ExchangeRow row = {kSyncWord, delay_word(31), explicit_send_word(64, 3), offset_send_word(36, 3), kReturnWord};
  ExchangeRow paired = row;
  ASSERT_TRUE(set_sender_control(paired, 5).has_value());
  const ExchangeRow expected = {kSyncWord, delay_word(31), explicit_send_word(64, 5), offset_send_word(36, 5),
                                kReturnWord};
  EXPECT_EQ(paired, expected);

  for (const std::uint8_t bad : {std::uint8_t{0}, std::uint8_t{8}}) {
    ExchangeRow copy = row;
    EXPECT_EQ(outcome(set_sender_control(copy, bad)), "Schedule(\"send control\")") << int{bad};
  }
  ExchangeRow no_send = {kSyncWord, delay_word(6), kReturnWord};
  EXPECT_EQ(outcome(set_sender_control(no_send, 3)), "Schedule(\"sender payload\")");
}

TEST(InstructionWordsTest, SetSenderControlOnSendPicPairs) {
  // A sending SENDPICP takes the control; a receive-only one (control 0)
  // keeps it, and neither's second word is read as an instruction.
  const std::uint32_t second_like_explicit = 0x78000001;
  ExchangeRow row = {kSyncWord, 0xF0000001, second_like_explicit, 0xF0000000, second_like_explicit, kReturnWord};
  ASSERT_TRUE(set_sender_control(row, 6).has_value());
  const ExchangeRow expected = {kSyncWord,  0xF0000006,           second_like_explicit,
                                0xF0000000, second_like_explicit, kReturnWord};
  EXPECT_EQ(row, expected);

  ExchangeRow receive_only = {kSyncWord, 0xF0000000, second_like_explicit, kReturnWord};
  EXPECT_EQ(outcome(set_sender_control(receive_only, 6)), "Schedule(\"sender payload\")");
}

TEST(InstructionWordsTest, PatchSenderAddress) {
  struct Case {
    std::uint32_t control;
    std::uint32_t address;
    std::uint32_t field;  // expected bits 20..3, or none on error
    bool ok;
  };
  const Case cases[] = {
      {3, 0x100, 0x40, true},
      {7, 0x100, 0x20, true},
      {7, 0x104, 0, false},
      {3, 0x102, 0, false},
      {3, 0xFFFFC, 0x3FFFF, true},
      {3, 0x100000, 0, false},
      {4, 8 * 0x3FFFF, 0x3FFFF, true},
      {4, 8 * 0x40000, 0, false},
      {1, 0, 0, true},
  };
  for (const Case& c : cases) {
    // A stale address field must be overwritten, the other bits kept.
    const std::uint32_t initial = explicit_send_word(10, c.control) | (0x15555U << 3);
    ExchangeRow row = {kSyncWord, delay_word(3), initial, offset_send_word(5, c.control), kReturnWord};
    const auto result = patch_sender_address(row, c.address);
    if (!c.ok) {
      EXPECT_EQ(result, std::unexpected(ExchangeError::address(c.address))) << std::hex << c.address;
      continue;
    }
    ASSERT_TRUE(result.has_value()) << std::hex << c.address;
    EXPECT_EQ(row[2], explicit_send_word(10, c.control) | (c.field << 3)) << std::hex << c.address;
    EXPECT_EQ(row[3], offset_send_word(5, c.control));  // only the first Explicit word changes
  }

  ExchangeRow no_send = {kSyncWord, offset_send_word(5, 1), kReturnWord};
  EXPECT_EQ(patch_sender_address(no_send, 0x100), std::unexpected(ExchangeError::address(0x100)));
}

TEST(InstructionWordsTest, PatchSenderAddressPatchesOnlyTheFirstExplicitWord) {
  ExchangeRow row = {kSyncWord, explicit_send_word(1, 1), explicit_send_word(1, 1), kReturnWord};
  ASSERT_TRUE(patch_sender_address(row, 0x40).has_value());
  EXPECT_EQ(row[1], explicit_send_word(1, 1) | (0x10U << 3));
  EXPECT_EQ(row[2], explicit_send_word(1, 1));
}

TEST(InstructionWordsTest, FinalizePointReceiver) {
  const PointReceiverWords receiver = {kSyncWord,
                                       xpic_control_word(112, 0),
                                       xpic_control_word(9, 0x640),
                                       pic_control_word(41, 0),
                                       delay_word(15),
                                       kReturnWord,
                                       0,
                                       0};
  const auto row = finalize_point_receiver(1, receiver, 1409);
  ASSERT_TRUE(row.has_value()) << outcome(row);
  const ExchangeRow expected = {kSyncWord,
                                xpic_control_word(112, 1409),
                                xpic_control_word(9, 0x640),
                                pic_control_word(41, 0),
                                delay_word(15),
                                kReturnWord,
                                0,
                                0,
                                0};
  EXPECT_EQ(*row, expected);

  // Only bits 12..0 are replaced.
  const PointReceiverWords stale = {kSyncWord, xpic_control_word(5, 0x3FFF)};
  const auto replaced = finalize_point_receiver(1, stale, 2);
  ASSERT_TRUE(replaced.has_value());
  EXPECT_EQ((*replaced)[1], xpic_control_word(5, 0x2002));

  EXPECT_TRUE(finalize_point_receiver(7, receiver, 8191).has_value());
  EXPECT_EQ(outcome(finalize_point_receiver(8, receiver, 1409)), "Schedule(\"point receiver patch index\")");
  EXPECT_EQ(outcome(finalize_point_receiver(1, receiver, 8192)), "Schedule(\"point receiver patch index\")");
}

}  // namespace
}  // namespace oxu::exchange
