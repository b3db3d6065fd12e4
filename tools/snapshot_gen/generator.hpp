#pragma once
// The snapshot generator: builds deterministic, valid exchange-schedule
// snapshots (schema version 3) of synthetic workloads that resemble the
// exchange phases of real programs.
//
// The same options give the same snapshot on every machine. Beyond passing
// snapshot validation, every generated transfer stays inside the limits that
// a scheduler can place: source and destination spans inside the tile's
// 1 MiB memory, Word32 addresses at most 0xFFFFC, Paired64 transfers with
// complete destination pairs and a source whose partner is part of the
// phase, and loopback multicasts whose own receive controls stay clear of
// the start of their send.

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "oxu/codegen/snapshot.hpp"

namespace oxu::snapshot_gen {

// Workload families.
enum class Pattern : std::uint8_t {
  P2p,        // random point-to-point transfers, one destination each
  AllToAll,   // every tile of a group sends a small slice to every other one
  Halo,       // 2-D stencil: each tile sends its boundary to up to 4 grid neighbours
  Broadcast,  // multicast trees: a root to many tiles, possibly through relays
  Paired,     // Paired64 multicasts to complete tile pairs
  Repeat,     // several source addresses per transfer, reading received data
  Loopback,   // Word32 multicasts that also deliver to their own source tile
  Mixed,      // a blend of all of the above
};

// Every pattern, in the order of the enumeration.
inline constexpr Pattern kAllPatterns[] = {Pattern::P2p,    Pattern::AllToAll, Pattern::Halo,
                                           Pattern::Broadcast, Pattern::Paired, Pattern::Repeat,
                                           Pattern::Loopback, Pattern::Mixed};

// The command-line name of a pattern ("p2p", "alltoall", ...).
[[nodiscard]] std::string_view pattern_name(Pattern pattern);
// The pattern with that command-line name, if any.
[[nodiscard]] std::optional<Pattern> parse_pattern(std::string_view name);

// Largest tile count (the M72 table).
inline constexpr std::uint32_t kMaxGeneratorTiles = 1472;

struct GeneratorOptions {
  Pattern pattern = Pattern::Mixed;
  std::uint32_t tiles = 64;        // 1 to 1472
  std::uint32_t phases = 1;        // at least 1; phase IDs are 0, 1, 2, ...
  std::uint32_t transfers = 256;   // transfers in every phase, exactly
  std::uint64_t seed = 1;
};

// The fewest tiles on which `pattern` can produce a transfer: every transfer
// needs a second tile, and Paired64 needs two complete tile pairs.
[[nodiscard]] std::uint32_t minimum_tiles(Pattern pattern);

// Checks the options; the error is a one-line text for the user.
[[nodiscard]] std::expected<void, std::string> check_options(const GeneratorOptions& options);

// Generates the snapshot: `phases` phases of exactly `transfers` transfers
// each, every one of which the scheduler places (a phase that it cannot
// place is drawn again). Fails for options that check_options rejects, and
// as a safeguard if no draw of a phase schedules or the result did not
// validate.
[[nodiscard]] std::expected<codegen::ExchangeScheduleSnapshot, std::string> generate_snapshot(
    const GeneratorOptions& options);

}  // namespace oxu::snapshot_gen
