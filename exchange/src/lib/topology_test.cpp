#include "oxu/exchange/topology.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "oxu/exchange/events.hpp"

namespace oxu::exchange {
namespace {

TEST(TopologyTest, M72TableRows) {
  const Topology m72 = Topology::m72();
  ASSERT_EQ(m72.tiles.size(), 1472U);
  const std::pair<std::uint16_t, std::uint16_t> rows[] = {
      {0, 0},       {1, 2},       {2, 64}, {3, 66}, {44, 1408}, {45, 1410}, {46, 1409},
      {47, 1411},   {91, 3},      {92, 4}, {93, 6}, {1470, 61}, {1471, 63},
  };
  for (const auto& [logical, physical] : rows) EXPECT_EQ(m72.tiles[logical], physical) << "logical " << logical;
}

TEST(TopologyTest, M72IsAPermutation) {
  std::vector<std::uint16_t> ids = Topology::m72().tiles;
  std::sort(ids.begin(), ids.end());
  for (std::size_t i = 0; i < ids.size(); ++i) ASSERT_EQ(ids[i], i);
}

TEST(TopologyTest, PairedLogical) {
  const Topology m72 = Topology::m72();
  const std::pair<std::uint16_t, std::uint16_t> pairs[] = {{0, 1}, {1, 0}, {45, 44}, {46, 47}, {1471, 1470}};
  for (const auto& [logical, partner] : pairs) EXPECT_EQ(m72.paired_logical(logical), partner) << logical;
  EXPECT_EQ(m72.paired_logical(1472), std::unexpected(ExchangeError::tile(1472)));
}

TEST(TopologyTest, PairedLogicalWithoutPartnerInAPrefix) {
  // Three tiles: the third tile's partner is not part of the topology.
  const Topology m72 = Topology::m72();
  const auto prefix = Topology::create({m72.tiles.begin(), m72.tiles.begin() + 3});
  ASSERT_TRUE(prefix.has_value());
  EXPECT_EQ(prefix->paired_logical(0), 1);
  EXPECT_EQ(prefix->paired_logical(2), std::unexpected(ExchangeError::tile(2)));
}

TEST(TopologyTest, CreateRejectsEmptyAndRepeatedIds) {
  EXPECT_EQ(Topology::create({}), std::unexpected(ExchangeError::receiver_set()));
  EXPECT_EQ(Topology::create({5, 5}), std::unexpected(ExchangeError::receiver_set()));
  const auto ok = Topology::create({5, 7});
  ASSERT_TRUE(ok.has_value());
  EXPECT_EQ(ok->tiles, (std::vector<std::uint16_t>{5, 7}));
}

// Result of a fallible call as text: "ok", or the error's debug form.
template <typename T>
std::string outcome(const std::expected<T, ExchangeError>& result) {
  return result ? std::string("ok") : result.error().debug();
}

template <std::size_t N>
std::string hex(const std::array<std::uint32_t, N>& words) {
  std::string out;
  for (const std::uint32_t w : words) out += fmt::format(" {:08x}", w);
  return out;
}

constexpr std::uint32_t kSync = 0x41800003;
constexpr std::uint32_t kReturn = 0x43A00000;

class TopologyM72Test : public ::testing::Test {
 protected:
  const Topology m72 = Topology::m72();
};

TEST_F(TopologyM72Test, TimeToMuxAndDirectionExamples) {
  struct Case {
    std::uint16_t sender;
    std::uint16_t receiver;
    std::int32_t latency;
    std::uint8_t direction;
  };
  const Case cases[] = {
      {0, 1, -28, 1}, {0, 2, -31, 1}, {0, 46, -69, 1}, {1471, 0, -13, 1}, {46, 0, 19, 2}, {780, 0, 112, 2},
  };
  for (const Case& c : cases) {
    const std::uint16_t s = m72.tiles[c.sender];
    const std::uint16_t r = m72.tiles[c.receiver];
    EXPECT_EQ(time_to_mux(s, r), c.latency) << c.sender << " -> " << c.receiver;
    EXPECT_EQ(direction(s, r), c.direction) << c.sender << " -> " << c.receiver;
  }
}

TEST_F(TopologyM72Test, TimeToMuxSpansMinus78To112OverAllPairs) {
  std::int32_t lowest = 0;
  std::int32_t highest = 0;
  for (const std::uint16_t s : m72.tiles) {
    for (const std::uint16_t r : m72.tiles) {
      const std::int32_t latency = time_to_mux(s, r);
      lowest = std::min(lowest, latency);
      highest = std::max(highest, latency);
      const std::uint8_t dir = direction(s, r);
      ASSERT_TRUE(dir == 1 || dir == 2) << s << " -> " << r;
    }
  }
  EXPECT_EQ(lowest, -78);
  EXPECT_EQ(highest, 112);
}

TEST_F(TopologyM72Test, PointToPointWorkedExample) {
  // 0 -> 1: latency -28, direction 1, receiver in row 0.
  const auto exchange = m72.point_to_point(0, 1, 10);
  ASSERT_TRUE(exchange.has_value()) << outcome(exchange);
  const ExchangeRow sender = {kSync, delay_word(140), explicit_send_word(10, 1), kReturn, 0, 0, 0, 0, 0};
  const PointReceiverWords receiver = {kSync,
                                       xpic_control_word(112, 0),
                                       xpic_control_word(9, 0x640),
                                       pic_control_word(41, 0),
                                       delay_word(15),
                                       kReturn,
                                       0,
                                       0};
  EXPECT_EQ(exchange->sender, sender) << hex(exchange->sender);
  EXPECT_EQ(exchange->source_patch_index, 1U);
  EXPECT_EQ(exchange->receiver, receiver) << hex(exchange->receiver);
}

TEST_F(TopologyM72Test, PointToPointRowsByCount) {
  // 0 -> 1 (latency -28, direction 1, receiver row 0): the sender always
  // waits 140 cycles; the receive tail switches form at 52 words.
  struct Case {
    std::uint32_t count;
    std::vector<std::uint32_t> sends;    // between the Delay and the Return
    std::vector<std::uint32_t> receive;  // after the source control, before the Return
  };
  const Case cases[] = {
      {1, {0x78000001}, {xpic_control_word(0, 0x640), pic_control_word(50, 0), delay_word(6)}},
      {51, {explicit_send_word(51, 1)}, {xpic_control_word(50, 0x640), pic_control_word(0, 0), delay_word(56)}},
      {52, {explicit_send_word(52, 1)}, {pic_control_word(51, 0), 0x64000640, delay_word(57)}},
      {53, {explicit_send_word(53, 1)}, {pic_control_word(51, 0), xpic_control_word(0, 0x640), delay_word(57)}},
      {64, {0x7FE00001}, {pic_control_word(51, 0), xpic_control_word(11, 0x640), delay_word(57)}},
      {65, {0x7FE00001, 0x70000001}, {pic_control_word(51, 0), xpic_control_word(12, 0x640), delay_word(57)}},
      {4148,
       {0x7FE00001, offset_send_word(4084, 1)},
       {pic_control_word(51, 0), xpic_control_word(4095, 0x640), delay_word(57)}},
  };
  for (const Case& c : cases) {
    const auto exchange = m72.point_to_point(0, 1, c.count);
    ASSERT_TRUE(exchange.has_value()) << c.count << ": " << outcome(exchange);
    ExchangeRow sender{kSync, delay_word(140)};
    std::copy(c.sends.begin(), c.sends.end(), sender.begin() + 2);
    sender[2 + c.sends.size()] = kReturn;
    PointReceiverWords receiver{kSync, xpic_control_word(112, 0)};
    std::copy(c.receive.begin(), c.receive.end(), receiver.begin() + 2);
    receiver[2 + c.receive.size()] = kReturn;
    EXPECT_EQ(exchange->sender, sender) << c.count << ":" << hex(exchange->sender);
    EXPECT_EQ(exchange->receiver, receiver) << c.count << ":" << hex(exchange->receiver);
  }
}

TEST_F(TopologyM72Test, PointToPointPointerTakesEffectAtTheSameCycleForAllCounts) {
  // Receiver 2 is in row 1: the pointer always switches at 2 * 1 + 165.
  for (const std::uint32_t count : {1U, 10U, 51U, 52U, 53U, 100U, 4148U}) {
    const auto exchange = m72.point_to_point(0, 2, count);
    ASSERT_TRUE(exchange.has_value()) << count;
    std::uint32_t clock = 0;
    std::optional<std::uint32_t> pointer;
    for (const std::uint32_t w : exchange->receiver) {
      clock += word_cycles(w);
      if (is_pic_control_word(w)) pointer = clock;
    }
    EXPECT_EQ(pointer, 167U) << count;
  }
}

TEST(TopologyTest, PointToPointLatencyAtTheLimits) {
  // 1440 -> 0 has the largest latency, 112: no wait before the send, and a
  // short send is padded so the row spans 6 cycles.
  const auto topology = Topology::create({1440, 0});
  ASSERT_TRUE(topology.has_value());
  const auto one = topology->point_to_point(0, 1, 1);
  ASSERT_TRUE(one.has_value()) << outcome(one);
  EXPECT_EQ(one->sender, (ExchangeRow{kSync, explicit_send_word(1, 2), delay_word(5), kReturn})) << hex(one->sender);
  const auto six = topology->point_to_point(0, 1, 6);
  ASSERT_TRUE(six.has_value()) << outcome(six);
  EXPECT_EQ(six->sender, (ExchangeRow{kSync, explicit_send_word(6, 2), kReturn})) << hex(six->sender);

  // 1504 -> 2 (row 23, outside the M72 table) has latency 113: the sender
  // would have to start before the Sync.
  ASSERT_EQ(time_to_mux(1504, 2), 113);
  const auto far = Topology::create({1504, 2});
  ASSERT_TRUE(far.has_value());
  EXPECT_EQ(outcome(far->point_to_point(0, 1, 1)), "Schedule(\"sender delay\")");
}

TEST_F(TopologyM72Test, PointToPointErrors) {
  struct Case {
    std::uint16_t sender;
    std::uint16_t receiver;
    std::uint32_t count;
    const char* error;
  };
  const Case cases[] = {
      {0, 1, 0, "Count(0)"},
      {0, 1, 4149, "Count(4149)"},
      {3, 3, 0, "Count(0)"},  // the count is checked first
      {3, 3, 10, "DuplicateTile"},
      {1500, 1500, 10, "DuplicateTile"},
      {1500, 1501, 10, "Tile(1500)"},
      {0, 1472, 10, "Tile(1472)"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(outcome(m72.point_to_point(c.sender, c.receiver, c.count)), c.error)
        << c.sender << " -> " << c.receiver << " count " << c.count;
  }
}

TEST_F(TopologyM72Test, MulticastWorkedExample) {
  // Latencies -28 and -31: the sender starts at 31, control 3.
  const std::uint16_t receivers[] = {1, 2};
  const auto exchange = m72.multicast(0, receivers, 10, 0);
  ASSERT_TRUE(exchange.has_value()) << outcome(exchange);
  EXPECT_EQ(exchange->sender, (ExchangeRow{kSync, delay_word(31), explicit_send_word(10, 3), kReturn}))
      << hex(exchange->sender);
  ASSERT_EQ(exchange->receivers.size(), 2U);
  const ExchangeRow to_1 = {kSync,
                            xpic_control_word(3, 0),
                            xpic_control_word(9, 0x640),
                            pic_control_word(41, 0x14000),
                            delay_word(15),
                            kReturn,
                            0,
                            0,
                            0};
  const ExchangeRow to_2 = {kSync,
                            xpic_control_word(0, 0),
                            xpic_control_word(9, 0x640),
                            pic_control_word(43, 0x14000),
                            delay_word(15),
                            kReturn,
                            0,
                            0,
                            0};
  EXPECT_EQ(exchange->receivers[0], to_1) << hex(exchange->receivers[0]);
  EXPECT_EQ(exchange->receivers[1], to_2) << hex(exchange->receivers[1]);
}

TEST_F(TopologyM72Test, MulticastSingleReceiver) {
  // Latency -31: the sender starts at 31 and the receiver switches at cycle 1.
  const std::uint16_t receivers[] = {2};
  const auto exchange = m72.multicast(0, receivers, 10, 0);
  ASSERT_TRUE(exchange.has_value()) << outcome(exchange);
  EXPECT_EQ(exchange->sender, (ExchangeRow{kSync, delay_word(31), explicit_send_word(10, 1), kReturn}));
  ASSERT_EQ(exchange->receivers.size(), 1U);
  EXPECT_EQ(exchange->receivers[0][1], xpic_control_word(0, 0));
  EXPECT_EQ(word_cycles(exchange->receivers[0][1]), 1U);
}

TEST_F(TopologyM72Test, MulticastWritesTheSourceIdAndPadsShortSends) {
  // 780 (physical 1440) -> 0 has latency 112 and direction 2: no start delay,
  // the receiver switches at 113 and selects 1440 itself.
  const std::uint16_t receivers[] = {0};
  const auto exchange = m72.multicast(780, receivers, 1, 0);
  ASSERT_TRUE(exchange.has_value()) << outcome(exchange);
  EXPECT_EQ(exchange->sender, (ExchangeRow{kSync, explicit_send_word(1, 2), delay_word(5), kReturn}))
      << hex(exchange->sender);
  EXPECT_EQ(exchange->receivers[0][1], xpic_control_word(112, 1440));

  // With an offset the start delay is the offset, and long sends are split.
  const auto offset = m72.multicast(780, receivers, 100, 7);
  ASSERT_TRUE(offset.has_value()) << outcome(offset);
  EXPECT_EQ(offset->sender,
            (ExchangeRow{kSync, delay_word(7), explicit_send_word(64, 2), offset_send_word(36, 2), kReturn}))
      << hex(offset->sender);
  EXPECT_EQ(offset->receivers[0][1], xpic_control_word(119, 1440));
}

TEST_F(TopologyM72Test, MulticastStartAndReceiveCycleLimits) {
  struct Case {
    std::uint16_t sender;
    std::uint16_t receiver;
    std::uint32_t schedule_offset;
    const char* result;
  };
  const Case cases[] = {
      {0, 2, 4064, "ok"},  // start 4064 + 31 = 4095
      {0, 2, 4065, "Schedule(\"multicast start cycle\")"},
      {0, 2, 0xFFFFFFFF, "Schedule(\"multicast start cycle\")"},  // the sum wraps
      {780, 0, 3983, "ok"},                                       // switch at 3983 + 112 = 4095
      {780, 0, 3984, "Schedule(\"multicast receive cycle\")"},
  };
  for (const Case& c : cases) {
    const std::uint16_t receivers[] = {c.receiver};
    EXPECT_EQ(outcome(m72.multicast(c.sender, receivers, 10, c.schedule_offset)), c.result)
        << c.sender << " -> " << c.receiver << " offset " << c.schedule_offset;
  }
}

TEST_F(TopologyM72Test, MulticastErrors) {
  struct Case {
    std::uint16_t sender;
    std::vector<std::uint16_t> receivers;
    std::uint32_t count;
    const char* result;
  };
  const Case cases[] = {
      {0, {1}, 0, "Count(0)"},
      {0, {1}, 4149, "Count(4149)"},
      {1472, {1}, 10, "Tile(1472)"},
      {0, {}, 10, "ReceiverSet"},
      {0, {0}, 10, "ReceiverSet"},
      {0, {1, 1472}, 10, "ReceiverSet"},
      {0, {1, 2, 1}, 10, "ReceiverSet"},
      {0, {0, 1}, 10, "ok"},  // a loopback among other receivers
  };
  for (const Case& c : cases) {
    EXPECT_EQ(outcome(m72.multicast(c.sender, c.receivers, c.count, 0)), c.result)
        << c.sender << " count " << c.count << " receivers " << c.receivers.size();
  }
}

TEST_F(TopologyM72Test, PairedMulticastRows) {
  // 0 -> pair {2, 3} (physical 64 and 66, latencies -31 and -30): pair
  // latency -30, lead 31, so both rows work from P = 1. Tile 2 hears the
  // sender first and selects the source for the pair.
  const std::uint16_t receivers[] = {2, 3};
  const auto exchange = m72.paired_multicast(0, receivers, 64);
  ASSERT_TRUE(exchange.has_value()) << outcome(exchange);
  // Paired control: direction 1 | 4.
  EXPECT_EQ(exchange->sender, (ExchangeRow{kSync, delay_word(31), explicit_send_word(64, 5), kReturn}))
      << hex(exchange->sender);
  ASSERT_EQ(exchange->receivers.size(), 2U);
  // Controls at 1 (source), 54 (format 1), 56 (pointer), 65 (teardown), 118 (format end); end 125.
  const ExchangeRow first = {kSync,
                             xpic_control_word(0, 0x2000),
                             pic_control_word(52, 0x40001),
                             pic_control_word(1, 0),
                             xpic_control_word(8, 0x2640),
                             pic_control_word(52, 0x40000),
                             delay_word(7),
                             kReturn,
                             0};
  // Controls at 54, 56, 118 only.
  const ExchangeRow second = {kSync,
                              pic_control_word(53, 0x40001),
                              pic_control_word(1, 0),
                              pic_control_word(61, 0x40000),
                              delay_word(7),
                              kReturn,
                              0,
                              0,
                              0};
  EXPECT_EQ(exchange->receivers[0], first) << hex(exchange->receivers[0]);
  EXPECT_EQ(exchange->receivers[1], second) << hex(exchange->receivers[1]);
}

TEST_F(TopologyM72Test, PairedMulticastWhereTheSecondTileHearsFirst) {
  // 46 (physical 1409) -> pair {4, 5} (physical 128 and 130, latencies 15 and
  // 14, direction 2): no lead, P = 15. Tile 5 selects the source, naming the
  // sending tile of its own lane: 1409 XOR 2.
  const std::uint16_t receivers[] = {4, 5};
  const auto exchange = m72.paired_multicast(46, receivers, 64);
  ASSERT_TRUE(exchange.has_value()) << outcome(exchange);
  EXPECT_EQ(exchange->sender, (ExchangeRow{kSync, explicit_send_word(64, 6), kReturn})) << hex(exchange->sender);
  // Controls at 70 (format 2), 72 (pointer), 134 (format end); end 141.
  const ExchangeRow first = {kSync,
                             pic_control_word(69, 0x40002),
                             pic_control_word(1, 0),
                             pic_control_word(61, 0x40000),
                             delay_word(7),
                             kReturn,
                             0,
                             0,
                             0};
  // Controls at 15 (source), 70, 72, 79 (teardown), 134.
  const ExchangeRow second = {kSync,
                              xpic_control_word(14, 0x2000 | (1409 ^ 2)),
                              pic_control_word(54, 0x40002),
                              pic_control_word(1, 0),
                              xpic_control_word(6, 0x2640),
                              pic_control_word(54, 0x40000),
                              delay_word(7),
                              kReturn,
                              0};
  EXPECT_EQ(exchange->receivers[0], first) << hex(exchange->receivers[0]);
  EXPECT_EQ(exchange->receivers[1], second) << hex(exchange->receivers[1]);
}

TEST_F(TopologyM72Test, PairedMulticastLongGapGetsADelay) {
  // With 4148 items the format end comes 4146 cycles after the pointer: a
  // Delay covers what a Pic wait of 128 cannot.
  const std::uint16_t receivers[] = {2, 3};
  const auto exchange = m72.paired_multicast(0, receivers, 4148);
  ASSERT_TRUE(exchange.has_value()) << outcome(exchange);
  EXPECT_EQ(exchange->sender,
            (ExchangeRow{kSync, delay_word(31), explicit_send_word(64, 5), offset_send_word(4084, 5), kReturn}));
  const ExchangeRow second = {kSync,
                              pic_control_word(53, 0x40001),
                              pic_control_word(1, 0),
                              delay_word(4018),
                              pic_control_word(127, 0x40000),
                              delay_word(7),
                              kReturn,
                              0,
                              0};
  EXPECT_EQ(exchange->receivers[1], second) << hex(exchange->receivers[1]);
}

TEST_F(TopologyM72Test, PairedMulticastToTwoPairsUsesControl7) {
  const std::uint16_t receivers[] = {2, 3, 4, 5};
  const auto exchange = m72.paired_multicast(0, receivers, 64);
  ASSERT_TRUE(exchange.has_value()) << outcome(exchange);
  EXPECT_EQ(exchange->sender[2] & 7, 7U) << hex(exchange->sender);
  EXPECT_EQ(exchange->receivers.size(), 4U);
}

TEST_F(TopologyM72Test, PairedMulticastErrors) {
  struct Case {
    std::uint16_t sender;
    std::vector<std::uint16_t> receivers;
    std::uint32_t count;
    const char* result;
  };
  const Case cases[] = {
      {0, {2, 3}, 63, "Count(63)"},
      {0, {2, 3}, 4149, "Count(4149)"},
      {0, {}, 64, "ReceiverSet"},
      {0, {2, 3, 4}, 64, "ReceiverSet"},
      {0, {2, 3, 2, 3}, 64, "ReceiverSet"},
      {0, {0, 1}, 64, "ReceiverSet"},  // the sender among the receivers
      {1472, {2, 3}, 64, "Tile(1472)"},
      {1472, {1472, 3}, 64, "ReceiverSet"},  // the receiver set is checked first
      {0, {2, 4}, 64, "ReceiverSet"},        // partners 3 and 5 missing
      {0, {2, 1472}, 64, "ReceiverSet"},
      // Receiver row 10: a teardown at the format start (71) or at the pointer (73).
      {0, {20, 21}, 70, "ok"},
      {0, {20, 21}, 71, "Schedule(\"paired receive coincident controls\")"},
      {0, {20, 21}, 72, "ok"},
      {0, {20, 21}, 73, "Schedule(\"paired receive coincident controls\")"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(outcome(m72.paired_multicast(c.sender, c.receivers, c.count)), c.result)
        << c.sender << " count " << c.count << " receivers " << c.receivers.size();
  }
}

TEST(TopologyTest, PairedMulticastFromATileWithoutPartner) {
  const Topology m72 = Topology::m72();
  const auto prefix = Topology::create({m72.tiles.begin(), m72.tiles.begin() + 5});
  ASSERT_TRUE(prefix.has_value());
  const std::uint16_t receivers[] = {0, 1};
  EXPECT_EQ(outcome(prefix->paired_multicast(4, receivers, 64)), "Tile(4)");
  // The receivers' partners must be in the topology too.
  const std::uint16_t unpaired[] = {3, 4};
  EXPECT_EQ(outcome(prefix->paired_multicast(0, unpaired, 64)), "ReceiverSet");
}

TEST_F(TopologyM72Test, PairedReceiverRowErrors) {
  struct Case {
    std::uint16_t sender;
    std::uint16_t receiver;
    std::uint32_t count;
    std::int32_t pair_latency;
    const char* result;
  };
  const Case cases[] = {
      {1472, 1473, 64, -30, "Tile(1472)"},
      {0, 1472, 64, -30, "Tile(1472)"},
      // 0 -> 2 (latencies -31, -30): pair latency 0 leaves a lead of 1, P = -29.
      {0, 2, 64, 0, "Schedule(\"paired source timing\")"},
      // The lead of 2^31 + 1 cycles does not wrap; it needs thousands of Delay words.
      {0, 2, 64, std::numeric_limits<std::int32_t>::min(), "Schedule(\"paired receive row capacity\")"},
      // 4 -> 737 (latencies -1, 0): with no lead the source switches at cycle 0.
      {4, 737, 64, 1, "Schedule(\"receive control issue interval\")"},
      {4, 737, 64, 0, "ok"},
      // The last control (format end) at 54 + count.
      {0, 2, 0xFFFFFFF9 - 54, -30, "Schedule(\"paired receive horizon overflow\")"},
      {0, 2, 0xFFFFFFF0, -30, "Schedule(\"paired receive horizon overflow\")"},  // wraps
      {0, 2, 0xFFFFFFF8 - 54, -30, "Schedule(\"paired receive row capacity\")"},
      // Between the pointer (56) and the teardown (1 + count) one Delay word
      // fills the row to nine words; a second one does not fit.
      {0, 2, 0x80000 + 4151, -30, "ok"},
      {0, 2, 0x80000 + 4152, -30, "Schedule(\"paired receive row capacity\")"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(outcome(m72.paired_receiver_row(c.sender, c.receiver, c.count, c.pair_latency)), c.result)
        << c.sender << " -> " << c.receiver << " count " << c.count << " m " << c.pair_latency;
  }
}

// Records every event while installed.
class EventLog {
 public:
  EventLog() { events::install_consumer(&EventLog::record, this); }
  ~EventLog() { events::install_consumer(nullptr, nullptr); }
  EventLog(const EventLog&) = delete;
  EventLog& operator=(const EventLog&) = delete;

  std::vector<events::Event> seen;

 private:
  static void record(const events::Event& event, void* context) {
    static_cast<EventLog*>(context)->seen.push_back(event);
  }
};

// The value of a named field; empty when the event has no such field.
events::FieldValue field(const events::Event& event, std::string_view name) {
  for (const events::Field& f : event.fields) {
    if (f.name == name) return f.value;
  }
  return {};
}

TEST_F(TopologyM72Test, AssemblyEmitsDebugEvents) {
  EventLog log;
  ASSERT_TRUE(m72.point_to_point(3, 7, 12).has_value());
  ASSERT_EQ(log.seen.size(), 1U);
  const events::Event& point = log.seen[0];
  EXPECT_EQ(point.level, events::Level::Debug);
  EXPECT_EQ(point.target, "oxu_exchange");
  EXPECT_EQ(point.message, "assembled point-to-point exchange");
  ASSERT_EQ(point.fields.size(), 3U);
  EXPECT_EQ(field(point, "sender_logical"), events::FieldValue(std::uint64_t{3}));
  EXPECT_EQ(field(point, "receiver_logical"), events::FieldValue(std::uint64_t{7}));
  EXPECT_EQ(field(point, "count"), events::FieldValue(std::uint64_t{12}));

  // A paired multicast reports through its inner multicast; failures report nothing.
  const std::uint16_t receivers[] = {2, 3};
  ASSERT_TRUE(m72.paired_multicast(0, receivers, 64).has_value());
  EXPECT_FALSE(m72.point_to_point(3, 3, 12).has_value());
  EXPECT_FALSE(m72.multicast(0, {}, 12, 0).has_value());
  ASSERT_EQ(log.seen.size(), 2U);
  const events::Event& multi = log.seen[1];
  EXPECT_EQ(multi.message, "assembled multicast exchange");
  ASSERT_EQ(multi.fields.size(), 4U);
  EXPECT_EQ(field(multi, "sender_logical"), events::FieldValue(std::uint64_t{0}));
  EXPECT_EQ(field(multi, "receiver_logical"), events::FieldValue(std::vector<std::uint64_t>{2, 3}));
  EXPECT_EQ(field(multi, "count"), events::FieldValue(std::uint64_t{64}));
  EXPECT_EQ(field(multi, "schedule_offset"), events::FieldValue(std::uint64_t{0}));
}

}  // namespace
}  // namespace oxu::exchange
