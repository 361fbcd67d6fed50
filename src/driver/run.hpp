// The whole run: dialogue, calculation and output, in their fixed order.
#pragma once

namespace zalmor::util {
class Console;
}

namespace zalmor::driver {

// Runs the program on the console; returns the exit status of a completed run (0).
// Early ends throw util::FatalError or util::InputError.
int run(util::Console& console);

}  // namespace zalmor::driver
