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
#include "util/text_lines.hpp"

namespace zalmor::util {

namespace {

std::string trimmed(std::string_view text) {
  return std::string(text.substr(0, static_cast<std::size_t>(len_string(text))));
}

// Thrown by a record value that is not a number of its kind; the reader adds where it was.
struct BadValue {};

constexpr std::string_view kDataError = " Error reading file during data section";

// The offending text of a line as a detail line shows it: cut, and without control bytes.
std::string shown_text(std::string_view text) {
  constexpr std::size_t kShown = 100;
  std::string shown;
  for (const char c : text.substr(0, kShown)) {
    const auto u = static_cast<unsigned char>(c);
    shown += u < 0x20 || u == 0x7f ? '?' : c;
  }
  if (text.size() > kShown) shown += "...";
  return shown;
}

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
      if (!value) throw BadValue{};
      (filled == 0 ? index : type) = *value;
    } else {
      const auto value = field_to_real(field);
      if (!value) throw BadValue{};
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
  // Standard output keeps the reader's own message; standard error says where.
  long long line_number = 0;
  std::string line;
  const auto fail_at = [&](std::string_view message, std::string_view reason) {
    console.note(name + ":" + std::to_string(line_number) + ": " + std::string(reason) + ": \"" +
                 shown_text(line) + "\"");
    throw FatalError(std::string(message));
  };

  for (int i = 0; i < skip; ++i) {
    ++line_number;
    const LineRead read = read_line_bounded(in, line);
    if (read == LineRead::TooLong) {
      fail_at(" Error reading file during skip section", "line longer than 1 MiB");
    }
    if (read != LineRead::Ok) {
      --line_number;
      line.clear();
      fail_at(" Error reading file during skip section",
              "the file ends within its " + std::to_string(skip) + " header lines");
    }
    if (i == 0) model.title = line;  // read_line_bounded has taken off any \r
  }

  Record record;
  long long unfinished_line = 0;  // where a record still open at the end of the file ended
  std::string unfinished_text;
  for (;;) {
    const LineRead read = read_line_bounded(in, line);
    if (read == LineRead::End) break;
    ++line_number;
    if (read == LineRead::TooLong) fail_at(kDataError, "line longer than 1 MiB");
    FieldScanner fields(line);
    bool took_values = false;
    while (const auto field = fields.next()) {
      took_values = true;
      bool complete = false;
      try {
        complete = record.take(*field);
      } catch (const BadValue&) {
        fail_at(kDataError, "\"" + std::string(*field) + "\" is not a number of its kind");
      }
      if (!complete) continue;
      const int atom = model.natoms() + 1;
      if (record.index != atom) {
        fail_at(" Incorrect index for atom\n Atom is" + format_int(atom) + " but index is" +
                    format_int(record.index),
                "atom " + format_int(atom) + " has the index " + format_int(record.index));
      }
      if (atom > kMaxAtoms) {
        fail_at(" Too many atoms in model: at most " + format_int(kMaxAtoms) + " can be read",
                "atom " + format_int(atom) + " is one too many");
      }
      model.type.push_back(record.type);
      model.xyz.insert(model.xyz.end(), record.xyz, record.xyz + 3);
      record = Record{};
      break;  // the rest of a record's last line is not read
    }
    if (record.filled > 0 && took_values) {
      unfinished_line = line_number;
      unfinished_text = line;
    }
  }
  // The line reader stops at the end of the file; anything else is a failed read.
  if (in.bad()) {
    line.clear();
    fail_at(kDataError, "read error");
  }

  // Counting stops at the last whole record, as it always has; a cut-off file is said.
  if (record.filled > 0) {
    console.note(name + ":" + std::to_string(unfinished_line) + ": warning: the file ends " +
                 "within the record of atom " + format_int(model.natoms() + 1) + " (" +
                 std::to_string(record.filled) + " of its " + std::to_string(Record::kFields) +
                 " values), which is not read: \"" + shown_text(unfinished_text) + "\"");
  }
  print_with_int(console, "Number of atoms in model = ", model.natoms());
  return model;
}

}  // namespace zalmor::util
