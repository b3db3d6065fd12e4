#include "cli.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

namespace oxu::bench {
namespace {

using Words = std::vector<std::string_view>;

std::string describe(const Words& words) {
  std::string text = "args:";
  for (const std::string_view word : words) text += " [" + std::string(word) + "]";
  return text;
}

// ---------------------------------------------------------------------------
// Accepted command lines

struct AcceptedCase {
  Words words;
  Arguments expected;
};

const AcceptedCase kAccepted[] = {
    // Defaults: 0 untimed runs, 1 timed run, every phase, no dump.
    {{"snap.json"}, {.snapshot = "snap.json"}},
    {{"--phase", "3", "--phase=7", "snap.json", "--phase", "3"},
     {.snapshot = "snap.json", .phases = {3, 7, 3}}},
    {{"--phase", "4294967295", "--phase", "+0", "--phase=-0", "--phase", "007", "s"},
     {.snapshot = "s", .phases = {4294967295U, 0, 0, 7}}},
    {{"--warmup", "+3", "s"}, {.snapshot = "s", .warmup = 3}},
    {{"--warmup=12", "--iterations=0", "s"}, {.snapshot = "s", .warmup = 12, .iterations = 0}},
    {{"s", "--iterations", "18446744073709551615"}, {.snapshot = "s", .iterations = 18446744073709551615U}},
    {{"--first-iteration-only", "s"}, {.snapshot = "s", .first_iteration_only = true}},
    {{"--dump-tile", "0", "s"}, {.snapshot = "s", .dump_tile = 0}},
    {{"--dump-tile=+1471", "s"}, {.snapshot = "s", .dump_tile = 1471}},
    {{"--phase", "1", "--warmup", "2", "--iterations", "3", "--first-iteration-only", "--dump-tile", "4",
      "path/to/s.json"},
     {.snapshot = "path/to/s.json",
      .phases = {1},
      .warmup = 2,
      .iterations = 3,
      .first_iteration_only = true,
      .dump_tile = 4}},
    // A lone "-" is an ordinary word, both as a positional and as a value's place.
    {{"-"}, {.snapshot = "-"}},
    {{""}, {.snapshot = ""}},
    // "--" ends the options.
    {{"--", "--warmup"}, {.snapshot = "--warmup"}},
    {{"--warmup", "2", "--", "-x"}, {.snapshot = "-x", .warmup = 2}},
    {{"--", "-"}, {.snapshot = "-"}},
    {{"--", "--"}, {.snapshot = "--"}},
};

TEST(ParseArguments, AcceptsCommandLines) {
  for (const AcceptedCase& c : kAccepted) {
    SCOPED_TRACE(describe(c.words));
    const auto result = parse_arguments(c.words);
    ASSERT_TRUE(result.has_value()) << result.error().text;
    EXPECT_EQ(result->snapshot.native(), c.expected.snapshot.native());
    EXPECT_EQ(result->phases, c.expected.phases);
    EXPECT_EQ(result->warmup, c.expected.warmup);
    EXPECT_EQ(result->iterations, c.expected.iterations);
    EXPECT_EQ(result->first_iteration_only, c.expected.first_iteration_only);
    EXPECT_EQ(result->dump_tile, c.expected.dump_tile);
  }
}

// ---------------------------------------------------------------------------
// Rejected command lines

constexpr std::string_view kUsageTail =
    "\nUsage: oxu-tests [OPTIONS] <SNAPSHOT>\n\nFor more information, try '--help'.\n";

struct RejectedCase {
  Words words;
  std::string_view head;  // the report up to the usage line
};

const RejectedCase kRejected[] = {
    // Missing snapshot, checked only after everything else was read.
    {{}, "error: the following required arguments were not provided:\n  <SNAPSHOT>\n"},
    {{"--warmup", "1", "--phase", "2"},
     "error: the following required arguments were not provided:\n  <SNAPSHOT>\n"},
    {{"--"}, "error: the following required arguments were not provided:\n  <SNAPSHOT>\n"},

    // Unknown options carry the tip; surplus positionals do not.
    {{"--foo", "s"},
     "error: unexpected argument '--foo' found\n\n  tip: to pass '--foo' as a value, use '-- --foo'\n"},
    {{"s", "--foo=bar"},
     "error: unexpected argument '--foo' found\n\n  tip: to pass '--foo' as a value, use '-- --foo'\n"},
    {{"--Warmup", "1", "s"},
     "error: unexpected argument '--Warmup' found\n"
     "\n  tip: to pass '--Warmup' as a value, use '-- --Warmup'\n"},
    {{"-x", "s"}, "error: unexpected argument '-x' found\n\n  tip: to pass '-x' as a value, use '-- -x'\n"},
    {{"-xh"}, "error: unexpected argument '-x' found\n\n  tip: to pass '-x' as a value, use '-- -x'\n"},
    {{"-3", "s"}, "error: unexpected argument '-3' found\n\n  tip: to pass '-3' as a value, use '-- -3'\n"},
    {{"s", "t"}, "error: unexpected argument 't' found\n"},
    {{"s", "-"}, "error: unexpected argument '-' found\n"},
    {{"s", "--", "--help"}, "error: unexpected argument '--help' found\n"},

    // Missing values: an option-looking word is never taken as a value.
    {{"s", "--warmup"}, "error: a value is required for '--warmup <WARMUP>' but none was supplied\n"},
    {{"--warmup", "-3", "s"}, "error: a value is required for '--warmup <WARMUP>' but none was supplied\n"},
    {{"--warmup", "--iterations", "2", "s"},
     "error: a value is required for '--warmup <WARMUP>' but none was supplied\n"},
    {{"--warmup", "--", "s"}, "error: a value is required for '--warmup <WARMUP>' but none was supplied\n"},
    {{"--phase", "-1", "s"}, "error: a value is required for '--phase <PHASES>' but none was supplied\n"},
    {{"s", "--iterations"},
     "error: a value is required for '--iterations <ITERATIONS>' but none was supplied\n"},
    {{"--dump-tile"}, "error: a value is required for '--dump-tile <DUMP_TILE>' but none was supplied\n"},

    // Unsigned machine-size values.
    {{"--warmup=-3", "s"},
     "error: invalid value '-3' for '--warmup <WARMUP>': invalid digit found in string\n"},
    {{"--warmup=", "s"},
     "error: invalid value '' for '--warmup <WARMUP>': cannot parse integer from empty string\n"},
    {{"--warmup", "", "s"},
     "error: invalid value '' for '--warmup <WARMUP>': cannot parse integer from empty string\n"},
    {{"--warmup", "+", "s"},
     "error: invalid value '+' for '--warmup <WARMUP>': invalid digit found in string\n"},
    {{"--warmup", "-", "s"},
     "error: invalid value '-' for '--warmup <WARMUP>': invalid digit found in string\n"},
    {{"--warmup", "++3", "s"},
     "error: invalid value '++3' for '--warmup <WARMUP>': invalid digit found in string\n"},
    {{"--warmup", " 3", "s"},
     "error: invalid value ' 3' for '--warmup <WARMUP>': invalid digit found in string\n"},
    {{"--iterations", "1.5", "s"},
     "error: invalid value '1.5' for '--iterations <ITERATIONS>': invalid digit found in string\n"},
    {{"--iterations", "18446744073709551616", "s"},
     "error: invalid value '18446744073709551616' for '--iterations <ITERATIONS>': "
     "number too large to fit in target type\n"},
    {{"--dump-tile", "99999999999999999999999", "s"},
     "error: invalid value '99999999999999999999999' for '--dump-tile <DUMP_TILE>': "
     "number too large to fit in target type\n"},
    {{"--dump-tile", "0x10", "s"},
     "error: invalid value '0x10' for '--dump-tile <DUMP_TILE>': invalid digit found in string\n"},

    // Phase IDs: signed 64-bit first, then the u32 range.
    {{"--phase", "1,2", "s"},
     "error: invalid value '1,2' for '--phase <PHASES>': invalid digit found in string\n"},
    {{"--phase=-1", "s"}, "error: invalid value '-1' for '--phase <PHASES>': -1 is not in 0..=4294967295\n"},
    {{"--phase", "4294967296", "s"},
     "error: invalid value '4294967296' for '--phase <PHASES>': 4294967296 is not in 0..=4294967295\n"},
    {{"--phase=+4294967296", "s"},
     "error: invalid value '+4294967296' for '--phase <PHASES>': 4294967296 is not in 0..=4294967295\n"},
    {{"--phase=-9223372036854775808", "s"},
     "error: invalid value '-9223372036854775808' for '--phase <PHASES>': -9223372036854775808 is not in "
     "0..=4294967295\n"},
    {{"--phase=-9223372036854775809", "s"},
     "error: invalid value '-9223372036854775809' for '--phase <PHASES>': "
     "number too small to fit in target type\n"},
    {{"--phase", "9223372036854775807", "s"},
     "error: invalid value '9223372036854775807' for '--phase <PHASES>': 9223372036854775807 is not in "
     "0..=4294967295\n"},
    {{"--phase", "9223372036854775808", "s"},
     "error: invalid value '9223372036854775808' for '--phase <PHASES>': "
     "number too large to fit in target type\n"},
    {{"--phase=", "s"},
     "error: invalid value '' for '--phase <PHASES>': cannot parse integer from empty string\n"},
    {{"--phase", "-", "s"},
     "error: invalid value '-' for '--phase <PHASES>': invalid digit found in string\n"},
    {{"--phase=+-1", "s"},
     "error: invalid value '+-1' for '--phase <PHASES>': invalid digit found in string\n"},

    // Repeated single-valued options and flags, reported before the value is looked at.
    {{"--warmup", "1", "--warmup", "2", "s"},
     "error: the argument '--warmup <WARMUP>' cannot be used multiple times\n"},
    {{"--warmup", "1", "s", "--warmup"},
     "error: the argument '--warmup <WARMUP>' cannot be used multiple times\n"},
    {{"--iterations=1", "--iterations=x", "s"},
     "error: the argument '--iterations <ITERATIONS>' cannot be used multiple times\n"},
    {{"--dump-tile", "1", "--dump-tile=1", "s"},
     "error: the argument '--dump-tile <DUMP_TILE>' cannot be used multiple times\n"},
    {{"--first-iteration-only", "--first-iteration-only", "s"},
     "error: the argument '--first-iteration-only' cannot be used multiple times\n"},
    {{"--first-iteration-only", "--first-iteration-only=x", "s"},
     "error: the argument '--first-iteration-only' cannot be used multiple times\n"},

    // Values attached to options that take none.
    {{"--first-iteration-only=x", "s"},
     "error: unexpected value 'x' for '--first-iteration-only' found; no more were expected\n"},
    {{"--help=x"}, "error: unexpected value 'x' for '--help' found; no more were expected\n"},
    {{"--version=1"}, "error: unexpected value '1' for '--version' found; no more were expected\n"},

    // The first problem wins, and an earlier error beats help or version.
    {{"--foo", "--warmup"},
     "error: unexpected argument '--foo' found\n\n  tip: to pass '--foo' as a value, use '-- --foo'\n"},
    {{"--warmup", "x", "--foo", "s"},
     "error: invalid value 'x' for '--warmup <WARMUP>': invalid digit found in string\n"},
    {{"s", "t", "--warmup"}, "error: unexpected argument 't' found\n"},
    {{"--warmup", "x", "--help"},
     "error: invalid value 'x' for '--warmup <WARMUP>': invalid digit found in string\n"},
    {{"--warmup", "--help"}, "error: a value is required for '--warmup <WARMUP>' but none was supplied\n"},
    {{"-x", "-V"}, "error: unexpected argument '-x' found\n\n  tip: to pass '-x' as a value, use '-- -x'\n"},
};

TEST(ParseArguments, RejectsCommandLinesWithUsageReport) {
  for (const RejectedCase& c : kRejected) {
    SCOPED_TRACE(describe(c.words));
    const auto result = parse_arguments(c.words);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().status, 2);
    EXPECT_TRUE(result.error().to_stderr);
    EXPECT_EQ(result.error().text, std::string(c.head) + std::string(kUsageTail));
  }
}

TEST(ParseArguments, ReportsMissingSnapshotInFull) {
  const auto result = parse_arguments(Words{});
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().text,
            "error: the following required arguments were not provided:\n"
            "  <SNAPSHOT>\n"
            "\n"
            "Usage: oxu-tests [OPTIONS] <SNAPSHOT>\n"
            "\n"
            "For more information, try '--help'.\n");
}

// ---------------------------------------------------------------------------
// Help and version

constexpr std::string_view kHelp =
    "Replay and validate production exchange scheduling without OXU hardware\n"
    "\n"
    "Usage: oxu-tests [OPTIONS] <SNAPSHOT>\n"
    "\n"
    "Arguments:\n"
    "  <SNAPSHOT>  JSON snapshot written by oxu-trivial-test --export-exchange-schedule\n"
    "\n"
    "Options:\n"
    "      --phase <PHASES>           Restrict the benchmark to these physical exchange phase IDs\n"
    "      --warmup <WARMUP>          Untimed scheduler/codegen runs before measurement [default: 0]\n"
    "      --iterations <ITERATIONS>  Timed scheduler/codegen runs per selected phase [default: 1]\n"
    "      --first-iteration-only     Ignore sender addresses after the first Repeat iteration. "
    "This reproduces the unsafe scheduler behavior used before Repeat-aware memory-element hazard "
    "checking\n"
    "      --dump-tile <DUMP_TILE>    Decode the generated exchange program for this logical tile\n"
    "  -h, --help                     Print help\n"
    "  -V, --version                  Print version\n";

constexpr std::string_view kVersion = "oxu-tests 0.1.0\n";

struct ExitCase {
  Words words;
  std::string_view text;
};

const ExitCase kExits[] = {
    {{"--help"}, kHelp},
    {{"-h"}, kHelp},
    {{"-hV"}, kHelp},
    {{"-hx"}, kHelp},
    {{"-h=x"}, kHelp},
    {{"--help", "--foo"}, kHelp},
    {{"--help", "--warmup", "x"}, kHelp},
    {{"--warmup", "3", "--help"}, kHelp},
    {{"--version"}, kVersion},
    {{"-V"}, kVersion},
    {{"-Vh"}, kVersion},
    {{"-V", "--help"}, kVersion},
    {{"s", "--first-iteration-only", "-V"}, kVersion},
};

TEST(ParseArguments, PrintsHelpAndVersionWhenReached) {
  for (const ExitCase& c : kExits) {
    SCOPED_TRACE(describe(c.words));
    const auto result = parse_arguments(c.words);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().status, 0);
    EXPECT_FALSE(result.error().to_stderr);
    EXPECT_EQ(result.error().text, c.text);
  }
}

}  // namespace
}  // namespace oxu::bench
