#include "oxu/codegen/order/order_common.hpp"

#include <cmath>

namespace oxu::codegen::order {

std::vector<std::size_t> positions_in(std::span<const std::size_t> order, std::size_t transfers) {
  std::vector<std::size_t> positions(transfers, kNoPosition);
  for (std::size_t i = 0; i < order.size(); ++i) {
    const std::size_t transfer = order[i];
    if (transfer < transfers && positions[transfer] == kNoPosition) positions[transfer] = i;
  }
  return positions;
}

DependencyGraph dependency_graph_from(const MemoryDependencies& dependencies, std::size_t transfers) {
  DependencyGraph graph;
  graph.successors.resize(transfers);
  graph.predecessor_count.assign(transfers, 0);
  // The set iterates by earlier index, then later index, so every successor
  // list comes out ascending.
  for (const auto& [earlier, later] : dependencies) {
    graph.successors[earlier].push_back(later);
    ++graph.predecessor_count[later];
  }
  return graph;
}

DependencyGraph dependency_graph(std::span<const PendingTransfer> pending, std::uint16_t tile_count) {
  return dependency_graph_from(memory_dependencies(pending, tile_count), pending.size());
}

std::size_t floor_sqrt(std::size_t value) {
  auto root = static_cast<std::size_t>(std::sqrt(static_cast<double>(value)));
  // The floating-point root can be off by one either way for large values.
  while (root > 0 && root > value / root) --root;
  while ((root + 1) <= value / (root + 1)) ++root;
  return root;
}

}  // namespace oxu::codegen::order
