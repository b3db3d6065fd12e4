#pragma once
// Notions shared by the ordering heuristics: the position of a transfer in
// the current best order, and the memory-dependency graph of a phase as
// successor lists and predecessor counts.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "oxu/codegen/memory_hazards.hpp"
#include "oxu/codegen/pending_transfer.hpp"

namespace oxu::codegen::order {

inline constexpr std::size_t kNoPosition = std::numeric_limits<std::size_t>::max();

// Position of every transfer in `order`; kNoPosition for one missing from it.
// Entries at or beyond `transfers` are ignored; a repeated entry keeps its
// first position.
[[nodiscard]] std::vector<std::size_t> positions_in(std::span<const std::size_t> order, std::size_t transfers);

// Successor lists (ascending) and predecessor counts from the memory
// dependencies of the phase. A transfer is ready once its count is 0.
struct DependencyGraph {
  std::vector<std::vector<std::size_t>> successors;
  std::vector<std::size_t> predecessor_count;
};
[[nodiscard]] DependencyGraph dependency_graph(std::span<const PendingTransfer> pending, std::uint16_t tile_count);

// The same graph from an already computed dependency set of `transfers`
// transfers; every index of the set must be below `transfers`.
[[nodiscard]] DependencyGraph dependency_graph_from(const MemoryDependencies& dependencies, std::size_t transfers);

// The largest r with r * r <= value.
[[nodiscard]] std::size_t floor_sqrt(std::size_t value);

}  // namespace oxu::codegen::order
