#include <gtest/gtest.h>

#include "oxu/codegen/snapshot.hpp"

namespace oxu::codegen {
namespace {

ExchangeScheduleProblem phase_with(std::uint32_t id, std::uint16_t bad_source = 0) {
  return {id, {{bad_source, {0}, {{1, 0}}, 4, ExchangeItemWidth::Word32}}};
}

ExchangeLoweringError invalid(std::string text) { return ExchangeLoweringError::invalid_snapshot(std::move(text)); }

TEST(SnapshotValidationTest, Failures) {
  struct Case {
    const char* name;
    ExchangeScheduleSnapshot snapshot;
    ExchangeLoweringError error;
  };
  const Case cases[] = {
      {"schema 2", {2, 4, {}}, invalid("unsupported schema version 2 (expected 3)")},
      {"schema 4", {4, 4, {}}, invalid("unsupported schema version 4 (expected 3)")},
      {"schema before tile count", {4, 0, {}}, invalid("unsupported schema version 4 (expected 3)")},
      {"no tiles", {3, 0, {}}, invalid("tile count 0 is outside the M72 topology")},
      {"too many tiles", {3, 1473, {}}, invalid("tile count 1473 is outside the M72 topology")},
      {"duplicate phase", {3, 4, {phase_with(4), phase_with(2), phase_with(4)}}, invalid("duplicate phase 4")},
      {"duplicate before its bad transfer", {3, 4, {phase_with(4), phase_with(4, 9)}}, invalid("duplicate phase 4")},
      {"bad transfer before a later duplicate", {3, 4, {phase_with(4), phase_with(5, 9), phase_with(4)}},
       invalid("phase 5 transfer 0 has source tile 9 outside 0..4")},
  };
  for (const Case& c : cases) EXPECT_EQ(c.snapshot.validate(), std::unexpected(c.error)) << c.name;
}

TEST(SnapshotValidationTest, Accepts) {
  const ExchangeScheduleSnapshot accepted[] = {
      {3, 1, {}},
      {3, 1472, {}},
      {3, 2, {{0, {}}}},
      {3, 4, {phase_with(7), phase_with(3)}},
      // Partner of tile 2 in the table is 3, which lies outside a 3-tile phase: validation still accepts it.
      {3, 3, {{0, {{2, {0}, {{0, 0}, {1, 0}}, 128, ExchangeItemWidth::Paired64}}}}},
  };
  for (const auto& snapshot : accepted) EXPECT_TRUE(snapshot.validate().has_value()) << snapshot.tile_count;
}

}  // namespace
}  // namespace oxu::codegen
