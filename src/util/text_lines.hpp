// Reading one line of a data file with an upper bound on its length.
#pragma once

#include <cstddef>
#include <iosfwd>
#include <string>

#include "util/limits.hpp"

namespace zalmor::util {

enum class LineRead {
  Ok,       // a line (the last one may lack its line end)
  End,      // the end of the file: nothing was read
  TooLong,  // more than the limit before the line end: not a line of a text file
};

// Reads up to the next '\n' into `line`, without it and without a '\r' before it. A line
// longer than `limit` bytes is not stored beyond the limit; the stream is left inside it.
LineRead read_line_bounded(std::istream& in, std::string& line, std::size_t limit = kMaxLineBytes);

}  // namespace zalmor::util
