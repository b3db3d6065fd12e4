#include "oxu/codegen/lowering_error.hpp"

#include <fmt/format.h>

namespace oxu::codegen {

std::string ExchangeLoweringError::message() const {
  switch (kind_) {
    case Kind::Exchange: return exchange_.message();
    case Kind::Storage: return storage_.message();
    case Kind::UnplacedShard: return "exchange refers to an unplaced shard";
    case Kind::InvalidDestination: return "exchange destination is not writable";
    case Kind::UnalignedPayload: return "exchange payload is not a nonempty whole number of words";
    case Kind::SizeMismatch: return "exchange source and destination byte counts differ";
    case Kind::Overflow: return "exchange address arithmetic overflowed";
    case Kind::IncompatibleRepeatRows: return "structured-repeat exchange rows have incompatible shapes";
    case Kind::DiagnosticTile: return fmt::format("exchange diagnostic refers to missing tile {}", tile_);
    case Kind::InvalidSnapshot: return fmt::format("invalid exchange-schedule snapshot: {}", text_);
    case Kind::Invariant: return fmt::format("exchange-schedule invariant failed: {}", text_);
  }
  return {};
}

std::string ExchangeLoweringError::debug() const {
  switch (kind_) {
    case Kind::Exchange: return fmt::format("Exchange({})", exchange_.debug());
    case Kind::Storage: return fmt::format("Storage({})", storage_.debug());
    case Kind::UnplacedShard: return "UnplacedShard";
    case Kind::InvalidDestination: return "InvalidDestination";
    case Kind::UnalignedPayload: return "UnalignedPayload";
    case Kind::SizeMismatch: return "SizeMismatch";
    case Kind::Overflow: return "Overflow";
    case Kind::IncompatibleRepeatRows: return "IncompatibleRepeatRows";
    case Kind::DiagnosticTile: return fmt::format("DiagnosticTile({})", tile_);
    case Kind::InvalidSnapshot: return fmt::format("InvalidSnapshot({})", exchange::debug_quoted(text_));
    case Kind::Invariant: return fmt::format("Invariant({})", exchange::debug_quoted(text_));
  }
  return {};
}

}  // namespace oxu::codegen
