// Arbitrary bytes through the snapshot reader and, when they read, through
// snapshot validation. Neither may crash, hang or leak on any input.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "oxu/codegen/snapshot_reader.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto snapshot = oxu::codegen::read_snapshot_text({reinterpret_cast<const char*>(data), size});
  if (snapshot) {
    (void)snapshot->validate();
  } else {
    (void)snapshot.error().display();
  }
  return 0;
}
