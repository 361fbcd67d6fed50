// Model composition: atom types, unique partials, fractions, scattering lengths.
#pragma once

#include "driver/run_state.hpp"

namespace zalmor::util {
class Console;
}

namespace zalmor::driver {

// Refuses a model the run cannot handle (no atoms, a type below 1, too many types) with a
// FatalError naming the problem.
void check_model(const util::Model& model);

// Counts types, numbers the partials, writes the fraction lines and asks for b_bar.
void ask_composition(util::Console& console, RunState& state);

}  // namespace zalmor::driver
