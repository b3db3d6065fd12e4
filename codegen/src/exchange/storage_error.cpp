#include "oxu/codegen/storage_error.hpp"

#include <fmt/format.h>

namespace oxu::codegen {

std::string debug_string(AmpOrder role) {
  switch (role) {
    case AmpOrder::Left: return "Left";
    case AmpOrder::TransposedLeft: return "TransposedLeft";
    case AmpOrder::TransposedRight: return "TransposedRight";
    case AmpOrder::Output: return "Output";
    case AmpOrder::TransposedOutput: return "TransposedOutput";
  }
  return {};
}

std::string debug_string(const BlockMajorOrder& order) {
  const char* name = order.kind == BlockMajorOrder::Kind::Matrix ? "Matrix" : "TransposedMatrix";
  return fmt::format("{} {{ row_block: {}, column_block: {} }}", name, order.row_block, order.column_block);
}

std::string StorageError::message() const {
  switch (kind) {
    case Kind::WrongShard: return "view does not refer to the supplied shard";
    case Kind::InvalidView: return "view extents are not a valid subset of the shard";
    case Kind::MatrixRank: return "matrix storage requires a tensor of rank at least two";
    case Kind::AmpBlock:
      return fmt::format("AMP {} storage dimensions are incompatible with its block shape", debug_string(role));
    case Kind::BlockMajorBlock:
      return fmt::format("block-major {} storage dimensions are incompatible with its block shape",
                         debug_string(order));
    case Kind::Overflow: return "tensor storage size overflowed";
  }
  return {};
}

std::string StorageError::debug() const {
  switch (kind) {
    case Kind::WrongShard: return "WrongShard";
    case Kind::InvalidView: return "InvalidView";
    case Kind::MatrixRank: return "MatrixRank";
    case Kind::AmpBlock: return fmt::format("AmpBlock {{ role: {} }}", debug_string(role));
    case Kind::BlockMajorBlock: return fmt::format("BlockMajorBlock {{ order: {} }}", debug_string(order));
    case Kind::Overflow: return "Overflow";
  }
  return {};
}

}  // namespace oxu::codegen
