// oxu-tests: replays and validates the exchange scheduling of snapshot phases.

#include <cstdio>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "cli.hpp"
#include "entry.hpp"

int main(int argc, char** argv) {
  const std::vector<std::string_view> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  const auto arguments = oxu::bench::parse_arguments(args);
  if (!arguments) {
    const oxu::bench::CliExit& exit = arguments.error();
    std::fputs(exit.text.c_str(), exit.to_stderr ? stderr : stdout);
    return exit.status;
  }
  const auto outcome = oxu::bench::run_bench(*arguments, stdout);
  std::fflush(stdout);
  if (!outcome) {
    std::fputs(oxu::bench::render_error_report(outcome.error()).c_str(), stderr);
    return 1;
  }
  return 0;
}
