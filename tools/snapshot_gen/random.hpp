#pragma once
// Random: the generator's own deterministic pseudo-random source.
//
// A splitmix64 stream with its own range mapping, so that the same seed
// gives the same numbers with every compiler and standard library (the
// standard distributions are implementation-defined and are not used).

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace oxu::snapshot_gen {

class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}

  // The next 64 random bits (splitmix64).
  std::uint64_t next() {
    state_ += 0x9E3779B97F4A7C15ULL;
    std::uint64_t z = state_;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }

  // A uniform value in [0, bound); bound must be at least 1. Values of the
  // incomplete top block are rejected, so every residue is equally likely.
  std::uint64_t below(std::uint64_t bound) {
    const std::uint64_t threshold = (std::uint64_t{0} - bound) % bound;  // 2^64 mod bound
    for (;;) {
      const std::uint64_t value = next();
      if (value >= threshold) return value % bound;
    }
  }

  // below() for 32-bit bounds.
  std::uint32_t below32(std::uint32_t bound) { return static_cast<std::uint32_t>(below(bound)); }

  // A uniform value in [low, high]; low must not exceed high.
  std::uint32_t between(std::uint32_t low, std::uint32_t high) {
    return low + static_cast<std::uint32_t>(below(std::uint64_t{high} - low + 1));
  }

  // True with the given probability in percent.
  bool percent(std::uint32_t chance) { return below(100) < chance; }

  // A uniformly chosen element of a non-empty vector.
  template <typename T>
  const T& pick(const std::vector<T>& items) {
    return items[static_cast<std::size_t>(below(items.size()))];
  }

  // Fisher-Yates shuffle of the whole vector.
  template <typename T>
  void shuffle(std::vector<T>& items) {
    for (std::size_t i = items.size(); i > 1; --i) {
      const auto j = static_cast<std::size_t>(below(i));
      std::swap(items[i - 1], items[j]);
    }
  }

 private:
  std::uint64_t state_;
};

// An independent seed for stream `index` of the run seeded with `seed`.
[[nodiscard]] inline std::uint64_t derive_seed(std::uint64_t seed, std::uint64_t index) {
  Random mixer(seed ^ (index * 0xD1B54A32D192ED03ULL));
  mixer.next();
  return mixer.next();
}

}  // namespace oxu::snapshot_gen
