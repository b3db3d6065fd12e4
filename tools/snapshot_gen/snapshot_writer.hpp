#pragma once
// Writes an exchange-schedule snapshot as JSON text.
//
// Object form with keys in field order, no spaces, one phase header and one
// transfer per line, so generated files are deterministic byte for byte and
// their diffs show whole transfers.

#include <string>

#include "oxu/codegen/snapshot.hpp"

namespace oxu::snapshot_gen {

// The snapshot as JSON text, ending with a line feed.
[[nodiscard]] std::string write_snapshot_json(const codegen::ExchangeScheduleSnapshot& snapshot);

}  // namespace oxu::snapshot_gen
