#pragma once
// The workload patterns: each fills one phase with transfers of its family
// until the phase holds its budget.

#include "generator.hpp"
#include "phase_workload.hpp"

namespace oxu::snapshot_gen {

// Fills `workload` with exactly its budget of transfers of `pattern`. The
// workload must have at least minimum_tiles(pattern) tiles unless the budget
// is 0.
void fill_phase(Pattern pattern, PhaseWorkload& workload);

}  // namespace oxu::snapshot_gen
