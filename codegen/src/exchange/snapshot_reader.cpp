#include "oxu/codegen/snapshot_reader.hpp"

#include <fmt/format.h>

#include "json_cursor.hpp"
#include "snapshot_parser.hpp"

namespace oxu::codegen {

std::string SnapshotReadError::display() const {
  if (!has_position) {
    return message;
  }
  return fmt::format("{} at line {} column {}", message, line, column);
}

std::expected<ExchangeScheduleSnapshot, SnapshotReadError> read_snapshot_fd(int fd) {
  json::FdSource source(fd);
  return json::parse_snapshot(source);
}

std::expected<ExchangeScheduleSnapshot, SnapshotReadError> read_snapshot_text(std::string_view text) {
  json::TextSource source(text);
  return json::parse_snapshot(source);
}

}  // namespace oxu::codegen
