// Reader of .urms thermal-factor files: record count, one free-format record per type pair,
// then the checks of displacements, break distances and model parameters.
#include "scatter/urms_reader.hpp"

#include <cmath>
#include <fstream>
#include <optional>
#include <string>

#include "util/console.hpp"
#include "util/errors.hpp"
#include "util/parse.hpp"

namespace zalmor::scatter {

namespace {

constexpr std::size_t kRecordWidth = 200;  // characters of a record line that are read

UrmsReadResult fail(UrmsReadResult result, int ierr, std::string message) {
  result.ierr = ierr;
  result.message = std::move(message);
  return result;
}

// Reads one line without its line end; a carriage return before it is part of the line end.
bool read_line(std::istream& in, std::string& line) {
  if (!std::getline(in, line)) return false;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return true;
}

std::string_view trim_trailing_blanks(std::string_view text) {
  const auto end = text.find_last_not_of(' ');
  return end == std::string_view::npos ? std::string_view{} : text.substr(0, end + 1);
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
  }
  return result;
}

}  // namespace

UrmsReadResult read_urms(util::Console& console, std::string_view file_name,
                         std::string_view program_name, bool verbose, int& ntypes,
                         UrmsTable& table) {
  UrmsReadResult result;
  const std::string name(file_name);
  std::ifstream file(name);
  if (!file) throw util::FatalError(" Cannot open .URMS file " + name);
  if (verbose) console.line(std::string(program_name) + ": Reading thermal factors");

  std::string line;
  std::optional<int> count;
  if (read_line(file, line)) {
    const auto parsed = util::parse_int(line);
    if (parsed.status == util::ParseStatus::Value) count = parsed.value;
  }
  if (!count) throw util::FatalError(" Cannot read the number of records from .URMS file " + name);
  const int nrec = *count;
  result.nrec = nrec;

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
  if (nrec > kMaxUrmsRecords) return fail(result, 22, "Too many records in .URMS file");
  // A file without records describes no pair at all.
  if (nrec <= 0) return fail(result, 25, "Unexpected number of records in file");

  for (int k = 1; k <= nrec; ++k) {
    if (!read_line(file, line)) return fail(result, 20, "Error reading data from .URMS file");
    const std::string_view text = std::string_view(line).substr(0, kRecordWidth);
    if (verbose) console.line(trim_trailing_blanks(text));
    UrmsRecord& record = table.records.emplace_back();
    switch (parse_record(text, record)) {
      case RecordStatus::Ok:
        break;
      case RecordStatus::BadField:
        return fail(result, 21, "Error reading data from record in .URMS file");
      case RecordStatus::BadPointCount:
        return fail(result, 26, "Number of points in record is not between 1 and 100");
    }
  }
  file.close();

  for (const UrmsRecord& record : table.records) {
    if (UrmsReadResult checked = validate(record); checked.ierr != 0) {
      checked.nrec = nrec;
      return checked;
    }
  }
  return result;
}

}  // namespace zalmor::scatter
