// The atomistic model and its reader for .coords text files. The other input readers:
// scatter/urms_reader.hpp (.urms) and output/ioq_reader.hpp (.ioq).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zalmor::util {

class Console;

struct Model {
  std::vector<float> xyz;            // x, y, z of each atom in turn, Angstrom
  std::vector<int> type;             // atom type number of each atom, as read
  std::optional<std::string> title;  // the first header line, when any was skipped
  int natoms() const { return static_cast<int>(type.size()); }
};

// Reads the model from `file_name` after skipping `skip` header lines. Reports
// "File to be read: ", "File found: " and "Number of atoms in model = " on the console.
// Every problem with the file ends the run (FatalError with the console message): a
// missing file, a file too short for its header, a value that is not a number of its
// kind, an atom index out of sequence, or more atoms than the program has room for.
Model read_coords(Console& console, std::string_view file_name, int skip);

}  // namespace zalmor::util
