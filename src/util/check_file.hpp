// Existence check of a named file, with its full name, and a prompt for another name.
#pragma once

#include <string>

namespace zalmor::util {

class Console;

// What a missing file leads to. The numbers are those the iopt message reports.
enum class CheckOption : int {
  StopIfMissing = 0,     // "Failure locating file ..." ends the run
  AskIfMissing = 1,      // the failure line, then a prompt for another name
  ReportIfMissing = 2,   // the failure line only; result 2
  NoEarlierVersion = 3,  // "No pre-existing version of file exists"; result 2
};

// Checks whether the file `name` (trailing blanks ignored) exists and writes its full
// (absolute) name into `full_name`; `name` and `full_name` may be the same string.
// Result: 1 found, 2 missing, plus 10 for an option outside 0..3 (reported first).
// Option 0 on a missing file ends the run (FatalError); an empty answer at the option-1
// prompt stops it (StopRequested).
int check_file(Console& console, std::string& name, std::string& full_name, CheckOption option,
               bool messages);

// The absolute path a name resolves to (no check that it exists).
std::string full_path(const std::string& name);

// True when `name` names an existing file that is not a directory.
bool file_exists(const std::string& name);

}  // namespace zalmor::util
