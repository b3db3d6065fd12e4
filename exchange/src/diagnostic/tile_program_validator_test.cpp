#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "oxu/exchange/diagnostic/plan_program.hpp"
#include "oxu/exchange/events.hpp"
#include "oxu/exchange/instruction_words.hpp"
#include "oxu/exchange/tile_program_schedule.hpp"
#include "tile_program_check.hpp"

namespace oxu::exchange::diagnostic {
namespace {

using Words = std::vector<std::uint32_t>;

ScheduledSenderRow sender(std::uint32_t start, std::uint32_t end) { return {ExchangeRow{}, start, end}; }

ReceiveEvent event(std::uint32_t cycle, std::uint32_t word, ReceiveEventKind kind) { return {cycle, word, kind}; }

// Word builders; waits are in cycles.
constexpr std::uint32_t xpic_control(std::uint32_t wait, std::uint32_t value) {
  return xpic_control_word(wait - 1, value);
}
constexpr std::uint32_t pic_control(std::uint32_t wait, std::uint32_t value) {
  return pic_control_word(wait - 1, value);
}
constexpr std::uint32_t pic_send_with_xpic(std::uint32_t words, std::uint32_t value) {
  return 0x70100000 | ((words - 1) << 21) | (((value >> 13) & 1) << 18) | (value & 0x1FFF);
}
constexpr std::uint32_t sendpicp_first(std::uint32_t words, std::uint32_t pic_value, std::uint32_t control) {
  return 0xF0000000 | (((pic_value >> 18) & 1) << 27) | ((words - 1) << 21) | control;
}
constexpr std::uint32_t sendpicp_second(std::uint32_t xpic_value, std::uint32_t pic_value) {
  return (xpic_value << 18) | (pic_value & 0x3FFFF);
}

constexpr std::uint32_t kTeardownXpic = xpic_control(1, kXpicTeardownValue);

struct Case {
  const char* name;
  std::vector<ScheduledSenderRow> senders;
  std::vector<ReceiveEvent> events;
  std::uint32_t horizon;
  Words words;
  const char* reason;  // nullptr: the program matches its schedule
};

TEST(TileProgramValidator, ChecksProgramsAgainstTheirSchedules) {
  const Case cases[] = {
      {"untouched tile", {}, {}, 0, {kReturnWord}, nullptr},
      {"no words at all", {}, {}, 0, {}, nullptr},
      {"one message", {sender(10, 13)}, {}, 13, {kSyncWord, delay_word(10), explicit_send_word(3, 3), kReturnWord},
       nullptr},
      {"message continued by an offset send",
       {sender(10, 174)},
       {},
       174,
       {delay_word(10), explicit_send_word(64, 3), offset_send_word(100, 3), kReturnWord},
       nullptr},
      {"two messages back to back",
       {sender(10, 13), sender(13, 16)},
       {},
       16,
       {delay_word(10), explicit_send_word(3, 1), explicit_send_word(3, 2), kReturnWord},
       nullptr},
      {"timed controls take effect at their end; the wait is not compared",
       {},
       {event(9, xpic_control(1, 7), ReceiveEventKind::Source),
        event(12, pic_control(1, 0x100), ReceiveEventKind::Pointer)},
       12,
       {delay_word(4), xpic_control(5, 7), pic_control(3, 0x100), kReturnWord},
       nullptr},
      {"a control carried by a send takes effect one cycle after it starts",
       {sender(10, 15)},
       {event(14, kTeardownXpic, ReceiveEventKind::Teardown)},
       15,
       {delay_word(10), explicit_send_word(3, 3), pic_send_with_xpic(2, kXpicTeardownValue), kReturnWord},
       nullptr},
      {"sendpicp controls compare in sorted order",
       {},
       {event(11, pic_control(1, 0x40001), ReceiveEventKind::PairedFormat),
        event(11, xpic_control(1, 0x2005), ReceiveEventKind::PairedSource)},
       11,
       {delay_word(10), sendpicp_first(1, 0x40001, 0), sendpicp_second(0x2005, 0x40001), kReturnWord},
       nullptr},
      {"sendpicp with send control 0 leaves a gap in the message",
       {sender(10, 16)},
       {event(14, pic_control(1, 5), ReceiveEventKind::Pointer), event(14, xpic_control(1, 9), ReceiveEventKind::Source)},
       16,
       {delay_word(10), explicit_send_word(3, 3), sendpicp_first(1, 5, 0), sendpicp_second(9, 5),
        offset_send_word(2, 3), kReturnWord},
       "encoded sender interval mismatch"},
      {"sendpicp that sends continues the message",
       {sender(10, 16)},
       {event(14, pic_control(1, 5), ReceiveEventKind::Pointer), event(14, xpic_control(1, 9), ReceiveEventKind::Source)},
       16,
       {delay_word(10), explicit_send_word(3, 3), sendpicp_first(1, 5, 3), sendpicp_second(9, 5),
        offset_send_word(2, 3), kReturnWord},
       nullptr},
      {"horizon differs", {sender(10, 13)}, {}, 14, {delay_word(10), explicit_send_word(3, 3), kReturnWord},
       "encoded tile horizon mismatch"},
      {"unknown word", {sender(10, 13)}, {}, 13, {delay_word(10), explicit_send_word(3, 3), 0, kReturnWord},
       "unknown encoded exchange instruction"},
      {"horizon checked before unknown words", {}, {}, 5, {0, kReturnWord}, "encoded tile horizon mismatch"},
      {"decoding error passed on", {}, {}, 0, {kReturnWord, 0xF0000000}, "truncated SENDPICP payload"},
      {"control one cycle late",
       {sender(10, 15)},
       {event(15, kTeardownXpic, ReceiveEventKind::Teardown)},
       15,
       {delay_word(10), explicit_send_word(3, 3), pic_send_with_xpic(2, kXpicTeardownValue), kReturnWord},
       "encoded incoming-control mismatch"},
      {"control missing from the schedule", {}, {}, 3, {xpic_control(3, 7), kReturnWord},
       "encoded incoming-control mismatch"},
      {"control missing from the program", {}, {event(3, xpic_control(1, 7), ReceiveEventKind::Source)}, 3,
       {delay_word(3), kReturnWord}, "encoded incoming-control mismatch"},
      {"control on the other stream", {}, {event(3, pic_control(1, 7), ReceiveEventKind::Pointer)}, 3,
       {xpic_control(3, 7), kReturnWord}, "encoded incoming-control mismatch"},
      {"paired flag of an xpic value is compared", {}, {event(3, xpic_control(1, 7), ReceiveEventKind::Source)}, 3,
       {xpic_control(3, 0x2007), kReturnWord}, "encoded incoming-control mismatch"},
      {"unknown words checked before controls", {}, {event(3, xpic_control(1, 7), ReceiveEventKind::Source)}, 3,
       {delay_word(3), 0, kReturnWord}, "unknown encoded exchange instruction"},
      {"controls checked before sender rows", {sender(10, 14)}, {event(3, xpic_control(1, 7), ReceiveEventKind::Source)},
       13, {delay_word(10), explicit_send_word(3, 3), kReturnWord}, "encoded incoming-control mismatch"},
      {"send starts before its row", {sender(11, 13)}, {}, 13, {delay_word(10), explicit_send_word(3, 3), kReturnWord},
       "encoded sender interval mismatch"},
      {"send ends before its row", {sender(10, 14)}, {}, 14,
       {delay_word(10), explicit_send_word(3, 3), delay_word(1), kReturnWord}, "encoded sender interval mismatch"},
      {"gap inside a message", {sender(10, 18)}, {}, 18,
       {delay_word(10), explicit_send_word(3, 3), delay_word(2), offset_send_word(3, 3), kReturnWord},
       "encoded sender interval mismatch"},
      {"row without any send", {sender(10, 13), sender(20, 25)}, {}, 25,
       {delay_word(10), explicit_send_word(3, 3), delay_word(12), kReturnWord}, "encoded sender interval mismatch"},
      {"one send across two rows", {sender(10, 13), sender(13, 16)}, {}, 16,
       {delay_word(10), explicit_send_word(6, 3), kReturnWord}, "encoded sender interval mismatch"},
      {"sender rows checked before stray sends", {sender(10, 14)}, {}, 22,
       {delay_word(10), explicit_send_word(3, 3), delay_word(7), explicit_send_word(2, 3), kReturnWord},
       "encoded sender interval mismatch"},
      {"send without a row", {}, {}, 13, {delay_word(10), explicit_send_word(3, 3), kReturnWord},
       "unexpected encoded outgoing interval"},
      {"send after the last row", {sender(10, 13)}, {}, 22,
       {delay_word(10), explicit_send_word(3, 3), delay_word(7), explicit_send_word(2, 3), kReturnWord},
       "unexpected encoded outgoing interval"},
      {"pic send without a row is an outgoing interval",
       {},
       {event(6, xpic_control(1, 7), ReceiveEventKind::Source)},
       7,
       {delay_word(5), pic_send_with_xpic(2, 7), kReturnWord},
       "unexpected encoded outgoing interval"},
      {"sending sendpicp without a row",
       {},
       {event(1, pic_control(1, 5), ReceiveEventKind::Pointer), event(1, xpic_control(1, 9), ReceiveEventKind::Source)},
       1,
       {sendpicp_first(1, 5, 3), sendpicp_second(9, 5), kReturnWord},
       "unexpected encoded outgoing interval"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto result = check_tile_program(7, c.senders, c.events, c.horizon, c.words);
    if (c.reason == nullptr) {
      ASSERT_TRUE(result.has_value()) << result.error().debug();
      EXPECT_EQ(*result, *diagnose_plan_program(c.words, std::nullopt));
    } else {
      ASSERT_FALSE(result.has_value());
      EXPECT_EQ(result.error(), ExchangeError::schedule(c.reason));
    }
  }
}

TEST(TileProgramValidator, ReadsTheTileSchedule) {
  const TileProgramSchedule untouched;
  const Words return_only = {kReturnWord};
  const auto valid = validate_tile_program(0, untouched, return_only);
  ASSERT_TRUE(valid.has_value()) << valid.error().debug();
  EXPECT_EQ(valid->render(), "word+0 cycles=0..0 Return\n");

  const Words delayed = {delay_word(1), kReturnWord};
  const auto invalid = validate_tile_program(0, untouched, delayed);
  ASSERT_FALSE(invalid.has_value());
  EXPECT_EQ(invalid.error(), ExchangeError::schedule("encoded tile horizon mismatch"));
}

TEST(TileProgramValidator, ChecksAgainstAppendedRows) {
  // A send of 3 words at cycle 5, then a 4-word receive placed at 20: source
  // at 21, pointer at 22, teardown moved to the stream end at 25, horizon 26.
  TileProgramSchedule schedule;
  const ExchangeRow sender_row = {kSyncWord, delay_word(5), explicit_send_word(3, 3), kReturnWord, 0, 0, 0, 0, 0};
  ASSERT_TRUE(schedule.append_sender_at(sender_row, 0).has_value());
  const ExchangeRow receiver_row = {kSyncWord,   xpic_control(1, 5), pic_control(1, 0x40), kTeardownXpic,
                                    kReturnWord, 0,                  0,                    0,             0};
  const auto window = schedule.append_receiver_at(receiver_row, 20, 4);
  ASSERT_TRUE(window.has_value()) << window.error().debug();
  ASSERT_EQ(schedule.horizon(), 26u);

  const Words program = {delay_word(5),       explicit_send_word(3, 3), delay_word(12),
                         xpic_control(1, 5),  pic_control(1, 0x40),     xpic_control(3, kXpicTeardownValue),
                         delay_word(1),       kReturnWord};
  const auto valid = validate_tile_program(3, schedule, program);
  EXPECT_TRUE(valid.has_value()) << valid.error().debug();

  // The teardown where the row had it, not at the stream end.
  const Words early_teardown = {delay_word(5),      explicit_send_word(3, 3), delay_word(12),
                                xpic_control(1, 5), pic_control(1, 0x40),     kTeardownXpic,
                                delay_word(3),      kReturnWord};
  const auto invalid = validate_tile_program(3, schedule, early_teardown);
  ASSERT_FALSE(invalid.has_value());
  EXPECT_EQ(invalid.error(), ExchangeError::schedule("encoded incoming-control mismatch"));
}

// Collects the events emitted while it is installed.
class EventRecorder {
 public:
  EventRecorder() { events::install_consumer(&EventRecorder::record, this); }
  ~EventRecorder() { events::install_consumer(nullptr, nullptr); }
  EventRecorder(const EventRecorder&) = delete;
  EventRecorder& operator=(const EventRecorder&) = delete;

  [[nodiscard]] const std::vector<events::Event>& recorded() const { return events_; }

 private:
  static void record(const events::Event& event, void* context) {
    static_cast<EventRecorder*>(context)->events_.push_back(event);
  }
  std::vector<events::Event> events_;
};

struct ExpectedField {
  const char* name;
  events::FieldValue value;
};

struct MismatchCase {
  const char* name;
  std::vector<ReceiveEvent> events;
  std::vector<ExpectedField> fields;
};

TEST(TileProgramValidator, MismatchEventShowsTheControlsAroundIt) {
  // Five one-cycle Xpic controls: values 10..14 take effect at cycles 1..5.
  Words words;
  std::vector<ReceiveEvent> matching;
  for (std::uint32_t i = 0; i < 5; ++i) {
    words.push_back(xpic_control(1, 10 + i));
    matching.push_back(event(i + 1, xpic_control(1, 10 + i), ReceiveEventKind::Source));
  }
  words.push_back(kReturnWord);
  std::vector<ReceiveEvent> last_differs = matching;
  last_differs[4].word = xpic_control(1, 99);
  const std::vector<ReceiveEvent> two_only(matching.begin(), matching.begin() + 2);
  const std::string all_five = "[(1, Xpic, 10), (2, Xpic, 11), (3, Xpic, 12), (4, Xpic, 13), (5, Xpic, 14)]";

  const MismatchCase cases[] = {
      {"last control differs",
       last_differs,
       {{"tile", std::uint64_t{7}},
        {"first_mismatch", std::uint64_t{4}},
        {"actual_len", std::uint64_t{5}},
        {"expected_len", std::uint64_t{5}},
        {"actual", std::string("(5, Xpic, 14)")},
        {"expected", std::string("(5, Xpic, 99)")},
        {"actual_window", std::string("[(2, Xpic, 11), (3, Xpic, 12), (4, Xpic, 13), (5, Xpic, 14)]")},
        {"expected_window", std::string("[(2, Xpic, 11), (3, Xpic, 12), (4, Xpic, 13), (5, Xpic, 99)]")}}},
      {"schedule has fewer controls",
       two_only,
       {{"tile", std::uint64_t{7}},
        {"first_mismatch", std::uint64_t{2}},
        {"actual_len", std::uint64_t{5}},
        {"expected_len", std::uint64_t{2}},
        {"actual", std::string("(3, Xpic, 12)")},
        {"expected", std::string("none")},
        {"actual_window", all_five},
        {"expected_window", std::string("[(1, Xpic, 10), (2, Xpic, 11)]")}}},
      {"schedule has no controls",
       {},
       {{"tile", std::uint64_t{7}},
        {"first_mismatch", std::uint64_t{0}},
        {"actual_len", std::uint64_t{5}},
        {"expected_len", std::uint64_t{0}},
        {"actual", std::string("(1, Xpic, 10)")},
        {"expected", std::string("none")},
        {"actual_window", std::string("[(1, Xpic, 10), (2, Xpic, 11), (3, Xpic, 12), (4, Xpic, 13)]")},
        {"expected_window", std::string("[]")}}},
  };
  for (const MismatchCase& c : cases) {
    SCOPED_TRACE(c.name);
    EventRecorder recorder;
    const auto result = check_tile_program(7, {}, c.events, 5, words);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), ExchangeError::schedule("encoded incoming-control mismatch"));
    ASSERT_EQ(recorder.recorded().size(), 1u);
    const events::Event& emitted = recorder.recorded()[0];
    EXPECT_EQ(emitted.level, events::Level::Debug);
    EXPECT_EQ(emitted.target, "oxu_exchange::diagnostic");
    EXPECT_EQ(emitted.message, "encoded incoming controls differ from the phase schedule");
    ASSERT_EQ(emitted.fields.size(), c.fields.size());
    for (std::size_t i = 0; i < c.fields.size(); ++i) {
      EXPECT_EQ(emitted.fields[i].name, c.fields[i].name);
      EXPECT_EQ(emitted.fields[i].value, c.fields[i].value) << c.fields[i].name;
    }
  }
}

TEST(TileProgramValidator, MatchingProgramEmitsNothing) {
  EventRecorder recorder;
  const Words words = {xpic_control(3, 7), kReturnWord};
  const std::vector<ReceiveEvent> events = {event(3, xpic_control(1, 7), ReceiveEventKind::Source)};
  ASSERT_TRUE(check_tile_program(0, {}, events, 3, words).has_value());
  EXPECT_TRUE(recorder.recorded().empty());
}

}  // namespace
}  // namespace oxu::exchange::diagnostic
