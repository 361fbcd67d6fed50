// Fuzzes the .urms thermal-factor reader and evaluates the loaded table: an input gives an
// error code with its message and where it comes from, or a table that u(r) can be
// evaluated on without a hang, a crash or a sanitizer report. Nothing may leave the reader.
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <string>

#include "fuzz_support.hpp"
#include "scatter/thermal.hpp"
#include "scatter/urms_reader.hpp"

namespace {

using zalmor::fuzz::require;
namespace scatter = zalmor::scatter;

bool known_code(int ierr) {
  for (const int code : {0, 15, 18, 19, 20, 21, 22, 25, 26, 27, 28, 29}) {
    if (ierr == code) return true;
  }
  return false;
}

// The same value, NaN matching any NaN.
bool same_float(float a, float b) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
  return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b);
}

void check_value(const scatter::UrmsTable& table, float r, int type1, int type2) {
  const scatter::UrmsValue v = scatter::urms_at(table, r, type1, type2);
  require(v.ierr == 0 || v.ierr == 23 || v.ierr == 24, "unknown urms_at code");
  require((v.ierr == 0) == v.message.empty(), "urms_at message and code disagree");
  if (v.ierr == 0) require(!(v.u < 0.0f), "negative thermal displacement from a valid table");
}

// Every record is evaluated through its own pair. A model-3 value costs four 10000-point
// quadratures, so only the first two model-3 records are tried, at fewer distances: a tiny
// one, both sides of the first break, and a large one.
void evaluate(const scatter::UrmsTable& table) {
  int debye_records = 0;
  for (const scatter::UrmsRecord& record : table.records) {
    const float rb = record.npoint > 1 ? record.rbreak[0] : 2.5f;
    const bool debye = record.imode == 3;
    if (debye && ++debye_records > 2) continue;
    const std::array<float, 5> distances = {1e-30f, rb * 0.5f, rb * 2.0f + 1.0f, 1e4f, 0.0f};
    for (std::size_t i = 0; i < (debye ? 4u : distances.size()); ++i) {
      check_value(table, distances[i], record.itype1, record.itype2);
    }
    // The precomputed evaluator promises bit-for-bit the values of evaluate_record.
    if (debye_records <= 1) {
      const scatter::RecordEvaluator evaluator(record);
      const float r = distances[2];
      require(same_float(evaluator(r), scatter::evaluate_record(record, r)),
              "RecordEvaluator differs from evaluate_record");
    }
  }
  // A pair the table may not hold.
  check_value(table, 1.0f, 7, -7);
}

// True when the table loaded without an error.
bool read_once(const std::string& path, int ntypes_in, bool evaluate_table) {
  scatter::UrmsTable table;
  int ntypes = ntypes_in;
  const scatter::UrmsFileRead read = scatter::read_urms_file(path, ntypes, table);
  if (read.stop != scatter::UrmsFileRead::Stop::kNone) {
    require(read.stop == scatter::UrmsFileRead::Stop::kCannotOpen || !read.where.empty(),
            "a file without a record count does not say where");
    require(table.records.empty(), "records kept from a file that stopped early");
    return false;
  }
  const scatter::UrmsReadResult& result = read.result;
  require(known_code(result.ierr), "unknown read_urms code");
  require((result.ierr == 0) == result.message.empty(), "read_urms message and code disagree");
  require((result.ierr == 0) == read.where.empty(), "a failure does not say where, or a load does");
  require(result.message.size() <= 80, "message longer than 80 characters");
  if (ntypes_in != 0) require(ntypes == ntypes_in, "a given number of types was changed");
  if (result.ierr != 0) return false;
  require(result.nrec >= 1 && result.nrec <= scatter::kMaxUrmsRecords, "record count out of range");
  require(table.records.size() == static_cast<std::size_t>(result.nrec), "records not all kept");
  require(read.lines.size() == table.records.size(), "a record line not kept");
  for (const scatter::UrmsRecord& record : table.records) {
    require(record.npoint >= 1 && record.npoint <= scatter::kMaxUrmsPoints,
            "point count out of range in a loaded record");
  }
  if (evaluate_table) evaluate(table);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const zalmor::fuzz::ScratchFile file(".urms");
  const std::string& path = file.write(zalmor::fuzz::as_text(data, size));
  // The table is evaluated once, after the first successful load: the counts change only
  // the code of the count check, not the records.
  bool evaluated = read_once(path, 0, true);
  evaluated = read_once(path, 1, !evaluated) || evaluated;
  read_once(path, 2, !evaluated);
  return 0;
}
