// Whole runs in-process: what the .ioq file holds after the dialogue.
#include "driver/run.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <regex>

#include "driver/provenance.hpp"
#include "output/block_params.hpp"
#include "output/ioq_reader.hpp"
#include "support/console_session.hpp"
#include "support/scratch_dir.hpp"
#include "util/console.hpp"
#include "util/errors.hpp"

namespace zalmor::driver {
namespace {

namespace fs = std::filesystem;

// Runs in a scratch folder of its own, as the program reads and writes relative names.
class RunInScratch : public ::testing::Test {
 protected:
  RunInScratch() { dir_.enter(); }
  void write(const std::string& name, const std::string& text) { dir_.write(name, text); }
  std::string run_with(const std::string& answers) {
    test_support::Session s(answers);
    EXPECT_EQ(run(s.console), 0);
    return s.out.str();
  }

  test_support::ScratchDir dir_;
};

const output::Field& field(const output::IoqBlock& block, std::string_view name) {
  const output::Field* f = block.find(name);
  EXPECT_NE(f, nullptr) << name;
  return *f;
}

using output::BlockParam;

// Slot `slot` (plus offset) of the block's parameter vector ut.
float param(const output::IoqBlock& block, BlockParam slot, std::size_t offset = 0) {
  return field(block, "ut").values.at(static_cast<std::size_t>(slot) + offset);
}

std::string trimmed(std::string s) {
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

TEST_F(RunInScratch, TinyModelWritesFourCompleteBlocks) {
  write("tiny.coords",
        "tiny test model\n1 1 0.0 0.0 0.0\n2 1 1.0 0.0 0.0\n3 2 0.0 1.0 0.0\n"
        "4 1 0.0 0.0 1.0\n");
  // Grid from Q = 0 so the first point is the zero-Q limit.
  const std::string console = run_with("tiny\n\n\n\n\n\n\n1\n0.25\n1\n\n");
  EXPECT_NE(console.find(" Block 4 contains total i(Q), zero Q limit =  0.3000000E-01\n"),
            std::string::npos);

  const output::IoqFile file = output::read_ioq("tiny.ioq");
  ASSERT_EQ(file.blocks.size(), 4u);
  const std::vector<std::string> names{"file",      "ntc",    "x",       "y",        "e",
                                       "xlabel",    "ylabel", "spec_no", "delta",    "user_name",
                                       "nut",       "ut",     "run_no",  "emode",    "fi",
                                       "l1",        "l2",     "efixed",  "twotheta", "run_duration",
                                       "inst_name", "title",  "time",    "history"};
  const std::vector<std::string> labels{"i11(Q)", "i22(Q)", "i12(Q)", "Total i(Q)"};
  const std::vector<float> limits{0.015f, 0.0f, 0.0075f, 0.03f};
  for (std::size_t b = 0; b < 4; ++b) {
    const output::IoqBlock& block = file.blocks[b];
    ASSERT_EQ(block.fields.size(), names.size());
    for (std::size_t f = 0; f < names.size(); ++f) EXPECT_EQ(block.fields[f].name, names[f]);
    EXPECT_EQ(trimmed(field(block, "ylabel").text), labels[b]);
    EXPECT_EQ(trimmed(field(block, "xlabel").text), "Q / Inverse Angstroms");
    EXPECT_EQ(trimmed(field(block, "title").text), "Zalmor: tiny.coords");
    EXPECT_EQ(field(block, "ntc").int_value, 5);
    const std::vector<float>& x = field(block, "x").values;
    ASSERT_EQ(x.size(), 6u);
    EXPECT_EQ(x[0], 0.0f);
    EXPECT_EQ(x[4], 1.0f);
    EXPECT_EQ(x[5], 0.0f);
    ASSERT_EQ(field(block, "ut").values.size(), 30u);
    EXPECT_EQ(param(block, BlockParam::kBlockCount), 4.0f);
    EXPECT_EQ(param(block, BlockParam::kTypeCount), 2.0f);
    EXPECT_EQ(param(block, BlockParam::kUnity), 1.0f);
    EXPECT_FLOAT_EQ(param(block, BlockParam::kZeroQLimit), limits[b]);
    EXPECT_EQ(param(block, BlockParam::kBbar), 1.0f);
    EXPECT_EQ(param(block, BlockParam::kBbar, 1), 1.0f);
    // The value at Q = 0 is the zero-Q limit.
    EXPECT_FLOAT_EQ(field(block, "y").values[0], limits[b]);
  }
  // Fractions of the block's two types; the total keeps the last partial's.
  EXPECT_EQ(param(file.blocks[0], BlockParam::kFractionA), 0.75f);
  EXPECT_EQ(param(file.blocks[1], BlockParam::kFractionA), 0.25f);
  EXPECT_EQ(param(file.blocks[2], BlockParam::kFractionB), 0.25f);
  EXPECT_EQ(param(file.blocks[3], BlockParam::kFractionA), 0.75f);

  // With no thermal factors the total is the like partials plus twice the unlike one.
  for (std::size_t i = 0; i < 5; ++i) {
    const float i11 = field(file.blocks[0], "y").values[i];
    const float i22 = field(file.blocks[1], "y").values[i];
    const float i12 = field(file.blocks[2], "y").values[i];
    EXPECT_NEAR(field(file.blocks[3], "y").values[i], i11 + i22 + 2 * i12, 1e-7);
  }
}

TEST_F(RunInScratch, TheFileRecordsTheProgramTheModelAndEveryAnswer) {
  write("tiny.coords", "tiny test model\r\n1 1 0 0 0\n2 2 1 0 0\n");
  write("tiny.urms", "4\n1 1 1 1 0.05\n2 2 1 1 0.06\n1 2 1 1 0.07\n2 1 1 1 0.07\n");
  const std::vector<std::string> answers{"tiny.COORDS", "", "",  "",    " 2.5", "-1",
                                         "4",           "", "1", "0.5", "",     "out"};
  std::string typed;
  for (const std::string& a : answers) typed += a + "\n";
  run_with(typed);

  const output::IoqFile file = output::read_ioq("out.ioq");
  EXPECT_EQ(file.version, 2);
  std::vector<std::string> keys;
  for (const output::MetaEntry& m : file.metadata) keys.push_back(m.key);
  std::vector<std::string> expected_keys{"program", "version",       "created", "host",
                                         "model",   "model_title",   "natoms",  "nnorm",
                                         "urms",    "thermal_option"};
  expected_keys.insert(expected_keys.end(), answers.size(), "answer");
  EXPECT_EQ(keys, expected_keys);
  EXPECT_EQ(*file.meta("program"), "zalmor");
  EXPECT_EQ(*file.meta("version"), program_version());
  EXPECT_TRUE(std::regex_match(*file.meta("created"),
                               std::regex("20[0-9]{2}-[01][0-9]-[0-3][0-9]T[0-2][0-9]:[0-5][0-9]:"
                                          "[0-6][0-9]Z")))
      << *file.meta("created");
  EXPECT_EQ(*file.meta("model"), (fs::current_path() / "tiny.coords").string());
  EXPECT_EQ(*file.meta("model_title"), "tiny test model");
  EXPECT_EQ(*file.meta("natoms"), "2");
  EXPECT_EQ(*file.meta("nnorm"), "2");
  EXPECT_EQ(*file.meta("urms"), (fs::current_path() / "tiny.urms").string());
  EXPECT_EQ(*file.meta("thermal_option"), "4");
  EXPECT_EQ(file.meta_values("answer"), answers);
  ASSERT_EQ(file.blocks.size(), 4u);
}

TEST_F(RunInScratch, NoModelTitleWithoutHeaderLinesAndNoUrmsWithoutOption4) {
  write("bare.coords", "1 1 0 0 0\n2 1 1 0 0\n");
  run_with("bare\n0\n\n\n\n1\n0.05\n1\n0.5\n\n\n");
  const output::IoqFile file = output::read_ioq("bare.ioq");
  EXPECT_EQ(file.meta("model_title"), nullptr);
  EXPECT_EQ(file.meta("urms"), nullptr);
  EXPECT_EQ(*file.meta("thermal_option"), "1");
  EXPECT_EQ(file.meta_values("answer").size(), 11u);
}

TEST_F(RunInScratch, DimerFollowsTheDebyeFormula) {
  write("dimer.coords", "dimer\n1 1 0 0 0\n2 1 0 0 2.5\n");
  run_with("dimer\n\n\n\n\n\n10\n0.5\n\n\n");
  const output::IoqFile file = output::read_ioq("dimer.ioq");
  ASSERT_EQ(file.blocks.size(), 2u);
  const std::vector<float>& q = field(file.blocks[0], "x").values;
  const std::vector<float>& y = field(file.blocks[0], "y").values;
  const double w = 0.01 / 2;  // b_bar 1 fm, two atoms
  for (std::size_t i = 0; i + 1 < q.size(); ++i) {
    const double x = double{q[i]} * 2.5;
    EXPECT_NEAR(y[i], w * 2 * std::sin(x) / x, 1e-7) << "Q = " << q[i];
  }
}

TEST_F(RunInScratch, OutputThatCannotBeCreatedStopsWithItsName) {
  write("tiny.coords", "tiny\n1 1 0 0 0\n2 1 1 0 0\n");
  test_support::Session s("tiny\n\n\n\n\n0\n1\n0.5\n\nno-such-folder/out\n");
  try {
    run(s.console);
    FAIL() << "the run should have stopped";
  } catch (const util::FatalError& e) {
    EXPECT_NE(std::string(e.what()).find("no-such-folder/out.ioq"), std::string::npos) << e.what();
  }
  EXPECT_FALSE(fs::exists("no-such-folder"));
}

}  // namespace
}  // namespace zalmor::driver
