#pragma once
// The bench's entry: load, validate and select the snapshot's phases, print
// the header, replay every selected phase and print the total line.

#include <cstdio>
#include <expected>

#include "cli.hpp"
#include "error_report.hpp"

namespace oxu::bench {

// Runs the bench for parsed arguments, writing results to `out`. Lines
// already written stay written when an error ends the run.
[[nodiscard]] std::expected<void, BenchError> run_bench(const Arguments& arguments, std::FILE* out);

}  // namespace oxu::bench
