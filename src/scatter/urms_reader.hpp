// Reader of .urms thermal-factor files into the URMS table.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "scatter/thermal.hpp"

namespace zalmor::scatter {

struct UrmsReadResult {
  int ierr = 0;         // 0, or 15, 18, 19, 20, 21, 22, 25, 26, 27, 28, 29
  std::string message;  // the error text (not blank-padded); empty on success
  int nrec = 0;         // the record count of line 1
};

// What reading a .urms file found; the caller reports it (the program echoes the record
// lines and prints the error, the Python package raises it).
struct UrmsFileRead {
  enum class Stop {
    kNone,
    kCannotOpen,  // no such file, not readable, or a folder: nothing was read
    kNoCount,     // the first line holds no record count: nothing more was read
  };
  Stop stop = Stop::kNone;
  UrmsReadResult result;           // the code, its message and the record count of line 1
  std::vector<std::string> lines;  // the record lines read (200 characters at most), in file
                                   // order, up to the one that failed
  std::string where;               // a failure's file, line number, message and the line's
                                   // text: file:3: message: "text"; empty on success
};

// Reads `file_name` into `table`. `ntypes` is the number of atom types (when 0 on entry it is
// set from the record count). Beyond the checks of displacements and break distances, a
// model-3 parameter outside its physical range gives 28 (the message names the value and the
// range), and a model-2 tail whose u^2 could leave single precision gives 29.
UrmsFileRead read_urms_file(std::string_view file_name, int& ntypes, UrmsTable& table);

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
