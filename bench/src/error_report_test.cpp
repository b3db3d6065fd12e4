#include "error_report.hpp"

#include <gtest/gtest.h>

namespace oxu::bench {
namespace {

TEST(ErrorReportTest, Layouts) {
  const std::pair<BenchError, const char*> cases[] = {
      {{"--iterations must be nonzero", {}}, "Error: --iterations must be nonzero\n"},
      {{"open missing.json", {"No such file or directory (os error 2)"}},
       "Error: open missing.json\n\nCaused by:\n    No such file or directory (os error 2)\n"},
      {{"outer", {"middle", "inner"}}, "Error: outer\n\nCaused by:\n    0: middle\n    1: inner\n"},
  };
  for (const auto& [error, report] : cases) EXPECT_EQ(render_error_report(error), report);
}

}  // namespace
}  // namespace oxu::bench
