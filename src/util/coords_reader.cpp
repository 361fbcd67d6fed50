// The reader of .coords model files: skipped header lines, then index, type, x, y, z per atom.
#include "util/coords_reader.hpp"

#include <fstream>
#include <string>

#include "util/check_file.hpp"
#include "util/console.hpp"
#include "util/errors.hpp"
#include "util/format.hpp"
#include "util/limits.hpp"
#include "util/parse.hpp"

namespace zalmor::util {

namespace {

std::string trimmed(std::string_view text) {
  return std::string(text.substr(0, static_cast<std::size_t>(len_string(text))));
}

[[noreturn]] void data_error() { throw FatalError(" Error reading file during data section"); }

// One atom record, filled value by value; a record may run over several lines.
struct Record {
  static constexpr int kFields = 5;  // index, type, x, y, z
  int filled = 0;
  int index = 0;
  int type = 0;
  float xyz[3] = {0.0f, 0.0f, 0.0f};

  // Takes the next value; true when the record is complete.
  bool take(std::string_view field) {
    if (filled < 2) {
      const auto value = field_to_int(field);
      if (!value) data_error();
      (filled == 0 ? index : type) = *value;
    } else {
      const auto value = field_to_real(field);
      if (!value) data_error();
      xyz[filled - 2] = *value;
    }
    return ++filled == kFields;
  }
};

}  // namespace

Model read_coords(Console& console, std::string_view file_name, int skip) {
  const std::string name = trimmed(file_name);
  console.line("File to be read: " + name);
  if (!file_exists(name)) throw FatalError(" File not found");
  const std::string full_name = full_path(name).substr(0, static_cast<std::size_t>(kNameLength));
  console.line("File found: " + trimmed(full_name));

  std::ifstream in(name);
  if (!in) throw FatalError(" Error opening file");

  Model model;
  std::string line;
  for (int i = 0; i < skip; ++i) {
    if (!std::getline(in, line)) throw FatalError(" Error reading file during skip section");
    if (i == 0) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      model.title = line;
    }
  }

  Record record;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    FieldScanner fields(line);
    while (const auto field = fields.next()) {
      if (!record.take(*field)) continue;
      const int atom = model.natoms() + 1;
      if (record.index != atom) {
        throw FatalError(" Incorrect index for atom\n Atom is" + format_int(atom) +
                         " but index is" + format_int(record.index));
      }
      if (atom > kMaxAtoms) {
        throw FatalError(" Too many atoms in model: at most " + format_int(kMaxAtoms) +
                         " can be read");
      }
      model.type.push_back(record.type);
      model.xyz.insert(model.xyz.end(), record.xyz, record.xyz + 3);
      record = Record{};
      break;  // the rest of a record's last line is not read
    }
  }
  // getline stops at the end of the file; anything else is a failed read.
  if (in.bad()) data_error();

  print_with_int(console, "Number of atoms in model = ", model.natoms());
  return model;
}

}  // namespace zalmor::util
