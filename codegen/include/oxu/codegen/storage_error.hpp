#pragma once
// Tensor-storage errors of the wider compiler. This program raises none of
// them; they exist so that ExchangeLoweringError keeps its full vocabulary.

#include <cstdint>
#include <string>

namespace oxu::codegen {

// Operand roles of AMP matrix storage.
enum class AmpOrder : std::uint8_t { Left, TransposedLeft, TransposedRight, Output, TransposedOutput };

// Block shape of block-major storage.
struct BlockMajorOrder {
  enum class Kind : std::uint8_t { Matrix, TransposedMatrix };
  Kind kind = Kind::Matrix;
  std::uint32_t row_block = 0;
  std::uint32_t column_block = 0;
  friend bool operator==(const BlockMajorOrder&, const BlockMajorOrder&) = default;
};

struct StorageError {
  enum class Kind : std::uint8_t { WrongShard, InvalidView, MatrixRank, AmpBlock, BlockMajorBlock, Overflow };
  Kind kind = Kind::WrongShard;
  AmpOrder role = AmpOrder::Left;   // AmpBlock only
  BlockMajorOrder order{};          // BlockMajorBlock only

  [[nodiscard]] std::string message() const;
  [[nodiscard]] std::string debug() const;
  friend bool operator==(const StorageError&, const StorageError&) = default;
};

[[nodiscard]] std::string debug_string(AmpOrder role);
[[nodiscard]] std::string debug_string(const BlockMajorOrder& order);

}  // namespace oxu::codegen
