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

// The Q grid of n steps of Qmax / n, starting at Q = 0 when ioff is 1 (n + ioff values).
std::vector<float> make_q_grid(float qmax, int n, int ioff);

}  // namespace zalmor::driver
