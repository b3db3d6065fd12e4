// Arbitrary bytes as little-endian instruction words through the program
// decoder, without a base and with one taken from the first four bytes, and
// each listing rendered. Nothing may crash on any input.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "oxu/exchange/diagnostic/plan_program.hpp"

namespace {

void decode_and_render(const std::vector<std::uint32_t>& words, std::optional<std::uint32_t> base) {
  const auto diagnostic = oxu::exchange::diagnostic::diagnose_plan_program(words, base);
  if (diagnostic) {
    (void)diagnostic->render();
  } else {
    (void)diagnostic.error().message();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint32_t> words(size / 4);
  for (std::size_t i = 0; i < words.size(); ++i) {
    const std::uint8_t* bytes = data + 4 * i;
    words[i] = std::uint32_t{bytes[0]} | (std::uint32_t{bytes[1]} << 8) | (std::uint32_t{bytes[2]} << 16) |
               (std::uint32_t{bytes[3]} << 24);
  }
  decode_and_render(words, std::nullopt);
  decode_and_render(words, words.empty() ? 0 : words[0]);
  return 0;
}
