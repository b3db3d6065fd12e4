#include <set>

#include <fmt/format.h>

#include "oxu/codegen/pending_transfer.hpp"
#include "oxu/codegen/snapshot.hpp"
#include "oxu/exchange/result.hpp"
#include "oxu/exchange/topology.hpp"

namespace oxu::codegen {

std::expected<void, ExchangeLoweringError> ExchangeScheduleSnapshot::validate() const {
  if (schema_version != kSnapshotSchemaVersion) {
    return std::unexpected(ExchangeLoweringError::invalid_snapshot(
        fmt::format("unsupported schema version {} (expected {})", schema_version, kSnapshotSchemaVersion)));
  }
  const std::size_t topology_tiles = exchange::Topology::m72().tiles.size();
  if (tile_count < 1 || tile_count > topology_tiles) {
    return std::unexpected(
        ExchangeLoweringError::invalid_snapshot(fmt::format("tile count {} is outside the M72 topology", tile_count)));
  }
  std::set<std::uint32_t> seen_phases;
  for (const ExchangeScheduleProblem& problem : phases) {
    if (!seen_phases.insert(problem.phase).second) {
      return std::unexpected(ExchangeLoweringError::invalid_snapshot(fmt::format("duplicate phase {}", problem.phase)));
    }
    OXU_TRY(pending_from_problem(problem, tile_count));
  }
  return {};
}

}  // namespace oxu::codegen
