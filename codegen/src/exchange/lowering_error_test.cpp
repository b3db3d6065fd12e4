#include "oxu/codegen/lowering_error.hpp"

#include <gtest/gtest.h>

namespace oxu::codegen {
namespace {

using exchange::ExchangeError;

struct Case {
  ExchangeLoweringError error;
  const char* message;
  const char* debug;
};

TEST(ExchangeLoweringErrorTest, MessagesAndDebugForms) {
  const Case cases[] = {
      {ExchangeError::tile(7), "logical tile 7 is out of range", "Exchange(Tile(7))"},
      {ExchangeError::schedule("sender delay"), "exchange schedule is not encodable: sender delay",
       "Exchange(Schedule(\"sender delay\"))"},
      {ExchangeLoweringError(StorageError{StorageError::Kind::WrongShard}),
       "view does not refer to the supplied shard", "Storage(WrongShard)"},
      {ExchangeLoweringError::unplaced_shard(), "exchange refers to an unplaced shard", "UnplacedShard"},
      {ExchangeLoweringError::invalid_destination(), "exchange destination is not writable", "InvalidDestination"},
      {ExchangeLoweringError::unaligned_payload(), "exchange payload is not a nonempty whole number of words",
       "UnalignedPayload"},
      {ExchangeLoweringError::size_mismatch(), "exchange source and destination byte counts differ", "SizeMismatch"},
      {ExchangeLoweringError::overflow(), "exchange address arithmetic overflowed", "Overflow"},
      {ExchangeLoweringError::incompatible_repeat_rows(), "structured-repeat exchange rows have incompatible shapes",
       "IncompatibleRepeatRows"},
      {ExchangeLoweringError::diagnostic_tile(12), "exchange diagnostic refers to missing tile 12",
       "DiagnosticTile(12)"},
      {ExchangeLoweringError::invalid_snapshot("duplicate phase 4"),
       "invalid exchange-schedule snapshot: duplicate phase 4", "InvalidSnapshot(\"duplicate phase 4\")"},
      {ExchangeLoweringError::invariant("tile 3 \"x\""), "exchange-schedule invariant failed: tile 3 \"x\"",
       "Invariant(\"tile 3 \\\"x\\\"\")"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.error.message(), c.message);
    EXPECT_EQ(c.error.debug(), c.debug);
  }
}

TEST(ExchangeLoweringErrorTest, StorageErrorTexts) {
  struct StorageCase {
    StorageError error;
    const char* message;
    const char* debug;
  };
  const StorageCase cases[] = {
      {{StorageError::Kind::InvalidView}, "view extents are not a valid subset of the shard", "InvalidView"},
      {{StorageError::Kind::MatrixRank}, "matrix storage requires a tensor of rank at least two", "MatrixRank"},
      {{StorageError::Kind::AmpBlock, AmpOrder::Left}, "AMP Left storage dimensions are incompatible with its block shape",
       "AmpBlock { role: Left }"},
      {{StorageError::Kind::AmpBlock, AmpOrder::TransposedOutput},
       "AMP TransposedOutput storage dimensions are incompatible with its block shape",
       "AmpBlock { role: TransposedOutput }"},
      {{StorageError::Kind::BlockMajorBlock, AmpOrder::Left, {BlockMajorOrder::Kind::Matrix, 2, 3}},
       "block-major Matrix { row_block: 2, column_block: 3 } storage dimensions are incompatible with its block shape",
       "BlockMajorBlock { order: Matrix { row_block: 2, column_block: 3 } }"},
      {{StorageError::Kind::BlockMajorBlock, AmpOrder::Left, {BlockMajorOrder::Kind::TransposedMatrix, 1, 8}},
       "block-major TransposedMatrix { row_block: 1, column_block: 8 } storage dimensions are incompatible with its "
       "block shape",
       "BlockMajorBlock { order: TransposedMatrix { row_block: 1, column_block: 8 } }"},
      {{StorageError::Kind::Overflow}, "tensor storage size overflowed", "Overflow"},
  };
  for (const StorageCase& c : cases) {
    EXPECT_EQ(c.error.message(), c.message);
    EXPECT_EQ(c.error.debug(), c.debug);
    EXPECT_EQ(ExchangeLoweringError(c.error).message(), c.message);
  }
}

}  // namespace
}  // namespace oxu::codegen
