#include "command_line.hpp"

#include <fmt/format.h>

#include <charconv>
#include <cstdint>
#include <set>

namespace oxu::snapshot_gen {
namespace {

constexpr std::string_view kUsage =
    "Usage: oxu-snapshot-gen --pattern NAME [--tiles N] [--phases N] [--transfers N] [--seed N] [--output PATH]";

std::string pattern_list() {
  std::string names;
  for (const Pattern pattern : kAllPatterns) {
    if (!names.empty()) names += ", ";
    names += pattern_name(pattern);
  }
  return names;
}

template <typename T>
std::expected<T, std::string> parse_number(std::string_view option, std::string_view text) {
  T value{};
  const char* const end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (error == std::errc::result_out_of_range) {
    return std::unexpected(fmt::format("invalid value '{}' for '{}': number too large", text, option));
  }
  if (text.empty() || error != std::errc() || stop != end) {
    return std::unexpected(
        fmt::format("invalid value '{}' for '{}': expected a non-negative integer", text, option));
  }
  return value;
}

}  // namespace

std::string_view usage_line() { return kUsage; }

std::string help_text() {
  return fmt::format(
      "Generates a valid exchange-schedule snapshot (JSON, schema version 3) of a synthetic workload.\n"
      "The same options always give the same file.\n"
      "\n"
      "{}\n"
      "\n"
      "Options:\n"
      "  --pattern NAME   workload family: {}\n"
      "  --tiles N        tile count, 1 to {} [default: 64]\n"
      "  --phases N       number of exchange phases, at least 1 [default: 1]\n"
      "  --transfers N    transfers in every phase [default: 256]\n"
      "  --seed N         seed of the generator [default: 1]\n"
      "  --output PATH    file to write [default: standard output]\n"
      "  --help           print this help\n"
      "\n"
      "Every transfer needs two tiles, and paired needs two complete tile pairs (4 tiles); on a\n"
      "single tile only --transfers 0 works.\n",
      kUsage, pattern_list(), kMaxGeneratorTiles);
}

std::expected<CommandLine, std::string> parse_command_line(std::span<const std::string_view> arguments) {
  static const std::set<std::string_view> kOptions = {"--pattern", "--tiles",  "--phases",
                                                      "--transfers", "--seed", "--output"};
  CommandLine command;
  std::set<std::string_view> seen;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string_view argument = arguments[i];
    if (argument == "--help") {
      CommandLine help;
      help.help = true;
      return help;
    }
    if (!argument.starts_with("--")) return std::unexpected(fmt::format("unexpected argument '{}'", argument));

    std::string_view option = argument;
    std::optional<std::string_view> value;
    if (const std::size_t equals = argument.find('='); equals != std::string_view::npos) {
      option = argument.substr(0, equals);
      value = argument.substr(equals + 1);
    }
    if (!kOptions.contains(option)) return std::unexpected(fmt::format("unknown option '{}'", option));
    if (!value) {
      if (i + 1 == arguments.size() || arguments[i + 1].starts_with("--")) {
        return std::unexpected(fmt::format("a value is required for '{}'", option));
      }
      value = arguments[++i];
    }
    if (!seen.insert(option).second) return std::unexpected(fmt::format("'{}' given more than once", option));

    GeneratorOptions& options = command.options;
    if (option == "--pattern") {
      const std::optional<Pattern> pattern = parse_pattern(*value);
      if (!pattern) {
        return std::unexpected(fmt::format("unknown pattern '{}' (expected one of {})", *value, pattern_list()));
      }
      options.pattern = *pattern;
    } else if (option == "--output") {
      if (value->empty()) return std::unexpected(std::string("'--output' needs a file path"));
      command.output = std::string(*value);
    } else if (option == "--seed") {
      auto seed = parse_number<std::uint64_t>(option, *value);
      if (!seed) return std::unexpected(seed.error());
      options.seed = *seed;
    } else {
      auto number = parse_number<std::uint32_t>(option, *value);
      if (!number) return std::unexpected(number.error());
      if (option == "--tiles") options.tiles = *number;
      if (option == "--phases") options.phases = *number;
      if (option == "--transfers") options.transfers = *number;
    }
  }
  if (!seen.contains("--pattern")) return std::unexpected(std::string("the option '--pattern' is required"));
  if (auto checked = check_options(command.options); !checked) return std::unexpected(checked.error());
  return command;
}

}  // namespace oxu::snapshot_gen
