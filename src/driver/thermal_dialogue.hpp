// The thermal-factor menu, its parameters and the .urms file.
#pragma once

#include <string_view>

#include "driver/run_state.hpp"
#include "scatter/urms_reader.hpp"

namespace zalmor::util {
class Console;
}

namespace zalmor::driver {

// Sets state.thermal (and loads state.urms under option 4). A .urms file the reader
// refuses ends the run (FatalError with the reader's code and message).
void ask_thermal(util::Console& console, RunState& state);

// Reads a .urms file (scatter::read_urms_file) as the program reports it: with verbose,
// "zalmor: Reading thermal factors" and each record line as read on standard output; a
// failure's file, line and text on standard error. A file that cannot be opened, or whose
// first line holds no record count, ends the run (FatalError naming the file).
scatter::UrmsReadResult read_urms(util::Console& console, std::string_view file_name, bool verbose,
                                  int& ntypes, scatter::UrmsTable& table);

}  // namespace zalmor::driver
