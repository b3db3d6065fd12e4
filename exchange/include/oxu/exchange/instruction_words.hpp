#pragma once
// Exchange instruction words: the 32-bit words a tile's exchange unit runs.
//
// Every instruction takes an exact number of cycles (word_cycles). A program
// row is a fixed array of nine words: Sync, the row's instructions, Return,
// then zeros. The helpers below build, classify and patch words and rows.

#include <array>
#include <cstdint>
#include <expected>

#include "oxu/exchange/error.hpp"

namespace oxu::exchange {

// One small program row (a sender row, or a receiver row).
using ExchangeRow = std::array<std::uint32_t, 9>;

inline constexpr std::uint32_t kSyncWord = 0x41800003;    // the Sync rows start with; 0 cycles
inline constexpr std::uint32_t kReturnWord = 0x43A00000;  // ends a program; 0 cycles
inline constexpr std::uint32_t kMaxDelayCycles = 0x80000;
inline constexpr std::uint32_t kMaxPicWait = 128;
inline constexpr std::uint32_t kMaxXpicWait = 4096;
inline constexpr std::uint32_t kMaxExplicitSendWords = 64;
inline constexpr std::uint32_t kMaxOffsetSendWords = 4096;
inline constexpr std::uint32_t kXpicTeardownValue = 0x640;     // switches an Xpic stream off
inline constexpr std::uint32_t kXpicPairedFlag = 0x2000;       // Xpic value bit 13
inline constexpr std::uint32_t kPicPairedFormatFlag = 0x40000;  // Pic value bit 18
inline constexpr std::uint32_t kMaxSendAddressField = 0x3FFFF;

// Classification by value ranges and masks.
[[nodiscard]] constexpr bool is_delay_word(std::uint32_t w) { return w >= 0x40A00000 && w <= 0x40A7FFFF; }
[[nodiscard]] constexpr bool is_sync_word(std::uint32_t w) { return w >= 0x41800000 && w <= 0x418000FF; }
[[nodiscard]] constexpr bool is_return_word(std::uint32_t w) { return w == kReturnWord; }
[[nodiscard]] constexpr bool is_pic_control_word(std::uint32_t w) { return w >= 0x60000000 && w <= 0x63FFFFFF; }
[[nodiscard]] constexpr bool is_xpic_control_word(std::uint32_t w) { return w >= 0x64000000 && w <= 0x67FFFFFF; }
[[nodiscard]] constexpr bool is_explicit_send_word(std::uint32_t w) { return (w & 0xF8000000) == 0x78000000; }
[[nodiscard]] constexpr bool is_offset_send_word(std::uint32_t w) { return (w & 0xF8100000) == 0x70000000; }
[[nodiscard]] constexpr bool is_pic_send_word(std::uint32_t w) { return (w & 0xF8100000) == 0x70100000; }
// First word of a two-word SENDPICP instruction.
[[nodiscard]] constexpr bool is_sendpicp_word(std::uint32_t w) { return w >= 0xF0000000; }

// Builders. Arguments must lie in the ranges named; callers check them.
[[nodiscard]] constexpr std::uint32_t delay_word(std::uint32_t cycles) { return 0x40A00000 | (cycles - 1); }  // 1..0x80000
[[nodiscard]] constexpr std::uint32_t explicit_send_word(std::uint32_t words, std::uint32_t control) {  // 1..64
  return 0x78000000 + ((words - 1) << 21) + control;
}
[[nodiscard]] constexpr std::uint32_t offset_send_word(std::uint32_t words, std::uint32_t control) {  // 1..4096
  return 0x70000000 + (((words - 1) & 63) << 21) + (((words - 1) >> 6) << 14) + control;
}
// Pic control that waits `wait_field` + 1 cycles (wait_field <= 127, value < 2^19).
[[nodiscard]] constexpr std::uint32_t pic_control_word(std::uint32_t wait_field, std::uint32_t value) {
  return 0x60000000 | (wait_field << 19) | value;
}
// Xpic control that waits `wait_field` + 1 cycles (wait_field <= 4095, value < 2^14).
[[nodiscard]] constexpr std::uint32_t xpic_control_word(std::uint32_t wait_field, std::uint32_t value) {
  return 0x64000000 | (wait_field << 14) | value;
}

// Cycles a word occupies when executed (0 for Sync, Return and unknown words).
[[nodiscard]] constexpr std::uint32_t word_cycles(std::uint32_t w) {
  if (is_delay_word(w)) return (w & 0x7FFFF) + 1;
  if (is_pic_control_word(w)) return ((w >> 19) & 127) + 1;
  if (is_xpic_control_word(w)) return ((w >> 14) & 4095) + 1;
  if (is_explicit_send_word(w)) return ((w >> 21) & 63) + 1;
  if (is_offset_send_word(w)) return (((w >> 21) & 63) | ((w >> 8) & 0xFC0)) + 1;
  if (is_pic_send_word(w) || is_sendpicp_word(w)) return ((w >> 21) & 63) + 1;
  return 0;
}

// Replaces the send control (1..7) of every Explicit, Offset and sending
// SENDPICP word of the row. Errors: "send control", "sender payload".
// Here and in patch_sender_address the second word of a SENDPICP is an
// operand, never taken for an instruction.
[[nodiscard]] std::expected<void, ExchangeError> set_sender_control(ExchangeRow& row, std::uint8_t control);

// Writes a byte address into the first Explicit word's address field (in
// units of 8 bytes for a paired send, else 4). Error: `Address(address)`.
[[nodiscard]] std::expected<void, ExchangeError> patch_sender_address(ExchangeRow& row, std::uint32_t address);

// A point-to-point receiver row as the topology builds it has eight words;
// `patch_index` names the word that receives the sender's physical id.
using PointReceiverWords = std::array<std::uint32_t, 8>;

// The nine-word receiver row with the sender's physical id in bits 12..0 of
// the patched word. Error: "point receiver patch index".
[[nodiscard]] std::expected<ExchangeRow, ExchangeError> finalize_point_receiver(std::uint32_t patch_index,
                                                                               const PointReceiverWords& receiver,
                                                                               std::uint16_t sender_physical);

}  // namespace oxu::exchange
