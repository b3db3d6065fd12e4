#include "snapshot_writer.hpp"

#include <gtest/gtest.h>

#include <string>

#include "generator.hpp"
#include "oxu/codegen/snapshot_reader.hpp"

namespace oxu::snapshot_gen {
namespace {

using codegen::ExchangeItemWidth;
using codegen::ExchangeScheduleSnapshot;

TEST(SnapshotWriterTest, WritesOneTransferPerLineInFieldOrder) {
  ExchangeScheduleSnapshot snapshot;
  snapshot.schema_version = 3;
  snapshot.tile_count = 8;
  snapshot.phases.push_back({4, {{3, {256, 4096}, {{4, 512}, {3, 0x80000}}, 8, ExchangeItemWidth::Word32},
                                 {0, {1024}, {{2, 2048}, {3, 4096}}, 128, ExchangeItemWidth::Paired64}}});
  snapshot.phases.push_back({9, {}});
  EXPECT_EQ(write_snapshot_json(snapshot),
            "{\"schema_version\":3,\"tile_count\":8,\"phases\":[\n"
            "{\"phase\":4,\"transfers\":[\n"
            "{\"source\":3,\"source_addresses\":[256,4096],\"destinations\":[{\"tile\":4,\"address\":512},"
            "{\"tile\":3,\"address\":524288}],\"words\":8,\"width\":\"Word32\"},\n"
            "{\"source\":0,\"source_addresses\":[1024],\"destinations\":[{\"tile\":2,\"address\":2048},"
            "{\"tile\":3,\"address\":4096}],\"words\":128,\"width\":\"Paired64\"}\n"
            "]},\n"
            "{\"phase\":9,\"transfers\":[]}\n"
            "]}\n");
}

TEST(SnapshotWriterTest, WritesASnapshotWithoutPhases) {
  ExchangeScheduleSnapshot snapshot;
  snapshot.schema_version = 3;
  snapshot.tile_count = 1;
  EXPECT_EQ(write_snapshot_json(snapshot), "{\"schema_version\":3,\"tile_count\":1,\"phases\":[]}\n");
}

TEST(SnapshotWriterTest, ReadingTheTextBackGivesTheGeneratedRecords) {
  for (const Pattern pattern : kAllPatterns) {
    SCOPED_TRACE(pattern_name(pattern));
    const auto snapshot = generate_snapshot({pattern, 23, 2, 120, 11});
    ASSERT_TRUE(snapshot.has_value()) << snapshot.error();
    const auto read = codegen::read_snapshot_text(write_snapshot_json(*snapshot));
    ASSERT_TRUE(read.has_value()) << read.error().display();
    EXPECT_EQ(*read, *snapshot);
  }
}

}  // namespace
}  // namespace oxu::snapshot_gen
