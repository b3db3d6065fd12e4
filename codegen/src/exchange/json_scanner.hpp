#pragma once
// JSON values below the record level: strings, numbers and literals, the
// skipping of any value, and the description of an unexpected value in a
// type error.
//
// Every operation returns false on failure, after storing the error with the
// position of the last byte read. Positions follow one rule: a byte that
// makes the input wrong is read before the error is raised, so the error
// points at it; a value that is well formed but of the wrong type or range is
// read to its last byte first (only maps and sequences are reported at their
// opening bracket); at the end of input the error points at the last byte.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "json_cursor.hpp"
#include "json_text.hpp"
#include "oxu/codegen/snapshot_reader.hpp"

namespace oxu::codegen::json {

namespace detail {

// Bytes that stand for themselves inside a string: printable ASCII other
// than the double quote and the backslash.
struct PlainStringBytes {
  bool table[256] = {};
  constexpr PlainStringBytes() {
    for (int c = 0x20; c < 0x80; ++c) {
      table[c] = c != '"' && c != '\\';
    }
  }
};
inline constexpr PlainStringBytes kPlainStringBytes{};

}  // namespace detail

inline constexpr bool is_plain_string_byte(unsigned char c) { return detail::kPlainStringBytes.table[c]; }

// Where the decoded bytes of a string go.
struct SkipSink {
  void append(const unsigned char*, const unsigned char*) {}
  void push(unsigned char) {}
};

struct TextSink {
  std::string& text;
  void append(const unsigned char* begin, const unsigned char* end) {
    text.append(reinterpret_cast<const char*>(begin), static_cast<std::size_t>(end - begin));
  }
  void push(unsigned char c) { text.push_back(static_cast<char>(c)); }
};

// Keeps a key up to kCapacity bytes; a longer key is only marked as too
// long (no record has a field name that long).
struct KeySink {
  static constexpr std::size_t kCapacity = 32;
  char data[kCapacity];
  std::size_t size = 0;
  bool too_long = false;

  void append(const unsigned char* begin, const unsigned char* end) {
    const auto count = static_cast<std::size_t>(end - begin);
    if (too_long || count > kCapacity - size) {
      too_long = true;
      return;
    }
    std::memcpy(data + size, begin, count);
    size += count;
  }
  void push(unsigned char c) {
    if (size == kCapacity) {
      too_long = true;
    } else if (!too_long) {
      data[size++] = static_cast<char>(c);
    }
  }
  [[nodiscard]] std::string_view view() const { return {data, size}; }
};

// A number as JSON wrote it: a non-negative integer that fits u64, a
// negative integer that fits i64, or anything else as a double (fractions,
// exponents, integers too large, and -0).
struct Number {
  enum class Kind : std::uint8_t { Unsigned, Negative, Float };
  Kind kind = Kind::Unsigned;
  std::uint64_t unsigned_value = 0;
  std::int64_t negative_value = 0;
  double float_value = 0;

  // "integer `5`", "integer `-5`" or "floating point `1.5`".
  [[nodiscard]] std::string describe() const {
    switch (kind) {
      case Kind::Unsigned:
        return fmt::format("integer `{}`", unsigned_value);
      case Kind::Negative:
        return fmt::format("integer `{}`", negative_value);
      case Kind::Float:
        break;
    }
    return fmt::format("floating point `{}`", format_float(float_value));
  }
};

// The digits of a number with a fraction, an exponent or too many digits,
// gathered to be converted once. Keeps at most kMaxDigits significant digits
// (beyond them a non-zero digit only marks the value as a little larger,
// which is enough for correct rounding) and a saturated exponent, so the
// memory stays small whatever the length of the number.
class DecimalDigits {
 public:
  explicit DecimalDigits(std::uint64_t integer) {
    if (integer != 0) {
      digits_ = fmt::format("{}", integer);
    }
  }
  void add_integer_digit(int digit) {
    if (digits_.size() < kMaxDigits) {
      if (digit != 0 || !digits_.empty()) {
        digits_.push_back(static_cast<char>('0' + digit));
      }
    } else {
      ++scale_;
      sticky_ = sticky_ || digit != 0;
    }
  }
  void add_fraction_digit(int digit) {
    if (digits_.size() < kMaxDigits) {
      if (digit != 0 || !digits_.empty()) {
        digits_.push_back(static_cast<char>('0' + digit));
      }
      --scale_;
    } else {
      sticky_ = sticky_ || digit != 0;
    }
  }
  void add_exponent_digit(int digit) {
    exponent_ = exponent_ >= kExponentLimit ? kExponentLimit : exponent_ * 10 + digit;
  }
  void set_exponent_negative() { exponent_negative_ = true; }

  [[nodiscard]] double value(bool negative) const {
    if (digits_.empty()) {
      return negative ? -0.0 : 0.0;
    }
    std::string text = negative ? "-" : "";
    text += digits_;
    std::int64_t scale = scale_;
    if (sticky_) {
      text.push_back('1');
      --scale;
    }
    scale += exponent_negative_ ? -exponent_ : exponent_;
    text += fmt::format("e{}", scale);
    return std::strtod(text.c_str(), nullptr);
  }

 private:
  static constexpr std::size_t kMaxDigits = 800;
  static constexpr std::int64_t kExponentLimit = 1'000'000'000'000'000;
  std::string digits_;         // significant digits, no leading zeros
  std::int64_t scale_ = 0;     // value = digits × 10^(scale + exponent)
  std::int64_t exponent_ = 0;  // magnitude of the written exponent
  bool exponent_negative_ = false;
  bool sticky_ = false;
};

template <class Source>
class Scanner {
 public:
  explicit Scanner(Source& source) : cursor(source) {}

  Cursor<Source> cursor;
  SnapshotReadError error;

  // Stores `message` with the position of the last byte read.
  [[gnu::cold, gnu::noinline]] bool fail(std::string message) {
    const Position position = cursor.position();
    error = SnapshotReadError{std::move(message), true, position.line, position.column};
    return false;
  }
  // Reads the peeked byte that is wrong, then fails pointing at it.
  [[gnu::cold, gnu::noinline]] bool fail_on_byte(std::string message) {
    cursor.bump();
    return fail(std::move(message));
  }

  // After the opening quote: reads the rest of the string, decoding it into
  // `sink`.
  template <class Sink>
  bool scan_string(Sink& sink) {
    for (;;) {
      const unsigned char* p = cursor.cur;
      const unsigned char* const end = cursor.end;
      while (p != end && is_plain_string_byte(*p)) {
        ++p;
      }
      sink.append(cursor.cur, p);
      cursor.cur = p;
      if (p == end) {
        if (!cursor.refill()) {
          return fail("EOF while parsing a string");
        }
        continue;
      }
      const unsigned char c = *p;
      cursor.bump();
      if (c == '"') {
        return true;
      }
      if (c == '\\') {
        if (!scan_escape(sink)) {
          return false;
        }
      } else if (c < 0x20) {
        return fail("control character (\\u0000-\\u001F) found while parsing a string");
      } else if (!scan_utf8(c, sink)) {
        return false;
      }
    }
  }

  // After the first byte of a literal: the rest of it ("rue", "alse", "ull").
  bool scan_literal(std::string_view rest) {
    for (const char expected : rest) {
      const int c = cursor.peek();
      if (c == kEof) {
        return fail("EOF while parsing a value");
      }
      if (c != static_cast<unsigned char>(expected)) {
        return fail_on_byte("expected value");
      }
      cursor.bump();
    }
    return true;
  }

  // At a '-' or digit: reads a number to its last byte.
  bool read_number(Number& number) {
    bool negative = false;
    int c = cursor.peek();
    if (c == '-') {
      cursor.bump();
      negative = true;
      c = cursor.peek();
      if (!is_digit(c)) {
        return c == kEof ? fail("EOF while parsing a value") : fail_on_byte("invalid number");
      }
    }
    cursor.bump();
    std::uint64_t value = static_cast<std::uint64_t>(c - '0');
    if (value == 0) {
      c = cursor.peek();
      if (is_digit(c)) {
        return fail_on_byte("invalid number");
      }
    } else {
      for (;;) {
        c = cursor.peek();
        if (!is_digit(c)) {
          break;
        }
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) {
          return read_long_number(number, negative, value);
        }
        value = value * 10 + digit;
        cursor.bump();
      }
    }
    if (c == '.' || c == 'e' || c == 'E') {
      return read_long_number(number, negative, value);
    }
    if (!negative) {
      number.kind = Number::Kind::Unsigned;
      number.unsigned_value = value;
    } else if (value == 0) {
      number.kind = Number::Kind::Float;
      number.float_value = -0.0;
    } else if (value <= (std::uint64_t{1} << 63)) {
      number.kind = Number::Kind::Negative;
      number.negative_value = static_cast<std::int64_t>(~value + 1);
    } else {
      number.kind = Number::Kind::Float;
      number.float_value = -static_cast<double>(value);
    }
    return true;
  }

  // Reads a non-negative integer that fits T; `type_name` is "u16" or "u32".
  template <class T>
  bool read_unsigned(T& out, std::string_view type_name) {
    constexpr std::uint64_t kMax = std::numeric_limits<T>::max();
    const int c = cursor.peek_token();
    if (is_digit(c)) {
      // Fast path: the digits and the byte after them lie in the chunk.
      const unsigned char* p = cursor.cur;
      const unsigned char* const end = cursor.end;
      std::uint64_t value = static_cast<std::uint64_t>(*p - '0');
      ++p;
      if (value != 0) {
        const unsigned char* const limit = end - p > 18 ? p + 18 : end;  // 19 digits cannot overflow
        while (p != limit && is_digit(*p)) {
          value = value * 10 + static_cast<std::uint64_t>(*p - '0');
          ++p;
        }
      }
      if (p != end && !is_digit(*p) && *p != '.' && (*p | 0x20) != 'e') [[likely]] {
        cursor.cur = p;
        if (value > kMax) [[unlikely]] {
          return fail(fmt::format("invalid value: integer `{}`, expected {}", value, type_name));
        }
        out = static_cast<T>(value);
        return true;
      }
    } else if (c != '-') {
      return invalid_type(type_name);
    }
    Number number;
    if (!read_number(number)) {
      return false;
    }
    switch (number.kind) {
      case Number::Kind::Unsigned:
        if (number.unsigned_value > kMax) {
          return fail(fmt::format("invalid value: {}, expected {}", number.describe(), type_name));
        }
        out = static_cast<T>(number.unsigned_value);
        return true;
      case Number::Kind::Negative:
        return fail(fmt::format("invalid value: {}, expected {}", number.describe(), type_name));
      case Number::Kind::Float:
        break;
    }
    return fail(fmt::format("invalid type: {}, expected {}", number.describe(), type_name));
  }

  // At a value that is not of the expected kind: reads it as far as needed
  // (a scalar to its last byte, a map or sequence only its opening bracket)
  // and fails with "invalid type: {found}, expected {expected}", or with the
  // syntax error met on the way.
  [[gnu::cold, gnu::noinline]] bool invalid_type(std::string_view expected) {
    const int c = cursor.peek_token();
    std::string found;
    switch (c) {
      case kEof:
        return fail("EOF while parsing a value");
      case '"': {
        cursor.bump();
        std::string text;
        TextSink sink{text};
        if (!scan_string(sink)) {
          return false;
        }
        found = "string " + quote_string(text);
        break;
      }
      case '[':
        cursor.bump();
        found = "sequence";
        break;
      case '{':
        cursor.bump();
        found = "map";
        break;
      case 't':
        cursor.bump();
        if (!scan_literal("rue")) {
          return false;
        }
        found = "boolean `true`";
        break;
      case 'f':
        cursor.bump();
        if (!scan_literal("alse")) {
          return false;
        }
        found = "boolean `false`";
        break;
      case 'n':
        cursor.bump();
        if (!scan_literal("ull")) {
          return false;
        }
        found = "null";
        break;
      default: {
        if (c != '-' && !is_digit(c)) {
          return fail_on_byte("expected value");
        }
        Number number;
        if (!read_number(number)) {
          return false;
        }
        found = number.describe();
      }
    }
    return fail(fmt::format("invalid type: {}, expected {}", found, expected));
  }

  // Reads one whole value of any kind, checking it, without keeping it.
  // Nesting is followed with a bit stack, not with recursion.
  bool skip_value() {
    std::size_t depth = 0;  // containers of this value still open
    for (;;) {
      int c = cursor.peek_token();
      switch (c) {
        case '{':
          cursor.bump();
          c = cursor.peek_token();
          if (c == '}') {
            cursor.bump();
            break;
          }
          push_frame(depth, true);
          if (!skip_member_key(c)) {
            return false;
          }
          continue;
        case '[':
          cursor.bump();
          c = cursor.peek_token();
          if (c == ']') {
            cursor.bump();
            break;
          }
          if (c == kEof) {
            return fail("EOF while parsing a list");
          }
          push_frame(depth, false);
          continue;
        case '"': {
          cursor.bump();
          SkipSink sink;
          if (!scan_string(sink)) {
            return false;
          }
          break;
        }
        case 't':
          cursor.bump();
          if (!scan_literal("rue")) {
            return false;
          }
          break;
        case 'f':
          cursor.bump();
          if (!scan_literal("alse")) {
            return false;
          }
          break;
        case 'n':
          cursor.bump();
          if (!scan_literal("ull")) {
            return false;
          }
          break;
        case kEof:
          return fail("EOF while parsing a value");
        default:
          if (c != '-' && !is_digit(c)) {
            return fail_on_byte("expected value");
          }
          if (!skip_number()) {
            return false;
          }
      }
      // A value ended: close the containers that end here, up to the next
      // value.
      for (;;) {
        if (depth == 0) {
          return true;
        }
        const bool object = top_frame_is_object(depth);
        c = cursor.peek_token();
        if (c == ',') {
          cursor.bump();
          c = cursor.peek_token();
          if (c == (object ? '}' : ']')) {
            return fail_on_byte("trailing comma");
          }
          if (object) {
            if (c == kEof) {
              return fail("EOF while parsing a value");
            }
            if (!skip_member_key(c)) {
              return false;
            }
          }
          break;
        }
        if (c == (object ? '}' : ']')) {
          cursor.bump();
          --depth;
          continue;
        }
        if (c == kEof) {
          return fail(object ? "EOF while parsing an object" : "EOF while parsing a list");
        }
        return fail_on_byte(object ? "expected `,` or `}`" : "expected `,` or `]`");
      }
    }
  }

  // `c` is the peeked byte where a member's key starts: reads the key and the
  // colon after it.
  bool skip_member_key(int c) {
    if (c != '"') {
      return c == kEof ? fail("EOF while parsing an object") : fail_on_byte("key must be a string");
    }
    cursor.bump();
    SkipSink sink;
    if (!scan_string(sink)) {
      return false;
    }
    return read_colon();
  }

  // Reads white space and the ':' after a key.
  bool read_colon() {
    const int c = cursor.peek_token();
    if (c == ':') [[likely]] {
      cursor.bump();
      return true;
    }
    return c == kEof ? fail("EOF while parsing an object") : fail_on_byte("expected `:`");
  }

 private:
  template <class Sink>
  bool scan_escape(Sink& sink) {
    const int c = cursor.peek();
    if (c == kEof) {
      return fail("EOF while parsing a string");
    }
    cursor.bump();
    switch (c) {
      case '"':
      case '\\':
      case '/':
        sink.push(static_cast<unsigned char>(c));
        return true;
      case 'b':
        sink.push('\b');
        return true;
      case 'f':
        sink.push('\f');
        return true;
      case 'n':
        sink.push('\n');
        return true;
      case 'r':
        sink.push('\r');
        return true;
      case 't':
        sink.push('\t');
        return true;
      case 'u':
        return scan_unicode_escape(sink);
      default:
        return fail("invalid escape");
    }
  }

  // After "\u": four hex digits, and for a high surrogate the "\u" escape of
  // the low surrogate that must follow.
  template <class Sink>
  bool scan_unicode_escape(Sink& sink) {
    std::uint32_t code_point = 0;
    if (!scan_hex4(code_point)) {
      return false;
    }
    if (code_point >= 0xDC00 && code_point <= 0xDFFF) {
      return fail("invalid unicode code point");
    }
    if (code_point >= 0xD800 && code_point <= 0xDBFF) {
      for (const char expected : {'\\', 'u'}) {
        const int c = cursor.peek();
        if (c == kEof) {
          return fail("EOF while parsing a string");
        }
        if (c != expected) {
          return fail_on_byte("invalid unicode code point");
        }
        cursor.bump();
      }
      std::uint32_t low = 0;
      if (!scan_hex4(low)) {
        return false;
      }
      if (low < 0xDC00 || low > 0xDFFF) {
        return fail("invalid unicode code point");
      }
      code_point = 0x10000 + ((code_point - 0xD800) << 10) + (low - 0xDC00);
    }
    if (code_point < 0x80) {
      sink.push(static_cast<unsigned char>(code_point));
    } else if (code_point < 0x800) {
      sink.push(static_cast<unsigned char>(0xC0 | (code_point >> 6)));
      sink.push(static_cast<unsigned char>(0x80 | (code_point & 0x3F)));
    } else if (code_point < 0x10000) {
      sink.push(static_cast<unsigned char>(0xE0 | (code_point >> 12)));
      sink.push(static_cast<unsigned char>(0x80 | ((code_point >> 6) & 0x3F)));
      sink.push(static_cast<unsigned char>(0x80 | (code_point & 0x3F)));
    } else {
      sink.push(static_cast<unsigned char>(0xF0 | (code_point >> 18)));
      sink.push(static_cast<unsigned char>(0x80 | ((code_point >> 12) & 0x3F)));
      sink.push(static_cast<unsigned char>(0x80 | ((code_point >> 6) & 0x3F)));
      sink.push(static_cast<unsigned char>(0x80 | (code_point & 0x3F)));
    }
    return true;
  }

  bool scan_hex4(std::uint32_t& value) {
    for (int i = 0; i < 4; ++i) {
      const int c = cursor.peek();
      if (c == kEof) {
        return fail("EOF while parsing a string");
      }
      cursor.bump();
      std::uint32_t digit = 0;
      if (c >= '0' && c <= '9') {
        digit = static_cast<std::uint32_t>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        digit = static_cast<std::uint32_t>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        digit = static_cast<std::uint32_t>(c - 'A' + 10);
      } else {
        return fail("invalid escape");
      }
      value = value * 16 + digit;
    }
    return true;
  }

  // `lead` (already read) is a byte of 0x80 or above: the rest of one UTF-8
  // encoded code point, shortest form, no surrogates, at most U+10FFFF.
  template <class Sink>
  bool scan_utf8(unsigned char lead, Sink& sink) {
    int continuation = 0;
    unsigned low = 0x80;
    unsigned high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      continuation = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      continuation = 2;
      if (lead == 0xE0) {
        low = 0xA0;
      } else if (lead == 0xED) {
        high = 0x9F;
      }
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      continuation = 3;
      if (lead == 0xF0) {
        low = 0x90;
      } else if (lead == 0xF4) {
        high = 0x8F;
      }
    } else {
      return fail("invalid unicode code point");
    }
    sink.push(lead);
    for (int i = 0; i < continuation; ++i) {
      const int c = cursor.peek();
      if (c == kEof) {
        return fail("EOF while parsing a string");
      }
      cursor.bump();
      if (static_cast<unsigned>(c) < low || static_cast<unsigned>(c) > high) {
        return fail("invalid unicode code point");
      }
      sink.push(static_cast<unsigned char>(c));
      low = 0x80;
      high = 0xBF;
    }
    return true;
  }

  // The number of a value being read, known only after its integer part:
  // the rest of the integer digits (when they overflow u64), the fraction
  // and the exponent, converted to a double.
  [[gnu::noinline]] bool read_long_number(Number& number, bool negative, std::uint64_t integer) {
    DecimalDigits digits(integer);
    int c = cursor.peek();
    while (is_digit(c)) {
      digits.add_integer_digit(c - '0');
      cursor.bump();
      c = cursor.peek();
    }
    if (c == '.') {
      cursor.bump();
      c = cursor.peek();
      if (!is_digit(c)) {
        return c == kEof ? fail("EOF while parsing a value") : fail_on_byte("invalid number");
      }
      while (is_digit(c)) {
        digits.add_fraction_digit(c - '0');
        cursor.bump();
        c = cursor.peek();
      }
    }
    if (c == 'e' || c == 'E') {
      cursor.bump();
      c = cursor.peek();
      if (c == '+' || c == '-') {
        if (c == '-') {
          digits.set_exponent_negative();
        }
        cursor.bump();
        c = cursor.peek();
      }
      if (!is_digit(c)) {
        return c == kEof ? fail("EOF while parsing a value") : fail_on_byte("invalid number");
      }
      while (is_digit(c)) {
        digits.add_exponent_digit(c - '0');
        cursor.bump();
        c = cursor.peek();
      }
    }
    const double value = digits.value(negative);
    if (!std::isfinite(value)) {
      return fail("number out of range");
    }
    number.kind = Number::Kind::Float;
    number.float_value = value;
    return true;
  }

  // At a '-' or digit: checks a number's grammar without converting it.
  bool skip_number() {
    int c = cursor.peek();
    if (c == '-') {
      cursor.bump();
      c = cursor.peek();
      if (!is_digit(c)) {
        return c == kEof ? fail("EOF while parsing a value") : fail_on_byte("invalid number");
      }
    }
    cursor.bump();
    if (c == '0') {
      c = cursor.peek();
      if (is_digit(c)) {
        return fail_on_byte("invalid number");
      }
    } else {
      c = skip_digits();
    }
    if (c == '.') {
      cursor.bump();
      c = cursor.peek();
      if (!is_digit(c)) {
        return c == kEof ? fail("EOF while parsing a value") : fail_on_byte("invalid number");
      }
      c = skip_digits();
    }
    if (c == 'e' || c == 'E') {
      cursor.bump();
      c = cursor.peek();
      if (c == '+' || c == '-') {
        cursor.bump();
        c = cursor.peek();
      }
      if (!is_digit(c)) {
        return c == kEof ? fail("EOF while parsing a value") : fail_on_byte("invalid number");
      }
      skip_digits();
    }
    return true;
  }

  // Reads digits; returns the byte after them (peeked) or kEof.
  int skip_digits() {
    for (;;) {
      const unsigned char* p = cursor.cur;
      const unsigned char* const end = cursor.end;
      while (p != end && is_digit(*p)) {
        ++p;
      }
      cursor.cur = p;
      if (p != end) {
        return *p;
      }
      if (!cursor.refill()) {
        return kEof;
      }
    }
  }

  void push_frame(std::size_t& depth, bool object) {
    const std::size_t word = depth / 64;
    const std::uint64_t bit = std::uint64_t{1} << (depth % 64);
    if (word == frames_.size()) {
      frames_.push_back(0);
    }
    frames_[word] = object ? frames_[word] | bit : frames_[word] & ~bit;
    ++depth;
  }
  [[nodiscard]] bool top_frame_is_object(std::size_t depth) const {
    const std::size_t index = depth - 1;
    return ((frames_[index / 64] >> (index % 64)) & 1U) != 0;
  }

  std::vector<std::uint64_t> frames_;  // skip_value's nesting: 1 bit per level, set for an object
};

}  // namespace oxu::codegen::json
