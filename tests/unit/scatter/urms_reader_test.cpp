// .urms reader: record parsing, error codes and messages, console echo, the shipped example.
#include "scatter/urms_reader.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "util/console.hpp"
#include "util/errors.hpp"

namespace zalmor::scatter {
namespace {

namespace fs = std::filesystem;

// A scratch .urms file that lives for one test.
class UrmsFile {
 public:
  explicit UrmsFile(const std::string& text) {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    path_ = fs::temp_directory_path() / (std::string("zalmor_") + info->test_suite_name() + "_" +
                                         info->name() + "_" + std::to_string(counter_++) + ".urms");
    std::ofstream(path_, std::ios::binary) << text;
  }
  ~UrmsFile() { fs::remove(path_); }
  UrmsFile(const UrmsFile&) = delete;
  UrmsFile& operator=(const UrmsFile&) = delete;
  std::string path() const { return path_.string(); }

 private:
  static inline int counter_ = 0;
  fs::path path_;
};

struct Loaded {
  UrmsReadResult result;
  UrmsTable table;
  int ntypes = 0;
  UrmsFileRead::Stop stop = UrmsFileRead::Stop::kNone;
  std::vector<std::string> lines;
};

Loaded load(const std::string& path, int ntypes) {
  Loaded loaded;
  loaded.ntypes = ntypes;
  const UrmsFileRead read = read_urms_file(path, loaded.ntypes, loaded.table);
  loaded.result = read.result;
  loaded.stop = read.stop;
  loaded.lines = read.lines;
  return loaded;
}

const std::string kRecords22 =
    "1 1 1 1 0.05\n"
    "1 2 1 3 0.06 2.0 0.08 3.0 0.1\n"
    "2 1 1 3 0.06 2.0 0.08 3.0 0.1\n"
    "2 2 2 2 0.05 2.5 0.12 0.0 0.0\n";
const std::string kTotal = "0 0 3 2 0.06 2.6 300.0 28.09 28.09 645.0 645.0 1.5 1.5\n";

struct ReadCase {
  const char* what;
  std::string text;
  int ntypes;
  int ierr;
  int records;  // records in the table afterwards
};

TEST(Readurms, ErrorCodesAndMessages) {
  const std::map<int, std::string> message_of = {
      {0, ""},
      {15, "Negative thermal displacement"},
      {18, "Negative break distance"},
      {19, "Break distances are not sequential"},
      {20, "Error reading data from .URMS file"},
      {21, "Error reading data from record in .URMS file"},
      {22, "Too many records in .URMS file"},
      {25, "Unexpected number of records in file"},
      {26, "Number of points in record is not between 1 and 100"},
      {27, "Correlated Debye model parameters out of range"}};
  const std::string long_pad(200 - 13, ' ');  // "1 1 1 2 0.05 " is 13 characters
  const std::vector<ReadCase> cases = {
      {"4 pairs and the total", "5\n" + kRecords22 + kTotal, 2, 0, 5},
      {"4 pairs", "4\n" + kRecords22, 2, 0, 4},
      {"3 records for 2 types", "3\n1 1 1 1 0.05\n1 2 1 1 0.05\n2 1 1 1 0.05\n", 2, 25, 3},
      {"a later error replaces 25", "3\n1 1 1 1 -0.05\n1 2 1 1 0.05\n2 1 1 1 0.05\n", 2, 15, 3},
      {"26 records, none read", "26\n", 5, 22, 0},
      {"file ends early", "4\n1 1 1 1 0.05\n1 2 1 1 0.05\n", 2, 20, 2},
      {"one value short", "1\n1 2 1 3 0.05 2.0 0.08 3.0\n", 1, 21, 1},
      {"equal breaks", "1\n1 1 1 3 0.05 2.0 0.08 2.0 0.1\n", 1, 19, 1},
      {"falling breaks", "1\n1 1 1 3 0.05 3.0 0.08 2.0 0.1\n", 1, 19, 1},
      {"negative break before order", "1\n1 1 1 3 0.05 2.0 0.08 -1.0 0.1\n", 1, 18, 1},
      {"negative displacement", "1\n1 1 1 2 0.05 2.0 -0.08\n", 1, 15, 1},
      {"zero displacement", "1\n1 1 1 2 0.0 2.0 0.0\n", 1, 0, 1},
      {"extra numbers ignored", "1\n1 1 1 1 0.05 9 9 9 words\n", 1, 0, 1},
      {"text after the count", "1 records\n1 1 1 1 0.05\n", 1, 0, 1},
      {"commas and tabs", "1\n1,1,\t1 , 2,0.05\t2.0 ,0.1\n", 1, 0, 1},
      {"CRLF line ends", "1\r\n1 1 1 1 0.05\r\n", 1, 0, 1},
      {"needed field past column 200", "1\n1 1 1 2 0.05 " + long_pad + "2.0 0.1\n", 1, 21, 1},
      {"value cut at column 200", "1\n1 1 1 1 " + std::string(188, ' ') + "0.05x\n", 1, 0, 1},
      {"blank record line", "1\n\n", 1, 21, 1},
      {"real in an integer field", "1\n1 1 1.0 1 0.05\n", 1, 21, 1},
      {"word in a real field", "1\n1 1 1 1 abc\n", 1, 21, 1},
      {"null value", "1\n1 1 1 2 0.05,,0.1\n", 1, 21, 1},
      {"slash ends the record", "1\n1 1 1 2 0.05 / 2.0 0.1\n", 1, 21, 1},
      {"slash after the last field", "1\n1 1 1 1 0.05 / anything\n", 1, 0, 1},
      {"model 2 lacks a2", "1\n2 2 2 2 0.05 2.5 0.12 0.0\n", 1, 21, 1},
      {"model 3 lacks qdebye2", "1\n0 0 3 2 0.06 2.6 300 28 28 645 645 1.5\n", 1, 21, 1},
      {"unknown model loads", "1\n1 1 7 1 0.05\n", 1, 0, 1},
      {"no points", "1\n1 1 1 0 0.05\n", 1, 26, 1},
      {"101 points", "1\n1 1 1 101 0.05\n", 1, 26, 1},
      {"model 3 zero mass", "1\n0 0 3 2 0.06 2.6 300 0 28 645 645 1.5 1.5\n", 1, 27, 1},
      {"model 3 negative theta", "1\n0 0 3 2 0.06 2.6 300 28 28 645 -6 1.5 1.5\n", 1, 27, 1},
      {"model 3 zero qdebye", "1\n0 0 3 1 300 28 28 645 645 1.5 0\n", 1, 27, 1},
      {"model 3 at 0 K", "1\n0 0 3 1 0 28 28 645 645 1.5 1.5\n", 1, 0, 1},
      {"count 0", "0\n1 1 1 1 0.05\n", 1, 25, 0},
      {"negative count", "-1\n1 1 1 1 0.05\n", 1, 25, 0},
  };
  for (const ReadCase& c : cases) {
    const UrmsFile file(c.text);
    const Loaded loaded = load(file.path(), c.ntypes);
    EXPECT_EQ(loaded.result.ierr, c.ierr) << c.what;
    EXPECT_EQ(loaded.result.message, message_of.at(c.ierr)) << c.what;
    EXPECT_EQ(static_cast<int>(loaded.table.records.size()), c.records) << c.what;
    EXPECT_EQ(loaded.result.nrec, std::stoi(c.text)) << c.what;
  }
}

TEST(Readurms, StoresEveryFieldOfTheRecord) {
  const UrmsFile file("2\n2 2 2 2 0.05 2.5 0.12 1e-3 -2D-2\n" + kTotal);
  const Loaded loaded = load(file.path(), 0);
  ASSERT_EQ(loaded.result.ierr, 0);
  const UrmsRecord& m2 = loaded.table.records[0];
  EXPECT_EQ(m2.itype1, 2);
  EXPECT_EQ(m2.imode, 2);
  EXPECT_EQ(m2.npoint, 2);
  EXPECT_EQ(m2.urms[1], 0.12f);
  EXPECT_EQ(m2.rbreak[0], 2.5f);
  EXPECT_EQ(m2.a1, 1e-3f);
  EXPECT_EQ(m2.a2, -2e-2f);
  const UrmsRecord& m3 = loaded.table.records[1];
  EXPECT_EQ(m3.itype1, 0);
  EXPECT_EQ(m3.itype2, 0);
  EXPECT_EQ(m3.temp, 300.0f);
  EXPECT_EQ(m3.urms[0], 0.06f);
  EXPECT_EQ(m3.rbreak[0], 2.6f);
  EXPECT_EQ(m3.amass1, 28.09f);
  EXPECT_EQ(m3.theta2, 645.0f);
  EXPECT_EQ(m3.qdebye2, 1.5f);
}

TEST(Readurms, DerivesTheNumberOfTypesFromTheCount) {
  const std::vector<std::pair<int, int>> cases = {{5, 2}, {9, 3}, {10, 3}, {0, 0}, {-3, 0}};
  for (const auto& [count, ntypes] : cases) {
    std::string text = std::to_string(count) + "\n";
    for (int k = 0; k < count; ++k) text += "1 1 1 1 0.05\n";
    const UrmsFile file(text);
    const Loaded loaded = load(file.path(), 0);
    EXPECT_EQ(loaded.ntypes, ntypes) << count;
    EXPECT_EQ(loaded.result.ierr, count > 0 ? 0 : 25) << count;
  }
}

TEST(Readurms, KeepsTheRecordLinesReadUpToTheOneThatFails) {
  const std::string long_line = "1 1 1 1 0.05" + std::string(188, ' ') + "cut off";
  const UrmsFile file("3  \n1 1 1 1 0.05   \n" + long_line + "\n1 2 1 2 0.05 x 0.1\n");
  const Loaded loaded = load(file.path(), 0);
  EXPECT_EQ(loaded.result.ierr, 21);
  EXPECT_EQ(loaded.lines, (std::vector<std::string>{"1 1 1 1 0.05   ", long_line.substr(0, 200),
                                                    "1 2 1 2 0.05 x 0.1"}));
}

TEST(Readurms, MissingFileFolderOrCountStopsBeforeAnyRecord) {
  const std::string missing = (fs::temp_directory_path() / "zalmor_no_such_file.urms").string();
  EXPECT_EQ(load(missing, 2).stop, UrmsFileRead::Stop::kCannotOpen);
  // A folder opens as a stream on Linux, whose first read fails.
  EXPECT_EQ(load(fs::temp_directory_path().string(), 2).stop, UrmsFileRead::Stop::kCannotOpen);
  for (const char* text : {"", "\n1 1 1 1 0.05\n", "four\n", "2.0\n"}) {
    const UrmsFile file(text);
    const Loaded loaded = load(file.path(), 2);
    EXPECT_EQ(loaded.stop, UrmsFileRead::Stop::kNoCount) << text;
    EXPECT_TRUE(loaded.table.records.empty()) << text;
  }
}

TEST(Readurms, LoadsTheShippedNaClExample) {
  // Resolved by name, since the test-data folder need not exist.
  const fs::path repo = fs::path(ZALMOR_SOURCE_DIR);
  const Loaded loaded = load((repo / "examples" / "nacl.urms").string(), 2);
  ASSERT_EQ(loaded.result.ierr, 0) << loaded.result.message;
  EXPECT_EQ(loaded.result.nrec, 5);
  EXPECT_EQ(loaded.ntypes, 2);
  // Correlated motion: nearest neighbours move together, distant pairs independently.
  float previous = 0.0f;
  for (float r : {2.82f, 5.0f, 10.0f, 30.0f}) {
    const UrmsValue na_cl = urms_at(loaded.table, r, 1, 2);
    EXPECT_EQ(na_cl.ierr, 0);
    EXPECT_GT(na_cl.u, previous) << r;
    EXPECT_EQ(urms_at(loaded.table, r, 2, 1).u, na_cl.u) << r;
    previous = na_cl.u;
  }
  EXPECT_GT(previous, 0.1f);
  EXPECT_LT(previous, 0.25f);
}

}  // namespace
}  // namespace zalmor::scatter
