// The ranges of a run's values within which every intermediate of the single-precision
// calculation stays finite. What lies outside is refused before anything is calculated
// (util::FatalError, one line naming the value and the limit, exit status 1), and a block
// that still holds a value that is not finite stops the run before anything is written.
#pragma once

#include <span>
#include <string_view>
#include <vector>

#include "driver/run_state.hpp"

namespace zalmor::util {
class Console;
}

namespace zalmor::driver {

// Every Q value finite.
void check_q_grid(std::span<const float> q, float qmax);

// The model's distances, the weights from b_bar and nnorm, Q times the largest distance,
// and u times Qmax; called once every answer is in.
void check_ranges(const RunState& state);

// The net behind check_ranges: every value of every block and every zero-Q limit finite.
void check_blocks_finite(const RunState& state, const std::vector<std::vector<float>>& blocks,
                         std::span<const float> limits);

// Warnings about the loaded .urms table on standard error (missing, duplicated and
// disagreeing records); standard output is not touched.
void note_urms_findings(util::Console& console, std::string_view file, const RunState& state);

}  // namespace zalmor::driver
