// The prompting dialogue, byte for byte, over string streams.
#include "util/console.hpp"

#include <gtest/gtest.h>

#include <string>

#include "util/errors.hpp"
#include "util/test_support.hpp"

namespace zalmor::util {
namespace {

using testing::Session;

TEST(ConsoleReadLine, StripsLineEndsAndKeepsAnUnterminatedLastLine) {
  Session s("one\r\n\ntwo  \nlast");
  EXPECT_EQ(s.console.read_line(), "one");
  EXPECT_EQ(s.console.read_line(), "");
  EXPECT_EQ(s.console.read_line(), "two  ");
  EXPECT_EQ(s.console.read_line(), "last");
  EXPECT_THROW(s.console.read_line(), InputError);
}

TEST(ConsoleReadLine, EmptyInputIsAnInputError) {
  Session s("");
  EXPECT_THROW(s.console.read_line(), InputError);
}

constexpr const char* kSkip = "number of text lines at start of file to be skipped";
const std::string kSkipPrompt = std::string(" Give ") + kSkip + " (1) > ";

TEST(GetIntd, AnswersAndRefusals) {
  const struct {
    const char* answers;
    int expected;
    int prompts;      // how many times the prompt was written
    const char* left;  // input not consumed
  } cases[] = {
      {"\nX\n", 1, 1, "X\n"},
      {"  12\nX\n", 12, 1, "X\n"},
      {"12 13\n", 12, 1, ""},
      {"\t7\n", 7, 1, ""},
      {" \n5\n", 5, 2, ""},
      {"\t\n5\n", 5, 2, ""},
      {"     \n5\n", 5, 2, ""},
      {"word\n\n", 1, 2, ""},
      {"F\n3\n", 3, 2, ""},
      {"f5\n3\n", 3, 2, ""},
      {"1.5\n2\n", 2, 2, ""},
      {",\nX\n", 1, 1, "X\n"},
      {"/\n", 1, 1, ""},
      {"-4\n", -4, 1, ""},
  };
  for (const auto& c : cases) {
    Session s(c.answers);
    int value = 1;
    get_intd(s.console, value, kSkip);
    EXPECT_EQ(value, c.expected) << c.answers;
    std::string expected_out;
    for (int i = 0; i < c.prompts; ++i) expected_out += kSkipPrompt;
    EXPECT_EQ(s.out.str(), expected_out) << c.answers;
    EXPECT_EQ(s.rest(), c.left) << c.answers;
  }
}

TEST(GetIntd, InputEndingAfterARefusalIsAnInputError) {
  Session s("word");
  int value = 1;
  EXPECT_THROW(get_intd(s.console, value, kSkip), InputError);
  EXPECT_EQ(value, 1);
  EXPECT_EQ(s.out.str(), kSkipPrompt + kSkipPrompt);
}

TEST(GetIntd, ShowsANegativeDefaultAndKeepsItsWidth) {
  Session s("x\n\n");
  int value = -5;
  get_intd(s.console, value, "n");
  EXPECT_EQ(value, -5);
  EXPECT_EQ(s.out.str(), " Give n (-5) >  Give n (-5) > ");
}

TEST(GetIntd, WithoutDefaultAnEmptyAnswerIsRefused) {
  Session s("\n8\n");
  int value = 3;
  get_intd(s.console, value, "n", false);
  EXPECT_EQ(value, 8);
  EXPECT_EQ(s.out.str(), " Give n >  Give n > ");
}

TEST(GetIntd, LooksOnlyAtTheFirstEightyCharacters) {
  Session s(std::string(80, ' ') + "5\n7\n");
  int value = 1;
  get_intd(s.console, value, "n");
  EXPECT_EQ(value, 7);
}

TEST(GetParamd, AnswersAndRefusals) {
  const struct {
    const char* answers;
    float expected;
    const char* output;
  } cases[] = {
      {"\n", 50.0f, " Give Qmax (  50.00000    ) > "},
      {"2\n", 2.0f, " Give Qmax (  50.00000    ) > "},
      {"1.5e2\n", 150.0f, " Give Qmax (  50.00000    ) > "},
      {"word\n\n", 50.0f, " Give Qmax (  50.00000    ) >  Give Qmax > "},
      {"word\n \n0.5\n", 0.5f, " Give Qmax (  50.00000    ) >  Give Qmax >  Give Qmax > "},
      {",\n", 50.0f, " Give Qmax (  50.00000    ) > "},
      {" 1.5D1 3\n", 15.0f, " Give Qmax (  50.00000    ) > "},
  };
  for (const auto& c : cases) {
    Session s(c.answers);
    float value = 50.0f;
    get_paramd(s.console, value, "Qmax");
    EXPECT_EQ(value, c.expected) << c.answers;
    EXPECT_EQ(s.out.str(), c.output) << c.answers;
    EXPECT_EQ(s.rest(), "") << c.answers;
  }
}

TEST(GetParamd, ShowsTheExponentFormForSmallDefaults) {
  Session s("\n");
  float value = 0.02f;
  get_paramd(s.console, value, "delta-Q");
  EXPECT_EQ(s.out.str(), " Give delta-Q ( 0.2000000E-01) > ");
}

TEST(GetParamd, WithoutDefaultAnEmptyAnswerIsRefused) {
  Session s("\n4\n");
  float value = 1.0f;
  get_paramd(s.console, value, "b", false);
  EXPECT_EQ(value, 4.0f);
  EXPECT_EQ(s.out.str(), " Give b >  Give b > ");
}

TEST(GetStringd, AnswersAndRefusals) {
  const std::string long_name(81, 'a');
  const std::string longest(80, 'b');
  const struct {
    std::string answers;
    std::string value;
    int count;
    int prompts;
  } cases[] = {
      {"\n", "sample", 6, 1},
      {"run\n", "run", 3, 1},
      {"   \n", "   ", 3, 1},
      {"  lead\n", "  lead", 6, 1},
      {long_name + "\nok\n", "ok", 2, 2},
      {longest + "\n", longest, 80, 1},
  };
  for (const auto& c : cases) {
    Session s(c.answers);
    std::string value = "sample";
    int count = 6;
    get_stringd(s.console, value, "name for output .IOQ file", count);
    EXPECT_EQ(value, c.value);
    EXPECT_EQ(count, c.count);
    std::string expected_out;
    for (int i = 0; i < c.prompts; ++i) expected_out += " Give name for output .IOQ file (sample) > ";
    EXPECT_EQ(s.out.str(), expected_out);
  }
}

TEST(GetStringd, ShowsExactlyCountColumnsOfTheDefault) {
  const struct {
    const char* value;
    int count;
    const char* shown;
  } cases[] = {
      {"model", 3, "(mod)"},
      {"ab", 4, "(  ab)"},
      {"abc", 0, "()"},
  };
  for (const auto& c : cases) {
    Session s("\n");
    std::string value = c.value;
    int count = c.count;
    get_stringd(s.console, value, "x", count);
    EXPECT_EQ(s.out.str(), std::string(" Give x ") + c.shown + " > ");
    EXPECT_EQ(value, c.value);
    EXPECT_EQ(count, c.count);
  }
}

TEST(PrInt, WritesTextThenExactDigits) {
  const struct {
    int n;
    const char* expected;
  } cases[] = {
      {0, " Number of atoms in model = 0\n"},
      {-12, " Number of atoms in model = -12\n"},
      {1234, " Number of atoms in model = 1234\n"},
  };
  for (const auto& c : cases) {
    Session s("");
    pr_int(s.console, "Number of atoms in model = ", c.n);
    EXPECT_EQ(s.out.str(), c.expected);
  }
}

TEST(ProgHeader, DrawsTheBox) {
  Session s("");
  prog_header(s.console, "ZALMOR", "Calculate Debye equation partials for a model", "Orin Vaskel",
              "19-12-03");
  EXPECT_EQ(s.out.str(),
            " **********************************************************\n"
            " * ZALMOR : Calculate Debye equation partials for a model *\n"
            " * Orin Vaskel                                   19-12-03 *\n"
            " **********************************************************\n"
            "\n");
}

TEST(ProgHeader, PadsTheFirstLineWhenAuthorAndDateAreLonger) {
  Session s("");
  prog_header(s.console, "A", "B", "A long author name", "2001");
  EXPECT_EQ(s.out.str(),
            " **************************\n"
            " * A : B                  *\n"
            " * A long author name2001 *\n"
            " **************************\n"
            "\n");
}

TEST(ProgHeader, AcceptsEightyColumnsAndRefusesEightyOne) {
  // w = len(name) + len(description) + 3 + 4
  {
    Session s("");
    prog_header(s.console, "N", std::string(72, 'd'), "a", "d");
    EXPECT_EQ(s.out.str().find('\n'), 81u);  // blank column + 80 asterisks
  }
  {
    Session s("");
    try {
      prog_header(s.console, "N", std::string(73, 'd'), "a", "d");
      FAIL() << "no error";
    } catch (const FatalError& e) {
      EXPECT_STREQ(e.what(), " **ERROR in prog_header : line is too long");
    }
    EXPECT_EQ(s.out.str(), "");
  }
  {
    Session s("");
    EXPECT_THROW(prog_header(s.console, "", "", std::string(70, 'a'), "1234567"), FatalError);
  }
}

}  // namespace
}  // namespace zalmor::util
