// Reader of .urms thermal-factor files into the URMS table.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "scatter/thermal.hpp"

namespace zalmor::util {
class Console;
}

namespace zalmor::scatter {

struct UrmsReadResult {
  int ierr = 0;         // 0, or 15, 18, 19, 20, 21, 22, 25, 26, 27, 28, 29
  std::string message;  // the error text (not blank-padded); empty on success
  int nrec = 0;         // the record count of line 1
};

// Reads `file_name` into `table`. With verbose, writes "<program>: Reading thermal
// factors" and echoes each record line before it is parsed. `ntypes` is the number of
// atom types (when 0 on entry it is set from the record count). A file that cannot be
// opened, or whose count line cannot be read, ends the run (FatalError naming the file).
// Every failure also writes one line on standard error with the file, the line number and
// the line's text. Beyond the checks of displacements and break distances, a model-3
// parameter outside its physical range gives 28 (the message names the value and the
// range), and a model-2 tail whose u^2 could leave single precision gives 29.
UrmsReadResult read_urms(util::Console& console, std::string_view file_name,
                         std::string_view program_name, bool verbose, int& ntypes,
                         UrmsTable& table);

// Largest u^2 a model-2 tail may reach (Angstrom^2): its u times Q must still square in
// single precision.
inline constexpr double kMaxTailSquare = 1.0e38;

// What a loaded table leaves to chance, one text per finding: a type pair that the run
// looks up with no record (count[t-1] atoms of type t; total_record when the total uses
// the (0, 0) record), a pair with several records, and (a, b) and (b, a) records that give
// different u.
std::vector<std::string> urms_warnings(const UrmsTable& table, std::span<const int> count,
                                       bool total_record);

}  // namespace zalmor::scatter
