#include "oxu/exchange/encoding/scheduled_program.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <string>
#include <vector>

#include "oxu/exchange/instruction_words.hpp"
#include "oxu/exchange/row_timing.hpp"

namespace oxu::exchange::encoding {
namespace {

using Words = std::vector<std::uint32_t>;
using Senders = std::vector<ScheduledSenderRow>;
using Events = std::vector<ReceiveEvent>;

constexpr std::uint32_t kReturn = kReturnWord;

// Controls as the topology writes them; the wait fields are deliberately
// not zero, since the encoder must replace them.
ReceiveEvent source(std::uint32_t cycle, std::uint32_t id = 5) {
  return {.cycle = cycle, .word = xpic_control_word(7, id), .kind = ReceiveEventKind::Source};
}
ReceiveEvent teardown(std::uint32_t cycle) {
  return {.cycle = cycle, .word = xpic_control_word(3, kXpicTeardownValue), .kind = ReceiveEventKind::Teardown};
}
ReceiveEvent paired_source(std::uint32_t cycle, std::uint32_t id) {
  return {.cycle = cycle, .word = xpic_control_word(1, kXpicPairedFlag | id), .kind = ReceiveEventKind::PairedSource};
}
ReceiveEvent pointer(std::uint32_t cycle, std::uint32_t value = 0x100) {
  return {.cycle = cycle, .word = pic_control_word(5, value), .kind = ReceiveEventKind::Pointer};
}
ReceiveEvent paired_pointer(std::uint32_t cycle, std::uint32_t value = 0x100) {
  return {.cycle = cycle, .word = pic_control_word(5, value), .kind = ReceiveEventKind::PairedPointer};
}

// A sender row of `words` payload words (an Explicit send of up to 64 and
// an Offset send of the rest) that starts sending at `start`.
ScheduledSenderRow sender(std::uint32_t start, std::uint32_t words, std::uint32_t control = 1,
                          std::uint32_t address_field = 0) {
  ExchangeRow row{};
  std::size_t at = 0;
  row[at++] = kSyncWord;
  const std::uint32_t initial = std::min(words, kMaxExplicitSendWords);
  row[at++] = explicit_send_word(initial, control) | (address_field << 3);
  if (words > initial) row[at++] = offset_send_word(words - initial, control);
  row[at++] = kReturnWord;
  return {.words = row, .start_cycle = start, .end_cycle = start + words};
}

// A sender row with explicit words and timing, for malformed rows.
ScheduledSenderRow raw_sender(std::uint32_t start, std::uint32_t end, std::initializer_list<std::uint32_t> words) {
  ExchangeRow row{};
  std::copy(words.begin(), words.end(), row.begin());
  return {.words = row, .start_cycle = start, .end_cycle = end};
}

std::expected<Words, ExchangeError> encode(const Senders& senders, const Events& events, std::uint32_t horizon,
                                           const PreviousEncoding& previous = {}) {
  auto encoded = build_scheduled_program(senders, events, horizon, previous);
  if (!encoded) return std::unexpected(encoded.error());
  return encoded->words.to_vector();
}

struct ProgramCase {
  const char* name;
  Senders senders;
  Events events;
  std::uint32_t horizon;
  Words words;
};

TEST(ScheduledProgramTest, EncodesPrograms) {
  const ProgramCase cases[] = {
      {"empty tile", {}, {}, 0, {kReturn}},
      {"delay up to the horizon", {}, {}, 0x80005, {0x40A7FFFF, 0x40A00004, kReturn}},
      {"xpic control beyond its longest wait",
       {},
       {source(5000, 0x123)},
       6000,
       {0x40A00387, 0x67FFC123, 0x40A003E7, kReturn}},
      {"pic control beyond its longest wait", {}, {pointer(200)}, 200, {0x40A00047, 0x63F80100, kReturn}},
      {"control pair at an even index",
       {},
       {source(10), pointer(20), source(20, 9)},
       30,
       {0x64024005, 0x40A00008, 0xF1400000, 0x00240100, kReturn}},
      {"control pair after an extra delay word",
       {},
       {source(10), teardown(15), source(20, 9), pointer(20)},
       30,
       {0x64024005, 0x64010640, 0x40A00002, 0x40A00000, 0xF1400000, 0x00240100, kReturn}},
      {"control pair right after a control",
       {},
       {source(10), teardown(15), pointer(16), source(16, 9)},
       30,
       {0x64024005, 0x64010640, 0xF1C00000, 0x00240100, kReturn}},
      {"control pair lasts at most 64 cycles",
       {},
       {pointer(10), source(10, 9)},
       200,
       {0x40A00007, 0x40A00000, 0xF7E00000, 0x00240100, 0x40A0007E, kReturn}},
      {"control pair ends before the next control",
       {},
       {pointer(10), source(10, 9), source(14)},
       14,
       {0x40A00007, 0x40A00000, 0xF0600000, 0x00240100, 0x64000005, kReturn}},
      {"payload of 100 words", {sender(10, 100, 3, 0x40)}, {}, 110, {0x40A00009, 0x7FE00203, 0x74600003, kReturn}},
      {"payload is split again into a 64-word initial send",
       {raw_sender(0, 100, {kSyncWord, explicit_send_word(10, 2), offset_send_word(90, 2), kReturnWord})},
       {},
       100,
       {0x7FE00002, 0x74600002, kReturn}},
      {"control takes effect as the send starts",
       {sender(10, 20)},
       {source(10)},
       30,
       {0x64024005, 0x7A600001, kReturn}},
      {"control pair takes effect as the send starts",
       {sender(10, 20)},
       {pointer(10), source(10, 9)},
       30,
       {0x40A00007, 0x40A00000, 0xF0000000, 0x00240100, 0x7A600001, kReturn}},
      {"control rides on the last payload word",
       {sender(10, 100)},
       {pointer(110, 0x123)},
       110,
       {0x40A00009, 0x7FE00001, 0x74400001, 0x70180123, kReturn}},
      {"paired xpic control rides on the payload",
       {sender(0, 10)},
       {paired_source(5, 0x55)},
       10,
       {0x78600001, 0x70B40055, kReturn}},
      // Pieces [64, 1] at an odd word count become [1, 63, 1].
      {"initial send shrinks for an aligned SENDPICP",
       {sender(10, 200, 1, 0x100)},
       {pointer(76, 0x20), source(76, 9)},
       210,
       {0x40A00009, 0x78000801, 0x77C00001, 0x70000001, 0xF7E00A09, 0x00240020, 0x70C04001, kReturn}},
      // The Pic send before the pair stops one word early so that the
      // payload word left over can align the SENDPICP.
      {"control leaves a payload word before a SENDPICP",
       {sender(1, 100)},
       {pointer(4, 0x30), pointer(20, 0x40), source(20, 9)},
       101,
       {0x40A00000, 0x78200001, 0x71D80030, 0x70000001, 0xF7E00091, 0x00240040, 0x72200001, kReturn}},
  };
  for (const ProgramCase& c : cases) {
    const auto words = encode(c.senders, c.events, c.horizon);
    ASSERT_TRUE(words) << c.name << ": " << words.error().message();
    EXPECT_EQ(*words, c.words) << c.name;
  }
}

TEST(ScheduledProgramTest, SendpicpStandsAtEvenWordIndexes) {
  const Events events = {source(10), teardown(15), source(20, 9), pointer(20)};
  const auto words = encode({}, events, 30);
  ASSERT_TRUE(words);
  for (std::size_t i = 0; i < words->size(); ++i) {
    if (is_sendpicp_word((*words)[i])) {
      EXPECT_EQ(i % 2, 0u);
      ++i;  // steps over the second word
    }
  }
}

struct ErrorCase {
  const char* name;
  Senders senders;
  Events events;
  std::uint32_t horizon;
  const char* reason;
};

TEST(ScheduledProgramTest, RejectsUnencodableSchedules) {
  const ErrorCase cases[] = {
      {"two sources at one cycle", {}, {source(10), source(10, 9)}, 20, "incompatible simultaneous receive controls"},
      {"source and teardown at one cycle",
       {},
       {source(10), teardown(10)},
       20,
       "incompatible simultaneous receive controls"},
      {"paired pointer with a source",
       {},
       {paired_pointer(10), source(10)},
       20,
       "incompatible simultaneous receive controls"},
      {"pointer with a paired source",
       {},
       {pointer(10), paired_source(10, 3)},
       20,
       "incompatible simultaneous receive controls"},
      {"two pointers", {}, {pointer(10), pointer(10, 4)}, 20, "incompatible simultaneous receive controls"},
      {"three controls", {}, {pointer(10), source(10), teardown(10)}, 20, "incompatible simultaneous receive controls"},
      {"simultaneous controls inside a send",
       {sender(0, 40)},
       {source(20), source(20, 9)},
       40,
       "incompatible simultaneous receive controls"},
      {"control at phase entry", {}, {source(0)}, 10, "receive control issue interval"},
      {"events out of order", {}, {source(10), teardown(5)}, 20, "receive event order"},
      {"event word is not a control",
       {},
       {{.cycle = 10, .word = 0x12345678, .kind = ReceiveEventKind::Source}},
       20,
       "receive timed event"},
      {"control pair at phase entry", {}, {pointer(0), source(0)}, 10, "receive control at phase entry"},
      {"control pair after a later control", {}, {source(10), pointer(5), source(5)}, 20, "plan delay order"},
      {"horizon at the control pair's start", {}, {pointer(10), source(10)}, 9, "empty SENDPICP interval"},
      {"horizon before the control pair's start", {}, {pointer(10), source(10)}, 8, "receive control order"},
      {"horizon before the last control", {}, {source(10)}, 5, "plan delay order"},
      {"overlapping senders", {sender(10, 20), sender(20, 20)}, {}, 40, "plan delay order"},
      {"control pair one cycle after an odd word count",
       {},
       {source(10), pointer(11), source(11)},
       20,
       "SENDPICP instruction alignment"},
      {"no room for an extra delay word",
       {},
       {source(10), teardown(15), pointer(17), source(17)},
       20,
       "SENDPICP instruction alignment"},
      {"single payload word at the wrong parity",
       {sender(10, 20)},
       {source(5), pointer(12), source(12)},
       30,
       "SENDPICP instruction alignment"},
      {"no payload word left to align",
       {sender(0, 20)},
       {pointer(3), source(5), pointer(6), teardown(6)},
       20,
       "SENDPICP instruction alignment"},
      {"control one cycle after the send starts",
       {sender(10, 20)},
       {pointer(11)},
       30,
       "unencodable initial send control"},
      {"control pair one cycle after the send starts",
       {sender(10, 20)},
       {pointer(11), source(11)},
       30,
       "unencodable initial send control"},
      {"control after the payload",
       {raw_sender(10, 40, {kSyncWord, explicit_send_word(10, 1), kReturnWord})},
       {pointer(25)},
       40,
       "send control beyond payload"},
      {"send ends before its end cycle",
       {raw_sender(10, 25, {kSyncWord, explicit_send_word(10, 1), kReturnWord})},
       {},
       25,
       "sender payload horizon"},
      {"two initial sends",
       {raw_sender(0, 20, {kSyncWord, explicit_send_word(10, 1), explicit_send_word(10, 1), kReturnWord})},
       {},
       20,
       "multiple initial sends"},
      {"no initial send",
       {raw_sender(0, 10, {kSyncWord, offset_send_word(10, 1), kReturnWord})},
       {},
       10,
       "sender payload"},
      {"SENDPICP source beyond the address field",
       {sender(0, 40, 1, 0x3FFF0)},
       {pointer(21), source(21)},
       40,
       "SENDPICP operand"},
  };
  for (const ErrorCase& c : cases) {
    const auto words = encode(c.senders, c.events, c.horizon);
    ASSERT_FALSE(words) << c.name;
    EXPECT_EQ(words.error(), ExchangeError::schedule(c.reason)) << c.name << ": " << words.error().message();
  }
}

// A tile with many sends and receives, all encodable.
struct BusyTile {
  Senders senders;
  Events events;
  std::uint32_t horizon = 0;
};

BusyTile busy_tile(std::uint32_t blocks) {
  BusyTile tile;
  for (std::uint32_t block = 0; block < blocks; ++block) {
    const std::uint32_t base = block * 300;
    tile.senders.push_back(sender(base + 10, 100, 1, block));
    for (const ReceiveEvent& event :
         {pointer(base + 60), source(base + 60, 9), teardown(base + 90), source(base + 150), pointer(base + 160),
          teardown(base + 200), pointer(base + 220), source(base + 220, 11)}) {
      tile.events.push_back(event);
    }
    tile.horizon = base + 300;
  }
  return tile;
}

TEST(ScheduledProgramTest, ResumingUnchangedScheduleSharesThePreviousWords) {
  const BusyTile tile = busy_tile(40);
  auto first = build_scheduled_program(tile.senders, tile.events, tile.horizon, {});
  ASSERT_TRUE(first) << first.error().message();
  const auto previous = std::make_shared<const EncodedSchedule>(*std::move(first));
  ASSERT_GT(previous->words.size(), 3 * kChunkSize);

  const auto again = build_scheduled_program(
      tile.senders, tile.events, tile.horizon,
      {.encoding = previous, .sender_dirty_from = tile.senders.size(), .receive_dirty_from = tile.events.size()});
  ASSERT_TRUE(again);
  EXPECT_EQ(again->words.to_vector(), previous->words.to_vector());
  EXPECT_EQ(again->checkpoints.to_vector(), previous->checkpoints.to_vector());
  // Only the chunk holding the final delay and Return is rewritten.
  EXPECT_GE(again->words.shared_chunks_with(previous->words), previous->words.size() / kChunkSize - 1);
  EXPECT_GE(again->checkpoints.shared_chunks_with(previous->checkpoints),
            previous->checkpoints.size() / kChunkSize - 1);
}

TEST(ScheduledProgramTest, ResumesOnlyBeforeTheDirtyIndexes) {
  const BusyTile tile = busy_tile(10);
  auto first = build_scheduled_program(tile.senders, tile.events, tile.horizon, {});
  ASSERT_TRUE(first);
  const auto previous = std::make_shared<const EncodedSchedule>(*std::move(first));

  // The same cycles with a different source, and a different send address.
  BusyTile changed = tile;
  changed.events[19].word = xpic_control_word(0, 0x77);
  changed.senders[4].words[1] = explicit_send_word(64, 1) | (0x999 << 3);
  const auto expected = encode(changed.senders, changed.events, changed.horizon);
  ASSERT_TRUE(expected);

  const auto honest = encode(changed.senders, changed.events, changed.horizon,
                             {.encoding = previous, .sender_dirty_from = 4, .receive_dirty_from = 19});
  ASSERT_TRUE(honest);
  EXPECT_EQ(*honest, *expected);

  // With indexes that claim nothing changed, the old words are reused: the
  // encoder resumes, so the indexes are what keeps the result right.
  const auto trusting = encode(
      changed.senders, changed.events, changed.horizon,
      {.encoding = previous, .sender_dirty_from = changed.senders.size(), .receive_dirty_from = changed.events.size()});
  ASSERT_TRUE(trusting);
  EXPECT_EQ(*trusting, previous->words.to_vector());
  EXPECT_NE(*trusting, *expected);
}

// Changes after a checkpoint that each invalidate it for another reason;
// resuming from it would give other words or a spurious error.
struct ResumeCase {
  const char* name;
  Senders old_senders;
  Events old_events;
  std::uint32_t old_horizon;
  Senders senders;
  Events events;
  std::uint32_t horizon;
  std::size_t sender_dirty_from;
  std::size_t receive_dirty_from;
};

TEST(ScheduledProgramTest, ResumedEncodingEqualsEncodingFromScratch) {
  const ResumeCase cases[] = {
      {"changed sender row", {sender(10, 20, 1, 0x10)}, {}, 30, {sender(10, 20, 1, 0x20)}, {}, 30, 0, 0},
      {"changed event", {}, {source(10)}, 20, {}, {source(10, 6)}, 20, 0, 0},
      {"send inserted before the checkpoint's cycle", {}, {source(10)}, 100, {sender(5, 20)}, {source(10)}, 100, 0, 1},
      {"event inserted at the checkpoint's cycle", {}, {source(10)}, 100, {}, {source(10), pointer(10)}, 100, 0, 1},
      {"event inserted inside the interval of a control pair",
       {},
       {pointer(10), source(10)},
       40,
       {},
       {pointer(10), source(10), source(50)},
       60,
       0,
       2},
      {"horizon moved after a control pair",
       {},
       {pointer(10), source(10)},
       40,
       {},
       {pointer(10), source(10)},
       60,
       0,
       2},
      {"send appended after everything",
       {sender(10, 20)},
       {source(40), pointer(40)},
       80,
       {sender(10, 20), sender(200, 30)},
       {source(40), pointer(40), pointer(250)},
       230 + 20,
       1,
       2},
  };
  for (const ResumeCase& c : cases) {
    auto first = build_scheduled_program(c.old_senders, c.old_events, c.old_horizon, {});
    ASSERT_TRUE(first) << c.name << ": " << first.error().message();
    const PreviousEncoding previous{.encoding = std::make_shared<const EncodedSchedule>(*std::move(first)),
                                    .sender_dirty_from = c.sender_dirty_from,
                                    .receive_dirty_from = c.receive_dirty_from};
    const auto scratch = encode(c.senders, c.events, c.horizon);
    const auto resumed = encode(c.senders, c.events, c.horizon, previous);
    ASSERT_TRUE(scratch) << c.name << ": " << scratch.error().message();
    ASSERT_TRUE(resumed) << c.name << ": " << resumed.error().message();
    EXPECT_EQ(*resumed, *scratch) << c.name;
  }
}

TEST(ScheduledProgramTest, FailedEncodingLeavesThePreviousEncodingAlone) {
  const BusyTile tile = busy_tile(3);
  auto first = build_scheduled_program(tile.senders, tile.events, tile.horizon, {});
  ASSERT_TRUE(first);
  const auto previous = std::make_shared<const EncodedSchedule>(*std::move(first));
  const Words before = previous->words.to_vector();

  BusyTile broken = tile;
  broken.events.push_back(source(tile.horizon + 10));
  broken.events.push_back(source(tile.horizon + 10, 9));
  broken.horizon += 20;
  const auto result = build_scheduled_program(
      broken.senders, broken.events, broken.horizon,
      {.encoding = previous, .sender_dirty_from = tile.senders.size(), .receive_dirty_from = tile.events.size()});
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), ExchangeError::schedule("incompatible simultaneous receive controls"));
  EXPECT_EQ(previous->words.to_vector(), before);
}

}  // namespace
}  // namespace oxu::exchange::encoding
