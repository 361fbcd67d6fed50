// Case-blind recognition of typed extensions.
#include "util/strings.hpp"

#include <gtest/gtest.h>

#include "support/console_session.hpp"

namespace zalmor {
namespace {

using test_support::Session;

TEST(CaseBlindCompare, IgnoresTheCaseOfAsciiLettersOnly) {
  const struct {
    const char* first;
    const char* second;
    int expected;
  } cases[] = {
      {".COORDS", ".coords", 0},
      {".Coords", ".coords", 0},
      {"a1", "A1", 0},
      {"", "", 0},
      {".coordx", ".coords", 1},
      {"1", "a", 1},
      {"@", "`", 1},
      {"[", "{", 1},
      {"\xE9", "\xC9", 1},
      {"coords", ".coords", -1},
      {"abcdefgh", "a", -1},
  };
  for (const auto& c : cases) {
    Session s;
    EXPECT_EQ(util::case_blind_compare(s.console, c.first, c.second), c.expected) << c.first;
    EXPECT_EQ(s.out.str(), c.expected >= 0 ? ""
                                           : " **ERROR in tvo$case_blind_compare\n"
                                             " **Strings are of unequal length\n");
  }
}

TEST(ConvLowerToUpper, ChangesOnlyALowerCaseFirstLetter) {
  const std::pair<std::string, std::string> cases[] = {
      {"abc", "Abc"}, {"zz", "Zz"}, {"1ab", "1ab"}, {" ab", " ab"}, {"", ""}, {"\xE9t", "\xE9t"},
  };
  for (auto [text, expected] : cases) {
    util::conv_lower_to_upper(text);
    EXPECT_EQ(text, expected);
  }
}

TEST(HasExtension, NeedsSomethingBeforeTheExtension) {
  const std::pair<const char*, bool> cases[] = {
      {"model.coords", true}, {"model.COORDS", true}, {".coords", false},
      {"model", false},       {"model.coord", false}, {"x.coordsx", false},
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(util::has_extension(text, ".coords"), expected) << text;
  }
}

}  // namespace
}  // namespace zalmor
