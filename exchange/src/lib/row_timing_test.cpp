#include "oxu/exchange/row_timing.hpp"

#include <algorithm>
#include <initializer_list>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace oxu::exchange {

// Readable failure output for the timing records.
[[maybe_unused]] static void PrintTo(const ReceiveEvent& event, std::ostream* os) {
  *os << "{cycle " << event.cycle << ", word 0x" << std::hex << event.word << std::dec << ", kind "
      << static_cast<int>(event.kind) << "}";
}
[[maybe_unused]] static void PrintTo(const SenderRowTiming& t, std::ostream* os) {
  *os << "{start " << t.start_cycle << ", end " << t.end_cycle << ", horizon " << t.horizon << "}";
}

namespace {

using Kind = ReceiveEventKind;

ExchangeRow make_row(std::initializer_list<std::uint32_t> words) {
  ExchangeRow row{};
  std::copy_n(words.begin(), std::min(words.size(), row.size()), row.begin());
  return row;
}

// The two words of a SENDPICP instruction that sends `words` words (address
// and send control left 0).
struct PicPair {
  std::uint32_t first;
  std::uint32_t second;
};
constexpr PicPair sendpicp(std::uint32_t words, bool paired_format, std::uint32_t xpic_value,
                           std::uint32_t pic_value) {
  return {0xF0000000U | (paired_format ? 1U << 27 : 0U) | ((words - 1) << 21), (xpic_value << 18) | pic_value};
}

template <class T>
std::string error_text(const std::expected<T, ExchangeError>& result) {
  return result ? std::string("no error") : result.error().message();
}

std::string reason_text(const char* reason) { return ExchangeError::schedule(reason).message(); }

std::vector<Kind> kinds_of(const std::vector<ReceiveEvent>& events) {
  std::vector<Kind> kinds;
  for (const ReceiveEvent& event : events) kinds.push_back(event.kind);
  return kinds;
}

// Receiver rows as the topology assembles them.

// Point-to-point, count 10, receiver on row 0, source patched with 1409.
const ExchangeRow kPointReceiver10 = make_row({kSyncWord, xpic_control_word(112, 1409),
                                               xpic_control_word(9, kXpicTeardownValue), pic_control_word(41, 0),
                                               delay_word(15), kReturnWord});

// Multicast, count 60, receive cycle T = 20, receiver on row 5, sender 66.
const ExchangeRow kMulticastReceiver60 =
    make_row({kSyncWord, xpic_control_word(20, 66), pic_control_word(61, 0x14000),
              xpic_control_word(7, kXpicTeardownValue), delay_word(57), kReturnWord});

// Paired receive, count 64, P = 10, receiver on row 1 (U = 63), direction 1.
const ExchangeRow kPairedReceiver64 =
    make_row({kSyncWord, xpic_control_word(9, 0x2055), pic_control_word(52, 0x40001), pic_control_word(1, 0),
              xpic_control_word(8, 0x2640), pic_control_word(52, 0x40000), delay_word(7), kReturnWord});

// Paired receive whose source is selected by the partner tile's row.
const ExchangeRow kPairedReceiverNoSource =
    make_row({kSyncWord, pic_control_word(62, 0x40002), pic_control_word(1, 0x100), pic_control_word(62, 0x40000),
              delay_word(7), kReturnWord});

// An ordinary row whose source and pointer come from one SENDPICP at cycle 4.
constexpr PicPair kSourceAndPointer = sendpicp(3, false, 0x123, 0x100);
const ExchangeRow kSendpicpReceiver =
    make_row({kSyncWord, delay_word(4), kSourceAndPointer.first, kSourceAndPointer.second,
              xpic_control_word(9, kXpicTeardownValue), delay_word(3), kReturnWord});

TEST(RowTimingSenderTest, TimesThePayload) {
  struct Case {
    const char* name;
    ExchangeRow row;
    std::uint32_t base;
    SenderRowTiming expected;
  };
  const Case cases[] = {
      {"delay then send", make_row({kSyncWord, delay_word(5), explicit_send_word(3, 1), kReturnWord}), 10, {15, 18, 18}},
      {"point-to-point sender",
       make_row({kSyncWord, delay_word(140), explicit_send_word(10, 1), kReturnWord}),
       0,
       {140, 150, 150}},
      {"offset send and trailing delay",
       make_row({kSyncWord, delay_word(3), explicit_send_word(64, 3), offset_send_word(100, 3), delay_word(7),
                 kReturnWord}),
       0,
       {3, 167, 174}},
      {"Pic send continues without being payload",
       make_row({kSyncWord, explicit_send_word(4, 1), 0x70300000, kReturnWord}),
       0,
       {0, 4, 6}},
      {"first Return ends the row",
       make_row({kSyncWord, explicit_send_word(2, 1), kReturnWord, delay_word(9), kReturnWord}),
       0,
       {0, 2, 2}},
      {"Return in the last word",
       make_row({kSyncWord, delay_word(1), delay_word(1), delay_word(1), delay_word(1), delay_word(1), delay_word(1),
                 explicit_send_word(1, 2), kReturnWord}),
       0,
       {6, 7, 7}},
      {"horizon at the top of the range",
       make_row({kSyncWord, delay_word(2), explicit_send_word(3, 1), kReturnWord}),
       0xFFFFFFFA,
       {0xFFFFFFFC, 0xFFFFFFFF, 0xFFFFFFFF}},
  };
  for (const Case& c : cases) {
    const auto timing = sender_row_timing(c.row, c.base);
    ASSERT_TRUE(timing.has_value()) << c.name << ": " << timing.error().message();
    EXPECT_EQ(*timing, c.expected) << c.name;
  }
}

TEST(RowTimingSenderTest, Errors) {
  struct Case {
    ExchangeRow row;
    std::uint32_t base;
    const char* reason;
  };
  const Case cases[] = {
      {make_row({0x41800000, explicit_send_word(3, 1), kReturnWord}), 0, "sender row entry"},
      {make_row({kReturnWord, explicit_send_word(3, 1), kReturnWord}), 0, "sender row entry"},
      {make_row({kSyncWord, delay_word(2), explicit_send_word(3, 1)}), 0, "sender row return"},
      {make_row({kSyncWord, delay_word(5), kReturnWord}), 0, "sender payload"},
      {make_row({kSyncWord, pic_control_word(3, 0), 0x70300000, kReturnWord}), 0, "sender payload"},
      {make_row({kSyncWord, delay_word(6), explicit_send_word(3, 1), kReturnWord}), 0xFFFFFFFA,
       "sender event horizon overflow"},
      // The clock is checked while walking, before the payload is looked for.
      {make_row({kSyncWord, delay_word(5), kReturnWord}), 0xFFFFFFFF, "sender event horizon overflow"},
  };
  for (const Case& c : cases) EXPECT_EQ(error_text(sender_row_timing(c.row, c.base)), reason_text(c.reason));
}

TEST(RowTimingReceiveTest, ReadsTopologyRows) {
  struct Case {
    const char* name;
    ExchangeRow row;
    std::uint32_t base;
    ReceiveRowTiming expected;
  };
  const Case cases[] = {
      {"point-to-point count 10",
       kPointReceiver10,
       0,
       {.events = {{113, xpic_control_word(112, 1409), Kind::Source},
                   {123, xpic_control_word(9, 0x640), Kind::Teardown},
                   {165, pic_control_word(41, 0), Kind::Pointer}},
        .teardown = 123,
        .source = 113,
        .pointer = 165,
        .pointer_address = 0,
        .end_cycle = 180}},
      {"multicast count 60: pointer at its control's cycle, teardown after it",
       kMulticastReceiver60,
       0,
       {.events = {{21, xpic_control_word(20, 66), Kind::Source},
                   {83, pic_control_word(61, 0x14000), Kind::Pointer},
                   {91, xpic_control_word(7, 0x640), Kind::Teardown}},
        .teardown = 91,
        .source = 21,
        .pointer = 83,
        .pointer_address = 0x50000,
        .end_cycle = 148}},
      {"cycles count from the base",
       kMulticastReceiver60,
       1000,
       {.events = {{1021, xpic_control_word(20, 66), Kind::Source},
                   {1083, pic_control_word(61, 0x14000), Kind::Pointer},
                   {1091, xpic_control_word(7, 0x640), Kind::Teardown}},
        .teardown = 1091,
        .source = 1021,
        .pointer = 1083,
        .pointer_address = 0x50000,
        .end_cycle = 1148}},
      {"paired receive",
       kPairedReceiver64,
       0,
       {.events = {{10, xpic_control_word(9, 0x2055), Kind::PairedSource},
                   {63, pic_control_word(52, 0x40001), Kind::PairedFormat},
                   {65, pic_control_word(1, 0), Kind::PairedPointer},
                   {74, xpic_control_word(8, 0x2640), Kind::PairedTeardown},
                   {127, pic_control_word(52, 0x40000), Kind::PairedFormat}},
        .teardown = 74,
        .source = 10,
        .paired_start = 63,
        .paired_end = 127,
        .pointer = 65,
        .pointer_address = 0,
        .end_cycle = 134,
        .paired = true}},
      {"paired receive without a source of its own",
       kPairedReceiverNoSource,
       0,
       {.events = {{63, pic_control_word(62, 0x40002), Kind::PairedFormat},
                   {65, pic_control_word(1, 0x100), Kind::PairedPointer},
                   {128, pic_control_word(62, 0x40000), Kind::PairedFormat}},
        .paired_start = 63,
        .paired_end = 128,
        .pointer = 65,
        .pointer_address = 0x400,
        .end_cycle = 135,
        .paired = true}},
  };
  for (const Case& c : cases) {
    const auto timing = receive_row_timing(c.row, c.base);
    ASSERT_TRUE(timing.has_value()) << c.name << ": " << timing.error().message();
    EXPECT_EQ(timing->events, c.expected.events) << c.name;
    EXPECT_EQ(*timing, c.expected) << c.name;
  }
}

TEST(RowTimingReceiveTest, SendpicpYieldsTwoEventsOneCycleAfterItStarts) {
  const auto ordinary = receive_row_timing(kSendpicpReceiver, 100);
  ASSERT_TRUE(ordinary.has_value()) << ordinary.error().message();
  const std::vector<ReceiveEvent> expected = {{105, 0x64000123, Kind::Source},
                                              {105, 0x60000100, Kind::Pointer},
                                              {117, xpic_control_word(9, 0x640), Kind::Teardown}};
  EXPECT_EQ(ordinary->events, expected);
  EXPECT_EQ(ordinary->pointer_address, 0x400U);
  EXPECT_EQ(ordinary->end_cycle, 120U);

  // With bit 27 the Pic half starts a paired format; the Xpic half's top bit
  // is the paired flag.
  constexpr PicPair format = sendpicp(2, true, 0x2055, 2);
  const auto paired =
      receive_row_timing(make_row({kSyncWord, format.first, format.second, pic_control_word(3, 0x10),
                                   xpic_control_word(9, 0x2640), pic_control_word(9, 0x40000), kReturnWord}),
                         0);
  ASSERT_TRUE(paired.has_value()) << paired.error().message();
  const std::vector<ReceiveEvent> paired_expected = {{1, 0x64002055, Kind::PairedSource},
                                                     {1, 0x60040002, Kind::PairedFormat},
                                                     {6, pic_control_word(3, 0x10), Kind::PairedPointer},
                                                     {16, xpic_control_word(9, 0x2640), Kind::PairedTeardown},
                                                     {26, pic_control_word(9, 0x40000), Kind::PairedFormat}};
  EXPECT_EQ(paired->events, paired_expected);
  EXPECT_EQ(paired->paired_start, 1U);
  EXPECT_EQ(paired->pointer_address, 0x40U);
  EXPECT_TRUE(paired->paired);

  // The second word is an operand even where it would read as a Delay of 257
  // cycles on its own.
  constexpr PicPair delay_lookalike = sendpicp(1, false, 0x1028, 0x100);
  static_assert(is_delay_word(delay_lookalike.second));
  const auto operand = receive_row_timing(
      make_row({kSyncWord, delay_lookalike.first, delay_lookalike.second, xpic_control_word(0, 0x640), kReturnWord}),
      0);
  ASSERT_TRUE(operand.has_value()) << operand.error().message();
  const std::vector<ReceiveEvent> operand_expected = {{1, 0x64001028, Kind::Source},
                                                      {1, 0x60000100, Kind::Pointer},
                                                      {2, xpic_control_word(0, 0x640), Kind::Teardown}};
  EXPECT_EQ(operand->events, operand_expected);
  EXPECT_EQ(operand->end_cycle, 2U);
}

TEST(RowTimingReceiveTest, Errors) {
  const std::uint32_t source = xpic_control_word(3, 5);
  const std::uint32_t teardown = xpic_control_word(0, kXpicTeardownValue);
  const std::uint32_t pointer = pic_control_word(0, 0);
  struct Case {
    const char* name;
    ExchangeRow row;
    std::uint32_t base;
    const char* reason;
  };
  const Case cases[] = {
      {"other sync code", make_row({0x41800001, source, teardown, pointer, kReturnWord}), 0, "receive row entry"},
      {"no Return", make_row({kSyncWord, source, teardown, pointer}), 0, "receive row return"},
      {"clock wraps", kPointReceiver10, 0xFFFFFFFF - 179, "receive event horizon overflow"},
      {"two sources", make_row({kSyncWord, source, xpic_control_word(3, 7), teardown, pointer, kReturnWord}), 0,
       "multiple receive sources"},
      {"paired and ordinary source",
       make_row({kSyncWord, source, xpic_control_word(3, 0x2007), teardown, pointer, kReturnWord}), 0,
       "multiple receive sources"},
      {"two teardowns", make_row({kSyncWord, source, teardown, teardown, pointer, kReturnWord}), 0,
       "multiple receive teardowns"},
      {"two pointers", make_row({kSyncWord, source, pointer, pic_control_word(0, 4), teardown, kReturnWord}), 0,
       "multiple receive pointers"},
      {"two format starts",
       make_row({kSyncWord, pic_control_word(0, 0x40001), pic_control_word(0, 0x40002),
                 pic_control_word(0, 0x40000), pointer, kReturnWord}),
       0, "multiple paired format starts"},
      {"two format ends",
       make_row({kSyncWord, pic_control_word(0, 0x40001), pic_control_word(0, 0x40000),
                 pic_control_word(0, 0x40000), pointer, kReturnWord}),
       0, "multiple paired format ends"},
      {"format value 3", make_row({kSyncWord, source, pic_control_word(0, 0x40003), teardown, pointer, kReturnWord}),
       0, "paired receive format value"},
      // Events are classified in row order: the first offence wins.
      {"bad format value before two sources",
       make_row({kSyncWord, pic_control_word(0, 0x40003), source, xpic_control_word(3, 7), kReturnWord}), 0,
       "paired receive format value"},
      {"two sources before a bad format value",
       make_row({kSyncWord, source, xpic_control_word(3, 7), pic_control_word(0, 0x40003), kReturnWord}), 0,
       "multiple receive sources"},
      {"format start without end", make_row({kSyncWord, pic_control_word(0, 0x40001), pointer, kReturnWord}), 0,
       "incomplete paired receive format"},
      {"paired source in an ordinary row",
       make_row({kSyncWord, xpic_control_word(3, 0x2005), teardown, pointer, kReturnWord}), 0,
       "incomplete paired receive format"},
      {"paired teardown in an ordinary row",
       make_row({kSyncWord, source, xpic_control_word(0, 0x2640), pointer, kReturnWord}), 0,
       "incomplete paired receive format"},
      {"format end alone does not make a paired row",
       make_row({kSyncWord, xpic_control_word(3, 0x2005), pic_control_word(0, 0x40000), teardown, kReturnWord}), 0,
       "incomplete paired receive format"},
      {"no teardown", make_row({kSyncWord, source, pointer, kReturnWord}), 0, "incomplete ordinary receive mux"},
      {"no source", make_row({kSyncWord, teardown, pointer, kReturnWord}), 0, "incomplete ordinary receive mux"},
      {"no events", make_row({kSyncWord, kReturnWord}), 0, "incomplete ordinary receive mux"},
      {"only a delay", make_row({kSyncWord, delay_word(5), kReturnWord}), 0, "incomplete ordinary receive mux"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(error_text(receive_row_timing(c.row, c.base)), reason_text(c.reason)) << c.name;
  }
  // One cycle less and the row ends exactly at the top of the range.
  const auto top = receive_row_timing(kPointReceiver10, 0xFFFFFFFF - 180);
  ASSERT_TRUE(top.has_value()) << top.error().message();
  EXPECT_EQ(top->end_cycle, 0xFFFFFFFFU);
}

TEST(RowTimingFromBaseTest, MovesEveryEvent) {
  const std::vector<ReceiveEvent> events = {{5, 1, Kind::Source}, {0xFFFFFFF0, 2, Kind::Pointer}};
  const auto moved = receive_row_timing_from_base(events, 0xF);
  ASSERT_TRUE(moved.has_value());
  EXPECT_EQ(*moved, (std::vector<ReceiveEvent>{{20, 1, Kind::Source}, {0xFFFFFFFF, 2, Kind::Pointer}}));
  EXPECT_EQ(error_text(receive_row_timing_from_base(events, 0x10)), reason_text("receive offset overflow"));
  EXPECT_EQ(receive_row_timing_from_base({}, 0xFFFFFFFF), std::vector<ReceiveEvent>{});
}

// Receive timings of rows at base 0, placed by the tests below.
class ScheduledReceiveWindowTest : public ::testing::Test {
 protected:
  static ReceiveRowTiming timing_of(const ExchangeRow& row, std::uint32_t base = 0) {
    auto timing = receive_row_timing(row, base);
    EXPECT_TRUE(timing.has_value()) << timing.error().message();
    return timing.value_or(ReceiveRowTiming{});
  }

  const ReceiveRowTiming point_ = timing_of(kPointReceiver10);
  const ReceiveRowTiming multicast_ = timing_of(kMulticastReceiver60);
  const ReceiveRowTiming paired_ = timing_of(kPairedReceiver64);
};

TEST_F(ScheduledReceiveWindowTest, PlacesTheRowWithoutState) {
  struct Case {
    const char* name;
    ReceiveRowTiming timing;
    std::uint32_t offset;
    std::uint32_t count;
    ScheduledReceiverWindow expected;
  };
  const Case cases[] = {
      {"multicast: the teardown moves to source + count and sorts before the pointer",
       multicast_,
       100,
       60,
       {.events = {{121, xpic_control_word(20, 66), Kind::Source},
                   {181, xpic_control_word(7, 0x640), Kind::Teardown},
                   {183, pic_control_word(61, 0x14000), Kind::Pointer}},
        .pointer_address = 0x50000,
        .stream_start = 121,
        .stream_end = 181,
        .pointer_cycle = 183,
        .payload_end = 243,
        .end_cycle = 248}},
      {"point-to-point",
       point_,
       0,
       10,
       {.events = {{113, xpic_control_word(112, 1409), Kind::Source},
                   {123, xpic_control_word(9, 0x640), Kind::Teardown},
                   {165, pic_control_word(41, 0), Kind::Pointer}},
        .pointer_address = 0,
        .stream_start = 113,
        .stream_end = 123,
        .pointer_cycle = 165,
        .payload_end = 175,
        .end_cycle = 180}},
      {"paired: the paired teardown stays where the row put it",
       paired_,
       1000,
       100,
       {.events = {{1010, xpic_control_word(9, 0x2055), Kind::PairedSource},
                   {1063, pic_control_word(52, 0x40001), Kind::PairedFormat},
                   {1065, pic_control_word(1, 0), Kind::PairedPointer},
                   {1074, xpic_control_word(8, 0x2640), Kind::PairedTeardown},
                   {1127, pic_control_word(52, 0x40000), Kind::PairedFormat}},
        .pointer_address = 0,
        .stream_start = 1010,
        .stream_end = 1110,
        .pointer_cycle = 1065,
        .payload_end = 1165,
        .end_cycle = 1165}},
      {"paired without a source: the stream starts with the format",
       timing_of(kPairedReceiverNoSource),
       0,
       64,
       {.events = {{63, pic_control_word(62, 0x40002), Kind::PairedFormat},
                   {65, pic_control_word(1, 0x100), Kind::PairedPointer},
                   {128, pic_control_word(62, 0x40000), Kind::PairedFormat}},
        .pointer_address = 0x400,
        .stream_start = 63,
        .stream_end = 127,
        .pointer_cycle = 65,
        .payload_end = 129,
        .end_cycle = 135}},
      {"stream end is the horizon; the moved teardown keeps its row order",
       timing_of(make_row({kSyncWord, pic_control_word(0, 0), xpic_control_word(9, 5),
                           xpic_control_word(0, 0x640), kReturnWord})),
       0,
       100,
       {.events = {{1, pic_control_word(0, 0), Kind::Pointer},
                   {11, xpic_control_word(9, 5), Kind::Source},
                   {111, xpic_control_word(0, 0x640), Kind::Teardown}},
        .pointer_address = 0,
        .stream_start = 11,
        .stream_end = 111,
        .pointer_cycle = 1,
        .payload_end = 101,
        .end_cycle = 111}},
  };
  for (const Case& c : cases) {
    const auto window = scheduled_receive_window(c.timing, c.offset, c.count, std::nullopt);
    ASSERT_TRUE(window.has_value()) << c.name << ": " << window.error().message();
    EXPECT_EQ(window->events, c.expected.events) << c.name;
    EXPECT_EQ(*window, c.expected) << c.name;
  }
}

TEST_F(ScheduledReceiveWindowTest, DropsAPointerThatContinuesThePreviousPayload) {
  const ReceiveState ordinary_at_0{.next_address = 0, .stream_end = 50, .payload_end = 60};
  struct Case {
    const char* name;
    ReceiveRowTiming timing;
    std::optional<ReceiveState> state;
    std::vector<Kind> kinds;
  };
  const Case cases[] = {
      {"same address", point_, ordinary_at_0, {Kind::Source, Kind::Teardown}},
      {"no state", point_, std::nullopt, {Kind::Source, Kind::Teardown, Kind::Pointer}},
      {"other address", point_, ReceiveState{.next_address = 0x28}, {Kind::Source, Kind::Teardown, Kind::Pointer}},
      {"state without next address", point_, ReceiveState{}, {Kind::Source, Kind::Teardown, Kind::Pointer}},
      {"previous row paired",
       point_,
       ReceiveState{.next_address = 0, .paired = true},
       {Kind::Source, Kind::Teardown, Kind::Pointer}},
      {"this row paired",
       paired_,
       ordinary_at_0,
       {Kind::PairedSource, Kind::PairedFormat, Kind::PairedPointer, Kind::PairedTeardown, Kind::PairedFormat}},
  };
  for (const Case& c : cases) {
    const auto window = scheduled_receive_window(c.timing, 0, 10, c.state);
    ASSERT_TRUE(window.has_value()) << c.name << ": " << window.error().message();
    EXPECT_EQ(kinds_of(window->events), c.kinds) << c.name;
    // The window still reports the pointer, dropped or not.
    EXPECT_EQ(window->pointer_cycle, *c.timing.pointer) << c.name;
    EXPECT_FALSE(window->continues_paired_format) << c.name;
  }
}

TEST_F(ScheduledReceiveWindowTest, ContinuesAPairedFormatThatEndsAtItsStart) {
  // Placed at 1000, the paired row's format starts at 1063 with value 1.
  const ReceiveState continued{.paired_format = 1, .paired_end = 1063, .paired = true};
  struct Case {
    const char* name;
    ReceiveRowTiming timing;
    std::optional<ReceiveState> state;
    bool continues;
  };
  const auto with = [&](auto change) {
    ReceiveState state = continued;
    change(state);
    return std::optional<ReceiveState>(state);
  };
  const Case cases[] = {
      {"same value, ends at the start", paired_, continued, true},
      {"previous row ordinary", paired_, with([](ReceiveState& s) { s.paired = false; }), true},
      {"other direction", paired_, with([](ReceiveState& s) { s.paired_format = 2; }), false},
      {"no previous format", paired_, with([](ReceiveState& s) { s.paired_format.reset(); }), false},
      {"ended a cycle earlier", paired_, with([](ReceiveState& s) { s.paired_end = 1062; }), false},
      {"no previous end", paired_, with([](ReceiveState& s) { s.paired_end.reset(); }), false},
      {"no state", paired_, std::nullopt, false},
      {"ordinary row", point_, continued, false},
  };
  for (const Case& c : cases) {
    const auto window = scheduled_receive_window(c.timing, 1000, 64, c.state);
    ASSERT_TRUE(window.has_value()) << c.name << ": " << window.error().message();
    EXPECT_EQ(window->continues_paired_format, c.continues) << c.name;
    const bool has_start = std::any_of(window->events.begin(), window->events.end(), [](const ReceiveEvent& e) {
      return e.kind == Kind::PairedFormat && e.cycle == 1063;
    });
    const bool has_end = std::any_of(window->events.begin(), window->events.end(), [](const ReceiveEvent& e) {
      return e.kind == Kind::PairedFormat && e.cycle == 1127;
    });
    if (c.timing.paired) {
      EXPECT_EQ(has_start, !c.continues) << c.name;
      EXPECT_TRUE(has_end) << c.name;
      // The stream still starts at the row's own source.
      EXPECT_EQ(window->stream_start, 1010U) << c.name;
    }
  }
}

TEST_F(ScheduledReceiveWindowTest, SimultaneousControls) {
  // A paired row whose SENDPICP sets an ordinary source and the (paired) pointer.
  constexpr PicPair source_and_pointer = sendpicp(2, false, 0x77, 0x20);
  const ExchangeRow paired_pointer_row =
      make_row({kSyncWord, pic_control_word(9, 0x40001), source_and_pointer.first, source_and_pointer.second,
                pic_control_word(49, 0x40000), xpic_control_word(0, 0x640), kReturnWord});
  // A SENDPICP that selects the source and starts a paired format together.
  constexpr PicPair source_and_format = sendpicp(1, true, 0x77, 1);
  const ExchangeRow format_row =
      make_row({kSyncWord, source_and_format.first, source_and_format.second, pic_control_word(3, 8),
                pic_control_word(9, 0x40000), xpic_control_word(0, 0x640), kReturnWord});
  // Source at 1, teardown at 2, pointer at 12: a count of 11 moves the
  // teardown onto the pointer's cycle.
  const ExchangeRow teardown_first_row =
      make_row({kSyncWord, xpic_control_word(0, 5), xpic_control_word(0, 0x640), pic_control_word(9, 0), kReturnWord});

  struct Case {
    const char* name;
    ExchangeRow row;
    std::uint32_t count;
    std::vector<Kind> kinds;  // empty: rejected
  };
  const Case cases[] = {
      {"Pointer and Source", kSendpicpReceiver, 12, {Kind::Source, Kind::Pointer, Kind::Teardown}},
      {"Pointer and the moved Teardown, in row order", teardown_first_row, 11,
       {Kind::Source, Kind::Teardown, Kind::Pointer}},
      {"Source, Pointer and Teardown at one cycle", kSendpicpReceiver, 0, {}},
      {"Source and Teardown", kPointReceiver10, 0, {}},
      {"PairedPointer and Source", paired_pointer_row, 30, {}},
      {"PairedFormat and Source", format_row, 30, {}},
  };
  for (const Case& c : cases) {
    const auto window = scheduled_receive_window(timing_of(c.row), 0, c.count, std::nullopt);
    if (c.kinds.empty()) {
      EXPECT_EQ(error_text(window), reason_text("incompatible simultaneous receive controls")) << c.name;
    } else {
      ASSERT_TRUE(window.has_value()) << c.name << ": " << window.error().message();
      EXPECT_EQ(kinds_of(window->events), c.kinds) << c.name;
    }
  }
}

TEST_F(ScheduledReceiveWindowTest, Errors) {
  // The multicast row placed so that its Return lands on 0xFFFFFFFF: source
  // at 0xFFFFFFFF - 127, pointer at 0xFFFFFFFF - 65.
  const ReceiveRowTiming top = timing_of(kMulticastReceiver60, 0xFFFFFFFF - 148);
  ReceiveRowTiming no_source = multicast_;
  no_source.source.reset();
  ReceiveRowTiming nothing = no_source;
  nothing.pointer.reset();
  nothing.pointer_address.reset();
  struct Case {
    const char* name;
    ReceiveRowTiming timing;
    std::uint32_t offset;
    std::uint32_t count;
    const char* reason;
  };
  const Case cases[] = {
      {"row end wraps", top, 1, 1, "receive offset overflow"},
      {"offset wraps every cycle", point_, 0xFFFFFFFF, 1, "receive offset overflow"},
      {"stream end wraps", top, 0, 128, "receive source timing overflow"},
      {"payload end wraps", top, 0, 127, "receive payload timing overflow"},
      {"no source and no paired start", no_source, 0, 60, "receive source timing"},
      {"neither a source nor a pointer", nothing, 0, 60, "receive source timing"},
      {"no pointer",
       timing_of(make_row({kSyncWord, xpic_control_word(3, 5), xpic_control_word(0, 0x640), delay_word(4),
                           kReturnWord})),
       0, 60, "receive pointer event"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(error_text(scheduled_receive_window(c.timing, c.offset, c.count, std::nullopt)), reason_text(c.reason))
        << c.name;
  }

  const auto fits = scheduled_receive_window(top, 0, 65, std::nullopt);
  ASSERT_TRUE(fits.has_value()) << fits.error().message();
  EXPECT_EQ(fits->stream_end, 0xFFFFFFFFU - 62);
  EXPECT_EQ(fits->payload_end, 0xFFFFFFFFU);
  EXPECT_EQ(fits->end_cycle, 0xFFFFFFFFU);
}

}  // namespace
}  // namespace oxu::exchange
