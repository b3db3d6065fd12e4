#pragma once
// ExchangeError: the single error type of the exchange library.
//
// A small copyable tagged value: a kind, at most two u32 payload values and,
// for the `Schedule` kind, a reason that is always a string literal of the
// program. message() gives the user-visible text, debug() the debug form
// (`Tile(7)`, `Schedule("sender delay")`, `PlanOffsetRange { cycles: 5,
// maximum: 4 }`, or the bare kind name).

#include <cstdint>
#include <string>
#include <string_view>

namespace oxu::exchange {

// Upper bound of a transfer's word count, shown by every `Count` message.
inline constexpr std::uint32_t kMaxExchangeCount = 4148;

class ExchangeError {
 public:
  enum class Kind : std::uint8_t {
    ValidationBudgetExceeded,
    Tile,
    DuplicateTile,
    Count,
    ReceiverSet,
    Schedule,
    PlanOffsetRange,
    Address,
    HostPacket,
  };

  static ExchangeError validation_budget_exceeded() { return ExchangeError(Kind::ValidationBudgetExceeded); }
  static ExchangeError tile(std::uint16_t logical) { return ExchangeError(Kind::Tile, logical); }
  static ExchangeError duplicate_tile() { return ExchangeError(Kind::DuplicateTile); }
  static ExchangeError count(std::uint32_t words) { return ExchangeError(Kind::Count, words); }
  static ExchangeError receiver_set() { return ExchangeError(Kind::ReceiverSet); }
  // `reason` must be a string literal: the error keeps only a view of it.
  static ExchangeError schedule(std::string_view reason) {
    ExchangeError error(Kind::Schedule);
    error.reason_ = reason;
    return error;
  }
  static ExchangeError plan_offset_range(std::uint32_t cycles, std::uint32_t maximum) {
    return ExchangeError(Kind::PlanOffsetRange, cycles, maximum);
  }
  static ExchangeError address(std::uint32_t byte_address) { return ExchangeError(Kind::Address, byte_address); }
  static ExchangeError host_packet() { return ExchangeError(Kind::HostPacket); }

  [[nodiscard]] Kind kind() const { return kind_; }
  // Payload accessors; each is meaningful only for the kinds named.
  [[nodiscard]] std::uint16_t tile_index() const { return static_cast<std::uint16_t>(first_); }  // Tile
  [[nodiscard]] std::uint32_t count_value() const { return first_; }                              // Count
  [[nodiscard]] std::uint32_t address_value() const { return first_; }                            // Address
  [[nodiscard]] std::uint32_t cycles() const { return first_; }                                   // PlanOffsetRange
  [[nodiscard]] std::uint32_t maximum() const { return second_; }                                 // PlanOffsetRange
  [[nodiscard]] std::string_view reason() const { return reason_; }                               // Schedule

  [[nodiscard]] std::string message() const;
  [[nodiscard]] std::string debug() const;

  friend bool operator==(const ExchangeError&, const ExchangeError&) = default;

 private:
  explicit ExchangeError(Kind kind, std::uint32_t first = 0, std::uint32_t second = 0)
      : kind_(kind), first_(first), second_(second) {}

  Kind kind_;
  std::uint32_t first_;
  std::uint32_t second_;
  std::string_view reason_;
};

// Quotes a text the way debug forms show strings: in double quotes, with
// quotes, backslashes and control characters escaped.
[[nodiscard]] std::string debug_quoted(std::string_view text);

}  // namespace oxu::exchange
