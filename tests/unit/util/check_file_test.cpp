// The file check: its result codes, console lines and re-prompting.
#include "util/check_file.hpp"

#include <gtest/gtest.h>

#include <filesystem>

#include "util/errors.hpp"
#include "util/test_support.hpp"

namespace zalmor::util {
namespace {

using testing::ScratchDir;
using testing::Session;

constexpr const char* kPrompt = " Give file name or return to stop > ";

class CheckFile : public ::testing::Test {
 protected:
  ScratchDir dir;
  std::string present = dir.write("present.urms", "1\n");
  std::string other = dir.write("other.urms", "1\n");
  std::string missing = dir.path("missing.urms");
};

TEST_F(CheckFile, ResultsAndLinesForEachOption) {
  const struct {
    bool exists;
    int option;
    bool messages;
    int result;
    std::string output;  // with @ standing for the name checked
  } cases[] = {
      {true, 1, true, 1, " File found : @\n"},
      {true, 0, true, 1, " File found : @\n"},
      {true, 2, false, 1, ""},
      {false, 2, false, 2, ""},
      {false, 2, true, 2, " Failure locating file @\n"},
      {false, 3, true, 2, " No pre-existing version of file exists\n"},
      {false, 3, false, 2, ""},
      {false, 1, false, 2, ""},
      {true, 5, true, 11, " Unexpected option in check_file: iopt = 5\n File found : @\n"},
      {false, -1, true, 12, " Unexpected option in check_file: iopt = -1\n Failure locating file @\n"},
      {false, 7, false, 12, ""},
  };
  for (const auto& c : cases) {
    Session s("unused\n");
    std::string name = c.exists ? present : missing;
    const std::string checked = name;
    std::string full;
    EXPECT_EQ(check_file(s.console, name, full, c.option, c.messages), c.result) << c.option;
    std::string expected = c.output;
    if (const auto at = expected.find('@'); at != std::string::npos) expected.replace(at, 1, checked);
    EXPECT_EQ(s.out.str(), expected) << c.option;
    EXPECT_EQ(name, checked);
    EXPECT_EQ(full, checked);  // an absolute, normal path is its own full name
  }
}

TEST_F(CheckFile, OptionZeroEndsTheRunOnAMissingFile) {
  Session s;
  std::string name = missing;
  std::string full;
  try {
    check_file(s.console, name, full, 0, true);
    FAIL() << "no error";
  } catch (const FatalError& e) {
    EXPECT_EQ(e.what(), " Failure locating file " + missing);
  }
  EXPECT_EQ(s.out.str(), "");
}

TEST_F(CheckFile, AsksUntilATypedNameExists) {
  Session s(dir.path("wrong") + "\n" + other + "\n");
  std::string name = missing;
  std::string full;
  EXPECT_EQ(check_file(s.console, name, full, 1, true), 1);
  EXPECT_EQ(s.out.str(), " Failure locating file " + missing + "\n" + kPrompt +
                             " Failure locating file " + dir.path("wrong") + "\n" + kPrompt +
                             " File found : " + other + "\n");
  EXPECT_EQ(name, other);
  EXPECT_EQ(full, other);
}

TEST_F(CheckFile, OneStringMayHoldNameAndFullName) {
  const auto cwd = std::filesystem::current_path();
  std::filesystem::current_path(dir.root());
  Session s("present.urms\n");
  std::string both = "missing.urms";
  const int result = check_file(s.console, both, both, 1, true);
  std::filesystem::current_path(cwd);
  EXPECT_EQ(result, 1);
  EXPECT_EQ(both, present);
  EXPECT_EQ(s.out.str(),
            std::string(" Failure locating file missing.urms\n") + kPrompt + " File found : " + present + "\n");
}

TEST_F(CheckFile, AnEmptyAnswerEndsTheRun) {
  Session s("\n");
  std::string name = missing;
  std::string full;
  try {
    check_file(s.console, name, full, 1, true);
    FAIL() << "no error";
  } catch (const FatalError& e) {
    EXPECT_STREQ(e.what(), " No file name given: stopping");
  }
  EXPECT_EQ(s.out.str(), " Failure locating file " + missing + "\n" + kPrompt);
}

TEST_F(CheckFile, BlanksOnlyNameIsMissingAndAskedAgain) {
  Session s("   \n" + present + "\n");
  std::string name = missing;
  std::string full;
  EXPECT_EQ(check_file(s.console, name, full, 1, true), 1);
  EXPECT_EQ(s.out.str(), " Failure locating file " + missing + "\n" + kPrompt +
                             " Failure locating file \n" + kPrompt + " File found : " + present + "\n");
}

TEST_F(CheckFile, AnOverlongAnswerIsAskedAgain) {
  Session s(std::string(81, 'x') + "\n" + present + "\n");
  std::string name = missing;
  std::string full;
  EXPECT_EQ(check_file(s.console, name, full, 1, true), 1);
  EXPECT_EQ(s.out.str(), " Failure locating file " + missing + "\n" + kPrompt + kPrompt +
                             " File found : " + present + "\n");
}

TEST_F(CheckFile, TrailingBlanksAreIgnoredAndFoldersAreNoFiles) {
  {
    Session s;
    std::string name = present + "   ";
    std::string full;
    EXPECT_EQ(check_file(s.console, name, full, 2, false), 1);
    EXPECT_EQ(full, present);
  }
  {
    Session s;
    std::string name = dir.root().string();
    std::string full;
    EXPECT_EQ(check_file(s.console, name, full, 2, false), 2);
  }
}

TEST_F(CheckFile, InputEndingAtThePromptIsAnInputError) {
  Session s("");
  std::string name = missing;
  std::string full;
  EXPECT_THROW(check_file(s.console, name, full, 1, true), InputError);
}

TEST(FullPath, IsAbsoluteAndLexicallyNormal) {
  const auto cwd = std::filesystem::current_path();
  EXPECT_EQ(full_path("a/../b.urms"), (cwd / "b.urms").string());
  EXPECT_EQ(full_path("./c.coords"), (cwd / "c.coords").string());
  EXPECT_EQ(full_path("/x/./y/../z"), "/x/z");
  EXPECT_EQ(full_path(""), "");
}

}  // namespace
}  // namespace zalmor::util
