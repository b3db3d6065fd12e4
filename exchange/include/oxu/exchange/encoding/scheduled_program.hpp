#pragma once
// The tile program encoder: one tile's time-ordered sender rows and receive
// events become its exchange program.
//
// The encoder takes a checkpoint after every sender row and every run of
// timed receive events. Given the previous encoding of the tile and the
// indexes below which its sender rows and receive events are unchanged,
// build_scheduled_program resumes from the last checkpoint that is still
// valid and shares the previous encoding's unchanged chunks. Resuming is an
// optimisation only: the words are exactly those of an encoding from
// scratch.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>

#include "oxu/exchange/encoding/chunks.hpp"
#include "oxu/exchange/error.hpp"
#include "oxu/exchange/row_timing.hpp"

namespace oxu::exchange::encoding {

// One encoder state that a later encoding can resume from.
struct Checkpoint {
  bool after_control_pair = false;  // follows a receive-only SENDPICP
  std::uint32_t interval_limit = 0;  // limit cycle of that run; read only after a control pair
  std::size_t next_sender = 0;       // first sender row not yet encoded
  std::size_t next_event = 0;        // first receive event not yet encoded
  std::size_t word_count = 0;        // words emitted so far
  std::uint32_t cycle = 0;           // program clock after them
  friend bool operator==(const Checkpoint&, const Checkpoint&) = default;
};

// One encoding of a tile; immutable once built and shared between holders.
struct EncodedSchedule {
  Chunks<Checkpoint> checkpoints;
  Chunks<std::uint32_t> words;  // the program; the last word is Return
};

// What a tile passes to allow reuse of its last encoding.
struct PreviousEncoding {
  std::shared_ptr<const EncodedSchedule> encoding;
  std::size_t sender_dirty_from = 0;   // sender rows below this index are unchanged
  std::size_t receive_dirty_from = 0;  // receive events below this index are unchanged
};

// Encodes one tile's program. `senders` are sorted by start cycle and do
// not overlap; `events` are sorted by cycle; the program's clock reaches
// `horizon` at its final Return. `previous` may be empty. Every error is the
// Schedule kind with a fixed reason, among them "SENDPICP instruction
// alignment" when a two-word SENDPICP cannot stand at an even word index.
// The previous encoding is never changed.
[[nodiscard]] std::expected<EncodedSchedule, ExchangeError> build_scheduled_program(
    std::span<const ScheduledSenderRow> senders, std::span<const ReceiveEvent> events, std::uint32_t horizon,
    const PreviousEncoding& previous);

}  // namespace oxu::exchange::encoding
