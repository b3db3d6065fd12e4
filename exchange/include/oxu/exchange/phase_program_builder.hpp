#pragma once
// PhaseProgramBuilder: the exchange program schedules of every tile of one
// phase, and the only way the scheduler changes them.
//
// Per transfer the scheduler asks for the earliest offset at which the
// transfer's rows fit every involved tile (the cycle at which the Sync of
// all its rows runs), for the transfer's timing at an offset, and then
// appends it there. finish() encodes and checks every tile's program.

#include <atomic>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "oxu/exchange/error.hpp"
#include "oxu/exchange/tile_program_schedule.hpp"
#include "oxu/exchange/topology.hpp"

namespace oxu::exchange {

// Absolute cycles of one transfer placed at an offset.
struct PhaseTransferTiming {
  std::vector<std::uint32_t> receive_starts;       // per receiver: the receive pointer is set
  std::vector<std::uint32_t> receive_bus_ends;     // per receiver: payload_end
  std::vector<std::uint32_t> receive_memory_ends;  // per receiver: window end
  std::uint32_t send_start = 0;
  std::uint32_t send_bus_end = 0;
  std::uint32_t send_memory_end = 0;  // the sender row reaches its Return
  std::uint32_t end_cycle = 0;        // max of send_memory_end and receive_memory_ends
  friend bool operator==(const PhaseTransferTiming&, const PhaseTransferTiming&) = default;
};

struct PhasePrograms {
  std::vector<std::optional<std::vector<std::uint32_t>>> programs;  // absent for an untouched tile
  std::vector<std::uint32_t> tile_horizons;
  std::uint32_t horizon = 0;
  friend bool operator==(const PhasePrograms&, const PhasePrograms&) = default;
};

class PhaseProgramBuilder {
 public:
  explicit PhaseProgramBuilder(std::uint16_t tile_count);

  // The builder with a new shared work budget for validating searches.
  [[nodiscard]] PhaseProgramBuilder with_validation_budget(std::uint64_t budget) &&;

  // The current length of the phase: the largest tile horizon.
  [[nodiscard]] std::uint32_t event_cycles() const;

  // Earliest offset >= `start` at which the transfer fits, with a trial
  // encoding of every involved tile (validating) or without it (deferred).
  // `blocked` are tiles that must be idle while the sender sends.
  [[nodiscard]] std::expected<std::uint32_t, ExchangeError> earliest_transfer_offset(
      std::uint16_t sender, std::span<const std::uint16_t> blocked, std::span<const std::uint16_t> receivers,
      const MulticastExchange& rows, std::uint32_t count, std::uint32_t start) const;
  [[nodiscard]] std::expected<std::uint32_t, ExchangeError> earliest_transfer_offset_deferred(
      std::uint16_t sender, std::span<const std::uint16_t> blocked, std::span<const std::uint16_t> receivers,
      const MulticastExchange& rows, std::uint32_t count, std::uint32_t start) const;

  [[nodiscard]] std::expected<PhaseTransferTiming, ExchangeError> transfer_timing_at(
      std::uint16_t sender, std::span<const std::uint16_t> receivers, const MulticastExchange& rows,
      std::uint32_t offset, std::uint32_t count) const;

  // Appends the transfer at `offset`; on error no tile changes.
  [[nodiscard]] std::expected<PhaseTransferTiming, ExchangeError> append_transfer_at(
      std::uint16_t sender, std::span<const std::uint16_t> blocked, std::span<const std::uint16_t> receivers,
      const MulticastExchange& rows, std::uint32_t offset, std::uint32_t count);

  [[nodiscard]] std::expected<PhasePrograms, ExchangeError> finish() const;

  [[nodiscard]] const std::vector<TileProgramSchedule>& tiles() const { return tiles_; }
  [[nodiscard]] const std::shared_ptr<std::atomic<std::uint64_t>>& validation_budget() const {
    return validation_budget_;
  }

 private:
  [[nodiscard]] std::expected<std::uint32_t, ExchangeError> earliest_transfer_offset_impl(
      std::uint16_t sender, std::span<const std::uint16_t> blocked, std::span<const std::uint16_t> receivers,
      const MulticastExchange& rows, std::uint32_t count, std::uint32_t start, bool trial) const;

  std::vector<TileProgramSchedule> tiles_;
  std::shared_ptr<std::atomic<std::uint64_t>> validation_budget_;
};

}  // namespace oxu::exchange
