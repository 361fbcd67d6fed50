// Reader of .urms thermal-factor files: record count, one free-format record per type pair,
// then the checks of displacements, break distances and model parameters.
#include "scatter/urms_reader.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <ios>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "util/parse.hpp"
#include "util/text_lines.hpp"

namespace zalmor::scatter {

namespace {

constexpr std::size_t kRecordWidth = 200;  // characters of a record line that are read

UrmsReadResult fail(UrmsReadResult result, int ierr, std::string message) {
  result.ierr = ierr;
  result.message = std::move(message);
  return result;
}

// Reads one line without its line end; a carriage return before it is part of the line end.
// A line past the length bound is no line of a .urms file: a read error.
bool read_line(std::istream& in, std::string& line) {
  return util::read_line_bounded(in, line) == util::LineRead::Ok;
}

std::string number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.7G", value);
  return text;
}

// Physical ranges of the correlated Debye model's parameters. Within them every
// intermediate of the model stays well inside single precision, and the evaluator's
// distance table stays small (its step shrinks with the Debye wave vector).
struct Range {
  const char* what;
  const char* unit;
  double low, high;
};
constexpr Range kMass{"mass", "amu", 0.1, 1.0e6};
constexpr Range kTheta{"Debye temperature", "K", 1.0, 1.0e5};
constexpr Range kQDebye{"Debye wave vector", "1/A", 0.01, 100.0};
// 0 K (the zero-point value) or a temperature at which theta / T stays well in range.
constexpr Range kTemperature{"temperature", "K", 1.0e-3, 1.0e5};

std::optional<std::string> outside(const Range& range, float value) {
  // The limits as the file's values are stored: 0.01 reads as the float nearest to it.
  if (value >= static_cast<float>(range.low) && value <= static_cast<float>(range.high)) {
    return std::nullopt;
  }
  return "Model-3 " + std::string(range.what) + " " + number(value) + " " + range.unit +
         " is outside " + number(range.low) + " to " + number(range.high);
}

// The model-2 tail is u(n)^2 - a1/r - a2/r^2 from the last break distance on (everywhere
// when there is none). Its largest value must leave u^2 in single precision; a negative
// coefficient makes it grow without bound towards r = 0 unless a break distance stops it.
std::optional<std::string> tail_out_of_range(const UrmsRecord& record) {
  const double last = record.urms[static_cast<std::size_t>(record.npoint - 1)];
  const double r_low =
      record.npoint >= 2 ? double{record.rbreak[static_cast<std::size_t>(record.npoint - 2)]} : 0.0;
  const double grow1 = std::max(0.0, -static_cast<double>(record.a1));
  const double grow2 = std::max(0.0, -static_cast<double>(record.a2));
  if ((grow1 > 0.0 || grow2 > 0.0) && r_low <= 0.0) {
    return std::string("Negative model-2 tail coefficient needs a positive break distance");
  }
  double largest = last * last;
  if (r_low > 0.0) {
    largest = std::max({largest, last * last + grow1 / r_low + grow2 / (r_low * r_low),
                        std::fabs(double{record.a1}) / r_low,
                        std::fabs(double{record.a2}) / (r_low * r_low)});
  }
  if (largest <= kMaxTailSquare) return std::nullopt;
  return "Model-2 tail terms reach " + number(largest) + " A^2, beyond the limit " +
         number(kMaxTailSquare);
}

// The values of one record line, read in sequence. A slash ends the record: fields after
// it count as missing. A null field (two commas in a row) is not a value either.
class RecordFields {
 public:
  explicit RecordFields(std::string_view text) : scanner_(text.substr(0, text.find('/'))) {}

  bool next_int(int& value) {
    const auto field = scanner_.next();
    if (!field) return false;
    const auto parsed = util::field_to_int(*field);
    if (!parsed) return false;
    value = *parsed;
    return true;
  }

  bool next_real(float& value) {
    const auto field = scanner_.next();
    if (!field) return false;
    const auto parsed = util::field_to_real(*field);
    if (!parsed) return false;
    value = *parsed;
    return true;
  }

 private:
  util::FieldScanner scanner_;
};

enum class RecordStatus { Ok, BadField, BadPointCount };

// Fields 1 .. 2*npoint+3, then the model's parameters. The point count is checked as soon
// as it is read, before any value is stored past the table's 100 points.
RecordStatus parse_record(std::string_view text, UrmsRecord& record) {
  RecordFields fields(text);
  if (!fields.next_int(record.itype1) || !fields.next_int(record.itype2) ||
      !fields.next_int(record.imode) || !fields.next_int(record.npoint)) {
    return RecordStatus::BadField;
  }
  if (record.npoint < 1 || record.npoint > kMaxUrmsPoints) return RecordStatus::BadPointCount;
  if (!fields.next_real(record.urms[0])) return RecordStatus::BadField;
  for (int m = 1; m <= record.npoint - 1; ++m) {
    if (!fields.next_real(record.rbreak[m - 1]) || !fields.next_real(record.urms[m])) {
      return RecordStatus::BadField;
    }
  }
  if (record.imode == 2) {
    if (!fields.next_real(record.a1) || !fields.next_real(record.a2)) {
      return RecordStatus::BadField;
    }
  } else if (record.imode == 3) {
    if (!fields.next_real(record.amass1) || !fields.next_real(record.amass2) ||
        !fields.next_real(record.theta1) || !fields.next_real(record.theta2) ||
        !fields.next_real(record.qdebye1) || !fields.next_real(record.qdebye2)) {
      return RecordStatus::BadField;
    }
    // The last value of a model-3 record is its temperature, not a displacement.
    record.temp = record.urms[record.npoint - 1];
  }
  return RecordStatus::Ok;
}

// The checks made once the whole file is in, in the order a record is looked at; the code
// of the first failure, or 0.
UrmsReadResult validate(const UrmsRecord& record) {
  UrmsReadResult result;
  const int n = record.npoint;
  for (int m = 1; m <= n; ++m) {
    if (record.urms[m - 1] < 0.0f) return fail(result, 15, "Negative thermal displacement");
  }
  for (int m = 1; m <= n - 1; ++m) {
    if (record.rbreak[m - 1] < 0.0f) return fail(result, 18, "Negative break distance");
  }
  for (int m = 1; m <= n - 2; ++m) {
    if (!(record.rbreak[m] > record.rbreak[m - 1])) {
      return fail(result, 19, "Break distances are not sequential");
    }
  }
  // The correlated Debye model divides by masses, Debye temperatures and wave vectors, and
  // its integrals run to theta / T: refuse what would give no physical displacement.
  if (record.imode == 3) {
    const bool positive = record.amass1 > 0.0f && record.amass2 > 0.0f && record.theta1 > 0.0f &&
                          record.theta2 > 0.0f && record.qdebye1 > 0.0f && record.qdebye2 > 0.0f;
    if (!positive || record.temp < 0.0f) {
      return fail(result, 27, "Correlated Debye model parameters out of range");
    }
    for (const auto& [range, value] :
         {std::pair{kMass, record.amass1}, std::pair{kMass, record.amass2},
          std::pair{kTheta, record.theta1}, std::pair{kTheta, record.theta2},
          std::pair{kQDebye, record.qdebye1}, std::pair{kQDebye, record.qdebye2},
          std::pair{kTemperature, record.temp == 0.0f ? 1.0f : record.temp}}) {
      if (auto message = outside(range, value)) return fail(result, 28, std::move(*message));
    }
  }
  if (record.imode == 2) {
    if (auto message = tail_out_of_range(record)) return fail(result, 29, std::move(*message));
  }
  return result;
}

// Where a failure comes from: file, line number, message and the line's text.
std::string where(const std::string& file, int line_number, std::string_view text,
                  std::string_view message) {
  std::string shown;
  for (const char c : text.substr(0, 100)) {
    const auto u = static_cast<unsigned char>(c);
    shown += u < 0x20 || u == 0x7f ? '?' : c;
  }
  if (text.size() > 100) shown += "...";
  return file + ":" + std::to_string(line_number) + ": " + std::string(message) + ": \"" + shown +
         "\"";
}

// The reading itself; a read error of the stream (a folder given as the file) throws
// std::ios_base::failure, which read_urms_file turns into its result.
void read_into(std::ifstream& file, const std::string& name, int& ntypes, UrmsTable& table,
               UrmsFileRead& read) {
  UrmsReadResult& result = read.result;
  std::string line;
  std::optional<int> count;
  if (read_line(file, line)) {
    const auto parsed = util::parse_int(line);
    if (parsed.status == util::ParseStatus::Value) count = parsed.value;
  }
  if (!count) {
    read.stop = UrmsFileRead::Stop::kNoCount;
    read.where = where(name, 1, line, "no record count");
    return;
  }
  const std::string count_line = line;
  const int nrec = *count;
  result.nrec = nrec;

  const auto fail_at = [&](int line_number, std::string_view text, int ierr, std::string message) {
    read.where = where(name, line_number, text, message);
    result = fail(result, ierr, std::move(message));
  };

  if (ntypes != 0) {
    // A complete file holds every ordered type pair, and may add the total-function record.
    const long long pairs = static_cast<long long>(ntypes) * ntypes;
    if (nrec != pairs && nrec != pairs + 1) {
      result = fail(result, 25, "Unexpected number of records in file");
    }
  } else if (nrec >= 0) {
    ntypes = static_cast<int>(std::sqrt(static_cast<double>(nrec)));
  }
  table.records.clear();
  if (nrec > kMaxUrmsRecords) return fail_at(1, count_line, 22, "Too many records in .URMS file");
  // A file without records describes no pair at all.
  if (nrec <= 0) return fail_at(1, count_line, 25, "Unexpected number of records in file");

  for (int k = 1; k <= nrec; ++k) {
    if (!read_line(file, line)) {
      return fail_at(k + 1, line, 20, "Error reading data from .URMS file");
    }
    const std::string_view text = std::string_view(line).substr(0, kRecordWidth);
    read.lines.emplace_back(text);
    UrmsRecord& record = table.records.emplace_back();
    switch (parse_record(text, record)) {
      case RecordStatus::Ok:
        break;
      case RecordStatus::BadField:
        return fail_at(k + 1, text, 21, "Error reading data from record in .URMS file");
      case RecordStatus::BadPointCount:
        return fail_at(k + 1, text, 26, "Number of points in record is not between 1 and 100");
    }
  }

  for (std::size_t k = 0; k < table.records.size(); ++k) {
    if (UrmsReadResult checked = validate(table.records[k]); checked.ierr != 0) {
      checked.nrec = nrec;
      read.where = where(name, static_cast<int>(k) + 2, read.lines[k], checked.message);
      result = checked;
      return;
    }
  }
  if (result.ierr != 0) read.where = where(name, 1, count_line, result.message);
}

}  // namespace

UrmsFileRead read_urms_file(std::string_view file_name, int& ntypes, UrmsTable& table) {
  UrmsFileRead read;
  const std::string name(file_name);
  std::error_code ec;
  std::ifstream file;
  if (!std::filesystem::is_directory(name, ec)) file.open(name);
  if (!file.is_open()) {
    read.stop = UrmsFileRead::Stop::kCannotOpen;
    return read;
  }
  try {
    read_into(file, name, ntypes, table, read);
  } catch (const std::ios_base::failure&) {
    read.where = name + ": the file cannot be read";
    read.result = fail(read.result, 20, "Error reading data from .URMS file");
  }
  return read;
}

namespace {

// Two records give the same u at every distance: equal fields, the two atoms of a
// correlated Debye record taken in either order.
bool same_model(const UrmsRecord& a, const UrmsRecord& b) {
  if (a.imode != b.imode || a.npoint != b.npoint) return false;
  const auto n = static_cast<std::size_t>(a.npoint);
  for (std::size_t m = 0; m < n; ++m) {
    if (a.urms[m] != b.urms[m] || (m + 1 < n && a.rbreak[m] != b.rbreak[m])) return false;
  }
  if (a.imode == 2) return a.a1 == b.a1 && a.a2 == b.a2;
  if (a.imode == 3) {
    const auto atom = [](float m, float t, float q) { return std::array<float, 3>{m, t, q}; };
    const auto a1 = atom(a.amass1, a.theta1, a.qdebye1), a2 = atom(a.amass2, a.theta2, a.qdebye2);
    const auto b1 = atom(b.amass1, b.theta1, b.qdebye1), b2 = atom(b.amass2, b.theta2, b.qdebye2);
    return (a1 == b1 && a2 == b2) || (a1 == b2 && a2 == b1);
  }
  return true;
}

std::string pair_text(int a, int b) { return std::to_string(a) + " " + std::to_string(b); }

}  // namespace

std::vector<std::string> urms_warnings(const UrmsTable& table, std::span<const int> count,
                                       bool total_record) {
  std::vector<std::string> warnings;
  const int ntypes = static_cast<int>(count.size());
  const auto present = [&](int t) { return count[static_cast<std::size_t>(t - 1)] > 0; };
  // The pairs the calculation looks up: a <= b for the partials, both orders for the total
  // unless it has a record of its own.
  std::vector<std::pair<int, int>> used;
  for (int a = 1; a <= ntypes; ++a) {
    for (int b = 1; b <= ntypes; ++b) {
      if (present(a) && present(b) && (a <= b || !total_record)) used.emplace_back(a, b);
    }
  }
  if (total_record) used.emplace_back(0, 0);
  for (const auto& [a, b] : used) {
    if (find_record(table, a, b) == nullptr) {
      warnings.push_back("no record for the type pair " + pair_text(a, b) +
                         ": its u is 0.05 A at every distance");
    }
  }

  std::vector<std::pair<int, int>> seen;
  for (std::size_t k = 0; k < table.records.size(); ++k) {
    const UrmsRecord& r = table.records[k];
    const std::pair pair{r.itype1, r.itype2};
    if (std::find(seen.begin(), seen.end(), pair) != seen.end()) continue;
    seen.push_back(pair);
    std::size_t last = k;
    int n = 0;
    for (std::size_t j = k; j < table.records.size(); ++j) {
      if (table.records[j].itype1 == r.itype1 && table.records[j].itype2 == r.itype2) {
        last = j;
        ++n;
      }
    }
    if (n > 1) {
      warnings.push_back(std::to_string(n) + " records for the type pair " +
                         pair_text(r.itype1, r.itype2) + ": the last one, record " +
                         std::to_string(last + 1) + ", is used");
    }
  }

  for (int a = 1; a <= ntypes; ++a) {
    for (int b = a + 1; b <= ntypes; ++b) {
      const UrmsRecord* ab = find_record(table, a, b);
      const UrmsRecord* ba = find_record(table, b, a);
      if (ab != nullptr && ba != nullptr && !same_model(*ab, *ba)) {
        warnings.push_back("the records for the type pairs " + pair_text(a, b) + " and " +
                           pair_text(b, a) + " differ: the total is then not the sum of " +
                           "the partials");
      }
    }
  }
  return warnings;
}

}  // namespace zalmor::scatter
