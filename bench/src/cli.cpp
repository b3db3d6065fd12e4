#include "cli.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <utility>

#include <fmt/format.h>

#include "oxu/exchange/result.hpp"

namespace oxu::bench {
namespace {

constexpr std::string_view kCommandName = "oxu-tests";
constexpr std::string_view kCommandVersion = "0.1.0";
constexpr std::string_view kAbout = "Replay and validate production exchange scheduling without OXU hardware";

constexpr int kUsageErrorStatus = 2;

enum class ArgKind {
  Positional,     // fills the next free positional slot; required
  RepeatedValue,  // --name VALUE, any number of times, values kept in order
  SingleValue,    // --name VALUE, at most once
  Flag,           // --name, at most once, takes no value
  Help,           // prints the help page when reached
  Version,        // prints the version line when reached
};

// How a value's text becomes the argument's value.
enum class ValueType {
  None,     // takes no value
  Path,     // kept as written
  Size,     // unsigned machine-size integer
  PhaseId,  // signed 64-bit decimal, then checked to lie in the u32 range
};

struct ArgSpec {
  std::string_view id{};          // identifier: the field of Arguments it fills
  std::string_view long_name{};   // without the leading "--"; empty for positionals
  char short_name = '\0';         // '\0' when the argument has no short form
  std::string_view value_name{};  // shown in angle brackets; empty for flags
  std::string_view help{};
  std::optional<std::string_view> default_value{};  // converted like a typed value
  ArgKind kind = ArgKind::Flag;
  ValueType value_type = ValueType::None;
};

// The declarations of the command: positionals and options in the order of
// the help page.
constexpr std::array kArgs{
    ArgSpec{.id = "snapshot",
            .value_name = "SNAPSHOT",
            .help = "JSON snapshot written by oxu-trivial-test --export-exchange-schedule",
            .kind = ArgKind::Positional,
            .value_type = ValueType::Path},
    ArgSpec{.id = "phases",
            .long_name = "phase",
            .value_name = "PHASES",
            .help = "Restrict the benchmark to these physical exchange phase IDs",
            .kind = ArgKind::RepeatedValue,
            .value_type = ValueType::PhaseId},
    ArgSpec{.id = "warmup",
            .long_name = "warmup",
            .value_name = "WARMUP",
            .help = "Untimed scheduler/codegen runs before measurement",
            .default_value = "0",
            .kind = ArgKind::SingleValue,
            .value_type = ValueType::Size},
    ArgSpec{.id = "iterations",
            .long_name = "iterations",
            .value_name = "ITERATIONS",
            .help = "Timed scheduler/codegen runs per selected phase",
            .default_value = "1",
            .kind = ArgKind::SingleValue,
            .value_type = ValueType::Size},
    ArgSpec{.id = "first_iteration_only",
            .long_name = "first-iteration-only",
            .help = "Ignore sender addresses after the first Repeat iteration. This reproduces the unsafe "
                    "scheduler behavior used before Repeat-aware memory-element hazard checking",
            .kind = ArgKind::Flag},
    ArgSpec{.id = "dump_tile",
            .long_name = "dump-tile",
            .value_name = "DUMP_TILE",
            .help = "Decode the generated exchange program for this logical tile",
            .kind = ArgKind::SingleValue,
            .value_type = ValueType::Size},
    ArgSpec{
        .id = "help", .long_name = "help", .short_name = 'h', .help = "Print help", .kind = ArgKind::Help},
    ArgSpec{.id = "version",
            .long_name = "version",
            .short_name = 'V',
            .help = "Print version",
            .kind = ArgKind::Version},
};

[[noreturn]] void internal_error(std::string_view message) {
  std::fprintf(stderr, "%.*s\n", static_cast<int>(message.size()), message.data());
  std::abort();
}

bool takes_value(ArgKind kind) { return kind == ArgKind::SingleValue || kind == ArgKind::RepeatedValue; }

// A word that is an option (or "--") rather than a value. A lone "-" is an
// ordinary value.
bool looks_like_option(std::string_view word) { return word.size() > 1 && word.front() == '-'; }

std::size_t spec_index(std::string_view id) {
  for (std::size_t i = 0; i < kArgs.size(); ++i) {
    if (kArgs[i].id == id) return i;
  }
  internal_error(fmt::format("undeclared argument {}", id));
}

const ArgSpec& help_spec() {
  const auto it = std::ranges::find(kArgs, ArgKind::Help, &ArgSpec::kind);
  if (it == kArgs.end()) internal_error("no help flag declared");
  return *it;
}

// The argument as messages show it: "--warmup <WARMUP>", "--help", "<SNAPSHOT>".
std::string display_name(const ArgSpec& arg) {
  if (arg.kind == ArgKind::Positional) return fmt::format("<{}>", arg.value_name);
  if (takes_value(arg.kind)) return fmt::format("--{} <{}>", arg.long_name, arg.value_name);
  return fmt::format("--{}", arg.long_name);
}

// ---------------------------------------------------------------------------
// Values

constexpr std::string_view kInvalidDigit = "invalid digit found in string";
constexpr std::string_view kTooLarge = "number too large to fit in target type";
constexpr std::string_view kTooSmall = "number too small to fit in target type";
constexpr std::string_view kEmpty = "cannot parse integer from empty string";

bool is_digit(char c) { return c >= '0' && c <= '9'; }

std::uint64_t digit_value(char c) { return static_cast<std::uint64_t>(c - '0'); }

// Decimal digits accumulated left to right into a magnitude of at most
// `limit`; the first problem met wins.
std::expected<std::uint64_t, std::string> parse_magnitude(std::string_view digits, std::uint64_t limit,
                                                          std::string_view overflow) {
  if (digits.empty()) return std::unexpected(std::string(kInvalidDigit));  // a lone sign
  std::uint64_t value = 0;
  for (const char c : digits) {
    if (!is_digit(c)) return std::unexpected(std::string(kInvalidDigit));
    const std::uint64_t digit = digit_value(c);
    if (value > (limit - digit) / 10) return std::unexpected(std::string(overflow));
    value = value * 10 + digit;
  }
  return value;
}

// An optional single '+' followed by decimal digits, fitting a size_t.
std::expected<std::uint64_t, std::string> parse_size(std::string_view text) {
  if (text.empty()) return std::unexpected(std::string(kEmpty));
  if (text.front() == '+') text.remove_prefix(1);
  return parse_magnitude(text, std::numeric_limits<std::size_t>::max(), kTooLarge);
}

// An optional '+' or '-' followed by decimal digits, fitting an i64.
std::expected<std::int64_t, std::string> parse_i64(std::string_view text) {
  if (text.empty()) return std::unexpected(std::string(kEmpty));
  const bool negative = text.front() == '-';
  if (negative || text.front() == '+') text.remove_prefix(1);
  constexpr std::uint64_t kMaxMagnitude = std::numeric_limits<std::int64_t>::max();
  if (!negative) {
    OXU_TRY_ASSIGN(const std::uint64_t magnitude, parse_magnitude(text, kMaxMagnitude, kTooLarge));
    return static_cast<std::int64_t>(magnitude);
  }
  OXU_TRY_ASSIGN(const std::uint64_t magnitude, parse_magnitude(text, kMaxMagnitude + 1, kTooSmall));
  // Modular conversion: exact for every magnitude up to 2^63, the i64 minimum included.
  return static_cast<std::int64_t>(0 - magnitude);
}

// A phase ID: any i64 first, then the u32 range.
std::expected<std::uint64_t, std::string> parse_phase_id(std::string_view text) {
  OXU_TRY_ASSIGN(const std::int64_t value, parse_i64(text));
  constexpr std::int64_t kMax = std::numeric_limits<std::uint32_t>::max();
  if (value < 0 || value > kMax) return std::unexpected(fmt::format("{} is not in 0..={}", value, kMax));
  return static_cast<std::uint64_t>(value);
}

// ---------------------------------------------------------------------------
// Reports

enum class ErrorKind {
  UnknownArgument,  // an undeclared option, or a positional beyond the declared ones
  MissingValue,     // an option with a value at the end, or before another option
  InvalidValue,     // a value its conversion rejects
  MultipleUses,     // a second occurrence of a single-valued option or flag
  EqualsRequired,   // a separate value for an option that takes --name=VALUE only (none is declared)
  UnexpectedValue,  // --flag=VALUE
  MissingRequired,  // positionals never given
  NotProvided,      // an argument without a value when it is taken out of the matches
};

struct UsageError {
  ErrorKind kind = ErrorKind::UnknownArgument;
  std::string argument{};  // the argument as shown; for MissingRequired one "\n  <NAME>" per argument
  std::string value{};
  std::string reason{};
  bool tip = false;  // suggest "--" to pass an option-looking word as a value
};

std::string message(const UsageError& error) {
  switch (error.kind) {
    case ErrorKind::UnknownArgument:
      return fmt::format("unexpected argument '{}' found", error.argument);
    case ErrorKind::MissingValue:
      return fmt::format("a value is required for '{}' but none was supplied", error.argument);
    case ErrorKind::InvalidValue:
      return fmt::format("invalid value '{}' for '{}': {}", error.value, error.argument, error.reason);
    case ErrorKind::MultipleUses:
      return fmt::format("the argument '{}' cannot be used multiple times", error.argument);
    case ErrorKind::EqualsRequired:
      return fmt::format("equal sign is needed when assigning values to '{}'", error.argument);
    case ErrorKind::UnexpectedValue:
      return fmt::format("unexpected value '{}' for '{}' found; no more were expected", error.value,
                         error.argument);
    case ErrorKind::MissingRequired:
      return fmt::format("the following required arguments were not provided:{}", error.argument);
    case ErrorKind::NotProvided:
      return fmt::format("the following required argument was not provided: {}", error.argument);
  }
  internal_error("unknown usage error kind");
}

std::string usage_line() {
  std::string line = fmt::format("Usage: {}", kCommandName);
  if (std::ranges::any_of(kArgs, [](const ArgSpec& arg) { return arg.kind != ArgKind::Positional; })) {
    line += " [OPTIONS]";
  }
  for (const ArgSpec& arg : kArgs) {
    if (arg.kind == ArgKind::Positional) line += fmt::format(" <{}>", arg.value_name);
  }
  return line;
}

CliExit usage_exit(const UsageError& error) {
  std::string text = fmt::format("error: {}\n", message(error));
  if (error.tip) text += fmt::format("\n  tip: to pass '{0}' as a value, use '-- {0}'\n", error.argument);
  text += fmt::format("\n{}\n\nFor more information, try '--{}'.\n", usage_line(), help_spec().long_name);
  return CliExit{.status = kUsageErrorStatus, .text = std::move(text), .to_stderr = true};
}

std::unexpected<CliExit> fail(UsageError error) { return std::unexpected(usage_exit(error)); }

struct HelpEntry {
  std::string left;
  std::string right;
};

void append_section(std::string& out, std::string_view title, const std::vector<HelpEntry>& entries) {
  if (entries.empty()) return;
  std::size_t width = 0;
  for (const HelpEntry& entry : entries) width = std::max(width, entry.left.size());
  out += fmt::format("\n{}:\n", title);
  for (const HelpEntry& entry : entries) {
    out += fmt::format("{:<{}}{}\n", entry.left, width + 2, entry.right);
  }
}

std::string help_text() {
  std::vector<HelpEntry> positionals;
  std::vector<HelpEntry> options;
  for (const ArgSpec& arg : kArgs) {
    std::string right(arg.help);
    if (arg.default_value) right += fmt::format(" [default: {}]", *arg.default_value);
    if (arg.kind == ArgKind::Positional) {
      positionals.push_back({fmt::format("  <{}>", arg.value_name), std::move(right)});
      continue;
    }
    const std::string short_form = arg.short_name != '\0' ? fmt::format("-{}, ", arg.short_name) : "    ";
    options.push_back({fmt::format("  {}{}", short_form, display_name(arg)), std::move(right)});
  }
  std::string out = fmt::format("{}\n\n{}\n", kAbout, usage_line());
  append_section(out, "Arguments", positionals);
  append_section(out, "Options", options);
  return out;
}

// ---------------------------------------------------------------------------
// Parsing

// What the command line gave for one argument.
struct ArgMatch {
  std::size_t occurrences = 0;         // times written on the command line
  std::vector<std::string> texts;      // Path values, in order
  std::vector<std::uint64_t> numbers;  // Size and PhaseId values, in order
};

using Matches = std::array<ArgMatch, kArgs.size()>;

struct Parser {
  std::span<const std::string_view> words{};
  std::size_t next = 0;  // index of the next unread word
  Matches matches{};
};

std::expected<void, CliExit> store_value(const ArgSpec& arg, ArgMatch& match, std::string_view text) {
  std::expected<std::uint64_t, std::string> number;
  switch (arg.value_type) {
    case ValueType::Path:
      match.texts.emplace_back(text);
      return {};
    case ValueType::Size:
      number = parse_size(text);
      break;
    case ValueType::PhaseId:
      number = parse_phase_id(text);
      break;
    case ValueType::None:
      internal_error("value stored for an argument that takes none");
  }
  if (!number) {
    return fail({.kind = ErrorKind::InvalidValue,
                 .argument = display_name(arg),
                 .value = std::string(text),
                 .reason = std::move(number).error()});
  }
  match.numbers.push_back(*number);
  return {};
}

// One occurrence of an option. `attached` is a value written in the same word
// ("--name=VALUE"); without it, an option that takes a value takes the next
// word unless that word looks like an option.
std::expected<void, CliExit> read_occurrence(Parser& parser, std::size_t index,
                                             std::optional<std::string_view> attached) {
  const ArgSpec& arg = kArgs[index];
  ArgMatch& match = parser.matches[index];
  const bool repeated = match.occurrences > 0;
  switch (arg.kind) {
    case ArgKind::Help:
    case ArgKind::Version:
      if (attached) {
        return fail({.kind = ErrorKind::UnexpectedValue,
                     .argument = display_name(arg),
                     .value = std::string(*attached)});
      }
      if (arg.kind == ArgKind::Help) {
        return std::unexpected(CliExit{.status = 0, .text = help_text(), .to_stderr = false});
      }
      return std::unexpected(CliExit{
          .status = 0, .text = fmt::format("{} {}\n", kCommandName, kCommandVersion), .to_stderr = false});
    case ArgKind::Flag:
      if (repeated) return fail({.kind = ErrorKind::MultipleUses, .argument = display_name(arg)});
      if (attached) {
        return fail({.kind = ErrorKind::UnexpectedValue,
                     .argument = display_name(arg),
                     .value = std::string(*attached)});
      }
      ++match.occurrences;
      return {};
    case ArgKind::SingleValue:
    case ArgKind::RepeatedValue: {
      if (repeated && arg.kind == ArgKind::SingleValue) {
        return fail({.kind = ErrorKind::MultipleUses, .argument = display_name(arg)});
      }
      std::optional<std::string_view> text = attached;
      if (!text && parser.next < parser.words.size() && !looks_like_option(parser.words[parser.next])) {
        text = parser.words[parser.next++];
      }
      if (!text) return fail({.kind = ErrorKind::MissingValue, .argument = display_name(arg)});
      ++match.occurrences;
      return store_value(arg, match, *text);
    }
    case ArgKind::Positional:
      break;
  }
  internal_error("positional read as an option");
}

std::unexpected<CliExit> unknown_argument(std::string argument, bool tip) {
  return fail({.kind = ErrorKind::UnknownArgument, .argument = std::move(argument), .tip = tip});
}

// "--name" or "--name=VALUE".
std::expected<void, CliExit> read_long(Parser& parser, std::string_view word) {
  std::string_view name = word.substr(2);
  std::optional<std::string_view> attached;
  if (const std::size_t equals = name.find('='); equals != std::string_view::npos) {
    attached = name.substr(equals + 1);
    name = name.substr(0, equals);
  }
  for (std::size_t i = 0; i < kArgs.size(); ++i) {
    if (kArgs[i].kind != ArgKind::Positional && kArgs[i].long_name == name) {
      return read_occurrence(parser, i, attached);
    }
  }
  return unknown_argument(fmt::format("--{}", name), true);
}

// "-abc": the letters in order. A letter that takes a value takes the rest
// of the word (after an optional '=') or, when nothing is left, the next word.
std::expected<void, CliExit> read_short(Parser& parser, std::string_view word) {
  for (std::size_t k = 1; k < word.size(); ++k) {
    const char letter = word[k];
    const auto it = std::ranges::find_if(kArgs, [letter](const ArgSpec& arg) {
      return arg.short_name != '\0' && arg.short_name == letter;
    });
    if (it == kArgs.end()) return unknown_argument(fmt::format("-{}", letter), true);
    const auto index = static_cast<std::size_t>(it - kArgs.begin());
    if (takes_value(it->kind)) {
      std::string_view rest = word.substr(k + 1);
      if (rest.starts_with('=')) rest.remove_prefix(1);
      return read_occurrence(parser, index, rest.empty() ? std::nullopt : std::optional(rest));
    }
    OXU_TRY(read_occurrence(parser, index, std::nullopt));
  }
  return {};
}

std::expected<void, CliExit> read_positional(Parser& parser, std::string_view word) {
  for (std::size_t i = 0; i < kArgs.size(); ++i) {
    if (kArgs[i].kind == ArgKind::Positional && parser.matches[i].occurrences == 0) {
      ++parser.matches[i].occurrences;
      return store_value(kArgs[i], parser.matches[i], word);
    }
  }
  return unknown_argument(std::string(word), false);
}

std::expected<Matches, CliExit> read_matches(std::span<const std::string_view> words) {
  Parser parser{.words = words};
  bool options_ended = false;
  while (parser.next < words.size()) {
    const std::string_view word = words[parser.next++];
    if (options_ended || !looks_like_option(word)) {
      OXU_TRY(read_positional(parser, word));
    } else if (word == "--") {
      options_ended = true;
    } else if (word.starts_with("--")) {
      OXU_TRY(read_long(parser, word));
    } else {
      OXU_TRY(read_short(parser, word));
    }
  }

  std::string missing;
  for (std::size_t i = 0; i < kArgs.size(); ++i) {
    if (kArgs[i].kind == ArgKind::Positional && parser.matches[i].occurrences == 0) {
      missing += fmt::format("\n  {}", display_name(kArgs[i]));
    }
  }
  if (!missing.empty()) return fail({.kind = ErrorKind::MissingRequired, .argument = std::move(missing)});

  for (std::size_t i = 0; i < kArgs.size(); ++i) {
    if (kArgs[i].default_value && parser.matches[i].occurrences == 0) {
      OXU_TRY(store_value(kArgs[i], parser.matches[i], *kArgs[i].default_value));
    }
  }
  return std::move(parser.matches);
}

// ---------------------------------------------------------------------------
// Taking the values out, by identifier

std::unexpected<CliExit> not_provided(std::string_view id) {
  return fail({.kind = ErrorKind::NotProvided, .argument = std::string(id)});
}

std::expected<std::string, CliExit> take_text(const Matches& matches, std::string_view id) {
  const ArgMatch& match = matches[spec_index(id)];
  if (match.texts.empty()) return not_provided(id);
  return match.texts.front();
}

std::optional<std::size_t> take_optional_size(const Matches& matches, std::string_view id) {
  const ArgMatch& match = matches[spec_index(id)];
  if (match.numbers.empty()) return std::nullopt;
  return static_cast<std::size_t>(match.numbers.front());
}

std::expected<std::size_t, CliExit> take_size(const Matches& matches, std::string_view id) {
  const std::optional<std::size_t> value = take_optional_size(matches, id);
  if (!value) return not_provided(id);
  return *value;
}

std::vector<std::uint32_t> take_phase_ids(const Matches& matches, std::string_view id) {
  std::vector<std::uint32_t> values;
  for (const std::uint64_t number : matches[spec_index(id)].numbers) {
    values.push_back(static_cast<std::uint32_t>(number));  // range-checked when parsed
  }
  return values;
}

bool take_flag(const Matches& matches, std::string_view id) {
  return matches[spec_index(id)].occurrences > 0;
}

}  // namespace

std::expected<Arguments, CliExit> parse_arguments(std::span<const std::string_view> args) {
  OXU_TRY_ASSIGN(const Matches matches, read_matches(args));
  Arguments arguments;
  OXU_TRY_ASSIGN(arguments.snapshot, take_text(matches, "snapshot"));
  arguments.phases = take_phase_ids(matches, "phases");
  OXU_TRY_ASSIGN(arguments.warmup, take_size(matches, "warmup"));
  OXU_TRY_ASSIGN(arguments.iterations, take_size(matches, "iterations"));
  arguments.first_iteration_only = take_flag(matches, "first_iteration_only");
  arguments.dump_tile = take_optional_size(matches, "dump_tile");
  return arguments;
}

}  // namespace oxu::bench
