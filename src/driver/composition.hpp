// Model composition: atom types, unique partials, fractions, scattering lengths, weights.
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

// ((bbar(a) * bbar(b)) * 0.01) / nnorm for types a and b, in double.
double pair_weight(const RunState& state, int type_a, int type_b);
// The pair weight of a partial's two types, stored as float: what its kernel adds up.
float partial_weight(const RunState& state, int partial);
// 1 / nnorm as float.
float total_weight(const RunState& state);

}  // namespace zalmor::driver
