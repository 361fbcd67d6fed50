// The calculation and output phase: one block per partial, then the total.
#pragma once

#include "driver/run_state.hpp"

namespace zalmor::util {
class Console;
}

namespace zalmor::driver {

// Computes every block, writes one console line per block and stores all blocks in the
// output file.
void write_results(util::Console& console, const RunState& state);

// The zero-Q limits, accumulated in double and rounded once: w * ordered pairs for a
// partial, sum over i < j of ((2w * bbar_i) * bbar_j) * 0.01 for the total (last entry).
std::vector<float> zero_q_limits(const RunState& state);

}  // namespace zalmor::driver
