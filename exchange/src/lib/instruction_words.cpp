#include "oxu/exchange/instruction_words.hpp"

#include <cstddef>

namespace oxu::exchange {
namespace {

constexpr std::uint32_t kSendControlMask = 0x7;
constexpr std::uint32_t kSendAddressMask = 0x1FFFF8;  // bits 20..3
constexpr std::uint32_t kPairedSendControl = 0x4;
constexpr std::uint32_t kXpicValueMask = 0x1FFF;  // bits 12..0, the source tile of an Xpic control
constexpr std::uint32_t kMaxSourceTileId = 8192;

}  // namespace

std::expected<void, ExchangeError> set_sender_control(ExchangeRow& row, std::uint8_t control) {
  if (control < 1 || control > 7) return std::unexpected(ExchangeError::schedule("send control"));
  bool replaced = false;
  for (std::size_t i = 0; i < row.size(); ++i) {
    const std::uint32_t word = row[i];
    const bool sendpicp = is_sendpicp_word(word);
    // A SENDPICP that sends nothing carries control 0 and keeps it.
    if (is_explicit_send_word(word) || is_offset_send_word(word) || (sendpicp && (word & 0x3) != 0)) {
      row[i] = (word & ~kSendControlMask) | control;
      replaced = true;
    }
    // The second word of a SENDPICP holds the control values, not an instruction.
    if (sendpicp) ++i;
  }
  if (!replaced) return std::unexpected(ExchangeError::schedule("sender payload"));
  return {};
}

std::expected<void, ExchangeError> patch_sender_address(ExchangeRow& row, std::uint32_t address) {
  for (std::size_t i = 0; i < row.size(); ++i) {
    const std::uint32_t word = row[i];
    if (is_sendpicp_word(word)) {
      ++i;  // skip the SENDPICP's second word
      continue;
    }
    if (!is_explicit_send_word(word)) continue;
    const std::uint32_t unit = (word & kPairedSendControl) != 0 ? 8 : 4;
    if (address % unit != 0 || address / unit > kMaxSendAddressField) {
      return std::unexpected(ExchangeError::address(address));
    }
    row[i] = (word & ~kSendAddressMask) | ((address / unit) << 3);
    return {};
  }
  return std::unexpected(ExchangeError::address(address));
}

std::expected<ExchangeRow, ExchangeError> finalize_point_receiver(std::uint32_t patch_index,
                                                                  const PointReceiverWords& receiver,
                                                                  std::uint16_t sender_physical) {
  if (patch_index >= receiver.size() || sender_physical >= kMaxSourceTileId) {
    return std::unexpected(ExchangeError::schedule("point receiver patch index"));
  }
  ExchangeRow row{};
  for (std::size_t i = 0; i < receiver.size(); ++i) row[i] = receiver[i];
  row[patch_index] = (row[patch_index] & ~kXpicValueMask) | sender_physical;
  return row;
}

}  // namespace oxu::exchange
