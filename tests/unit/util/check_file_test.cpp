// The file check: its result codes, console lines and re-prompting.
#include "util/check_file.hpp"

#include <gtest/gtest.h>

#include <tuple>

#include "support/console_session.hpp"
#include "support/scratch_dir.hpp"
#include "util/errors.hpp"

namespace zalmor::util {
namespace {

using test_support::ScratchDir;

TEST(CheckFile, ResultsLinesAndPromptsForEachOption) {
  ScratchDir dir;
  dir.enter();
  const std::string present = dir.write("present.urms", "1\n");
  const std::string found = " File found : " + present + "\n", failure = " Failure locating file ";
  const std::string prompt = " Give file name or return to stop > ";
  const std::string ask = failure + "missing\n" + prompt;
  // name, option, messages, answers, result (or what ended the run), console text
  const std::tuple<std::string, int, bool, std::string, std::string, std::string> cases[] = {
      {"present.urms", 1, true, "", "1", found},
      {"present.urms   ", 2, false, "", "1", ""},
      {dir.file("."), 2, false, "", "2", ""},  // a folder is no file
      {"missing", 2, false, "", "2", ""},
      {"missing", 2, true, "", "2", failure + "missing\n"},
      {"missing", 3, true, "", "2", " No pre-existing version of file exists\n"},
      {"missing", 1, false, "", "2", ""},
      {"missing", 0, true, "", failure + "missing", ""},
      {"present.urms", 5, true, "", "11", " Unexpected option in check_file: iopt = 5\n" + found},
      {"missing", -1, true, "", "12",
       " Unexpected option in check_file: iopt = -1\n" + failure + "missing\n"},
      {"missing", 7, false, "", "12", ""},
      {"missing", 1, true, "wrong\n./present.urms\n", "1",
       ask + failure + "wrong\n" + prompt + found},
      {"missing", 1, true, "   \npresent.urms\n", "1", ask + failure + "\n" + prompt + found},
      {"missing", 1, true, std::string(81, 'x') + "\npresent.urms\n", "1", ask + prompt + found},
      {"missing", 1, true, "\n", "StopRequested: No file name given: stopping", ask},
      {"missing", 1, true, "", "InputError", ask},
  };
  for (const auto& [given, option, messages, answers, result, output] : cases) {
    SCOPED_TRACE(given + " option " + std::to_string(option) + " answers " + answers);
    test_support::Session s(answers);
    std::string both = given;  // one string may hold the name and the full name
    std::string outcome = "InputError";
    try {
      outcome = std::to_string(
          check_file(s.console, both, both, static_cast<CheckOption>(option), messages));
    } catch (const FatalError& e) {
      outcome = e.what();
    } catch (const StopRequested& e) {
      outcome = std::string("StopRequested: ") + e.what();
    } catch (const InputError&) {
    }
    EXPECT_EQ(outcome, result);
    EXPECT_EQ(s.out.str(), output);
    if (result == "1") {
      EXPECT_EQ(both, present);
    }
  }
}

}  // namespace
}  // namespace zalmor::util
