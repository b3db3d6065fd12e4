#pragma once
// The snapshot records read from JSON: each record from an object (fields by
// key, every field required, unknown keys skipped, a field's key at most
// once) or from an array of its field values in declaration order.
//
// The records nest four deep (snapshot, phase, transfer, destination), so
// reading them recurses; any deeper nesting is inside skipped values, which
// the scanner follows without recursion.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "json_cursor.hpp"
#include "json_scanner.hpp"
#include "oxu/codegen/snapshot.hpp"
#include "oxu/codegen/snapshot_reader.hpp"

namespace oxu::codegen::json {

// Name in messages and field keys in declaration order, per record.
template <class Record>
struct RecordFields;

template <>
struct RecordFields<ExchangeScheduleDestination> {
  static constexpr std::string_view kName = "ExchangeScheduleDestination";
  static constexpr std::array<std::string_view, 2> kKeys{"tile", "address"};
};
template <>
struct RecordFields<ExchangeScheduleTransfer> {
  static constexpr std::string_view kName = "ExchangeScheduleTransfer";
  static constexpr std::array<std::string_view, 5> kKeys{"source", "source_addresses", "destinations", "words",
                                                         "width"};
};
template <>
struct RecordFields<ExchangeScheduleProblem> {
  static constexpr std::string_view kName = "ExchangeScheduleProblem";
  static constexpr std::array<std::string_view, 2> kKeys{"phase", "transfers"};
};
template <>
struct RecordFields<ExchangeScheduleSnapshot> {
  static constexpr std::string_view kName = "ExchangeScheduleSnapshot";
  static constexpr std::array<std::string_view, 3> kKeys{"schema_version", "tile_count", "phases"};
};

// Index of `key` among the record's keys, or the number of keys when it is
// not one of them.
template <class Record>
std::size_t field_index(std::string_view key) {
  constexpr auto& keys = RecordFields<Record>::kKeys;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    if (key.size() == keys[i].size() && std::memcmp(key.data(), keys[i].data(), key.size()) == 0) {
      return i;
    }
  }
  return keys.size();
}

template <class Source>
class SnapshotParser {
 public:
  explicit SnapshotParser(Source& source) : scan_(source) {}

  // Reads the one root value and the white space after it.
  std::expected<ExchangeScheduleSnapshot, SnapshotReadError> run() {
    ExchangeScheduleSnapshot snapshot;
    const bool ok = read_record(snapshot) && read_end();
    if (const int code = scan_.cursor.os_error(); code != 0) {
      return std::unexpected(
          SnapshotReadError{fmt::format("{} (os error {})", std::strerror(code), code), false, 0, 0});
    }
    if (!ok) {
      return std::unexpected(std::move(scan_.error));
    }
    return snapshot;
  }

 private:
  Cursor<Source>& cursor() { return scan_.cursor; }

  bool read_end() {
    if (cursor().peek_token() == kEof) {
      return true;
    }
    return scan_.fail_on_byte("trailing characters");
  }

  template <class Record>
  bool read_record(Record& out) {
    const int c = cursor().peek_token();
    if (c == '{') {
      cursor().bump();
      return read_record_object(out);
    }
    if (c == '[') {
      cursor().bump();
      return read_record_array(out);
    }
    return scan_.invalid_type(fmt::format("struct {}", RecordFields<Record>::kName));
  }

  // After '{'.
  template <class Record>
  bool read_record_object(Record& out) {
    constexpr auto& keys = RecordFields<Record>::kKeys;
    constexpr unsigned kAll = (1U << keys.size()) - 1;
    unsigned seen = 0;
    int c = cursor().peek_token();
    if (c != '}') {
      for (;;) {
        if (c != '"') {
          return c == kEof ? scan_.fail("EOF while parsing an object") : scan_.fail_on_byte("key must be a string");
        }
        cursor().bump();
        std::size_t field = 0;
        if (!read_key<Record>(field)) {
          return false;
        }
        if (field < keys.size()) {
          if ((seen & (1U << field)) != 0) {
            return scan_.fail(fmt::format("duplicate field `{}`", keys[field]));
          }
          seen |= 1U << field;
        }
        if (!scan_.read_colon()) {
          return false;
        }
        if (field < keys.size() ? !read_field(out, field) : !scan_.skip_value()) {
          return false;
        }
        c = cursor().peek_token();
        if (c == ',') {
          cursor().bump();
          c = cursor().peek_token();
          if (c == '"') {
            continue;
          }
          if (c == '}') {
            return scan_.fail_on_byte("trailing comma");
          }
          return c == kEof ? scan_.fail("EOF while parsing a value") : scan_.fail_on_byte("key must be a string");
        }
        if (c == '}') {
          break;
        }
        return c == kEof ? scan_.fail("EOF while parsing an object") : scan_.fail_on_byte("expected `,` or `}`");
      }
    }
    cursor().bump();  // '}'
    if (seen != kAll) [[unlikely]] {
      for (std::size_t i = 0; i < keys.size(); ++i) {
        if ((seen & (1U << i)) == 0) {
          return scan_.fail(fmt::format("missing field `{}`", keys[i]));
        }
      }
    }
    return true;
  }

  // After the opening quote of a key: reads and decodes it, and finds the
  // field it names.
  template <class Record>
  bool read_key(std::size_t& field) {
    // Fast path: a key without escapes that ends in this chunk.
    const unsigned char* p = cursor().cur;
    const unsigned char* const end = cursor().end;
    while (p != end && is_plain_string_byte(*p)) {
      ++p;
    }
    if (p != end && *p == '"') [[likely]] {
      const std::string_view key(reinterpret_cast<const char*>(cursor().cur), static_cast<std::size_t>(p - cursor().cur));
      cursor().cur = p + 1;
      field = field_index<Record>(key);
      return true;
    }
    KeySink sink;
    if (!scan_.scan_string(sink)) {
      return false;
    }
    field = sink.too_long ? RecordFields<Record>::kKeys.size() : field_index<Record>(sink.view());
    return true;
  }

  // After '['.
  template <class Record>
  bool read_record_array(Record& out) {
    constexpr std::size_t kCount = RecordFields<Record>::kKeys.size();
    for (std::size_t i = 0; i < kCount; ++i) {
      int c = cursor().peek_token();
      if (c == ']') {
        cursor().bump();
        return scan_.fail(fmt::format("invalid length {}, expected struct {} with {} elements", i,
                                      RecordFields<Record>::kName, kCount));
      }
      if (i > 0) {
        if (c != ',') {
          return c == kEof ? scan_.fail("EOF while parsing a list") : scan_.fail_on_byte("expected `,` or `]`");
        }
        cursor().bump();
        c = cursor().peek_token();
        if (c == ']') {
          return scan_.fail_on_byte("trailing comma");
        }
      } else if (c == kEof) {
        return scan_.fail("EOF while parsing a list");
      }
      if (!read_field(out, i)) {
        return false;
      }
    }
    return close_after_last_value(']', "EOF while parsing a list", "expected `,` or `]`");
  }

  // After the last value a record can hold: only the closing bracket may
  // follow; another value after a comma is trailing.
  bool close_after_last_value(int close, const char* eof_message, const char* expected_message) {
    int c = cursor().peek_token();
    if (c == close) {
      cursor().bump();
      return true;
    }
    if (c != ',') {
      return c == kEof ? scan_.fail(eof_message) : scan_.fail_on_byte(expected_message);
    }
    cursor().bump();
    c = cursor().peek_token();
    if (c == close) {
      return scan_.fail_on_byte("trailing comma");
    }
    return c == kEof ? scan_.fail("EOF while parsing a value") : scan_.fail_on_byte("trailing characters");
  }

  // Reads a JSON array, calling `element` at the start of each element.
  template <class ReadElement>
  bool read_sequence(ReadElement&& element) {
    int c = cursor().peek_token();
    if (c != '[') {
      return scan_.invalid_type("a sequence");
    }
    cursor().bump();
    c = cursor().peek_token();
    if (c == ']') {
      cursor().bump();
      return true;
    }
    if (c == kEof) {
      return scan_.fail("EOF while parsing a list");
    }
    for (;;) {
      if (!element()) {
        return false;
      }
      c = cursor().peek_token();
      if (c == ',') {
        cursor().bump();
        c = cursor().peek_token();
        if (c == ']') {
          return scan_.fail_on_byte("trailing comma");
        }
        continue;
      }
      if (c == ']') {
        cursor().bump();
        return true;
      }
      return c == kEof ? scan_.fail("EOF while parsing a list") : scan_.fail_on_byte("expected `,` or `]`");
    }
  }

  // Records read in place at the end of `out`.
  template <class Record>
  bool read_records(std::vector<Record>& out) {
    return read_sequence([&] { return read_record(out.emplace_back()); });
  }

  // Small vectors are gathered in a reused buffer and copied once, so each
  // costs one allocation of its exact size.
  bool read_addresses(std::vector<std::uint32_t>& out) {
    addresses_.clear();
    const bool ok = read_sequence([&] {
      std::uint32_t address = 0;
      if (!scan_.read_unsigned(address, "u32")) {
        return false;
      }
      addresses_.push_back(address);
      return true;
    });
    out.assign(addresses_.begin(), addresses_.end());
    return ok;
  }

  bool read_destinations(std::vector<ExchangeScheduleDestination>& out) {
    destinations_.clear();
    const bool ok = read_sequence([&] { return read_record(destinations_.emplace_back()); });
    out.assign(destinations_.begin(), destinations_.end());
    return ok;
  }

  // "Word32" or "Paired64", or the one-key object {"Word32": null}.
  bool read_width(ExchangeItemWidth& out) {
    int c = cursor().peek_token();
    if (c == '"') {
      cursor().bump();
      return read_variant(out);
    }
    if (c != '{') {
      return scan_.invalid_type("variant identifier");
    }
    cursor().bump();
    c = cursor().peek_token();
    if (c != '"') {
      if (c == kEof) {
        return scan_.fail("EOF while parsing an object");
      }
      return scan_.fail_on_byte(c == '}' ? "expected value" : "key must be a string");
    }
    cursor().bump();
    if (!read_variant(out) || !scan_.read_colon()) {
      return false;
    }
    c = cursor().peek_token();
    if (c != 'n') {
      return scan_.invalid_type("unit");
    }
    cursor().bump();
    if (!scan_.scan_literal("ull")) {
      return false;
    }
    return close_after_last_value('}', "EOF while parsing an object", "expected `,` or `}`");
  }

  // After the opening quote of a variant name.
  bool read_variant(ExchangeItemWidth& out) {
    name_.clear();
    TextSink sink{name_};
    if (!scan_.scan_string(sink)) {
      return false;
    }
    if (name_ == "Word32") {
      out = ExchangeItemWidth::Word32;
      return true;
    }
    if (name_ == "Paired64") {
      out = ExchangeItemWidth::Paired64;
      return true;
    }
    return scan_.fail(fmt::format("unknown variant `{}`, expected `Word32` or `Paired64`", name_));
  }

  bool read_field(ExchangeScheduleDestination& out, std::size_t field) {
    return field == 0 ? scan_.read_unsigned(out.tile, "u16") : scan_.read_unsigned(out.address, "u32");
  }
  bool read_field(ExchangeScheduleTransfer& out, std::size_t field) {
    switch (field) {
      case 0:
        return scan_.read_unsigned(out.source, "u16");
      case 1:
        return read_addresses(out.source_addresses);
      case 2:
        return read_destinations(out.destinations);
      case 3:
        return scan_.read_unsigned(out.words, "u32");
      default:
        return read_width(out.width);
    }
  }
  bool read_field(ExchangeScheduleProblem& out, std::size_t field) {
    return field == 0 ? scan_.read_unsigned(out.phase, "u32") : read_records(out.transfers);
  }
  bool read_field(ExchangeScheduleSnapshot& out, std::size_t field) {
    switch (field) {
      case 0:
        return scan_.read_unsigned(out.schema_version, "u32");
      case 1:
        return scan_.read_unsigned(out.tile_count, "u16");
      default:
        return read_records(out.phases);
    }
  }

  Scanner<Source> scan_;
  std::vector<std::uint32_t> addresses_;                   // read_addresses' buffer
  std::vector<ExchangeScheduleDestination> destinations_;  // read_destinations' buffer
  std::string name_;                                       // read_variant's buffer
};

// Reads one snapshot from `source`.
template <class Source>
std::expected<ExchangeScheduleSnapshot, SnapshotReadError> parse_snapshot(Source& source) {
  SnapshotParser<Source> parser(source);
  return parser.run();
}

}  // namespace oxu::codegen::json
