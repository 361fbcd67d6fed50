// Case-blind recognition of typed extensions.
#include "util/strings.hpp"

#include <gtest/gtest.h>

#include "util/test_support.hpp"

namespace zalmor {
namespace {

using util::testing::Session;

TEST(CaseBlindCompare, EqualLengthTexts) {
  const struct {
    const char* first;
    const char* second;
    int expected;
  } cases[] = {
      {".COORDS", ".coords", 0}, {".Coords", ".coords", 0}, {".coords", ".coords", 0},
      {".coordx", ".coords", 1}, {"xcoords", ".coords", 1}, {"1", "a", 1},
      {"a1", "A1", 0},           {"@", "`", 1},             {"[", "{", 1},
      {"\xE9", "\xC9", 1},       {"", "", 0},               {"URMS", "urms", 0},
  };
  for (const auto& c : cases) {
    Session s;
    EXPECT_EQ(tvo::case_blind_compare(s.console, c.first, c.second), c.expected)
        << c.first << " / " << c.second;
    EXPECT_EQ(s.out.str(), "");
  }
}

TEST(CaseBlindCompare, UnequalLengthsAreReportedAndGiveMinusOne) {
  for (const auto& [first, second] : {std::pair{"coords", ".coords"}, std::pair{"abcdefgh", "a"}}) {
    Session s;
    EXPECT_EQ(tvo::case_blind_compare(s.console, first, second), -1);
    EXPECT_EQ(s.out.str(),
              " **ERROR in tvo$case_blind_compare\n"
              " **Strings are of unequal length\n");
  }
}

TEST(ConvLowerToUpper, ChangesOnlyALowerCaseFirstLetter) {
  const struct {
    const char* text;
    const char* expected;
  } cases[] = {
      {"abc", "Abc"}, {"zz", "Zz"}, {"1ab", "1ab"}, {" ab", " ab"}, {"Abc", "Abc"}, {"", ""},
      {"\xE9t", "\xE9t"},
  };
  for (const auto& c : cases) {
    std::string text = c.text;
    util::conv_lower_to_upper(text);
    EXPECT_EQ(text, c.expected);
  }
}

TEST(HasExtension, NeedsSomethingBeforeTheExtension) {
  const struct {
    const char* text;
    bool expected;
  } cases[] = {
      {"model.coords", true}, {"model.COORDS", true}, {"ab.coords", true}, {".coords", false},
      {"model", false},       {"model.coord", false}, {"x.coordsx", false}, {"", false},
  };
  for (const auto& c : cases) {
    Session s;
    EXPECT_EQ(util::has_extension(s.console, c.text, ".coords"), c.expected) << c.text;
    EXPECT_EQ(s.out.str(), "") << c.text;
  }
}

}  // namespace
}  // namespace zalmor
