#include "command_line.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

namespace oxu::snapshot_gen {
namespace {

std::expected<CommandLine, std::string> parse(std::vector<std::string_view> arguments) {
  return parse_command_line(arguments);
}

TEST(CommandLineTest, DefaultsApplyToOmittedOptions) {
  const auto command = parse({"--pattern", "halo"});
  ASSERT_TRUE(command.has_value()) << command.error();
  EXPECT_EQ(command->options.pattern, Pattern::Halo);
  EXPECT_EQ(command->options.tiles, 64U);
  EXPECT_EQ(command->options.phases, 1U);
  EXPECT_EQ(command->options.transfers, 256U);
  EXPECT_EQ(command->options.seed, 1U);
  EXPECT_EQ(command->output, std::nullopt);
  EXPECT_FALSE(command->help);
}

TEST(CommandLineTest, ReadsSeparateAndAttachedValues) {
  const auto command = parse({"--tiles=1472", "--phases", "3", "--transfers=0", "--seed", "18446744073709551615",
                              "--output", "out.json", "--pattern=paired"});
  ASSERT_TRUE(command.has_value()) << command.error();
  EXPECT_EQ(command->options.pattern, Pattern::Paired);
  EXPECT_EQ(command->options.tiles, 1472U);
  EXPECT_EQ(command->options.phases, 3U);
  EXPECT_EQ(command->options.transfers, 0U);
  EXPECT_EQ(command->options.seed, 18446744073709551615ULL);
  EXPECT_EQ(command->output, std::optional<std::string>("out.json"));
}

TEST(CommandLineTest, HelpStopsParsing) {
  const auto command = parse({"--help", "--bogus"});
  ASSERT_TRUE(command.has_value());
  EXPECT_TRUE(command->help);
  EXPECT_NE(help_text().find(usage_line()), std::string::npos);
}

TEST(CommandLineTest, ReportsBadUsage) {
  struct Case {
    std::vector<std::string_view> arguments;
    std::string error;
  };
  const Case cases[] = {
      {{}, "the option '--pattern' is required"},
      {{"--tiles", "4"}, "the option '--pattern' is required"},
      {{"--pattern", "ring"},
       "unknown pattern 'ring' (expected one of p2p, alltoall, halo, broadcast, paired, repeat, loopback, mixed)"},
      {{"--pattern"}, "a value is required for '--pattern'"},
      {{"--pattern", "p2p", "--tiles", "--seed", "2"}, "a value is required for '--tiles'"},
      {{"--pattern", "p2p", "--tiles", "-3"}, "invalid value '-3' for '--tiles': expected a non-negative integer"},
      {{"--pattern", "p2p", "--tiles="}, "invalid value '' for '--tiles': expected a non-negative integer"},
      {{"--pattern", "p2p", "--tiles", "12x"}, "invalid value '12x' for '--tiles': expected a non-negative integer"},
      {{"--pattern", "p2p", "--transfers", "4294967296"},
       "invalid value '4294967296' for '--transfers': number too large"},
      {{"--pattern", "p2p", "--seed", "18446744073709551616"},
       "invalid value '18446744073709551616' for '--seed': number too large"},
      {{"--pattern", "p2p", "--pattern", "halo"}, "'--pattern' given more than once"},
      {{"--pattern", "p2p", "--colour", "red"}, "unknown option '--colour'"},
      {{"--pattern", "p2p", "snapshot.json"}, "unexpected argument 'snapshot.json'"},
      {{"--pattern", "p2p", "--output="}, "'--output' needs a file path"},
      {{"--pattern", "p2p", "--tiles", "1473"}, "tile count 1473 is outside 1..1472"},
      {{"--pattern", "p2p", "--phases", "0"}, "phase count must be at least 1"},
      {{"--pattern", "p2p", "--tiles", "1"}, "pattern p2p needs at least 2 tiles for any transfer, got 1"},
  };
  for (const Case& c : cases) {
    const auto command = parse(c.arguments);
    ASSERT_FALSE(command.has_value()) << c.error;
    EXPECT_EQ(command.error(), c.error);
  }
}

}  // namespace
}  // namespace oxu::snapshot_gen
