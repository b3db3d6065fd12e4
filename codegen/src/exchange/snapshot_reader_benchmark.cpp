// Throughput of the snapshot reader on a realistic snapshot of about 100 MB,
// generated in memory: many phases, transfers with several destinations and
// Repeat iterations, numbers of varied widths. Read from memory
// (read_snapshot_text) and from a temporary file (read_snapshot_fd), both in
// the pretty form (two-space indentation, one value per line) and in the
// compact form.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "oxu/codegen/snapshot_reader.hpp"
#include "oxu/testing/split_mix.hpp"

namespace oxu::codegen {
namespace {

constexpr std::size_t kTargetBytes = 100'000'000;

using Random = oxu::testing::SplitMix64;

// Writes JSON the way a serializer does: in the pretty form every member and
// element on a line of its own, indented by two spaces per level.
class Writer {
 public:
  explicit Writer(bool pretty) : pretty_(pretty) {}

  void open(char bracket) {
    separate();
    out_.push_back(bracket);
    ++depth_;
    first_ = true;
  }
  void close(char bracket) {
    --depth_;
    if (!first_) {
      newline();
    }
    out_.push_back(bracket);
    first_ = false;
  }
  void key(std::string_view name) {
    separate();
    out_.push_back('"');
    out_.append(name);
    out_ += pretty_ ? "\": " : "\":";
    after_key_ = true;
  }
  void number(std::uint64_t value) {
    separate();
    out_ += std::to_string(value);
  }
  void string(std::string_view text) {
    separate();
    out_.push_back('"');
    out_.append(text);
    out_.push_back('"');
  }
  [[nodiscard]] std::size_t size() const { return out_.size(); }
  std::string take() { return std::move(out_); }

 private:
  void separate() {
    if (after_key_) {
      after_key_ = false;
      first_ = false;
      return;
    }
    if (!first_) {
      out_.push_back(',');
    }
    if (depth_ > 0) {
      newline();
    }
    first_ = false;
  }
  void newline() {
    if (pretty_) {
      out_.push_back('\n');
      out_.append(2 * depth_, ' ');
    }
  }

  bool pretty_;
  std::string out_;
  std::size_t depth_ = 0;
  bool first_ = true;
  bool after_key_ = false;
};

// A byte address of varied width: mostly in the low memory elements, some
// higher up, a few near the top of the address space.
std::uint32_t address(Random& random) {
  switch (random.below(8)) {
    case 0:
      return random.below(0x200) * 8;
    case 1:
    case 2:
    case 3:
      return random.below(0x10000) * 8;
    case 4:
    case 5:
    case 6:
      return 0x80000 + random.below(0x10000) * 8;
    default:
      return random.below(0x20000000) * 8;
  }
}

std::string generate_snapshot(std::size_t target_bytes, bool pretty) {
  constexpr std::uint32_t kTiles = 1472;
  Random random(0x5eed'0f'5eed'0f'5eedULL);
  Writer writer(pretty);
  writer.open('{');
  writer.key("schema_version");
  writer.number(3);
  writer.key("tile_count");
  writer.number(kTiles);
  writer.key("phases");
  writer.open('[');
  for (std::uint32_t phase = 0; writer.size() < target_bytes; ++phase) {
    writer.open('{');
    writer.key("phase");
    writer.number(phase * 3 + random.below(3));
    writer.key("transfers");
    writer.open('[');
    const std::uint32_t transfers = 20 + random.below(1500);
    for (std::uint32_t t = 0; t < transfers; ++t) {
      const bool paired = random.below(4) == 0;
      writer.open('{');
      writer.key("source");
      writer.number(random.below(kTiles));
      writer.key("source_addresses");
      writer.open('[');
      const std::uint32_t iterations = random.below(4) == 0 ? 2 + random.below(6) : 1;
      for (std::uint32_t i = 0; i < iterations; ++i) {
        writer.number(address(random));
      }
      writer.close(']');
      writer.key("destinations");
      writer.open('[');
      const std::uint32_t destinations = 1 + random.below(3) + (random.below(3) == 0 ? random.below(6) : 0);
      for (std::uint32_t d = 0; d < destinations; ++d) {
        writer.open('{');
        writer.key("tile");
        writer.number(random.below(kTiles));
        writer.key("address");
        writer.number(address(random));
        writer.close('}');
      }
      writer.close(']');
      writer.key("words");
      const std::uint32_t words = random.below(8) == 0 ? 1 + random.below(100000) : 1 + random.below(512);
      writer.number(paired ? 2 * words : words);
      writer.key("width");
      writer.string(paired ? "Paired64" : "Word32");
      writer.close('}');
    }
    writer.close(']');
    writer.close('}');
  }
  writer.close(']');
  writer.close('}');
  std::string text = writer.take();
  text.push_back('\n');
  return text;
}

const std::string& snapshot_text(bool pretty) {
  static const std::string kPretty = generate_snapshot(kTargetBytes, true);
  static const std::string kCompact = generate_snapshot(kTargetBytes, false);
  return pretty ? kPretty : kCompact;
}

void report(benchmark::State& state, const std::string& text, const ExchangeScheduleSnapshot& snapshot) {
  std::size_t transfers = 0;
  for (const ExchangeScheduleProblem& phase : snapshot.phases) {
    transfers += phase.transfers.size();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
  state.counters["MB"] = static_cast<double>(text.size()) / 1e6;
  state.counters["phases"] = static_cast<double>(snapshot.phases.size());
  state.counters["transfers"] = static_cast<double>(transfers);
}

// Times `read` once per iteration; dropping the previous result stays out
// of the timed region. Returns false after reporting a reading error.
template <typename Read>
bool time_reads(benchmark::State& state, const std::string& text, Read&& read) {
  ExchangeScheduleSnapshot last;
  for (auto _ : state) {
    auto result = read();
    if (!result) {
      state.SkipWithError(result.error().display().c_str());
      return false;
    }
    benchmark::DoNotOptimize(result->phases.data());
    state.PauseTiming();
    last = std::move(*result);
    state.ResumeTiming();
  }
  report(state, text, last);
  return true;
}

void BM_ReadSnapshotText(benchmark::State& state) {
  const std::string& text = snapshot_text(state.range(0) != 0);
  time_reads(state, text, [&] { return read_snapshot_text(text); });
}

void BM_ReadSnapshotFd(benchmark::State& state) {
  const std::string& text = snapshot_text(state.range(0) != 0);
  char path[] = "/tmp/oxu_snapshot_benchmark_XXXXXX";
  const int fd = ::mkstemp(path);
  if (fd < 0) {
    state.SkipWithError("mkstemp failed");
    return;
  }
  ::unlink(path);
  for (std::size_t written = 0; written < text.size();) {
    const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
    if (n <= 0) {
      ::close(fd);
      state.SkipWithError("write failed");
      return;
    }
    written += static_cast<std::size_t>(n);
  }
  time_reads(state, text, [&] {
    ::lseek(fd, 0, SEEK_SET);
    return read_snapshot_fd(fd);
  });
  ::close(fd);
}

// Argument: 1 for the pretty form, 0 for the compact form.
BENCHMARK(BM_ReadSnapshotText)->ArgName("pretty")->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ReadSnapshotFd)->ArgName("pretty")->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace oxu::codegen

BENCHMARK_MAIN();
