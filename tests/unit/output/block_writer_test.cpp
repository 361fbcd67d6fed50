// The block writer end to end: the 24 fields as stored in the file, rows, the trace.
#include "output/block_writer.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "output/datafile.hpp"
#include "output/ioq_reader.hpp"
#include "scratch_dir.hpp"
#include "util/console.hpp"
#include "util/errors.hpp"

namespace zalmor::output {
namespace {

using testing::ScratchDir;

std::uint32_t bits(float v) { return std::bit_cast<std::uint32_t>(v); }

// A block as the driver fills it, with every value distinct so misplaced fields show.
struct BlockData {
  std::vector<float> x{0.5f, 1.0f, 1.5f, 0.0f};  // the Q grid and its extra entry
  std::vector<float> y{1e-45f, -0.0f, 3.4028235e38f};
  std::vector<float> e{0.0f, std::numeric_limits<float>::quiet_NaN(), -1.0f};
  std::vector<float> ut = std::vector<float>(30, 0.0f);
  K2Block block;

  explicit BlockData(const std::string& file) {
    for (int i = 0; i < 30; ++i) ut[static_cast<std::size_t>(i)] = static_cast<float>(i) * 0.25f;
    block.k2file = file;
    block.xlabel = "Q / Inverse Angstroms";
    block.ylabel = "i12(Q)";
    block.user_name = "Orin";
    block.inst_name = "Model";
    block.title = "Zalmor: \"caf\xc3\xa9\"\\model\t.coords";
    block.x = x;
    block.y = y;
    block.e = e;
    block.ut = ut;
    block.ntc = 3;
    block.nut = 30;
    block.delta = 0.1f;
    block.fi = -std::numeric_limits<float>::infinity();
    block.l1 = 1.17549435e-38f;
    block.l2 = -0.0f;
    block.efixed = 2.0f;
    block.twotheta = 3.0f;
    block.run_duration = 4.5f;
    block.emode = 7;
    block.ispec_no = -12;
    block.irun_no = 0;
    block.inew = 1;
  }
};

struct Written {
  std::string console;
  IoqFile file;
};

// Writes the blocks through one session and reads the file back.
Written write_all(const std::string& out, std::vector<K2Block*> blocks) {
  std::istringstream in;
  std::ostringstream text;
  util::Console console(in, text);
  DataLibrary lib;
  BlockWriter writer(lib);
  lib.activate_session("kavor", 0, 0.0f);
  for (K2Block* b : blocks) writer.write_k2int_nk(console, *b);
  lib.deactivate_session();
  return {text.str(), read_ioq(out)};
}

std::string blanks(std::size_t n) { return std::string(n, ' '); }

TEST(WriteK2intNk, StoresTheTwentyFourFieldsInOrder) {
  ScratchDir dir;
  BlockData d(dir.file("run.ioq"));
  d.block.nx = -5;
  const Written w = write_all(dir.file("run.ioq"), {&d.block});
  EXPECT_EQ(d.block.nx, 4);
  EXPECT_EQ(w.console, "");
  ASSERT_EQ(w.file.blocks.size(), 1u);
  const IoqBlock& b = w.file.blocks[0];

  const struct {
    const char* name;
    FieldType type;
    int extent;
  } table[] = {
      {"file", FieldType::String, 80},     {"ntc", FieldType::Int32, 0},
      {"x", FieldType::Float32Array, 4},   {"y", FieldType::Float32Array, 3},
      {"e", FieldType::Float32Array, 3},   {"xlabel", FieldType::String, 40},
      {"ylabel", FieldType::String, 40},   {"spec_no", FieldType::String, 10},
      {"delta", FieldType::Float32, 0},    {"user_name", FieldType::String, 20},
      {"nut", FieldType::Int32, 0},        {"ut", FieldType::Float32Array, 30},
      {"run_no", FieldType::String, 10},   {"emode", FieldType::Int32, 0},
      {"fi", FieldType::Float32, 0},       {"l1", FieldType::Float32, 0},
      {"l2", FieldType::Float32, 0},       {"efixed", FieldType::Float32, 0},
      {"twotheta", FieldType::Float32, 0}, {"run_duration", FieldType::Float32, 0},
      {"inst_name", FieldType::String, 8}, {"title", FieldType::String, 80},
      {"time", FieldType::String, 20},     {"history", FieldType::String, 200},
  };
  ASSERT_EQ(b.fields.size(), std::size(table));
  for (std::size_t i = 0; i < std::size(table); ++i) {
    EXPECT_EQ(b.fields[i].name, table[i].name) << i;
    EXPECT_EQ(b.fields[i].type, table[i].type) << table[i].name;
    EXPECT_EQ(b.fields[i].extent, table[i].extent) << table[i].name;
  }

  const auto text = [&](const char* n) { return b.find(n)->text; };
  EXPECT_EQ(text("file"), blanks(80));
  EXPECT_EQ(text("xlabel"), "Q / Inverse Angstroms" + blanks(19));
  EXPECT_EQ(text("ylabel"), "i12(Q)" + blanks(34));
  EXPECT_EQ(text("spec_no"), "-12       ");
  EXPECT_EQ(text("run_no"), "0         ");
  EXPECT_EQ(text("user_name"), "Orin" + blanks(16));
  EXPECT_EQ(text("inst_name"), "Model   ");
  EXPECT_EQ(text("title"), d.block.title + blanks(80 - d.block.title.size()));
  EXPECT_EQ(text("time"), blanks(20));
  EXPECT_EQ(text("history"), blanks(200));

  const auto same_bits = [](const std::vector<float>& got, const std::vector<float>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) EXPECT_EQ(bits(got[i]), bits(want[i])) << i;
  };
  same_bits(b.find("x")->values, d.x);
  same_bits(b.find("y")->values, d.y);
  EXPECT_TRUE(std::isnan(b.find("e")->values[1]));
  EXPECT_EQ(b.find("e")->values[2], -1.0f);
  same_bits(b.find("ut")->values, d.ut);
  EXPECT_EQ(b.find("ntc")->int_value, 3);
  EXPECT_EQ(b.find("nut")->int_value, 30);
  EXPECT_EQ(b.find("emode")->int_value, 7);
  const std::pair<const char*, float> reals[] = {
      {"delta", 0.1f},  {"fi", d.block.fi}, {"l1", 1.17549435e-38f}, {"l2", -0.0f},
      {"efixed", 2.0f}, {"twotheta", 3.0f}, {"run_duration", 4.5f},
  };
  for (const auto& [name, value] : reals) {
    EXPECT_EQ(bits(b.find(name)->real_value), bits(value)) << name;
  }
}

TEST(WriteK2intNk, NumberTextsAreLeftAlignedInTen) {
  ScratchDir dir;
  const struct {
    int n;
    const char* text;
  } cases[] = {{-12, "-12       "},
               {0, "0         "},
               {2147483647, "2147483647"},
               {-123456789, "-123456789"}};
  for (const auto& c : cases) {
    BlockData d(dir.file("n.ioq"));
    d.block.ispec_no = c.n;
    d.block.irun_no = c.n;
    const Written w = write_all(dir.file("n.ioq"), {&d.block});
    EXPECT_EQ(w.file.blocks[0].find("spec_no")->text, c.text);
    EXPECT_EQ(w.file.blocks[0].find("run_no")->text, c.text);
  }
}

TEST(WriteK2intNk, NoPointsStillSendsOneX) {
  ScratchDir dir;
  BlockData d(dir.file("run.ioq"));
  d.block.ntc = 0;
  const Written w = write_all(dir.file("run.ioq"), {&d.block});
  EXPECT_EQ(d.block.nx, 1);
  const IoqBlock& b = w.file.blocks[0];
  EXPECT_EQ(b.rows, 0u);
  EXPECT_EQ(b.find("x")->values, std::vector<float>{0.5f});
  EXPECT_TRUE(b.find("y")->values.empty());
  EXPECT_TRUE(b.find("e")->values.empty());
}

TEST(WriteK2intNk, OnlyInewOneStartsTheFile) {
  const struct {
    std::vector<int> inew;
    std::vector<std::string> labels;  // of the blocks left in the file
  } cases[] = {
      {{1, 0, 0}, {"a", "b", "c"}},
      {{1, 2, -1}, {"a", "b", "c"}},
      {{1, 0, 1}, {"c"}},
  };
  for (const auto& c : cases) {
    ScratchDir dir;
    BlockData d(dir.file("run.ioq"));
    std::vector<K2Block> blocks(3, d.block);
    std::vector<K2Block*> ptrs;
    for (std::size_t i = 0; i < 3; ++i) {
      blocks[i].inew = c.inew[i];
      blocks[i].ylabel = std::string(1, static_cast<char>('a' + i));
      ptrs.push_back(&blocks[i]);
    }
    const Written w = write_all(dir.file("run.ioq"), ptrs);
    std::vector<std::string> labels;
    for (const IoqBlock& b : w.file.blocks) labels.push_back(b.find("ylabel")->text.substr(0, 1));
    EXPECT_EQ(labels, c.labels);
  }
}

TEST(WriteK2intNk, TraceOnlyWhenIdebugIsOne) {
  ScratchDir dir;
  const std::string name = "/a/rather/long/directory/name/for/the/trace/test/output/run.ioq";
  ASSERT_GT(name.size(), 60u);
  const std::string out = dir.file("run.ioq");
  for (const int idebug : {0, 1, 2}) {
    BlockData d(out);
    d.block.idebug = idebug;
    d.block.k2file = name;
    d.block.filefield = "ff";
    d.block.title = std::string(70, 't');
    d.block.time = "12:00";
    d.block.history = std::string(100, 'h');
    d.block.irun_no = 31;
    // The trace is written before the destination is used, so an unreachable file
    // still shows the whole trace.
    std::istringstream in;
    std::ostringstream text;
    util::Console console(in, text);
    DataLibrary lib;
    BlockWriter writer(lib);
    lib.activate_session("kavor", 0, 0.0f);
    EXPECT_THROW(writer.write_k2int_nk(console, d.block), util::FatalError);
    const std::vector<std::string> trace = {
        " **write_k2int_nk**",
        " k2file = /a/rather/long/directory/name/for/the/trace/test/output/run.",
        " filefield = ff" + blanks(58),
        " xlabel = Q / Inverse Angstroms" + blanks(19),
        " ylabel = i12(Q)" + blanks(34),
        " user_name,inst_name = Orin" + blanks(16) + "Model   ",
        " title = " + std::string(60, 't'),
        " time = 12:00" + blanks(15),
        " history = " + std::string(60, 'h'),
        " ispec_no = -12",
        " irun_no = 31",
        " **write_k2int_nk** (1)",
        " **write_k2int_nk** (2)",
        " **write_k2int_nk** (3)",
    };
    std::string expected;
    if (idebug == 1) {
      for (const std::string& line : trace) expected += line + "\n";
    }
    EXPECT_EQ(text.str(), expected) << "idebug " << idebug;
  }
}

TEST(WriteK2intNk, DataRowsAreXYEBetweenDoubleBlankLines) {
  ScratchDir dir;
  const std::string out = dir.file("run.ioq");
  BlockData d(out);
  d.y = {1.0f, 2.0f, 3.0f};
  d.e = {0.0f, 0.0f, 0.0f};
  d.block.y = d.y;
  d.block.e = d.e;
  K2Block second = d.block;
  second.inew = 0;
  write_all(out, {&d.block, &second});

  const std::string text = testing::slurp(out);
  const std::string rows = "# rows 3 columns x y e\n0.5 1 0\n1 2 0\n1.5 3 0\n";
  const std::size_t first = text.find(rows);
  ASSERT_NE(first, std::string::npos);
  EXPECT_EQ(text.substr(first + rows.size(), 12), "\n\n# block 2\n");
  EXPECT_TRUE(text.ends_with(rows));
  EXPECT_NE(text.find("# field x float32[] 4 rows 0\n"), std::string::npos);
  // Outside the rows every line is a comment or one of the two separating blank lines.
  std::istringstream lines(text);
  int data_lines = 0;
  int blank_lines = 0;
  for (std::string line; std::getline(lines, line);) {
    if (line.empty()) {
      ++blank_lines;
    } else if (line[0] != '#') {
      ++data_lines;
      EXPECT_EQ(std::count(line.begin(), line.end(), ' '), 2) << line;
    }
  }
  EXPECT_EQ(data_lines, 6);
  EXPECT_EQ(blank_lines, 2);
}

}  // namespace
}  // namespace zalmor::output
