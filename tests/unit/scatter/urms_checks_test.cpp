// .urms checks beyond the layout: parameter ranges, where a failure was, what a loaded
// table leaves to chance, and the bound of u that the run's range check relies on.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "scatter/thermal.hpp"
#include "scatter/urms_reader.hpp"
#include "support/scratch_dir.hpp"
#include "support/urms_records.hpp"
#include "util/limits.hpp"

namespace zalmor::scatter {
namespace {

using namespace test_support;

struct Read {
  UrmsReadResult result;
  std::string where;  // the failure's file, line and text
};

Read read_text(const std::string& text) {
  // Its own folder: ctest runs the tests of this file side by side.
  const ScratchDir dir;
  const std::string path = dir.write("checks.urms", text);
  UrmsTable table;
  int ntypes = 1;
  const UrmsFileRead read = read_urms_file(path, ntypes, table);
  return {read.result, read.where};
}

TEST(Readurms, RefusesParametersOutsideTheirRangesNamingValueAndLimit) {
  // record line, code, message (0: loads)
  const std::vector<std::tuple<std::string, int, std::string>> cases = {
      {"1 1 3 1 300 1e-38 28 645 645 1.5 1.5", 28,
       "Model-3 mass 9.999999E-39 amu is outside 0.1 to 1000000"},
      {"1 1 3 1 300 28 28 645 1e6 1.5 1.5", 28,
       "Model-3 Debye temperature 1000000 K is outside 1 to 100000"},
      {"1 1 3 1 300 28 28 645 645 1.5 1e38", 28,
       "Model-3 Debye wave vector 1E+38 1/A is outside 0.01 to 100"},
      {"1 1 3 1 2e5 28 28 645 645 1.5 1.5", 28,
       "Model-3 temperature 200000 K is outside 0.001 to 100000"},
      {"1 1 3 1 1e-40 28 28 645 645 1.5 1.5", 28,
       "Model-3 temperature 9.999946E-41 K is outside 0.001 to 100000"},
      {"1 1 3 1 1e5 0.1 1e6 1 1e5 0.01 100", 0, ""},  // every limit itself
      {"1 1 3 1 0.001 0.1 1e6 1 1e5 0.01 100", 0, ""},
      {"1 1 3 1 0 0.1 1e6 1 1e5 0.01 100", 0, ""},  // 0 K: the zero-point value
      {"1 1 2 1 1e38 0 0", 29, "Model-2 tail terms reach 9.999999E+75 A^2, beyond the limit 1E+38"},
      {"1 1 2 1 0.1 -1e-9 0", 29,
       "Negative model-2 tail coefficient needs a positive break distance"},
      {"1 1 2 2 0.1 1e-20 0.2 1e30 0", 29,
       "Model-2 tail terms reach 1E+50 A^2, beyond the limit 1E+38"},
      {"1 1 2 2 0.1 2.0 0.2 -1e37 -1e37", 0, ""},
      {"1 1 2 1 0.1 1e30 1e30", 0, ""},  // positive terms only lower the tail
  };
  for (const auto& [record, ierr, message] : cases) {
    SCOPED_TRACE(record);
    const Read r = read_text("1\n" + record + "\n");
    EXPECT_EQ(r.result.ierr, ierr);
    EXPECT_EQ(r.result.message, message);
    if (ierr != 0) {
      EXPECT_NE(r.where.find(".urms:2: " + message + ": \"" + record + "\""), std::string::npos)
          << r.where;
    }
  }
}

TEST(Readurms, EveryFailureNamesItsLine) {
  const std::string long_line(kMaxLineBytes + 1, '1');
  EXPECT_NE(read_text("2\n1 1 1 1 0.05\n1 1 x\n")
                .where.find(".urms:3: Error reading data from "
                            "record in .URMS file: \"1 1 x\""),
            std::string::npos);
  const std::string three = "3\n1 1 1 1 0.05\n1 1 1 1 0.05\n1 1 1 1 0.05\n";
  EXPECT_NE(read_text(three).where.find(".urms:1: Unexpected number of records in file: \"3\""),
            std::string::npos);
  // A line without end is a read error at its bound, not a growing buffer.
  const Read overlong = read_text("1\n" + long_line);
  EXPECT_EQ(overlong.result.ierr, 20);
  EXPECT_NE(overlong.where.find(".urms:2: Error reading data from .URMS file"), std::string::npos);
  EXPECT_NE(read_text(long_line + "\n").where.find(".urms:1: no record count"), std::string::npos);
}

TEST(UrmsWarnings, MissingDuplicatedAndDisagreeingRecords) {
  UrmsTable table;
  table.records = {make_record(1, 1, 1, {0.05f}, {}), make_record(1, 2, 1, {0.06f}, {}),
                   make_record(2, 1, 1, {0.07f}, {}), make_record(1, 1, 1, {0.08f}, {})};
  const std::vector<int> count{3, 2, 0};  // type 3 is absent: its pairs are never asked for
  EXPECT_EQ(urms_warnings(table, count, false),
            (std::vector<std::string>{
                "no record for the type pair 2 2: its u is 0.05 A at every distance",
                "2 records for the type pair 1 1: the last one, record 4, is used",
                "the records for the type pairs 1 2 and 2 1 differ: the total is then not the "
                "sum of the partials"}));
  // With a total record, (2, 1) is not looked up; the (0, 0) record is.
  table.records.erase(table.records.begin() + 2);
  table.records.push_back(make_record(2, 2, 1, {0.05f}, {}));
  EXPECT_EQ(urms_warnings(table, count, true).front(),
            "no record for the type pair 0 0: its u is 0.05 A at every distance");

  // A correlated Debye pair written in both orders, atoms swapped, is the same model.
  UrmsRecord ab = make_record(1, 2, 3, {0.08f, 300.0f}, {2.5f});
  UrmsRecord ba = ab;
  std::swap(ba.itype1, ba.itype2);
  std::swap(ba.amass1, ba.amass2);
  std::swap(ba.theta1, ba.theta2);
  std::swap(ba.qdebye1, ba.qdebye2);
  table.records = {make_record(1, 1, 1, {0.05f}, {}), ab, ba, make_record(2, 2, 1, {0.05f}, {})};
  EXPECT_TRUE(urms_warnings(table, std::vector<int>{1, 1}, false).empty());
}

TEST(LargestU, BoundsTheRecordAtEveryDistance) {
  UrmsRecord steps = make_record(1, 1, 1, {0.05f, 0.3f, 0.1f}, {2.0f, 3.0f});
  UrmsRecord tail = make_record(1, 1, 2, {0.05f, 0.1f}, {1.5f});
  tail.a1 = -0.02f;
  tail.a2 = -0.01f;
  UrmsRecord debye = make_record(1, 2, 3, {0.08f, 300.0f}, {2.5f});
  UrmsRecord cold = debye;
  cold.temp = 0.0f;
  for (const UrmsRecord& rec : {steps, tail, debye, cold}) {
    const double bound = largest_u(rec);
    ASSERT_TRUE(std::isfinite(bound));
    double largest = 0.0;
    for (float r = 0.01f; r < 60.0f; r *= 1.07f) {
      largest = std::max(largest, double{evaluate_record(rec, r)});
    }
    EXPECT_GE(bound, largest) << rec.imode;
    EXPECT_LT(bound, 3.0 * largest + 0.1) << rec.imode;  // a bound, not a guess
  }
  tail.rbreak[0] = 0.0f;
  EXPECT_TRUE(std::isinf(largest_u(tail)));
}

}  // namespace
}  // namespace zalmor::scatter
