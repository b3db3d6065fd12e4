#pragma once
// ExchangeLoweringError: the error type of the scheduler library.
//
// A closed set of kinds, each with a fixed message or one built from its
// payload. The `Exchange` kind wraps the exchange library's error unchanged
// (and converts from it implicitly, so OXU_TRY forwards exchange errors);
// messages print exactly as that error's. Some kinds serve only the wider
// compiler and are raised nowhere in this program.

#include <cstdint>
#include <string>

#include "oxu/codegen/storage_error.hpp"
#include "oxu/exchange/error.hpp"

namespace oxu::codegen {

class ExchangeLoweringError {
 public:
  enum class Kind : std::uint8_t {
    Exchange,
    Storage,
    UnplacedShard,
    InvalidDestination,
    UnalignedPayload,
    SizeMismatch,
    Overflow,
    IncompatibleRepeatRows,
    DiagnosticTile,
    InvalidSnapshot,
    Invariant,
  };

  // Implicit on purpose: a failing exchange-library call converts in place.
  ExchangeLoweringError(exchange::ExchangeError error)  // NOLINT(google-explicit-constructor)
      : kind_(Kind::Exchange), exchange_(error) {}
  explicit ExchangeLoweringError(StorageError error) : kind_(Kind::Storage), storage_(error) {}

  static ExchangeLoweringError unplaced_shard() { return ExchangeLoweringError(Kind::UnplacedShard); }
  static ExchangeLoweringError invalid_destination() { return ExchangeLoweringError(Kind::InvalidDestination); }
  static ExchangeLoweringError unaligned_payload() { return ExchangeLoweringError(Kind::UnalignedPayload); }
  static ExchangeLoweringError size_mismatch() { return ExchangeLoweringError(Kind::SizeMismatch); }
  static ExchangeLoweringError overflow() { return ExchangeLoweringError(Kind::Overflow); }
  static ExchangeLoweringError incompatible_repeat_rows() { return ExchangeLoweringError(Kind::IncompatibleRepeatRows); }
  static ExchangeLoweringError diagnostic_tile(std::uint16_t tile) {
    ExchangeLoweringError error(Kind::DiagnosticTile);
    error.tile_ = tile;
    return error;
  }
  static ExchangeLoweringError invalid_snapshot(std::string text) {
    ExchangeLoweringError error(Kind::InvalidSnapshot);
    error.text_ = std::move(text);
    return error;
  }
  static ExchangeLoweringError invariant(std::string text) {
    ExchangeLoweringError error(Kind::Invariant);
    error.text_ = std::move(text);
    return error;
  }

  [[nodiscard]] Kind kind() const { return kind_; }
  [[nodiscard]] const exchange::ExchangeError& exchange_error() const { return exchange_; }  // Exchange
  [[nodiscard]] const StorageError& storage_error() const { return storage_; }              // Storage
  [[nodiscard]] std::uint16_t tile() const { return tile_; }                                // DiagnosticTile
  [[nodiscard]] const std::string& text() const { return text_; }  // InvalidSnapshot, Invariant

  [[nodiscard]] std::string message() const;
  [[nodiscard]] std::string debug() const;

  friend bool operator==(const ExchangeLoweringError&, const ExchangeLoweringError&) = default;

 private:
  explicit ExchangeLoweringError(Kind kind) : kind_(kind) {}

  Kind kind_;
  exchange::ExchangeError exchange_ = exchange::ExchangeError::host_packet();
  StorageError storage_{};
  std::uint16_t tile_ = 0;
  std::string text_;
};

}  // namespace oxu::codegen
