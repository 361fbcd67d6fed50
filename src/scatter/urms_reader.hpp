// Reader of .urms thermal-factor files into the URMS table.
#pragma once

#include <string>
#include <string_view>

#include "scatter/thermal.hpp"

namespace zalmor::util {
class Console;
}

namespace zalmor::scatter {

struct UrmsReadResult {
  int ierr = 0;         // 0, or 15, 18, 19, 20, 21, 22, 25, 26, 27
  std::string message;  // the error text (not blank-padded); empty on success
  int nrec = 0;         // the record count of line 1
};

// Reads `file_name` into `table`. With verbose, writes "<program>: Reading thermal
// factors" and echoes each record line before it is parsed. `ntypes` is the number of
// atom types (when 0 on entry it is set from the record count). A file that cannot be
// opened, or whose count line cannot be read, ends the run (FatalError naming the file).
UrmsReadResult read_urms(util::Console& console, std::string_view file_name,
                         std::string_view program_name, bool verbose, int& ntypes,
                         UrmsTable& table);

}  // namespace zalmor::scatter
