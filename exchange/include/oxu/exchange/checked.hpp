#pragma once
// Checked and saturating u32 arithmetic for cycles and byte addresses.
//
// Every cycle or address computation goes through one of these helpers so
// that the overflow rule of each call site is visible where it is used:
// `checked_*` returns nothing on wrap-around, `saturating_*` clamps to
// 0xFFFFFFFF.

#include <cstdint>
#include <limits>
#include <optional>

namespace oxu::exchange {

inline constexpr std::uint32_t kU32Max = std::numeric_limits<std::uint32_t>::max();

[[nodiscard]] constexpr std::optional<std::uint32_t> checked_add(std::uint32_t a, std::uint32_t b) {
  std::uint32_t out = 0;
  if (__builtin_add_overflow(a, b, &out)) return std::nullopt;
  return out;
}

[[nodiscard]] constexpr std::optional<std::uint32_t> checked_sub(std::uint32_t a, std::uint32_t b) {
  if (b > a) return std::nullopt;
  return a - b;
}

[[nodiscard]] constexpr std::optional<std::uint32_t> checked_mul(std::uint32_t a, std::uint32_t b) {
  std::uint32_t out = 0;
  if (__builtin_mul_overflow(a, b, &out)) return std::nullopt;
  return out;
}

[[nodiscard]] constexpr std::uint32_t saturating_add(std::uint32_t a, std::uint32_t b) {
  return checked_add(a, b).value_or(kU32Max);
}

[[nodiscard]] constexpr std::uint32_t saturating_sub(std::uint32_t a, std::uint32_t b) {
  return b > a ? 0 : a - b;
}

[[nodiscard]] constexpr std::uint32_t saturating_mul(std::uint32_t a, std::uint32_t b) {
  return checked_mul(a, b).value_or(kU32Max);
}

}  // namespace oxu::exchange
