#include "oxu/codegen/memory_element.hpp"

#include <gtest/gtest.h>

namespace oxu::codegen {
namespace {

constexpr ExchangeMemoryElement low(std::uint32_t index) { return {false, index}; }
constexpr ExchangeMemoryElement high(std::uint32_t index) { return {true, index}; }

TEST(MemoryElementTest, ElementOfAddress) {
  const std::pair<std::uint32_t, ExchangeMemoryElement> cases[] = {
      {0x0, low(0)},       {0x3FFF, low(0)},   {0x4000, low(1)},          {0x7FFFF, low(31)},
      {0x80000, high(0)},  {0x87FFF, high(0)}, {0x88000, high(1)},        {0xFFFFFFFF, high(0x1FFEF)},
  };
  for (const auto& [address, element] : cases) EXPECT_EQ(ExchangeMemoryElement::of_address(address), element) << address;
}

TEST(MemoryElementTest, OrderPutsLowBeforeHigh) {
  EXPECT_LT(low(31), high(0));
  EXPECT_LT(low(1), low(2));
  EXPECT_LT(high(1), high(2));
}

TEST(MemoryElementTest, SpanElements) {
  struct Case {
    std::uint32_t start;
    std::uint32_t words;
    std::vector<ExchangeMemoryElement> elements;
  };
  const Case cases[] = {
      {0x100, 0, {}},
      {0x100, 16, {low(0)}},
      {0x3FFC, 1, {low(0)}},
      {0x3FFC, 2, {low(0), low(1)}},
      {0x7E000, 4096, {low(31), high(0)}},
      {0x3FF8, 4148, {low(0), low(1), low(2)}},
      {0x7FFFC, 2, {low(31), high(0)}},
      // The end saturates at 0xFFFFFFFF, so the last element is still reached.
      {0xFFFFFFF0, 4, {high(0x1FFEF)}},
      {0xFFFF0000, 0x40000000, {high(0x1FFEE), high(0x1FFEF)}},
  };
  for (const Case& c : cases) EXPECT_EQ(span_memory_elements(c.start, c.words), c.elements) << std::hex << c.start;
}

TEST(MemoryElementTest, SpanWithHugeWordCountRunsToTheTop) {
  const auto elements = span_memory_elements(0, 0x40000000);
  ASSERT_FALSE(elements.empty());
  EXPECT_EQ(elements.front(), low(0));
  EXPECT_EQ(elements.back(), high(0x1FFEF));
  EXPECT_EQ(elements.size(), 32U + 0x1FFF0U);
}

TEST(MemoryElementTest, SharedElements) {
  struct Case {
    std::uint32_t a_start, a_words, b_start, b_words;
    bool shared;
  };
  const Case cases[] = {
      {0x0, 1, 0x3FFC, 1, true},        // disjoint bytes, same element
      {0x3FFC, 1, 0x4000, 1, false},    // neighbouring elements
      {0x0, 0, 0x0, 1, false},          // empty first span
      {0x0, 1, 0x0, 0, false},          // empty second span
      {0x7E000, 4096, 0x80000, 1, true},
      {0x80000, 1, 0x88000, 1, false},
      {0x3FF8, 4148, 0x8000, 1, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(spans_share_effective_memory_element(c.a_start, c.a_words, c.b_start, c.b_words), c.shared)
        << std::hex << c.a_start << " " << c.b_start;
  }
}

}  // namespace
}  // namespace oxu::codegen
