// The .coords reader: layout of the records, every failure and its console text.
#include "util/coords_reader.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "support/console_session.hpp"
#include "support/scratch_dir.hpp"
#include "util/errors.hpp"
#include "util/limits.hpp"

namespace zalmor::util {
namespace {

using test_support::ScratchDir;
using test_support::Session;

// Files are read by a relative name with trailing blanks, in a folder so deep that the full
// name is cut at 80 characters on the console.
const std::string kDeep = std::string(60, 'd') + "/" + std::string(40, 'e');
const std::string kToBeRead = " File to be read: m.coords\n";

std::string found(const ScratchDir& dir) {
  return " File found: " + dir.file("m.coords").substr(0, 80) + "\n";
}

// Everything the user sees: the console lines, then the last words of a stopped run.
std::string report(int skip, Model& model) {
  Session s;
  try {
    model = read_coords(s.console, "m.coords   ", skip);
  } catch (const FatalError& e) {
    return s.out.str() + e.what();
  }
  return s.out.str();
}

TEST(ReadCoords, ModelsAndMessages) {
  const std::string data_error = " Error reading file during data section";
  // what, file text, lines to skip, the atom count or the message that ends the report,
  // types and coordinates read
  const std::tuple<const char*, std::string, int, std::string, std::vector<int>, std::vector<float>>
      cases[] = {
          {"one header line",
           "title\n1 1 0.0 0.5 1.5\n2 2 -1 2 3.25\n",
           1,
           "2",
           {1, 2},
           {0.0f, 0.5f, 1.5f, -1.0f, 2.0f, 3.25f}},
          {"exactly the header", "a\nb\n", 2, "0", {}, {}},
          {"empty header lines count", "\n\n1 3 1 2 3\n", 2, "1", {3}, {1, 2, 3}},
          {"negative skip", "1 1 1 2 3\n", -4, "1", {1}, {1, 2, 3}},
          {"surplus columns",
           "h\n1 1 1 2 3 9 junk\n2 1 4 5 6 x\n",
           1,
           "2",
           {1, 1},
           {1, 2, 3, 4, 5, 6}},
          {"split record, blank lines",
           "h\n1 2\n  0.5 0.25\n\n0.125\n\n\n2 1 1 1 1\n",
           1,
           "2",
           {2, 1},
           {0.5f, 0.25f, 0.125f, 1, 1, 1}},
          {"commas and tabs",
           "h\n1,2,\t1 , 2,3\n2\t1\t4\t5\t6\n",
           1,
           "2",
           {2, 1},
           {1, 2, 3, 4, 5, 6}},
          {"CRLF", "h\r\n1 1 1 2 3\r\n2 1 4 5 6\r\n", 1, "2", {1, 1}, {1, 2, 3, 4, 5, 6}},
          {"no final line end", "h\n1 1 1 2 3", 1, "1", {1}, {1, 2, 3}},
          {"incomplete last record", "h\n1 1 1 2 3\n7 1 4 5\n", 1, "1", {1}, {1, 2, 3}},
          {"types 0 and -3", "h\n1 0 1 2 3\n2 -3 4 5 6\n", 1, "2", {0, -3}, {1, 2, 3, 4, 5, 6}},
          {"exponents", "h\n+1 1 1.5E1 2.5D-1 -3e+0\n", 1, "1", {1}, {15.0f, 0.25f, -3.0f}},
          {"header holds numbers", "1 1 9 9 9\n1 1 1 2 3\n", 1, "1", {1}, {1, 2, 3}},
          {"short header", "a\n", 2, " Error reading file during skip section", {}, {}},
          {"symbol as type", "h\n1 Na 1 2 3\n", 1, data_error, {}, {}},
          {"real as index", "h\n1.0 1 1 2 3\n", 1, data_error, {}, {}},
          {"text as coordinate", "h\n1 1 1 two 3\n", 1, data_error, {}, {}},
          {"empty field", "h\n1,,1 1 2 3\n", 1, data_error, {}, {}},
          {"bad value in last record", "h\n1 1 1 2 3\n2 1 x\n", 1, data_error, {}, {}},
          {"index skipped",
           "h\n1 1 0 0 0\n2 1 0 0 0\n4 1 0 0 0\n5 1 0 0 0\n",
           1,
           " Incorrect index for atom\n Atom is3 but index is4",
           {},
           {}},
          {"negative index",
           "h\n1 1 0 0 0\n-2 1 0 0 0\n",
           1,
           " Incorrect index for atom\n Atom is2 but index is-2",
           {},
           {}},
      };
  ScratchDir dir;
  dir.enter(kDeep);
  Model model;
  EXPECT_EQ(report(1, model), kToBeRead + " File not found");
  for (const auto& [what, content, skip, tail, types, xyz] : cases) {
    SCOPED_TRACE(what);
    dir.write("m.coords", content);
    model = {};
    // A message starts with its blank column; a bare number is the atom count.
    const std::string end = tail[0] == ' ' ? tail : " Number of atoms in model = " + tail + "\n";
    EXPECT_EQ(report(skip, model), kToBeRead + found(dir) + end);
    EXPECT_EQ(model.type, types);
    EXPECT_EQ(model.xyz, xyz);
  }
}

TEST(ReadCoords, TitleIsTheFirstSkippedLine) {
  const std::tuple<std::string, int, std::optional<std::string>> cases[] = {
      {"NaCl crystallite\r\nsecond\n1 1 0 0 0\n", 2, "NaCl crystallite"},
      {"\nsecond\n1 1 0 0 0\n", 2, ""},
      {"1 1 0 0 0\n", 0, std::nullopt},
  };
  ScratchDir dir;
  dir.enter();
  for (const auto& [content, skip, title] : cases) {
    dir.write("m.coords", content);
    Model model;
    report(skip, model);
    EXPECT_EQ(model.title, title) << content;
  }
}

TEST(ReadCoords, HoldsTheLargestModelAndRefusesOneMore) {
  std::string text = "many\n";
  for (int i = 1; i <= kMaxAtoms; ++i) {
    text += std::to_string(i) + " " + std::to_string(i % 7) + " 0 " + std::to_string(i % 97) +
            " 1e-2\n";
  }
  ScratchDir dir;
  dir.enter(kDeep);
  Model model;
  // A cut-off extra record does not count against the limit; a whole one is refused.
  dir.write("m.coords", text + "34501 1 0\n");
  EXPECT_EQ(report(1, model), kToBeRead + found(dir) + " Number of atoms in model = 34500\n");
  ASSERT_EQ(model.xyz.size(), 3u * kMaxAtoms);
  EXPECT_EQ(model.type.back(), kMaxAtoms % 7);
  EXPECT_EQ(model.xyz[3 * kMaxAtoms - 2], static_cast<float>(kMaxAtoms % 97));
  EXPECT_EQ(model.xyz.back(), 0.01f);
  dir.write("m.coords", text + "34501 1 0 0 0\n");
  EXPECT_EQ(report(1, model),
            kToBeRead + found(dir) + " Too many atoms in model: at most 34500 can be read");
}

TEST(ReadCoords, FailuresNameFileLineAndTextOnStandardError) {
  const std::string data_error = " Error reading file during data section";
  // file text, lines to skip, the console's last words, the detail line after "m.coords:"
  const std::tuple<std::string, int, std::string, std::string> cases[] = {
      {"h\n1 1 0 0 0\n\n2 Na 0 0 0\n", 1, data_error,
       "4: \"Na\" is not a number of its kind: \"2 Na 0 0 0\""},
      {"h\n1 1 0 0 0\n3 1 0 0 0\n", 1, " Incorrect index for atom\n Atom is2 but index is3",
       "3: atom 2 has the index 3: \"3 1 0 0 0\""},
      {"a\n", 3, " Error reading file during skip section",
       "1: the file ends within its 3 header lines: \"\""},
      // A file that never ends its line (a link to /dev/zero) is refused at 1 MiB.
      {"h\n1 1 0 0 0\n" + std::string(kMaxLineBytes + 1, '\0'), 1, data_error,
       "3: line longer than 1 MiB: \"" + std::string(100, '?') + "...\""},
  };
  // Its own folder: ctest runs the other tests that write m.coords at the same time.
  ScratchDir dir;
  dir.enter();
  for (const auto& [content, skip, last_words, detail] : cases) {
    SCOPED_TRACE(detail);
    std::ofstream("m.coords", std::ios::binary) << content;
    Session s;
    try {
      read_coords(s.console, "m.coords", skip);
      ADD_FAILURE() << "the model was accepted";
    } catch (const FatalError& e) {
      EXPECT_EQ(e.what(), last_words);
    }
    EXPECT_EQ(s.err.str(), "zalmor: m.coords:" + detail + "\n");
  }
}

TEST(ReadCoords, ARecordCutOffAtTheEndIsLeftOutWithAWarning) {
  ScratchDir dir;
  dir.enter();
  // file text, atoms read, standard error
  const std::tuple<std::string, int, std::string> cases[] = {
      {"h\n1 1 0 0 0\n2 1 1.5 0 0\n3 1 1.5 1\n", 2,
       "zalmor: m.coords:4: warning: the file ends within the record of atom 3 (4 of its 5 "
       "values), which is not read: \"3 1 1.5 1\"\n"},
      {"h\n1 1 0 0 0\n2\n1\n\n", 1,
       "zalmor: m.coords:4: warning: the file ends within the record of atom 2 (2 of its 5 "
       "values), which is not read: \"1\"\n"},
      {"h\n1 1 0 0 0\n\n", 1, ""},
  };
  for (const auto& [content, atoms, err] : cases) {
    SCOPED_TRACE(content);
    std::ofstream("m.coords", std::ios::binary) << content;
    Session s;
    EXPECT_EQ(read_coords(s.console, "m.coords", 1).natoms(), atoms);
    EXPECT_EQ(s.err.str(), err);
  }
}

}  // namespace
}  // namespace zalmor::util
