#include "oxu/exchange/events.hpp"

#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace oxu::exchange::events {
namespace {

class EventsTest : public ::testing::Test {
 protected:
  void TearDown() override { install_consumer(nullptr, nullptr); }

  static void record(const Event& event, void* context) { static_cast<std::vector<Event>*>(context)->push_back(event); }

  std::vector<Event> seen;
};

TEST_F(EventsTest, InstalledConsumerSeesLevelTargetMessageAndFields) {
  install_consumer(&EventsTest::record, &seen);
  ASSERT_TRUE(consumer_installed());
  const std::vector<std::uint16_t> tiles = {4, 9};
  const std::int32_t delta = -3;
  OXU_EVENT(Level::Info, "oxu_exchange", "something happened", {"count", std::uint32_t{12}}, {"delta", delta},
            {"flag", true}, {"name", "text"}, {"tiles", std::span<const std::uint16_t>(tiles)});
  ASSERT_EQ(seen.size(), 1U);
  const Event& event = seen[0];
  EXPECT_EQ(event.level, Level::Info);
  EXPECT_EQ(event.target, "oxu_exchange");
  EXPECT_EQ(event.message, "something happened");
  ASSERT_EQ(event.fields.size(), 5U);
  const std::pair<const char*, FieldValue> expected[] = {
      {"count", std::uint64_t{12}},
      {"delta", std::int64_t{-3}},
      {"flag", true},
      {"name", std::string("text")},
      {"tiles", std::vector<std::uint64_t>{4, 9}},
  };
  for (std::size_t i = 0; i < event.fields.size(); ++i) {
    EXPECT_EQ(event.fields[i].name, expected[i].first);
    EXPECT_EQ(event.fields[i].value, expected[i].second) << expected[i].first;
  }

  OXU_EVENT(Level::Debug, "oxu_exchange", "no fields");
  ASSERT_EQ(seen.size(), 2U);
  EXPECT_TRUE(seen[1].fields.empty());
}

TEST_F(EventsTest, WithoutConsumerFieldsAreNotEvaluated) {
  int evaluations = 0;
  const auto expensive = [&evaluations] {
    ++evaluations;
    return std::uint32_t{1};
  };
  EXPECT_FALSE(consumer_installed());
  OXU_EVENT(Level::Error, "oxu_exchange", "dropped", {"value", expensive()});
  EXPECT_EQ(evaluations, 0);

  install_consumer(&EventsTest::record, &seen);
  OXU_EVENT(Level::Error, "oxu_exchange", "kept", {"value", expensive()});
  EXPECT_EQ(evaluations, 1);
  ASSERT_EQ(seen.size(), 1U);

  // Removing the consumer stops both delivery and evaluation.
  install_consumer(nullptr, nullptr);
  EXPECT_FALSE(consumer_installed());
  OXU_EVENT(Level::Error, "oxu_exchange", "dropped again", {"value", expensive()});
  EXPECT_EQ(evaluations, 1);
  EXPECT_EQ(seen.size(), 1U);
}

TEST_F(EventsTest, ReplacingTheConsumerRoutesToTheNewContext) {
  std::vector<Event> other;
  install_consumer(&EventsTest::record, &seen);
  install_consumer(&EventsTest::record, &other);
  OXU_EVENT(Level::Warn, "oxu_exchange", "routed");
  EXPECT_TRUE(seen.empty());
  ASSERT_EQ(other.size(), 1U);
  EXPECT_EQ(other[0].message, "routed");
}

}  // namespace
}  // namespace oxu::exchange::events
