#pragma once
// Test support: hand-made pending transfers and a phase context around them.

#include <cstdint>
#include <utility>
#include <vector>

#include "oxu/codegen/materialized_schedule.hpp"
#include "oxu/codegen/pending_transfer.hpp"
#include "oxu/codegen/scheduling_pipeline.hpp"
#include "oxu/exchange/topology.hpp"

namespace oxu::codegen::testing {

using Destinations = std::vector<std::pair<std::uint16_t, std::uint32_t>>;

// A Word32 transfer with its source elements filled in (index 0).
inline PendingTransfer word32_transfer(std::uint16_t source, std::vector<std::uint32_t> source_addresses,
                                       Destinations destinations, std::uint32_t words) {
  PendingTransfer transfer;
  transfer.source = source;
  transfer.source_addresses = std::move(source_addresses);
  transfer.destinations = std::move(destinations);
  transfer.words = words;
  transfer.width = ExchangeItemWidth::Word32;
  transfer.refresh_source_elements();
  return transfer;
}

inline PendingTransfer paired_transfer(std::uint16_t source, std::uint16_t partner,
                                       std::vector<std::uint32_t> source_addresses, Destinations destinations,
                                       std::uint32_t words) {
  PendingTransfer transfer = word32_transfer(source, std::move(source_addresses), std::move(destinations), words);
  transfer.width = ExchangeItemWidth::Paired64;
  transfer.paired_tile = partner;
  return transfer;
}

// Numbers the transfers by their position.
inline std::vector<PendingTransfer> indexed(std::vector<PendingTransfer> transfers) {
  for (std::size_t t = 0; t < transfers.size(); ++t) transfers[t].index = static_cast<std::uint32_t>(t);
  return transfers;
}

// A phase of hand-made transfers on the first `tiles` tiles of the M72
// table, with its receive configuration.
struct TestPhase {
  explicit TestPhase(std::vector<PendingTransfer> transfers, std::uint16_t tile_count)
      : tiles(tile_count), pending(indexed(std::move(transfers))) {
    const auto all = exchange::Topology::m72().tiles;
    topology = *exchange::Topology::create({all.begin(), all.begin() + tile_count});
    configuration = *receive_configuration(pending, tile_count);
  }

  [[nodiscard]] PhaseContext context() const {
    return {topology, pending, configuration.incoming_bases, configuration.receive_counts, tiles};
  }

  std::uint16_t tiles;
  exchange::Topology topology;
  std::vector<PendingTransfer> pending;
  ReceiveConfiguration configuration;
};

}  // namespace oxu::codegen::testing
