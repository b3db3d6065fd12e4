#pragma once
// The command line of oxu-snapshot-gen:
//
//   oxu-snapshot-gen --pattern NAME [--tiles N] [--phases N] [--transfers N]
//                    [--seed N] [--output PATH]
//
// Options take their value as the next argument or after "=". Each option
// may be given once; --help stops the parsing. The options are checked with
// check_options, so a parsed command line always generates.

#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "generator.hpp"

namespace oxu::snapshot_gen {

struct CommandLine {
  GeneratorOptions options;
  std::optional<std::string> output;  // absent: standard output
  bool help = false;                  // --help was given; nothing else is set
};

// Parses the arguments after the program name. The error is one line
// without the "error: " prefix.
[[nodiscard]] std::expected<CommandLine, std::string> parse_command_line(std::span<const std::string_view> arguments);

// "Usage: oxu-snapshot-gen --pattern NAME ..." without a line feed.
[[nodiscard]] std::string_view usage_line();

// The --help text, ending with a line feed.
[[nodiscard]] std::string help_text();

}  // namespace oxu::snapshot_gen
