#include "oxu/codegen/invariant_checker.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "oxu/codegen/memory_element.hpp"
#include "oxu/exchange/instruction_words.hpp"
#include "oxu/testing/split_mix.hpp"

namespace oxu::codegen {
namespace {

using Kind = ExchangeActivityKind;
using Result = std::expected<void, ExchangeLoweringError>;

constexpr std::uint32_t kPhase = 7;
constexpr std::uint16_t kTiles = 8;
constexpr std::uint32_t kDelayOneCycle = 0x40A00000;

// Eight tiles (M72 pairs 0/1, 2/3, 4/5, 6/7):
//   0: Paired64 0 -> {2, 3}, 128 words; tile 1 lends its sender
//   1: 4 -> 5, point-to-point
//   2: 1 -> {6, 4}, multicast; tile 4 receives into the element its send 1 reads
//   3: 5 -> 1
//   4: 4 -> 6
// Tile 7 takes no part.
ExchangeScheduleProblem base_problem() {
  return {kPhase,
          {{0, {0x1000}, {{2, 0x2000}, {3, 0x2000}}, 128, ExchangeItemWidth::Paired64},
           {4, {0x0}, {{5, 0x4000}}, 32, ExchangeItemWidth::Word32},
           {1, {0x8000}, {{6, 0x100}, {4, 0x100}}, 48, ExchangeItemWidth::Word32},
           {5, {0x20000}, {{1, 0x10000}}, 16, ExchangeItemWidth::Word32},
           {4, {0x10000}, {{6, 0x3000}}, 16, ExchangeItemWidth::Word32}}};
}

// Four tiles: only the Paired64 transfer 0 -> {2, 3}; tile 1 lends its sender.
ExchangeScheduleProblem paired_only_problem() {
  return {3, {{0, {0x1000}, {{2, 0x2000}, {3, 0x2000}}, 128, ExchangeItemWidth::Paired64}}};
}

const PhysicalExchangePhase& base_phase() {
  static const PhysicalExchangePhase phase = [] {
    auto scheduled = schedule_exchange_problem(kTiles, base_problem());
    if (!scheduled) {
      ADD_FAILURE() << scheduled.error().message();
      return PhysicalExchangePhase{};
    }
    return std::move(*scheduled);
  }();
  return phase;
}

// The activity of `transfer` of `kind` on `tile`; the layout test below
// checks that each one looked up exists.
ExchangeActivity& activity(PhysicalExchangePhase& phase, std::uint16_t tile, Kind kind, std::uint32_t transfer) {
  auto& list = phase.activities.at(tile);
  const auto found = std::find_if(list.begin(), list.end(), [&](const ExchangeActivity& candidate) {
    return candidate.kind == kind && candidate.transfer == transfer;
  });
  if (found == list.end()) {
    ADD_FAILURE() << "no " << activity_kind_name(kind) << " of transfer " << transfer << " on tile " << tile;
    static ExchangeActivity dummy;
    return dummy;
  }
  return *found;
}

void remove_activity(PhysicalExchangePhase& phase, std::uint16_t tile, Kind kind, std::uint32_t transfer) {
  const ExchangeActivity removed = activity(phase, tile, kind, transfer);
  std::erase(phase.activities.at(tile), removed);
}

ExchangeActivity at_cycle(ExchangeActivity activity, std::uint32_t cycle) {
  activity.start_cycle = cycle;
  activity.end_cycle = cycle;
  activity.memory_end_cycle = cycle;
  return activity;
}

void expect_error(const Result& result, const ExchangeLoweringError& expected) {
  ASSERT_FALSE(result.has_value()) << "accepted; expected " << expected.debug();
  EXPECT_EQ(result.error(), expected) << result.error().debug() << "\nexpected " << expected.debug();
}

void expect_accepted(const Result& result) {
  EXPECT_TRUE(result.has_value()) << result.error().debug();
}

ExchangeLoweringError invariant(std::string text) { return ExchangeLoweringError::invariant(std::move(text)); }

// ---------------------------------------------------------------------------
// The scheduled phase and its layout

TEST(InvariantCheckerTest, ScheduledPhasesPass) {
  expect_accepted(validate_exchange_schedule(kTiles, base_problem(), base_phase()));

  const ExchangeScheduleProblem paired = paired_only_problem();
  const auto scheduled = schedule_exchange_problem(4, paired);
  ASSERT_TRUE(scheduled.has_value()) << scheduled.error().message();
  expect_accepted(validate_exchange_schedule(4, paired, *scheduled));
}

// The corruptions below rely on this arrangement of the scheduled phase.
TEST(InvariantCheckerTest, BasePhaseLayout) {
  PhysicalExchangePhase phase = base_phase();
  ASSERT_EQ(phase.activities.size(), kTiles);
  EXPECT_TRUE(phase.activities[7].empty());
  EXPECT_FALSE(phase.active[7]);
  const ExchangeActivity& borrowed = activity(phase, 1, Kind::PartnerBusy, 0);
  const ExchangeActivity& multicast_send = activity(phase, 1, Kind::Send, 2);
  EXPECT_GE(multicast_send.start_cycle, borrowed.end_cycle);
  const ExchangeActivity& first_send = activity(phase, 4, Kind::Send, 4);
  const ExchangeActivity& second_send = activity(phase, 4, Kind::Send, 1);
  EXPECT_GT(second_send.start_cycle, first_send.end_cycle);
  // The receive on tile 4 writes the element that send 1 reads, so they
  // follow each other in memory.
  const ExchangeActivity& receive = activity(phase, 4, Kind::Receive, 2);
  EXPECT_GE(receive.start_cycle, second_send.memory_end_cycle);
  EXPECT_TRUE(spans_share_effective_memory_element(0x0, 32, 0x100, 48));
  EXPECT_GT(activity(phase, 6, Kind::Receive, 2).start_cycle, activity(phase, 6, Kind::Receive, 4).end_cycle);
  EXPECT_LT(phase.tile_horizons[5], phase.horizon_cycles);
  EXPECT_LT(phase.tile_horizons[2], phase.horizon_cycles);
  activity(phase, 5, Kind::Send, 3);
  activity(phase, 5, Kind::Receive, 1);
  activity(phase, 2, Kind::Receive, 0);
  activity(phase, 6, Kind::Receive, 2);
}

// ---------------------------------------------------------------------------
// One corruption per message

struct Corrupted {
  ExchangeScheduleProblem problem;
  PhysicalExchangePhase phase;
};

template <typename F>
Corrupted corrupt(F&& change) {
  Corrupted corrupted{base_problem(), base_phase()};
  change(corrupted.problem, corrupted.phase);
  return corrupted;
}

struct CorruptionCase {
  const char* name;
  Corrupted input;
  ExchangeLoweringError expected;
};

using Problem = ExchangeScheduleProblem;
using Phase = PhysicalExchangePhase;

TEST(InvariantCheckerTest, EveryCorruptionIsReported) {
  const Phase& base = base_phase();
  const std::uint32_t horizon = base.horizon_cycles;
  const std::uint32_t horizon5 = base.tile_horizons[5];

  const CorruptionCase cases[] = {
      // Phase-level checks.
      {"phase id", corrupt([](Problem&, Phase& p) { p.phase = 8; }),
       invariant("phase id 8 differs from snapshot phase 7")},
      {"active entries", corrupt([](Problem&, Phase& p) { p.active.pop_back(); }),
       invariant("phase 7 has 7 active entries for 8 tiles")},
      {"programs entries", corrupt([](Problem&, Phase& p) { p.programs.push_back({exchange::kReturnWord}); }),
       invariant("phase 7 has 9 programs entries for 8 tiles")},
      {"incoming bases entries", corrupt([](Problem&, Phase& p) { p.incoming_bases.clear(); }),
       invariant("phase 7 has 0 incoming bases entries for 8 tiles")},
      {"tile horizons entries", corrupt([](Problem&, Phase& p) { p.tile_horizons.pop_back(); }),
       invariant("phase 7 has 7 tile horizons entries for 8 tiles")},
      {"activities entries", corrupt([](Problem&, Phase& p) { p.activities.emplace_back(); }),
       invariant("phase 7 has 9 activities entries for 8 tiles")},
      {"repeat patches entries", corrupt([](Problem&, Phase& p) { p.repeat_patches.pop_back(); }),
       invariant("phase 7 has 7 repeat patches entries for 8 tiles")},
      {"first wrong vector wins",
       corrupt([](Problem&, Phase& p) {
         p.repeat_patches.clear();
         p.active.pop_back();
       }),
       invariant("phase 7 has 7 active entries for 8 tiles")},
      {"repeat patch", corrupt([](Problem&, Phase& p) { p.repeat_patches[3].push_back({0, {1}}); }),
       invariant("standalone phase 7 unexpectedly contains repeat patches")},
      {"phase horizon", corrupt([](Problem&, Phase& p) { ++p.horizon_cycles; }),
       invariant(fmt::format("phase 7 horizon {} differs from maximum tile horizon {}", horizon + 1, horizon))},
      {"source without a partner", corrupt([](Problem& q, Phase&) { q.transfers[0].source = 1472; }),
       ExchangeLoweringError(exchange::ExchangeError::tile(1472))},

      // Decoding and tile state.
      {"undecodable program", corrupt([](Problem&, Phase& p) { p.programs[2].push_back(0xF0000000); }),
       ExchangeLoweringError(exchange::ExchangeError::schedule("truncated SENDPICP payload"))},
      {"decoded horizon", corrupt([](Problem&, Phase& p) {
         p.programs[5].insert(p.programs[5].begin(), kDelayOneCycle);
       }),
       invariant(fmt::format("phase 7 tile 5 decoded horizon {} differs from {}", horizon5 + 1, horizon5))},
      {"decoded horizon before the tile's activities", corrupt([](Problem&, Phase& p) {
         p.programs[5].insert(p.programs[5].begin(), kDelayOneCycle);
         activity(p, 5, Kind::Receive, 1).words = 31;
         activity(p, 5, Kind::Send, 3).transfer = 99;
       }),
       invariant(fmt::format("phase 7 tile 5 decoded horizon {} differs from {}", horizon5 + 1, horizon5))},
      {"idle tile marked active", corrupt([](Problem&, Phase& p) { p.active[7] = true; }),
       invariant("phase 7 tile 7 has inconsistent active state")},
      {"busy tile marked inactive", corrupt([](Problem&, Phase& p) { p.active[6] = false; }),
       invariant("phase 7 tile 6 has inconsistent active state")},
      {"inactive tile with a horizon", corrupt([](Problem&, Phase& p) {
         p.programs[7] = {kDelayOneCycle + 4, exchange::kReturnWord};
         p.tile_horizons[7] = 5;
       }),
       invariant("phase 7 tile 7 has inconsistent active state")},
      {"active tile without a horizon", corrupt([](Problem&, Phase& p) {
         p.programs[2] = {exchange::kReturnWord};
         p.tile_horizons[2] = 0;
       }),
       invariant("phase 7 tile 2 has inconsistent active state")},

      // Activities.
      {"start after end", corrupt([](Problem&, Phase& p) {
         auto& a = activity(p, 5, Kind::Receive, 1);
         a.start_cycle = a.end_cycle + 1;
       }),
       invariant("phase 7 tile 5 transfer 1 has invalid cycle interval")},
      {"bus end after memory end", corrupt([](Problem&, Phase& p) {
         auto& a = activity(p, 5, Kind::Receive, 1);
         a.end_cycle = a.memory_end_cycle + 1;
       }),
       invariant("phase 7 tile 5 transfer 1 has invalid cycle interval")},
      {"memory end after the tile horizon", corrupt([](Problem&, Phase& p) {
         activity(p, 5, Kind::Receive, 1).memory_end_cycle = p.tile_horizons[5] + 1;
       }),
       invariant("phase 7 tile 5 transfer 1 has invalid cycle interval")},
      {"interval checked before the transfer index", corrupt([](Problem&, Phase& p) {
         auto& a = activity(p, 5, Kind::Receive, 1);
         a.start_cycle = a.end_cycle + 1;
         a.transfer = 99;
       }),
       invariant("phase 7 tile 5 transfer 99 has invalid cycle interval")},
      {"missing transfer", corrupt([](Problem&, Phase& p) { activity(p, 5, Kind::Receive, 1).transfer = 5; }),
       invariant("phase 7 tile 5 references missing transfer 5")},
      {"word count", corrupt([](Problem&, Phase& p) { activity(p, 5, Kind::Receive, 1).words = 31; }),
       invariant("phase 7 tile 5 transfer 1 has wrong word count")},
      {"send address", corrupt([](Problem&, Phase& p) { activity(p, 5, Kind::Send, 3).address = 0x20004; }),
       invariant("phase 7 transfer 3 has a mismatched send activity")},
      {"send on a tile that is not the source", corrupt([](Problem& q, Phase&) { q.transfers[3].source = 6; }),
       invariant("phase 7 transfer 3 has a mismatched send activity")},
      {"receive address", corrupt([](Problem&, Phase& p) { activity(p, 5, Kind::Receive, 1).address = 0x4004; }),
       invariant("phase 7 transfer 1 has an unexpected receive activity on tile 5")},
      {"receive of a destination on another tile",
       corrupt([](Problem&, Phase& p) { p.activities[5].push_back(activity(p, 2, Kind::Receive, 0)); }),
       invariant("phase 7 transfer 0 has an unexpected receive activity on tile 5")},
      {"partner-busy address",
       corrupt([](Problem&, Phase& p) { activity(p, 1, Kind::PartnerBusy, 0).address = 0x1008; }),
       invariant("phase 7 transfer 0 has a mismatched partner-busy activity")},
      {"partner-busy on a tile that is not the partner",
       corrupt([](Problem&, Phase& p) { p.activities[3].push_back(activity(p, 1, Kind::PartnerBusy, 0)); }),
       invariant("phase 7 transfer 0 has a mismatched partner-busy activity")},
      {"partner-busy of a Word32 transfer", corrupt([](Problem&, Phase& p) {
         // Tile 5 is the partner of transfer 1's source, and the address is right.
         ExchangeActivity lent = at_cycle(activity(p, 4, Kind::Send, 1), 0);
         lent.kind = Kind::PartnerBusy;
         p.activities[5].push_back(lent);
       }),
       invariant("phase 7 transfer 1 has a mismatched partner-busy activity")},

      // Overlaps.
      {"send bus intervals overlap by one cycle", corrupt([](Problem&, Phase& p) {
         activity(p, 4, Kind::Send, 1).start_cycle = activity(p, 4, Kind::Send, 4).end_cycle - 1;
       }),
       invariant("phase 7 tile 4 has overlapping Send bus intervals")},
      {"receive bus intervals overlap by one cycle", corrupt([](Problem&, Phase& p) {
         activity(p, 6, Kind::Receive, 2).start_cycle = activity(p, 6, Kind::Receive, 4).end_cycle - 1;
       }),
       invariant("phase 7 tile 6 has overlapping Receive bus intervals")},
      {"send and receive memory windows overlap by one cycle", corrupt([](Problem&, Phase& p) {
         activity(p, 4, Kind::Receive, 2).start_cycle = activity(p, 4, Kind::Send, 1).memory_end_cycle - 1;
       }),
       invariant("phase 7 tile 4 overlaps send/receive access to one SRAM element")},
      {"a later source address shares the element", corrupt([](Problem& q, Phase& p) {
         // Send 4 reads from 0x10000 only; a second address in the receive's
         // element, while its window covers the receive.
         q.transfers[4].source_addresses.push_back(0x180);
         auto& send = activity(p, 4, Kind::Send, 4);
         send.memory_end_cycle = activity(p, 4, Kind::Receive, 2).start_cycle + 1;
       }),
       invariant("phase 7 tile 4 overlaps send/receive access to one SRAM element")},
      {"partner-busy meets a send of another transfer", corrupt([](Problem&, Phase& p) {
         activity(p, 1, Kind::Send, 2).start_cycle = activity(p, 1, Kind::PartnerBusy, 0).end_cycle - 1;
       }),
       invariant("phase 7 tile 1 overlaps borrowed and local transmit intervals")},

      // Whole-phase counts.
      {"missing send", corrupt([](Problem&, Phase& p) { remove_activity(p, 4, Kind::Send, 4); }),
       invariant("phase 7 transfer 4 has 0 send activities")},
      {"second send", corrupt([](Problem&, Phase& p) {
         const ExchangeActivity send = activity(p, 5, Kind::Send, 3);
         p.activities[5].push_back(at_cycle(send, send.end_cycle));
       }),
       invariant("phase 7 transfer 3 has 2 send activities")},
      {"sends are counted before partner-busy activities", corrupt([](Problem&, Phase& p) {
         remove_activity(p, 1, Kind::PartnerBusy, 0);
         remove_activity(p, 4, Kind::Send, 4);
       }),
       invariant("phase 7 transfer 4 has 0 send activities")},
      {"missing partner-busy",
       corrupt([](Problem&, Phase& p) { remove_activity(p, 1, Kind::PartnerBusy, 0); }),
       invariant("phase 7 transfer 0 has 0 partner-busy activities, expected 1")},
      {"second partner-busy of the same transfer", corrupt([](Problem&, Phase& p) {
         p.activities[1].push_back(activity(p, 1, Kind::PartnerBusy, 0));
       }),
       invariant("phase 7 transfer 0 has 2 partner-busy activities, expected 1")},
      {"missing receive",
       corrupt([](Problem&, Phase& p) { remove_activity(p, 6, Kind::Receive, 2); }),
       invariant("phase 7 transfer 2 does not have exactly one activity per destination")},
      {"duplicate receive", corrupt([](Problem&, Phase& p) {
         const ExchangeActivity receive = activity(p, 5, Kind::Receive, 1);
         p.activities[5].push_back(at_cycle(receive, receive.end_cycle));
       }),
       invariant("phase 7 transfer 1 does not have exactly one activity per destination")},
  };
  for (const CorruptionCase& c : cases) {
    SCOPED_TRACE(c.name);
    expect_error(validate_exchange_schedule(kTiles, c.input.problem, c.input.phase), c.expected);
  }
}

// Changes that keep every invariant.
TEST(InvariantCheckerTest, EdgesThatPass) {
  const struct {
    const char* name;
    Corrupted input;
  } cases[] = {
      {"send bus intervals touch", corrupt([](Problem&, Phase& p) {
         activity(p, 4, Kind::Send, 1).start_cycle = activity(p, 4, Kind::Send, 4).end_cycle;
       })},
      {"receive bus intervals touch", corrupt([](Problem&, Phase& p) {
         activity(p, 6, Kind::Receive, 2).start_cycle = activity(p, 6, Kind::Receive, 4).end_cycle;
       })},
      {"send and receive memory windows touch", corrupt([](Problem&, Phase& p) {
         activity(p, 4, Kind::Receive, 2).start_cycle = activity(p, 4, Kind::Send, 1).memory_end_cycle;
       })},
      {"send and receive in different elements overlap", corrupt([](Problem&, Phase& p) {
         activity(p, 4, Kind::Send, 4).memory_end_cycle = p.tile_horizons[4];
       })},
      {"partner-busy touches a send", corrupt([](Problem&, Phase& p) {
         activity(p, 1, Kind::Send, 2).start_cycle = activity(p, 1, Kind::PartnerBusy, 0).end_cycle;
       })},
      {"partner-busy overlaps a receive of another transfer", corrupt([](Problem&, Phase& p) {
         activity(p, 1, Kind::Receive, 3).start_cycle = activity(p, 1, Kind::PartnerBusy, 0).start_cycle;
       })},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    expect_accepted(validate_exchange_schedule(kTiles, c.input.problem, c.input.phase));
  }
}

TEST(InvariantCheckerTest, PartnerWithoutActivitiesMustBeActive) {
  const ExchangeScheduleProblem problem = paired_only_problem();
  const auto scheduled = schedule_exchange_problem(4, problem);
  ASSERT_TRUE(scheduled.has_value()) << scheduled.error().message();
  ASSERT_EQ(scheduled->activities[1].size(), 1U);

  // Without its partner-busy activity tile 1 is still expected active: the
  // tile check passes and only the count of partner-busy activities fails.
  PhysicalExchangePhase phase = *scheduled;
  phase.activities[1].clear();
  expect_error(validate_exchange_schedule(4, problem, phase),
               invariant("phase 3 transfer 0 has 0 partner-busy activities, expected 1"));

  phase.active[1] = false;
  phase.programs[1] = {exchange::kReturnWord};
  phase.tile_horizons[1] = 0;
  expect_error(validate_exchange_schedule(4, problem, phase),
               invariant("phase 3 tile 1 has inconsistent active state"));
}

TEST(InvariantCheckerTest, NoTiles) {
  PhysicalExchangePhase empty;
  empty.phase = kPhase;
  expect_accepted(validate_exchange_schedule(0, {kPhase, {}}, empty));
  expect_error(validate_exchange_schedule(0, base_problem(), empty),
               invariant("phase 7 transfer 0 has 0 send activities"));

  PhysicalExchangePhase with_horizon = empty;
  with_horizon.horizon_cycles = 1;
  expect_error(validate_exchange_schedule(0, {kPhase, {}}, with_horizon),
               invariant("phase 7 horizon 1 differs from maximum tile horizon 0"));

  PhysicalExchangePhase one_tile = empty;
  one_tile.active.push_back(false);
  expect_error(validate_exchange_schedule(0, {kPhase, {}}, one_tile),
               invariant("phase 7 has 1 active entries for 0 tiles"));
}

// ---------------------------------------------------------------------------
// The overlap checks against their pairwise definition

// Tile 1 of two tiles: Sends of its own Word32 transfers, Receives of
// transfers from tile 0, and PartnerBusy activities of two Paired64
// transfers from tile 0 (tile 1 is its M72 partner). Every activity passes
// the per-activity and bus-interval checks; only the two overlap checks can
// fail on the tile.
struct OverlapFixture {
  ExchangeScheduleProblem problem;
  PhysicalExchangePhase phase;
};

OverlapFixture random_overlap_fixture(oxu::testing::SplitMix64& random) {
  static constexpr std::uint32_t kAddresses[] = {0x0,     0x100,   0x3FFC,  0x4000,     0x7FF00,
                                                 0x80000, 0x87FFC, 0x88000, 0xFFFFFFF0, 0xFFFF8000};
  static constexpr std::uint32_t kWords[] = {0, 1, 2, 64, 0x100, 0x1001, 0x20000};
  const auto pick = [&random](auto& values) {
    return values[random.below(static_cast<std::uint32_t>(std::size(values)))];
  };
  const auto between = [&random](std::uint32_t low, std::uint32_t high) {
    return low + static_cast<std::uint32_t>(random.next() % (std::uint64_t{high} - low + 1));
  };

  OverlapFixture fixture;
  fixture.problem.phase = kPhase;
  auto& transfers = fixture.problem.transfers;
  transfers.push_back({0, {0x1000}, {{0, 0x0}}, 128, ExchangeItemWidth::Paired64});
  transfers.push_back({0, {0x2000}, {{0, 0x0}}, 128, ExchangeItemWidth::Paired64});
  std::vector<ExchangeActivity> activities;

  const auto add = [&](Kind kind, std::uint32_t transfer, std::uint32_t address, std::uint32_t words,
                       std::uint32_t start, std::uint32_t end, std::uint32_t memory_end) {
    ExchangeActivity a;
    a.transfer = transfer;
    a.start_cycle = start;
    a.end_cycle = end;
    a.memory_end_cycle = memory_end;
    a.address = address;
    a.words = words;
    a.kind = kind;
    activities.push_back(a);
  };
  for (const Kind kind : {Kind::Send, Kind::Receive}) {
    std::uint32_t cursor = 0;
    const std::uint32_t count = between(0, 4);
    for (std::uint32_t i = 0; i < count; ++i) {
      const std::uint32_t start = cursor + between(0, 3);
      const std::uint32_t end = start + between(0, 4);
      const std::uint32_t memory_end = end + between(0, 6);
      cursor = end;
      const std::uint32_t words = pick(kWords);
      const auto index = static_cast<std::uint32_t>(transfers.size());
      if (kind == Kind::Send) {
        std::vector<std::uint32_t> sources(between(1, 3));
        for (std::uint32_t& source : sources) source = pick(kAddresses);
        transfers.push_back({1, sources, {{0, 0x0}}, words, ExchangeItemWidth::Word32});
        add(kind, index, sources.front(), words, start, end, memory_end);
      } else {
        const std::uint32_t address = pick(kAddresses);
        transfers.push_back({0, {0x0}, {{1, address}}, words, ExchangeItemWidth::Word32});
        add(kind, index, address, words, start, end, memory_end);
      }
    }
  }
  const std::uint32_t borrowed = between(0, 3);
  for (std::uint32_t i = 0; i < borrowed; ++i) {
    const std::uint32_t transfer = between(0, 1);
    const std::uint32_t start = between(0, 16);
    const std::uint32_t end = start + between(0, 5);
    add(Kind::PartnerBusy, transfer, transfers[transfer].source_addresses.front(), 128, start, end, end);
  }
  for (std::size_t i = activities.size(); i > 1; --i) {
    std::swap(activities[i - 1], activities[random.below(static_cast<std::uint32_t>(i))]);
  }

  std::uint32_t horizon = 1;
  for (const ExchangeActivity& a : activities) horizon = std::max(horizon, a.memory_end_cycle);
  PhysicalExchangePhase& phase = fixture.phase;
  phase.phase = kPhase;
  phase.active = {false, true};
  phase.programs = {{exchange::kReturnWord}, {kDelayOneCycle + (horizon - 1), exchange::kReturnWord}};
  phase.incoming_bases = {0, 0};
  phase.tile_horizons = {0, horizon};
  phase.activities = {{}, std::move(activities)};
  phase.repeat_patches.resize(2);
  phase.horizon_cycles = horizon;
  return fixture;
}

bool pairwise_send_receive_overlap(const OverlapFixture& fixture) {
  const auto& activities = fixture.phase.activities[1];
  for (const ExchangeActivity& send : activities) {
    if (send.kind != Kind::Send) continue;
    for (const ExchangeActivity& receive : activities) {
      if (receive.kind != Kind::Receive) continue;
      if (!(send.start_cycle < receive.memory_end_cycle && receive.start_cycle < send.memory_end_cycle)) continue;
      for (const std::uint32_t address : fixture.problem.transfers[send.transfer].source_addresses) {
        if (spans_share_effective_memory_element(address, send.words, receive.address, receive.words)) return true;
      }
    }
  }
  return false;
}

bool pairwise_borrowed_overlap(const OverlapFixture& fixture) {
  const auto& activities = fixture.phase.activities[1];
  for (const ExchangeActivity& borrowed : activities) {
    if (borrowed.kind != Kind::PartnerBusy) continue;
    for (const ExchangeActivity& other : activities) {
      if (other.kind == Kind::Receive || other.transfer == borrowed.transfer) continue;
      if (other.start_cycle < borrowed.end_cycle && borrowed.start_cycle < other.end_cycle) return true;
    }
  }
  return false;
}

TEST(InvariantCheckerTest, OverlapChecksMatchTheirPairwiseDefinition) {
  const std::string memory_overlap = "phase 7 tile 1 overlaps send/receive access to one SRAM element";
  const std::string borrowed_overlap = "phase 7 tile 1 overlaps borrowed and local transmit intervals";
  oxu::testing::SplitMix64 random(20240611);
  std::size_t memory_failures = 0;
  std::size_t borrowed_failures = 0;
  for (int trial = 0; trial < 3000; ++trial) {
    const OverlapFixture fixture = random_overlap_fixture(random);
    const Result result = validate_exchange_schedule(2, fixture.problem, fixture.phase);
    const std::string text = result ? std::string() : result.error().text();
    const bool memory_expected = pairwise_send_receive_overlap(fixture);
    const bool borrowed_expected = !memory_expected && pairwise_borrowed_overlap(fixture);
    ASSERT_EQ(text == memory_overlap, memory_expected) << "trial " << trial << ": " << text;
    ASSERT_EQ(text == borrowed_overlap, borrowed_expected) << "trial " << trial << ": " << text;
    memory_failures += memory_expected ? 1 : 0;
    borrowed_failures += borrowed_expected ? 1 : 0;
  }
  // Both answers occur often enough for the comparison to mean something.
  EXPECT_GT(memory_failures, 300U);
  EXPECT_GT(borrowed_failures, 300U);
}

}  // namespace
}  // namespace oxu::codegen
