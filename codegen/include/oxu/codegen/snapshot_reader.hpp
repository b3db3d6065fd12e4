#pragma once
// Streaming JSON reader for exchange-schedule snapshots.
//
// Maps JSON objects to the snapshot records by key: every key is required,
// unknown keys are skipped (their values still checked for syntax), a
// record's own key given twice is rejected. Each record is also accepted as
// an array of its field values in declaration order. Numbers must be
// non-negative integers that fit the field. Only white space may follow the
// root value. Input is consumed through a fixed 8192-byte buffer, so memory
// is bounded by the records read, not by the file.

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "oxu/codegen/snapshot.hpp"

namespace oxu::codegen {

// Size of the reader's input buffer.
inline constexpr std::size_t kSnapshotReadBuffer = 8192;

// A reading failure. The position is that of the last byte read: the byte
// that made the input wrong (for a syntax error), the last byte of the input
// (for an unexpected end), the last byte of a scalar of the wrong type or
// range, the opening bracket of a map or sequence of the wrong type, the
// closing quote of a duplicate key, or the closing bracket of a record with
// a missing field or too few values.
struct SnapshotReadError {
  std::string message;
  // 1-based line; byte column of the last character read on that line (0
  // when none was). Absent for input/output errors of the source itself.
  bool has_position = true;
  std::uint64_t line = 0;
  std::uint64_t column = 0;

  // The message, followed by " at line L column C" when it has a position.
  [[nodiscard]] std::string display() const;
  friend bool operator==(const SnapshotReadError&, const SnapshotReadError&) = default;
};

// Reads a snapshot from an open file descriptor (not closed here). A failing
// read() is an error without position: the system's message followed by
// " (os error N)".
[[nodiscard]] std::expected<ExchangeScheduleSnapshot, SnapshotReadError> read_snapshot_fd(int fd);

// Reads a snapshot from text in memory, with the same grammar, messages and
// positions as read_snapshot_fd.
[[nodiscard]] std::expected<ExchangeScheduleSnapshot, SnapshotReadError> read_snapshot_text(std::string_view text);

}  // namespace oxu::codegen
