#pragma once
// SplitMix64: the deterministic generator of the project's property tests
// and benchmark inputs (the same sequence on every machine, unlike the
// standard distributions).

#include <cstdint>

namespace oxu::testing {

class SplitMix64 {
 public:
  explicit SplitMix64(std::uint64_t seed) : state_(seed) {}

  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  // In [0, bound), bound > 0; the modulo bias is irrelevant for test inputs.
  std::uint32_t below(std::uint32_t bound) { return static_cast<std::uint32_t>(next() % bound); }
  // In [low, high].
  std::uint32_t between(std::uint32_t low, std::uint32_t high) { return low + below(high - low + 1); }
  // True with a probability of `percent` in 100.
  bool percent(std::uint32_t percent) { return below(100) < percent; }

 private:
  std::uint64_t state_;
};

}  // namespace oxu::testing
