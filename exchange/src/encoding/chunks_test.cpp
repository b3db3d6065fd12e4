#include "oxu/exchange/encoding/chunks.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace oxu::exchange::encoding {
namespace {

Chunks<std::uint32_t> iota_chunks(std::size_t length) {
  Chunks<std::uint32_t> chunks;
  for (std::size_t i = 0; i < length; ++i) chunks.push(static_cast<std::uint32_t>(i));
  return chunks;
}

std::vector<std::uint32_t> iota_vector(std::size_t length) {
  std::vector<std::uint32_t> out;
  for (std::size_t i = 0; i < length; ++i) out.push_back(static_cast<std::uint32_t>(i));
  return out;
}

TEST(ChunksTest, PushAndReadAcrossChunkBoundaries) {
  for (const std::size_t length : {0u, 1u, 127u, 128u, 129u, 256u, 300u}) {
    const Chunks<std::uint32_t> chunks = iota_chunks(length);
    EXPECT_EQ(chunks.size(), length);
    EXPECT_EQ(chunks.empty(), length == 0);
    EXPECT_EQ(chunks.to_vector(), iota_vector(length)) << length;
    for (std::size_t i = 0; i < length; ++i) ASSERT_EQ(chunks[i], i);
  }
}

TEST(ChunksTest, ExtendPushesBothInOrder) {
  Chunks<std::uint32_t> chunks = iota_chunks(127);
  chunks.extend(1000, 1001);  // straddles the chunk boundary
  ASSERT_EQ(chunks.size(), 129u);
  EXPECT_EQ(chunks[127], 1000u);
  EXPECT_EQ(chunks[128], 1001u);
}

TEST(ChunksTest, CopiesShareChunksUntilWritten) {
  const Chunks<std::uint32_t> original = iota_chunks(300);
  Chunks<std::uint32_t> copy = original;
  EXPECT_EQ(copy.shared_chunks_with(original), 3u);

  // Appending to the copy makes only its partial last chunk private.
  copy.push(7);
  EXPECT_EQ(copy.shared_chunks_with(original), 2u);
  EXPECT_EQ(original.size(), 300u);
  EXPECT_EQ(original.to_vector(), iota_vector(300));
  EXPECT_EQ(copy[300], 7u);

  // A write to the original after the copy does not show in the copy.
  Chunks<std::uint32_t> writer = original;
  const Chunks<std::uint32_t> reader = writer;
  writer.push(9);
  EXPECT_EQ(reader.size(), 300u);
  EXPECT_EQ(reader.to_vector(), iota_vector(300));
}

TEST(ChunksTest, PushAfterFullChunkStartsANewOneAndKeepsSharing) {
  const Chunks<std::uint32_t> original = iota_chunks(256);
  Chunks<std::uint32_t> copy = original;
  copy.push(1);
  EXPECT_EQ(copy.shared_chunks_with(original), 2u);
  EXPECT_EQ(original.size(), 256u);
}

struct TruncateCase {
  std::size_t length;
  std::size_t cut;
  std::size_t shared_after;  // chunks still shared with the untouched original
};

TEST(ChunksTest, TruncationKeepsThePrefixAndCopiesAtMostOneChunk) {
  const TruncateCase cases[] = {
      // A cut inside a chunk makes that chunk private, even at the end.
      {300, 300, 2}, {300, 256, 2}, {300, 255, 1}, {300, 129, 1}, {300, 128, 1},
      {300, 1, 0},   {300, 0, 0},   {128, 64, 0},  {256, 256, 2},
  };
  for (const TruncateCase& c : cases) {
    const Chunks<std::uint32_t> original = iota_chunks(c.length);
    Chunks<std::uint32_t> cut = original;
    cut.truncate(c.cut);
    EXPECT_EQ(cut.size(), c.cut);
    EXPECT_EQ(cut.to_vector(), iota_vector(c.cut)) << c.cut;
    EXPECT_EQ(cut.shared_chunks_with(original), c.shared_after) << c.cut;
    EXPECT_EQ(original.to_vector(), iota_vector(c.length)) << "original changed by cut " << c.cut;

    // Growing the truncated copy again overwrites nothing of the original.
    cut.push(0xABCD);
    EXPECT_EQ(cut[c.cut], 0xABCDu);
    EXPECT_EQ(original.to_vector(), iota_vector(c.length));
  }
}

TEST(ChunksTest, MovedFromSequenceIsEmptyAndUsable) {
  Chunks<std::uint32_t> source = iota_chunks(130);
  Chunks<std::uint32_t> target = std::move(source);
  EXPECT_EQ(target.size(), 130u);
  EXPECT_EQ(source.size(), 0u);  // NOLINT(bugprone-use-after-move): moving empties the source
  source.push(5);
  EXPECT_EQ(source.to_vector(), std::vector<std::uint32_t>{5});

  Chunks<std::uint32_t> assigned;
  assigned = std::move(target);
  EXPECT_EQ(assigned.to_vector(), iota_vector(130));
  EXPECT_TRUE(target.empty());  // NOLINT(bugprone-use-after-move)
}

TEST(ChunksDeathTest, TruncationBeyondLengthEndsTheProcess) {
  Chunks<std::uint32_t> chunks = iota_chunks(3);
  EXPECT_DEATH(chunks.truncate(4), "chunk truncation beyond length");
}

}  // namespace
}  // namespace oxu::exchange::encoding
