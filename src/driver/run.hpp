// The whole run: dialogue, calculation and output, in their fixed order.
#pragma once

#include <vector>

namespace zalmor::util {
class Console;
}

namespace zalmor::driver {

// Runs the program on the console; returns the exit status of a completed run (0).
// Early ends throw util::FatalError or util::InputError.
int run(util::Console& console);

// The Q grid of n steps of Qmax / n ending at Qmax: n values from Qmax / n, or n + 1
// values when it starts at Q = 0.
std::vector<float> make_q_grid(float qmax, int n, bool from_zero);

}  // namespace zalmor::driver
