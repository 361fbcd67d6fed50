// The .coords reader: layout of the records, every failure and its console text.
#include "util/coords_reader.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "util/errors.hpp"
#include "util/limits.hpp"
#include "util/test_support.hpp"

namespace zalmor::util {
namespace {

using testing::ScratchDir;
using testing::Session;

std::string header_lines(const std::string& name) {
  return " File to be read: " + name + "\n File found: " + name + "\n";
}

TEST(ReadCoords, ReadsTheRecordsOfWellFormedFiles) {
  const struct {
    const char* what;
    std::string content;
    int skip;
    std::vector<int> types;
    std::vector<float> xyz;
  } cases[] = {
      {"one header line", "title\n1 1 0.0 0.5 1.5\n2 2 -1.0 2.0 3.25\n", 1, {1, 2},
       {0.0f, 0.5f, 1.5f, -1.0f, 2.0f, 3.25f}},
      {"exactly the header", "a\nb\n", 2, {}, {}},
      {"empty header lines count", "\n\n1 3 1 2 3\n", 2, {3}, {1, 2, 3}},
      {"no header", "1 1 1 2 3\n", 0, {1}, {1, 2, 3}},
      {"negative skip", "1 1 1 2 3\n", -4, {1}, {1, 2, 3}},
      {"surplus columns", "h\n1 1 1 2 3 9 9 junk\n2 1 4 5 6 x\n", 1, {1, 1}, {1, 2, 3, 4, 5, 6}},
      {"split record and blank line", "h\n1 2\n  0.5 0.25\n\n0.125\n\n\n2 1 1 1 1\n", 1, {2, 1},
       {0.5f, 0.25f, 0.125f, 1, 1, 1}},
      {"commas and tabs", "h\n1,2,\t1.0 , 2.0,3.0\n2\t1\t4\t5\t6\n", 1, {2, 1}, {1, 2, 3, 4, 5, 6}},
      {"CRLF line ends", "h\r\n1 1 1 2 3\r\n2 1 4 5 6\r\n", 1, {1, 1}, {1, 2, 3, 4, 5, 6}},
      {"no final line end", "h\n1 1 1 2 3", 1, {1}, {1, 2, 3}},
      {"incomplete last record", "h\n1 1 1 2 3\n2 1 4 5\n", 1, {1}, {1, 2, 3}},
      {"incomplete bad index", "h\n1 1 1 2 3\n7 1\n", 1, {1}, {1, 2, 3}},
      {"zero and negative types", "h\n1 0 1 2 3\n2 -3 4 5 6\n", 1, {0, -3}, {1, 2, 3, 4, 5, 6}},
      {"exponents", "h\n+1 1 1.5E1 2.5D-1 -3e+0\n", 1, {1}, {15.0f, 0.25f, -3.0f}},
      {"header holds numbers", "1 1 9 9 9\n1 1 1 2 3\n", 1, {1}, {1, 2, 3}},
  };
  ScratchDir dir;
  for (const auto& c : cases) {
    const std::string file = dir.write("m.coords", c.content);
    Session s;
    const Model model = read_coords(s.console, file, c.skip);
    EXPECT_EQ(model.type, c.types) << c.what;
    EXPECT_EQ(model.xyz, c.xyz) << c.what;
    EXPECT_EQ(s.out.str(), header_lines(file) + " Number of atoms in model = " +
                               std::to_string(c.types.size()) + "\n")
        << c.what;
  }
}

TEST(ReadCoords, StopsOnEveryFault) {
  const struct {
    const char* what;
    std::string content;
    int skip;
    const char* message;
  } cases[] = {
      {"short header", "a\n", 2, " Error reading file during skip section"},
      {"empty file", "", 1, " Error reading file during skip section"},
      {"symbol as type", "h\n1 Na 1 2 3\n", 1, " Error reading file during data section"},
      {"real as index", "h\n1.0 1 1 2 3\n", 1, " Error reading file during data section"},
      {"real as type", "h\n1 1.5 1 2 3\n", 1, " Error reading file during data section"},
      {"text as coordinate", "h\n1 1 1 two 3\n", 1, " Error reading file during data section"},
      {"empty field", "h\n1,,1 1 2 3\n", 1, " Error reading file during data section"},
      {"bad value in last record", "h\n1 1 1 2 3\n2 1 x\n", 1,
       " Error reading file during data section"},
      {"index skipped", "h\n1 1 0 0 0\n2 1 0 0 0\n4 1 0 0 0\n5 1 0 0 0\n", 1,
       " Incorrect index for atom\n Atom is3 but index is4"},
      {"first index 0", "h\n0 1 0 0 0\n", 1, " Incorrect index for atom\n Atom is1 but index is0"},
      {"negative index", "h\n1 1 0 0 0\n-2 1 0 0 0\n", 1,
       " Incorrect index for atom\n Atom is2 but index is-2"},
  };
  ScratchDir dir;
  for (const auto& c : cases) {
    const std::string file = dir.write("bad.coords", c.content);
    Session s;
    try {
      read_coords(s.console, file, c.skip);
      ADD_FAILURE() << c.what << ": no error";
    } catch (const FatalError& e) {
      EXPECT_STREQ(e.what(), c.message) << c.what;
    }
    EXPECT_EQ(s.out.str(), header_lines(file)) << c.what;
  }
}

TEST(ReadCoords, AMissingFileIsReportedAfterItsName) {
  ScratchDir dir;
  const std::string file = dir.path("absent.coords");
  Session s;
  try {
    read_coords(s.console, file + "    ", 1);
    FAIL() << "no error";
  } catch (const FatalError& e) {
    EXPECT_STREQ(e.what(), " File not found");
  }
  EXPECT_EQ(s.out.str(), " File to be read: " + file + "\n");
}

TEST(ReadCoords, ResolvesARelativeNameAndCutsALongFullName) {
  ScratchDir dir;
  const auto deep = dir.root() / std::string(60, 'd') / std::string(40, 'e');
  std::filesystem::create_directories(deep);
  const auto cwd = std::filesystem::current_path();
  std::filesystem::current_path(deep);
  { std::ofstream("tiny.coords") << "t\n1 1 0 0 0\n"; }
  Session s;
  const Model model = read_coords(s.console, "tiny.coords", 1);
  std::filesystem::current_path(cwd);
  EXPECT_EQ(model.natoms(), 1);
  const std::string full = (deep / "tiny.coords").string();
  ASSERT_GT(full.size(), 80u);
  EXPECT_EQ(s.out.str(), " File to be read: tiny.coords\n File found: " + full.substr(0, 80) +
                             "\n Number of atoms in model = 1\n");
}

std::string model_text(int atoms) {
  std::string text = "many\n";
  text.reserve(static_cast<std::size_t>(atoms) * 24);
  for (int i = 1; i <= atoms; ++i) {
    text += std::to_string(i) + " " + std::to_string(1 + i % 3) + " " + std::to_string(i % 97) +
            ".5 -" + std::to_string(i % 13) + " 1e-2\n";
  }
  return text;
}

TEST(ReadCoords, HoldsTheLargestModelAndRefusesOneMore) {
  ScratchDir dir;
  {
    // A cut-off extra record does not count against the limit.
    const std::string file = dir.write("full.coords", model_text(kMaxAtoms) + "34501 1 0\n");
    Session s;
    const Model model = read_coords(s.console, file, 1);
    ASSERT_EQ(model.natoms(), kMaxAtoms);
    ASSERT_EQ(model.xyz.size(), 3u * kMaxAtoms);
    EXPECT_EQ(model.type.back(), 1 + kMaxAtoms % 3);
    EXPECT_EQ(model.xyz[3 * (kMaxAtoms - 1)], static_cast<float>(kMaxAtoms % 97) + 0.5f);
    EXPECT_EQ(model.xyz.back(), 0.01f);
  }
  {
    const std::string file = dir.write("over.coords", model_text(kMaxAtoms + 1));
    Session s;
    try {
      read_coords(s.console, file, 1);
      FAIL() << "no error";
    } catch (const FatalError& e) {
      EXPECT_STREQ(e.what(), " Too many atoms in model: at most 34500 can be read");
    }
    EXPECT_EQ(s.out.str(), header_lines(file));
  }
}

}  // namespace
}  // namespace zalmor::util
