#include "oxu/exchange/topology.hpp"

#include <algorithm>
#include <array>
#include <set>
#include <utility>

namespace oxu::exchange {
namespace {

constexpr std::array<std::uint16_t, kM72TileCount> build_m72_table() {
  std::array<std::uint16_t, kM72TileCount> table{};
  for (unsigned i = 0; i < kM72TileCount; ++i) {
    const unsigned column = i / 46;
    const unsigned e = (i / 2) % 23;
    const unsigned row = column % 2 == 0 ? e : 22 - e;
    table[i] = static_cast<std::uint16_t>(row * 64 + (column / 2) * 4 + (i % 2) * 2 + (column % 2));
  }
  return table;
}

constexpr std::array<std::uint16_t, kM72TileCount> kM72Table = build_m72_table();

}  // namespace

std::expected<Topology, ExchangeError> Topology::create(std::vector<std::uint16_t> physical_ids) {
  if (physical_ids.empty()) return std::unexpected(ExchangeError::receiver_set());
  std::set<std::uint16_t> seen;
  for (const std::uint16_t id : physical_ids) {
    if (!seen.insert(id).second) return std::unexpected(ExchangeError::receiver_set());
  }
  return Topology{std::move(physical_ids)};
}

Topology Topology::m72() { return Topology{std::vector<std::uint16_t>(kM72Table.begin(), kM72Table.end())}; }

std::expected<std::uint16_t, ExchangeError> Topology::paired_logical(std::uint16_t logical) const {
  if (logical >= tiles.size()) return std::unexpected(ExchangeError::tile(logical));
  const auto partner_id = static_cast<std::uint16_t>(tiles[logical] ^ 2U);
  const auto found = std::find(tiles.begin(), tiles.end(), partner_id);
  if (found == tiles.end()) return std::unexpected(ExchangeError::tile(logical));
  return static_cast<std::uint16_t>(found - tiles.begin());
}

}  // namespace oxu::exchange
