#include "oxu/codegen/pending_transfer.hpp"

#include <gtest/gtest.h>

namespace oxu::codegen {
namespace {

constexpr std::uint16_t kTiles = 16;

ExchangeScheduleTransfer word32(std::uint16_t source, std::vector<std::uint32_t> sources,
                                std::vector<ExchangeScheduleDestination> destinations, std::uint32_t words) {
  return {source, std::move(sources), std::move(destinations), words, ExchangeItemWidth::Word32};
}

ExchangeScheduleTransfer paired(std::uint16_t source, std::vector<std::uint32_t> sources,
                                std::vector<ExchangeScheduleDestination> destinations, std::uint32_t words) {
  return {source, std::move(sources), std::move(destinations), words, ExchangeItemWidth::Paired64};
}

ExchangeLoweringError invalid(std::string text) { return ExchangeLoweringError::invalid_snapshot(std::move(text)); }

struct RejectCase {
  const char* name;
  ExchangeScheduleTransfer transfer;
  ExchangeLoweringError error;
};

TEST(PendingFromProblemTest, RejectsInvalidTransfersInCheckOrder) {
  const RejectCase cases[] = {
      {"source outside", word32(16, {0}, {{1, 0}}, 4), invalid("phase 9 transfer 1 has source tile 16 outside 0..16")},
      {"zero words", word32(0, {0}, {{1, 0}}, 0), invalid("phase 9 transfer 1 has invalid word count 0")},
      {"too many words", word32(0, {0}, {{1, 0}}, 4149), invalid("phase 9 transfer 1 has invalid word count 4149")},
      {"word count before address", word32(0, {2}, {{1, 0}}, 8192),
       invalid("phase 9 transfer 1 has invalid word count 8192")},
      {"paired too small", paired(0, {0}, {{2, 0}, {3, 0}}, 126),
       invalid("phase 9 transfer 1 has invalid 126-word paired payload")},
      {"paired small and odd", paired(0, {0}, {{2, 0}, {3, 0}}, 127),
       invalid("phase 9 transfer 1 has invalid 127-word paired payload")},
      {"paired odd", paired(0, {0}, {{2, 0}, {3, 0}}, 129),
       invalid("phase 9 transfer 1 has invalid 129-word paired payload")},
      {"no source addresses", word32(0, {}, {{1, 0}}, 4), invalid("phase 9 transfer 1 has no source addresses")},
      {"unaligned source", word32(0, {0x102}, {{1, 0}}, 4),
       invalid("phase 9 transfer 1 has unaligned source address 0x102")},
      {"paired unaligned source", paired(0, {0x104}, {{2, 0}, {3, 0}}, 128),
       invalid("phase 9 transfer 1 has unaligned source address 0x104")},
      {"source overflow", word32(0, {0xFFFFFFF0}, {{1, 0}}, 5), ExchangeLoweringError::overflow()},
      {"second source checked after first", word32(0, {0xFFFFFFF0, 0x2}, {{1, 0}}, 5),
       ExchangeLoweringError::overflow()},
      {"second source unaligned", word32(0, {0x0, 0x2}, {{1, 0}}, 5),
       invalid("phase 9 transfer 1 has unaligned source address 0x2")},
      {"no destinations", word32(0, {0}, {}, 4), invalid("phase 9 transfer 1 has no destinations")},
      {"destination outside", word32(0, {0}, {{16, 0}}, 4),
       invalid("phase 9 transfer 1 has invalid destination tile 16")},
      {"lone loopback", word32(0, {0}, {{0, 0x10000}}, 4),
       invalid("phase 9 transfer 1 has invalid destination tile 0")},
      {"loopback sharing an element", word32(0, {0}, {{1, 0}, {0, 0x3FF0}}, 4),
       invalid("phase 9 transfer 1 has invalid destination tile 0")},
      {"loopback sharing with a later iteration", word32(0, {0x10000, 0x20000}, {{1, 0}, {0, 0x20100}}, 4),
       invalid("phase 9 transfer 1 has invalid destination tile 0")},
      {"paired loopback", paired(0, {0}, {{2, 0}, {3, 0}, {0, 0x40000}}, 128),
       invalid("phase 9 transfer 1 has invalid destination tile 0")},
      {"repeated destination", word32(0, {0}, {{1, 0}, {2, 0}, {1, 0x100}}, 4),
       invalid("phase 9 transfer 1 has invalid destination tile 1")},
      {"unaligned destination", word32(0, {0}, {{1, 0x6}}, 4),
       invalid("phase 9 transfer 1 has unaligned destination address 0x6")},
      {"paired unaligned destination", paired(0, {0}, {{2, 0x104}, {3, 0}}, 128),
       invalid("phase 9 transfer 1 has unaligned destination address 0x104")},
      {"destination overflow", word32(0, {0}, {{1, 0xFFFFFFFC}}, 2), ExchangeLoweringError::overflow()},
  };
  for (const RejectCase& c : cases) {
    // Transfer 0 is valid; the bad one is transfer 1, and a later bad transfer must not be reached.
    const ExchangeScheduleProblem problem{
        9, {word32(0, {0}, {{1, 0}}, 4), c.transfer, word32(99, {}, {}, 0)}};
    EXPECT_EQ(pending_from_problem(problem, kTiles), std::unexpected(c.error)) << c.name;
  }
}

TEST(PendingFromProblemTest, AcceptsBoundaryTransfers) {
  const ExchangeScheduleTransfer accepted[] = {
      word32(0, {0}, {{1, 0}}, 4148),
      word32(0, {0xFFFFFFF0}, {{1, 0xFFFFFFF0}}, 4),  // spans end exactly at 2^32
      word32(0, {0x104}, {{1, 0x104}}, 1),
      paired(0, {0}, {{2, 0}, {3, 0}}, 128),
      paired(0, {0}, {{2, 0}, {3, 0}}, 130),
      word32(0, {0}, {{1, 0}, {0, 0x4000}}, 4),  // loopback into another element
  };
  for (const auto& transfer : accepted) {
    const ExchangeScheduleProblem problem{1, {transfer}};
    EXPECT_TRUE(pending_from_problem(problem, kTiles).has_value()) << testing::PrintToString(transfer.words);
  }
}

TEST(PendingFromProblemTest, BuildsTheWorkingForm) {
  const ExchangeScheduleProblem problem{
      3,
      {word32(5, {0x100, 0x200}, {{6, 0x40}, {5, 0x8000}}, 16), paired(45, {0x7E000}, {{2, 0}, {3, 8}}, 4096)}};
  const auto pending = pending_from_problem(problem, 64);
  ASSERT_TRUE(pending.has_value());
  ASSERT_EQ(pending->size(), 2U);

  const PendingTransfer& first = (*pending)[0];
  EXPECT_EQ(first.index, 0U);
  EXPECT_EQ(first.origin_tag, 0U);
  EXPECT_EQ(first.source, 5);
  EXPECT_EQ(first.words, 16U);
  EXPECT_EQ(first.paired_tile, std::nullopt);
  EXPECT_EQ(first.source_addresses, (std::vector<std::uint32_t>{0x100, 0x200}));
  EXPECT_EQ(first.destinations, (std::vector<std::pair<std::uint16_t, std::uint32_t>>{{6, 0x40}, {5, 0x8000}}));
  EXPECT_EQ(first.source_elements, (std::vector<ExchangeMemoryElement>{{false, 0}}));
  EXPECT_EQ(first.tiles(), (std::vector<std::uint16_t>{5, 6, 5}));

  const PendingTransfer& second = (*pending)[1];
  EXPECT_EQ(second.index, 1U);
  EXPECT_EQ(second.paired_tile, 44);
  EXPECT_EQ(second.source_elements, (std::vector<ExchangeMemoryElement>{{false, 31}, {true, 0}}));
  EXPECT_EQ(second.tiles(), (std::vector<std::uint16_t>{45, 44, 2, 3}));
  EXPECT_EQ(item_count(second.width, second.words), 2048U);
  EXPECT_EQ(item_count(first.width, first.words), 16U);
}

TEST(PendingFromProblemTest, SourceElementsMergeIterations) {
  PendingTransfer transfer;
  transfer.words = 4148;
  transfer.source_addresses = {0x3FF8, 0x100, 0x90000};
  transfer.refresh_source_elements();
  EXPECT_EQ(transfer.source_elements,
            (std::vector<ExchangeMemoryElement>{{false, 0}, {false, 1}, {false, 2}, {true, 2}}));
}

}  // namespace
}  // namespace oxu::codegen
