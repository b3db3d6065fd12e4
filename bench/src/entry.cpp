#include "entry.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <set>
#include <vector>

#include <fmt/format.h>

#include "oxu/codegen/snapshot_reader.hpp"
#include "phase_replay.hpp"

namespace oxu::bench {
namespace {

using codegen::ExchangeScheduleProblem;
using codegen::ExchangeScheduleSnapshot;

BenchError message_error(std::string message) { return BenchError{std::move(message), {}}; }

std::string os_error_text(int error_number) {
  return fmt::format("{} (os error {})", std::strerror(error_number), error_number);
}

// Closes a descriptor when the reading is over, whatever its outcome.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() { ::close(fd_); }
  [[nodiscard]] int get() const { return fd_; }

 private:
  int fd_;
};

std::expected<ExchangeScheduleSnapshot, BenchError> load_snapshot(const std::filesystem::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::unexpected(BenchError{fmt::format("open {}", path.native()), {os_error_text(errno)}});
  const FileDescriptor file(fd);
  auto snapshot = codegen::read_snapshot_fd(file.get());
  if (!snapshot) {
    return std::unexpected(BenchError{fmt::format("parse {}", path.native()), {snapshot.error().display()}});
  }
  return std::move(*snapshot);
}

// Legacy mode: keep only the first Repeat iteration's source address.
void keep_first_iterations(ExchangeScheduleSnapshot& snapshot) {
  for (auto& phase : snapshot.phases) {
    for (auto& transfer : phase.transfers) {
      auto& addresses = transfer.source_addresses;
      if (addresses.size() > 1) addresses.erase(addresses.begin() + 1, addresses.end());
    }
  }
}

std::expected<std::vector<std::reference_wrapper<const ExchangeScheduleProblem>>, BenchError> select_phases(
    const ExchangeScheduleSnapshot& snapshot, const std::vector<std::uint32_t>& requested) {
  const std::set<std::uint32_t> wanted(requested.begin(), requested.end());
  if (wanted.size() < requested.size()) return std::unexpected(message_error("--phase contains a duplicate phase ID"));
  for (const std::uint32_t id : wanted) {
    const bool present = std::any_of(snapshot.phases.begin(), snapshot.phases.end(),
                                     [id](const ExchangeScheduleProblem& phase) { return phase.phase == id; });
    if (!present) return std::unexpected(message_error(fmt::format("snapshot does not contain phase {}", id)));
  }
  std::vector<std::reference_wrapper<const ExchangeScheduleProblem>> selected;
  for (const ExchangeScheduleProblem& phase : snapshot.phases) {
    if (wanted.empty() || wanted.contains(phase.phase)) selected.emplace_back(phase);
  }
  return selected;
}

}  // namespace

std::expected<void, BenchError> run_bench(const Arguments& arguments, std::FILE* out) {
  if (arguments.iterations == 0) return std::unexpected(message_error("--iterations must be nonzero"));
  auto loaded = load_snapshot(arguments.snapshot);
  if (!loaded) return std::unexpected(std::move(loaded).error());
  ExchangeScheduleSnapshot snapshot = std::move(*loaded);
  if (auto valid = snapshot.validate(); !valid) return std::unexpected(message_error(valid.error().message()));
  if (arguments.first_iteration_only) keep_first_iterations(snapshot);

  auto selected = select_phases(snapshot, arguments.phases);
  if (!selected) return std::unexpected(std::move(selected).error());

  fmt::print(out, "snapshot={} tiles={} phases={} warmup={} iterations={} repeatAware={}\n",
             arguments.snapshot.native(), snapshot.tile_count, selected->size(), arguments.warmup,
             arguments.iterations, !arguments.first_iteration_only);
  const auto started = std::chrono::steady_clock::now();
  for (const ExchangeScheduleProblem& phase : *selected) {
    if (auto replayed = replay_phase(snapshot.tile_count, phase, arguments, out); !replayed) return replayed;
  }
  fmt::print(out, "totalMs={:.3f}\n", duration_milliseconds(std::chrono::steady_clock::now() - started));
  return {};
}

}  // namespace oxu::bench
