#pragma once
// The replay of one selected phase: warm-up and timed runs of the scheduler
// and the invariant checker, the determinism check of every timed run
// against the first, the optional tile dump and the phase's metrics line.

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <expected>
#include <span>
#include <vector>

#include "cli.hpp"
#include "error_report.hpp"
#include "oxu/codegen/snapshot.hpp"

namespace oxu::bench {

// Nearest-rank percentile of an ascending list: the entry at rank - 1 with
// rank = ceil(n * p / 100), limited to n; position 0 for rank 0.
[[nodiscard]] std::size_t percentile_position(std::size_t count, std::size_t percent);

// Milliseconds of a duration: (whole seconds + nanoseconds / 1e9) * 1000.
[[nodiscard]] double duration_milliseconds(std::chrono::nanoseconds elapsed);

[[nodiscard]] std::expected<void, BenchError> replay_phase(std::uint16_t tile_count,
                                                           const codegen::ExchangeScheduleProblem& problem,
                                                           const Arguments& arguments, std::FILE* out);

}  // namespace oxu::bench
