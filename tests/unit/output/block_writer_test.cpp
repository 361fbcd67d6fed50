// The block writer end to end: the 24 fields as stored in the file, rows, the trace.
#include "output/block_writer.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "output/datafile.hpp"
#include "output/ioq_reader.hpp"
#include "support/scratch_dir.hpp"
#include "util/console.hpp"
#include "util/errors.hpp"

namespace zalmor::output {
namespace {

using test_support::ScratchDir;

std::string blanks(std::size_t n) { return std::string(n, ' '); }

// A block as the driver fills it, with every value distinct so misplaced fields show.
struct BlockData {
  std::vector<float> x{0.5f, 1.0f, 1.5f, 0.0f};  // the Q grid and its extra entry
  std::vector<float> y{1e-45f, -0.0f, 3.4028235e38f};
  std::vector<float> e{0.0f, std::numeric_limits<float>::quiet_NaN(), -1.0f};
  std::vector<float> ut{0.25f, 0.5f, 0.75f};
  ResultBlock block;

  explicit BlockData(const std::string& file) {
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
    block.nut = 3;
    block.delta = 0.1f;
    block.fi = -std::numeric_limits<float>::infinity();
    block.l1 = 1.17549435e-38f;
    block.l2 = -0.0f;
    block.efixed = 2.0f;
    block.twotheta = 3.0f;
    block.run_duration = 4.5f;
    block.emode = 7;
    block.ispec_no = -12;
    block.inew = 1;
  }
};

// Writes the blocks through one session; gives the console text, then the last words of a
// run that stopped.
std::string write_blocks(const std::vector<ResultBlock*>& blocks) {
  std::istringstream in;
  std::ostringstream text;
  util::Console console(in, text);
  DataLibrary lib;
  BlockWriter writer(lib);
  lib.activate_session("kavor", 0, 0.0f);
  try {
    for (ResultBlock* b : blocks) writer.write_block(console, *b);
    lib.deactivate_session();
  } catch (const util::FatalError& e) {
    return text.str() + e.what();
  }
  return text.str();
}

TEST(WriteBlock, StoresTheTwentyFourFieldsAndTheRows) {
  ScratchDir dir;
  const std::string out = dir.file("run.ioq");
  BlockData d(out);
  d.block.nx = -5;
  ResultBlock empty = d.block;  // no points still sends the one extra x
  empty.ntc = 0;
  empty.inew = 0;
  EXPECT_EQ(write_blocks({&d.block, &empty}), "");
  EXPECT_EQ(d.block.nx, 4);
  EXPECT_EQ(empty.nx, 1);
  const std::string first =
      "# zalmor-ioq 2\n# block 1\n"
      "# field file string 80 \"" +
      blanks(80) +
      "\"\n"
      "# field ntc int32 0 3\n"
      "# field x float32[] 4 rows 0\n"
      "# field y float32[] 3 rows\n"
      "# field e float32[] 3 rows\n"
      "# field xlabel string 40 \"Q / Inverse Angstroms" +
      blanks(19) +
      "\"\n"
      "# field ylabel string 40 \"i12(Q)" +
      blanks(34) +
      "\"\n"
      "# field spec_no string 10 \"-12       \"\n"
      "# field delta float32 0 0.1\n"
      "# field user_name string 20 \"Orin" +
      blanks(16) +
      "\"\n"
      "# field nut int32 0 3\n"
      "# field ut float32[] 3 0.25 0.5 0.75\n"
      "# field run_no string 10 \"0         \"\n"
      "# field emode int32 0 7\n"
      "# field fi float32 0 -inf\n"
      "# field l1 float32 0 1.1754944e-38\n"
      "# field l2 float32 0 -0\n"
      "# field efixed float32 0 2\n"
      "# field twotheta float32 0 3\n"
      "# field run_duration float32 0 4.5\n"
      "# field inst_name string 8 \"Model   \"\n"
      "# field title string 80 \"Zalmor: \\\"caf\\xC3\\xA9\\\"\\\\model\\x09.coords" +
      blanks(51) +
      "\"\n"
      "# field time string 20 \"" +
      blanks(20) +
      "\"\n"
      "# field history string 200 \"" +
      blanks(200) +
      "\"\n"
      "# rows 3 columns x y e\n"
      "0.5 1e-45 0\n1 -0 nan\n1.5 3.4028235e+38 -1\n"
      "\n\n# block 2\n";
  const std::string text = test_support::slurp(out);
  EXPECT_EQ(text.substr(0, first.size()), first);
  EXPECT_NE(text.find("# field ntc int32 0 0\n# field x float32[] 1 rows 0.5\n"
                      "# field y float32[] 0 rows\n# field e float32[] 0 rows\n"),
            std::string::npos);
  EXPECT_TRUE(text.ends_with("\n# rows 0 columns x y e\n"));
}

TEST(WriteBlock, OnlyInewOneStartsTheFile) {
  const std::pair<std::vector<int>, std::string> cases[] = {
      {{1, 0, 0}, "abc"}, {{1, 2, -1}, "abc"}, {{1, 0, 1}, "c"}};
  for (const auto& [inew, kept] : cases) {
    ScratchDir dir;
    BlockData d(dir.file("run.ioq"));
    std::vector<ResultBlock> blocks(3, d.block);
    for (std::size_t i = 0; i < 3; ++i) {
      blocks[i].inew = inew[i];
      blocks[i].ylabel = std::string(1, static_cast<char>('a' + i));
    }
    write_blocks({&blocks[0], &blocks[1], &blocks[2]});
    std::string labels;
    for (const IoqBlock& b : read_ioq(dir.file("run.ioq")).blocks) {
      labels += b.find("ylabel")->text[0];
    }
    EXPECT_EQ(labels, kept);
  }
}

TEST(WriteBlock, TraceOnlyWhenIdebugIsOne) {
  const std::string name = "/a/rather/long/directory/name/for/the/trace/test/output/run.ioq";
  const std::string trace =
      " **write_block**\n"
      " k2file = /a/rather/long/directory/name/for/the/trace/test/output/run.\n"
      " filefield = " +
      blanks(60) +
      "\n"
      " xlabel = Q / Inverse Angstroms" +
      blanks(19) +
      "\n"
      " ylabel = i12(Q)" +
      blanks(34) +
      "\n"
      " user_name,inst_name = Orin" +
      blanks(16) +
      "Model   \n"
      " title = Zalmor: \"caf\xc3\xa9\"\\model\t.coords" +
      blanks(31) +
      "\n"
      " time = " +
      blanks(20) +
      "\n"
      " history = " +
      blanks(60) +
      "\n"
      " ispec_no = -12\n"
      " irun_no = 31\n"
      " **write_block** (1)\n"
      " **write_block** (2)\n"
      " **write_block** (3)\n";
  for (const int idebug : {0, 1, 2}) {
    BlockData d(name);
    d.block.idebug = idebug;
    d.block.irun_no = 31;
    // The trace comes before the destination is used: an unreachable file still shows it.
    EXPECT_EQ(write_blocks({&d.block}), (idebug == 1 ? trace : "") + " Cannot create output file " +
                                            name + ": No such file or directory")
        << "idebug " << idebug;
  }
}

}  // namespace
}  // namespace zalmor::output
