#include "oxu/exchange/tile_program_schedule.hpp"

#include <algorithm>

#include <gtest/gtest.h>

namespace oxu::exchange {
namespace {

// Sync, a lead-in delay, an Explicit send of `words` words, Return: at
// offset o the send runs over [o + delay, o + delay + words).
ExchangeRow sender_row(std::uint32_t delay, std::uint32_t words) {
  ExchangeRow row{};
  std::size_t i = 0;
  row[i++] = kSyncWord;
  if (delay > 0) row[i++] = delay_word(delay);
  row[i++] = explicit_send_word(words, 1);
  row[i++] = kReturnWord;
  return row;
}

// An ordinary receiver row for `count` < 52 words: the source switches at
// t + 1, the teardown count cycles later, the pointer at t + 1 + count + 42.
ExchangeRow receiver_row(std::uint32_t t, std::uint32_t count, std::uint32_t source = 5) {
  return ExchangeRow{kSyncWord,
                     xpic_control_word(t, source),
                     xpic_control_word(count - 1, kXpicTeardownValue),
                     pic_control_word((51 - count) & 127, 0x14000),
                     delay_word(count + 5),
                     kReturnWord,
                     0,
                     0,
                     0};
}

std::size_t count_kind(const TileProgramSchedule& tile, ReceiveEventKind kind) {
  return static_cast<std::size_t>(std::count_if(tile.receive_events().begin(), tile.receive_events().end(),
                                                [kind](const ReceiveEvent& e) { return e.kind == kind; }));
}

TEST(TileProgramScheduleTest, SenderRowsMustNotOverlap) {
  TileProgramSchedule tile;
  ASSERT_TRUE(tile.append_sender_at(sender_row(10, 8), 0).has_value());  // [10, 18)
  EXPECT_EQ(tile.append_sender_at(sender_row(10, 4), 0), std::unexpected(ExchangeError::schedule("overlapping outgoing messages")));
  EXPECT_EQ(tile.append_sender_at(sender_row(5, 6), 0), std::unexpected(ExchangeError::schedule("overlapping outgoing messages")));
  ASSERT_TRUE(tile.append_sender_at(sender_row(18, 2), 0).has_value());  // starts at the other's end
  ASSERT_TRUE(tile.append_sender_at(sender_row(4, 6), 0).has_value());   // ends at the first's start
  ASSERT_EQ(tile.senders().size(), 3U);
  EXPECT_EQ(tile.senders()[0].start_cycle, 4U);
  EXPECT_EQ(tile.senders()[1].start_cycle, 10U);
  EXPECT_EQ(tile.senders()[2].start_cycle, 18U);
  EXPECT_EQ(tile.horizon(), 20U);
}

TEST(TileProgramScheduleTest, SendMayNotStartNextToAnIncomingControl) {
  struct Case {
    std::uint32_t send_start;
    bool accepted;
  };
  // The receiver row's source control takes effect at cycle 11.
  const Case cases[] = {{10, false}, {11, false}, {9, true}, {12, true}};
  for (const Case& c : cases) {
    TileProgramSchedule tile;
    ASSERT_TRUE(tile.append_receiver_at(receiver_row(10, 10), 0, 10).has_value());
    const auto before = tile.receive_events();
    const auto appended = tile.append_sender_at(sender_row(c.send_start, 1), 0);
    EXPECT_EQ(appended.has_value(), c.accepted) << c.send_start;
    if (!c.accepted) {
      EXPECT_EQ(appended, std::unexpected(ExchangeError::schedule("unencodable initial send control")));
      EXPECT_TRUE(tile.senders().empty());
      EXPECT_EQ(tile.receive_events(), before);
    }
  }
}

TEST(TileProgramScheduleTest, OverlappingReceiveStreamFailsAndChangesNothing) {
  TileProgramSchedule tile;
  ASSERT_TRUE(tile.append_receiver_at(receiver_row(3, 10), 100, 10).has_value());  // stream [104, 114)
  const auto events = tile.receive_events();
  const auto state = tile.receive_state();
  const auto horizon = tile.horizon();
  EXPECT_EQ(tile.append_receiver_at(receiver_row(3, 10), 105, 10),
            std::unexpected(ExchangeError::schedule("overlapping receive streams")));
  EXPECT_EQ(tile.receive_events(), events);
  EXPECT_EQ(tile.receive_state(), state);
  EXPECT_EQ(tile.horizon(), horizon);
}

TEST(TileProgramScheduleTest, BackToBackReceivesKeepTheMuxConnected) {
  TileProgramSchedule tile;
  const auto first = tile.append_receiver_at(receiver_row(3, 10), 0, 10);
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(first->stream_start, 4U);
  EXPECT_EQ(first->stream_end, 14U);
  // The second stream starts where the first ended.
  const auto second = tile.append_receiver_at(receiver_row(3, 10), 10, 10);
  ASSERT_TRUE(second.has_value());
  EXPECT_EQ(second->stream_start, 14U);
  EXPECT_EQ(count_kind(tile, ReceiveEventKind::Teardown), 1U);
  EXPECT_EQ(count_kind(tile, ReceiveEventKind::Source), 2U);
  EXPECT_TRUE(std::is_sorted(tile.receive_events().begin(), tile.receive_events().end(),
                             [](const ReceiveEvent& a, const ReceiveEvent& b) { return a.cycle < b.cycle; }));
  ASSERT_TRUE(tile.receive_state().has_value());
  EXPECT_EQ(tile.receive_state()->stream_end, 24U);

  // With a gap, both teardowns stay.
  TileProgramSchedule gapped;
  ASSERT_TRUE(gapped.append_receiver_at(receiver_row(3, 10), 0, 10).has_value());
  ASSERT_TRUE(gapped.append_receiver_at(receiver_row(3, 10), 11, 10).has_value());
  EXPECT_EQ(count_kind(gapped, ReceiveEventKind::Teardown), 2U);
}

TEST(TileProgramScheduleTest, AppendMovesTheCachedEncodingAside) {
  TileProgramSchedule tile;
  ASSERT_TRUE(tile.append_sender_at(sender_row(10, 8), 0).has_value());
  ASSERT_TRUE(tile.append_sender_at(sender_row(40, 8), 0).has_value());
  const auto first = tile.encoded();
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(tile.encoded().value(), *first) << "a second call returns the cached encoding";

  ASSERT_TRUE(tile.append_sender_at(sender_row(25, 4), 0).has_value());  // inserted at index 1
  EXPECT_EQ(tile.cached_encoding(), nullptr);
  EXPECT_EQ(tile.previous_encoding(), *first);
  EXPECT_LE(tile.sender_dirty_from(), 1U);
  EXPECT_EQ(tile.receive_dirty_from(), 0U);

  // A second append without an encoding in between keeps the same previous
  // encoding; the dirty index only goes down.
  ASSERT_TRUE(tile.append_sender_at(sender_row(60, 4), 0).has_value());
  EXPECT_EQ(tile.previous_encoding(), *first);
  EXPECT_LE(tile.sender_dirty_from(), 1U);
  EXPECT_TRUE(tile.encoded().has_value());
}

TEST(TileProgramScheduleTest, CopiesShareEncodingsButNotChanges) {
  TileProgramSchedule tile;
  ASSERT_TRUE(tile.append_sender_at(sender_row(10, 8), 0).has_value());
  const auto encoding = tile.encoded();
  ASSERT_TRUE(encoding.has_value());

  TileProgramSchedule copy = tile;
  EXPECT_EQ(copy.cached_encoding(), *encoding);
  ASSERT_TRUE(copy.append_sender_at(sender_row(30, 8), 0).has_value());
  EXPECT_EQ(tile.cached_encoding(), *encoding);
  EXPECT_EQ(tile.senders().size(), 1U);
  EXPECT_EQ(copy.previous_encoding(), *encoding);
  const auto copied = copy.encoded();
  ASSERT_TRUE(copied.has_value());
  EXPECT_NE(*copied, *encoding);
}

TEST(TileProgramScheduleTest, HoldRaisesBusyAndHorizon) {
  TileProgramSchedule tile;
  tile.hold_until(50);
  EXPECT_EQ(tile.busy_until(), 50U);
  EXPECT_EQ(tile.horizon(), 50U);
  tile.hold_until(20);
  EXPECT_EQ(tile.busy_until(), 50U);
}

TEST(TileProgramScheduleTest, EmptyScheduleEncodesToReturn) {
  const TileProgramSchedule tile;
  const auto encoding = tile.encoded();
  ASSERT_TRUE(encoding.has_value());
  EXPECT_EQ((*encoding)->words.to_vector(), std::vector<std::uint32_t>{kReturnWord});
}

}  // namespace
}  // namespace oxu::exchange
