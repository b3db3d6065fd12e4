#pragma once
// Command line of the oxu-tests bench.
//
//   oxu-tests [OPTIONS] <SNAPSHOT>
//
// A small table-driven parser: every argument is declared once (identifier,
// long name, value name, help text, default, kind) and the help page, the
// usage line and the error reports are generated from those declarations.
// Arguments are read left to right and the first problem ends parsing; help
// and version act when they are reached. Only syntax is checked here: zero
// iterations or a repeated phase ID are left to the driver.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace oxu::bench {

// The parsed command line, one field per argument.
struct Arguments {
  std::filesystem::path snapshot{};        // exactly as written
  std::vector<std::uint32_t> phases{};     // command-line order; empty means every phase
  std::size_t warmup = 0;                  // untimed runs per phase
  std::size_t iterations = 1;              // timed runs per phase
  bool first_iteration_only = false;       // legacy: keep only each transfer's first source address
  std::optional<std::size_t> dump_tile{};  // logical tile whose program is decoded and printed
};

// What the process must do instead of running: print `text` on stdout
// (help, version: status 0) or on stderr (parse errors: status 2) and exit.
struct CliExit {
  int status;
  std::string text;
  bool to_stderr;
};

// Parses the process arguments, without argv[0].
[[nodiscard]] std::expected<Arguments, CliExit> parse_arguments(std::span<const std::string_view> args);

}  // namespace oxu::bench
