#include "oxu/exchange/error.hpp"

#include <gtest/gtest.h>

namespace oxu::exchange {
namespace {

struct Case {
  ExchangeError error;
  const char* message;
  const char* debug;
};

TEST(ExchangeErrorTest, MessagesAndDebugForms) {
  const Case cases[] = {
      {ExchangeError::validation_budget_exceeded(), "exchange incremental-encoding work budget exhausted",
       "ValidationBudgetExceeded"},
      {ExchangeError::tile(7), "logical tile 7 is out of range", "Tile(7)"},
      {ExchangeError::duplicate_tile(), "exchange endpoints must be distinct", "DuplicateTile"},
      {ExchangeError::count(0), "exchange count 0 is outside 1..=4148", "Count(0)"},
      {ExchangeError::count(63), "exchange count 63 is outside 1..=4148", "Count(63)"},
      {ExchangeError::receiver_set(), "invalid multicast receiver set", "ReceiverSet"},
      {ExchangeError::schedule("sender delay"), "exchange schedule is not encodable: sender delay",
       "Schedule(\"sender delay\")"},
      {ExchangeError::plan_offset_range(5, 4),
       "exchange event offset 5 cycles from the phase-entry sync exceeds the encodable maximum of 4 cycles",
       "PlanOffsetRange { cycles: 5, maximum: 4 }"},
      {ExchangeError::address(4097), "tile address 0x1001 is not encodable", "Address(4097)"},
      {ExchangeError::host_packet(), "host exchange address or length is not encodable", "HostPacket"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.error.message(), c.message);
    EXPECT_EQ(c.error.debug(), c.debug);
  }
}

TEST(ExchangeErrorTest, ScheduleReasonsCompareByText) {
  const std::string dynamic = "sender delay";
  EXPECT_EQ(ExchangeError::schedule("sender delay"), ExchangeError::schedule(dynamic));
  EXPECT_NE(ExchangeError::schedule("sender delay"), ExchangeError::schedule("sender payload"));
  EXPECT_NE(ExchangeError::tile(1), ExchangeError::count(1));
}

TEST(ExchangeErrorTest, DebugQuotingEscapes) {
  EXPECT_EQ(debug_quoted("a \"b\" \\ c\n"), "\"a \\\"b\\\" \\\\ c\\n\"");
}

}  // namespace
}  // namespace oxu::exchange
