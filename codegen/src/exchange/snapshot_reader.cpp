#include "oxu/codegen/snapshot_reader.hpp"

namespace oxu::codegen {

std::string SnapshotReadError::display() const { return message; }

std::expected<ExchangeScheduleSnapshot, SnapshotReadError> read_snapshot_fd(int) {
  return std::unexpected(SnapshotReadError{"not implemented", false, 0, 0});
}

std::expected<ExchangeScheduleSnapshot, SnapshotReadError> read_snapshot_text(std::string_view) {
  return std::unexpected(SnapshotReadError{"not implemented", false, 0, 0});
}

}  // namespace oxu::codegen
