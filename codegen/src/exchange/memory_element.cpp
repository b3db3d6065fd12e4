#include "oxu/codegen/memory_element.hpp"

#include "oxu/exchange/checked.hpp"

namespace oxu::codegen {

using exchange::saturating_add;
using exchange::saturating_mul;

ExchangeMemoryElement ExchangeMemoryElement::of_address(std::uint32_t address) {
  if (address < kHighMemoryBase) return {false, address / kLowElementBytes};
  return {true, (address - kHighMemoryBase) / kHighElementBytes};
}

std::uint32_t ExchangeMemoryElement::next_start() const {
  const std::uint32_t base = high ? kHighMemoryBase : 0;
  const std::uint32_t size = high ? kHighElementBytes : kLowElementBytes;
  return saturating_add(base, saturating_mul(saturating_add(index, 1), size));
}

std::vector<ExchangeMemoryElement> span_memory_elements(std::uint32_t start, std::uint32_t words) {
  std::vector<ExchangeMemoryElement> elements;
  const std::uint32_t end = saturating_add(start, saturating_mul(words, 4));
  for (std::uint32_t cursor = start; cursor < end;) {
    const ExchangeMemoryElement element = ExchangeMemoryElement::of_address(cursor);
    elements.push_back(element);
    const std::uint32_t next = element.next_start();
    if (next >= end) break;
    cursor = next;
  }
  return elements;
}

bool spans_share_effective_memory_element(std::uint32_t first_start, std::uint32_t first_words,
                                          std::uint32_t second_start, std::uint32_t second_words) {
  const auto first = span_memory_elements(first_start, first_words);
  const auto second = span_memory_elements(second_start, second_words);
  // Both lists are ascending and free of duplicates: a merge finds a common element.
  auto a = first.begin();
  auto b = second.begin();
  while (a != first.end() && b != second.end()) {
    if (*a == *b) return true;
    if (*a < *b) {
      ++a;
    } else {
      ++b;
    }
  }
  return false;
}

}  // namespace oxu::codegen
