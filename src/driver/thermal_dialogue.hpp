// The thermal-factor menu, its parameters and the .urms file.
#pragma once

#include "driver/run_state.hpp"

namespace zalmor::util {
class Console;
}

namespace zalmor::driver {

// Sets state.thermal (and loads state.urms under option 4). A .urms file the reader
// refuses ends the run (FatalError with the reader's code and message).
void ask_thermal(util::Console& console, RunState& state);

}  // namespace zalmor::driver
