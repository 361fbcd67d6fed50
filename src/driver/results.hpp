// The calculation and output phase: one block per partial, then the total.
#pragma once

#include "driver/run_state.hpp"

namespace zalmor::util {
class Console;
}

namespace zalmor::driver {

// The calculation's request for the run's answers (scatter::make_block_request).
scatter::BlockRequest block_request(const RunState& state);

// Computes every block, writes one console line per block and stores all blocks in the
// output file.
void write_results(util::Console& console, const RunState& state);

// The zero-Q limit of each partial block, then of the total (last entry): the pair weight
// times the number of ordered pairs of the partial's types, and the sum over unordered
// pairs of twice their pair weight, from exact pair counts in double, rounded once.
std::vector<float> zero_q_limits(const RunState& state);

}  // namespace zalmor::driver
