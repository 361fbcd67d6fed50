// Reads .ioq files back into their blocks of named fields, exactly as they were stored.
// The other input readers: util/coords_reader.hpp (.coords), scatter/urms_reader.hpp (.urms).
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "output/ioq_format.hpp"

namespace zalmor::output {

struct IoqBlock {
  int number = 0;             // 1, 2, ... in file order
  std::vector<Field> fields;  // in the order they were stored
  std::size_t rows = 0;       // data rows "x y e" of the block

  // The field of that name, or nullptr.
  const Field* find(std::string_view name) const;
};

struct IoqFile {
  int version = 0;                  // 1 or 2
  std::vector<MetaEntry> metadata;  // in file order; none in version 1
  std::vector<IoqBlock> blocks;

  // The texts of every metadata line with that key, in file order.
  std::vector<std::string> meta_values(std::string_view key) const;
  // The text of the first metadata line with that key, or nullptr.
  const std::string* meta(std::string_view key) const;
};

// A file that cannot be read or is not a well-formed .ioq file. what() names the file
// and, for malformed content, the line.
struct IoqError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Parses the whole text of a file; `source` names it in messages. Memory use is bounded
// by the size of the text, whatever counts the text claims.
IoqFile parse_ioq(std::string_view text, std::string_view source = "<text>");

IoqFile read_ioq(std::string_view path);

}  // namespace zalmor::output
