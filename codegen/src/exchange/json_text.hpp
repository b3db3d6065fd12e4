#pragma once
// Text forms used in the reader's messages: a floating-point value written
// as its shortest round-trip decimal without exponent (with ".0" when it has
// no fraction), and a string written quoted with escapes.

#include <charconv>
#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>
#include <system_error>

namespace oxu::codegen::json {

// 1000.0 for 1e3, 1.5 for 1.5, 0.0001 for 1e-4, -0.0 for -0.0; "inf",
// "-inf" and "NaN" for the values that are not finite.
inline std::string format_float(double value) {
  if (std::isnan(value)) {
    return "NaN";
  }
  if (std::isinf(value)) {
    return value < 0 ? "-inf" : "inf";
  }
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  const std::string_view text(buffer, static_cast<std::size_t>(result.ptr - buffer));
  std::string out;
  std::size_t i = 0;
  if (text[i] == '-') {
    out.push_back('-');
    ++i;
  }
  std::string digits;
  for (; i < text.size() && text[i] != 'e'; ++i) {
    if (text[i] != '.') {
      digits.push_back(text[i]);
    }
  }
  // After 'e': a sign and the digits of the exponent.
  long exponent = 0;
  const char* exponent_text = text.data() + i + 1;
  if (*exponent_text == '+') {
    ++exponent_text;
  }
  std::from_chars(exponent_text, text.data() + text.size(), exponent);
  const auto count = static_cast<long>(digits.size());
  if (exponent >= count - 1) {
    out += digits;
    out.append(static_cast<std::size_t>(exponent - (count - 1)), '0');
    out += ".0";
  } else if (exponent >= 0) {
    out.append(digits, 0, static_cast<std::size_t>(exponent + 1));
    out.push_back('.');
    out.append(digits, static_cast<std::size_t>(exponent + 1));
  } else {
    out += "0.";
    out.append(static_cast<std::size_t>(-exponent - 1), '0');
    out += digits;
  }
  return out;
}

namespace detail {

inline void append_unicode_escape(std::string& out, std::uint32_t code_point) {
  char hex[8];
  const auto result = std::to_chars(hex, hex + sizeof hex, code_point, 16);
  out += "\\u{";
  out.append(hex, result.ptr);
  out.push_back('}');
}

// Code points written as \u{...}: controls, and invisible format and
// separator characters.
inline bool is_unprintable(std::uint32_t c) {
  return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0xAD || (c >= 0x200B && c <= 0x200F) ||
         (c >= 0x2028 && c <= 0x202E) || (c >= 0x2060 && c <= 0x2064) || c == 0xFEFF ||
         (c >= 0xFFF9 && c <= 0xFFFB) || (c & 0xFFFE) == 0xFFFE;
}

}  // namespace detail

// The string between double quotes; backslash, double quote, tab, newline,
// carriage return and NUL escaped with a backslash, other unprintable code
// points as \u{hex}. The input is valid UTF-8 (the reader checked it).
inline std::string quote_string(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('"');
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = 1;
    std::uint32_t code_point = lead;
    if (lead >= 0xF0) {
      length = 4;
      code_point = lead & 0x07U;
    } else if (lead >= 0xE0) {
      length = 3;
      code_point = lead & 0x0FU;
    } else if (lead >= 0xC0) {
      length = 2;
      code_point = lead & 0x1FU;
    }
    if (i + length > text.size()) {
      length = text.size() - i;
    }
    for (std::size_t k = 1; k < length; ++k) {
      code_point = (code_point << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3FU);
    }
    switch (code_point) {
      case '\\':
        out += "\\\\";
        break;
      case '"':
        out += "\\\"";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case 0:
        out += "\\0";
        break;
      default:
        if (detail::is_unprintable(code_point)) {
          detail::append_unicode_escape(out, code_point);
        } else {
          out.append(text, i, length);
        }
    }
    i += length;
  }
  out.push_back('"');
  return out;
}

}  // namespace oxu::codegen::json
