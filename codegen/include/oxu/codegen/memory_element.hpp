#pragma once
// Effective memory elements: the unit at which two memory accesses of a tile
// are considered to touch the same memory.
//
// Below byte address 0x80000 an element is 0x4000 bytes (16 KiB); from
// 0x80000 upwards it is 0x8000 bytes (32 KiB). Elements order low before
// high, then by index.

#include <compare>
#include <cstdint>
#include <vector>

namespace oxu::codegen {

inline constexpr std::uint32_t kHighMemoryBase = 0x80000;
inline constexpr std::uint32_t kLowElementBytes = 0x4000;
inline constexpr std::uint32_t kHighElementBytes = 0x8000;

struct ExchangeMemoryElement {
  bool high = false;        // at or above 0x80000
  std::uint32_t index = 0;  // element number within its region

  // The element that holds byte address `address`.
  [[nodiscard]] static ExchangeMemoryElement of_address(std::uint32_t address);
  // First byte address of the next element, saturating at 0xFFFFFFFF.
  [[nodiscard]] std::uint32_t next_start() const;

  friend auto operator<=>(const ExchangeMemoryElement&, const ExchangeMemoryElement&) = default;
};

// The elements that the byte range [start, start + 4 * words) touches, in
// ascending order, each once. The end saturates at 0xFFFFFFFF.
[[nodiscard]] std::vector<ExchangeMemoryElement> span_memory_elements(std::uint32_t start, std::uint32_t words);

// Whether some element of the first span is also an element of the second.
// An empty span shares nothing.
[[nodiscard]] bool spans_share_effective_memory_element(std::uint32_t first_start, std::uint32_t first_words,
                                                        std::uint32_t second_start, std::uint32_t second_words);

}  // namespace oxu::codegen
