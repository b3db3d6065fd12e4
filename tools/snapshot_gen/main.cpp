// oxu-snapshot-gen: writes a generated exchange-schedule snapshot.
//
// Exit status 0 on success, 2 for a command-line error (one "error: ..."
// line and the usage on standard error), 1 when the output cannot be
// written.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "command_line.hpp"
#include "generator.hpp"
#include "snapshot_writer.hpp"

namespace {

// Writes all of `text` to `path`; the error names the path and the cause.
std::string write_file(const std::string& path, const std::string& text) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return fmt::format("cannot write {}: {}", path, std::strerror(errno));
  const std::size_t written = std::fwrite(text.data(), 1, text.size(), file);
  const int write_errno = errno;
  const bool closed = std::fclose(file) == 0;
  if (written != text.size()) return fmt::format("cannot write {}: {}", path, std::strerror(write_errno));
  if (!closed) return fmt::format("cannot write {}: {}", path, std::strerror(errno));
  return {};
}

}  // namespace

int main(int argc, char** argv) {
  using namespace oxu::snapshot_gen;
  const std::vector<std::string_view> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  const auto command = parse_command_line(arguments);
  if (!command) {
    fmt::print(stderr, "error: {}\n{}\n", command.error(), usage_line());
    return 2;
  }
  if (command->help) {
    fmt::print("{}", help_text());
    return 0;
  }

  const auto snapshot = generate_snapshot(command->options);
  if (!snapshot) {
    fmt::print(stderr, "error: {}\n", snapshot.error());
    return 1;
  }
  const std::string text = write_snapshot_json(*snapshot);
  if (!command->output) {
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0) {
      fmt::print(stderr, "error: cannot write standard output: {}\n", std::strerror(errno));
      return 1;
    }
    return 0;
  }
  if (const std::string failure = write_file(*command->output, text); !failure.empty()) {
    fmt::print(stderr, "error: {}\n", failure);
    return 1;
  }
  return 0;
}
