#include "error_report.hpp"

#include <fmt/format.h>

namespace oxu::bench {

std::string render_error_report(const BenchError& error) {
  std::string report = fmt::format("Error: {}\n", error.message);
  if (error.causes.empty()) return report;
  report += "\nCaused by:\n";
  if (error.causes.size() == 1) {
    report += fmt::format("    {}\n", error.causes.front());
    return report;
  }
  for (std::size_t i = 0; i < error.causes.size(); ++i) report += fmt::format("{:>5}: {}\n", i, error.causes[i]);
  return report;
}

}  // namespace oxu::bench
