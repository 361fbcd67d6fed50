// The prompting dialogue, byte for byte, over string streams.
#include "util/console.hpp"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "support/console_session.hpp"
#include "util/errors.hpp"
#include "util/limits.hpp"

namespace zalmor::util {
namespace {

using test_support::Session;

std::string times(const std::string& text, int n) {
  std::string all;
  while (n-- > 0) all += text;
  return all;
}

TEST(GetIntd, AnswersRefusalsAndDefaults) {
  // initial value, default shown, answers, value read, prompts written, input left unread
  const std::tuple<int, bool, std::string, int, int, const char*> cases[] = {
      {1, true, "\nX\n", 1, 1, "X\n"},  {1, true, "  12\r\nX\n", 12, 1, "X\n"},
      {1, true, "12 13\n", 12, 1, ""},  {1, true, " \n5\n", 5, 2, ""},
      {1, true, "\t\n5\n", 5, 2, ""},   {1, true, "word\n\n", 1, 2, ""},
      {1, true, "F\n3\n", 3, 2, ""},    {1, true, "f5\n3\n", 3, 2, ""},
      {1, true, ",\nX\n", 1, 1, "X\n"}, {-5, true, "x\n\n", -5, 2, ""},
      {1, true, "-4", -4, 1, ""},  // no line end after it
      {3, false, "\n8\n", 8, 2, ""},    {1, true, std::string(80, ' ') + "5\n7\n", 7, 2, ""},
  };
  for (const auto& [initial, show_default, answers, expected, prompts, left] : cases) {
    SCOPED_TRACE(answers);
    Session s(answers);
    int value = initial;
    ask_int(s.console, value, "n", show_default);
    EXPECT_EQ(value, expected);
    const std::string prompt =
        show_default ? " Give n (" + std::to_string(initial) + ") > " : " Give n > ";
    EXPECT_EQ(s.out.str(), times(prompt, prompts));
    EXPECT_EQ(s.rest(), left);
  }
  Session ended("word\n");
  int value = 1;
  EXPECT_THROW(ask_int(ended.console, value, "n"), InputError);
  EXPECT_EQ(value, 1);
}

TEST(GetParamd, AnswersRefusalsAndDefaults) {
  const std::string qmax = " Give Qmax (  50.00000    ) > ", plain = " Give Qmax > ";
  // initial value, default shown, answers, value read, console text
  const std::tuple<float, bool, const char*, float, std::string> cases[] = {
      {50.0f, true, "\n", 50.0f, qmax},
      {50.0f, true, " 1.5D1 3\n", 15.0f, qmax},
      {50.0f, true, ",\n", 50.0f, qmax},
      // After a refused answer the default is no longer shown.
      {50.0f, true, "word\n \n0.5\n", 0.5f, qmax + plain + plain},
      {0.02f, true, "\n", 0.02f, " Give Qmax ( 0.2000000E-01) > "},
      {1.0f, false, "\n4\n", 4.0f, plain + plain},
  };
  for (const auto& [initial, show_default, answers, expected, output] : cases) {
    SCOPED_TRACE(answers);
    Session s(answers);
    float value = initial;
    ask_real(s.console, value, "Qmax", show_default);
    EXPECT_EQ(value, expected);
    EXPECT_EQ(s.out.str(), output);
    EXPECT_EQ(s.rest(), "");
  }
}

TEST(GetParamd, KeepsTheFirstValueAndSaysWhatItIgnored) {
  // answer, value read, standard error
  const std::tuple<const char*, float, std::string> cases[] = {
      {"3,63\n", 3.0f,
       "zalmor: warning: the answer \"3,63\" is read as 3: \"63\" after it is ignored (the "
       "decimal mark is a point: 3.63)\n"},
      {"0.5 A-1\n", 0.5f,
       "zalmor: warning: the answer \"0.5 A-1\" is read as 0.5: \"A-1\" after it is ignored\n"},
      {"2.5/ as before\n", 2.5f, ""},
      {"2.5 ,\n", 2.5f, ""},
  };
  for (const auto& [answer, expected, err] : cases) {
    Session s(answer);
    float value = 1.0f;
    ask_real(s.console, value, "b", true);
    EXPECT_EQ(value, expected);
    EXPECT_EQ(s.err.str(), err);
  }
}

TEST(GetStringd, AnswersRefusalsAndTheShownDefault) {
  const std::string longest(80, 'b');
  // initial value and count, answers, value and count after, console text
  const std::tuple<const char*, int, std::string, std::string, int, std::string> cases[] = {
      {"sample", 6, "\n", "sample", 6, " Give f (sample) > "},
      {"sample", 6, "run\r\n", "run", 3, " Give f (sample) > "},
      {"sample", 6, "   \n", "   ", 3, " Give f (sample) > "},
      {"sample", 6, std::string(81, 'a') + "\nok\n", "ok", 2, times(" Give f (sample) > ", 2)},
      {"sample", 6, longest + "\n", longest, 80, " Give f (sample) > "},
      {"model", 3, "\n", "model", 3, " Give f (mod) > "},  // exactly count columns are shown
      {"ab", 4, "\n", "ab", 4, " Give f (  ab) > "},
      {"abc", 0, "\n", "abc", 0, " Give f () > "},
  };
  for (const auto& [initial, count, answers, expected, expected_count, output] : cases) {
    SCOPED_TRACE(answers);
    Session s(answers);
    std::string value = initial;
    int n = count;
    ask_text(s.console, value, "f", n);
    EXPECT_EQ(value, expected);
    EXPECT_EQ(n, expected_count);
    EXPECT_EQ(s.out.str(), output);
  }
}

TEST(ProgHeader, DrawsTheBoxUpToEightyColumns) {
  Session s;
  prog_header(s.console, "ZALMOR", "Calculate Debye equation partials for a model", "Orin Vaskel",
              "19-12-03");
  prog_header(s.console, "A", "B", "A long author name", "2001");
  EXPECT_EQ(s.out.str(),
            " **********************************************************\n"
            " * ZALMOR : Calculate Debye equation partials for a model *\n"
            " * Orin Vaskel                                   19-12-03 *\n"
            " **********************************************************\n\n"
            " **************************\n"
            " * A : B                  *\n"
            " * A long author name2001 *\n"
            " **************************\n\n");
  // The box may be 80 columns wide, not 81.
  for (const int width : {72, 73}) {
    Session box;
    try {
      prog_header(box.console, "N", std::string(width, 'd'), "a", "d");
      EXPECT_EQ(box.out.str().find('\n'), 81u);  // blank column + 80 asterisks
    } catch (const FatalError& e) {
      EXPECT_EQ(width, 73);
      EXPECT_STREQ(e.what(), " **ERROR in prog_header : line is too long");
      EXPECT_EQ(box.out.str(), "");
    }
  }
}

}  // namespace
}  // namespace zalmor::util

namespace zalmor::util {
namespace {

using test_support::Session;

TEST(ReadLine, AnswersNoPromptCanTakeAsTypedAreUnreadable) {
  // A NUL would cut a name where the console shows none; a line without end (a device on
  // standard input) would fill the memory.
  const std::string cases[] = {std::string("nacl\0.coords\n", 13), std::string(1, '\0'),
                               std::string(kMaxLineBytes + 1, 'x') + "\n"};
  for (const std::string& answers : cases) {
    Session s(answers);
    std::string name = "m";
    int count = 1;
    EXPECT_THROW(ask_text(s.console, name, "name", count), InputError);
    EXPECT_EQ(name, "m");
  }
  Session ok(std::string(kMaxLineBytes, '7') + "\n");
  EXPECT_EQ(ok.console.read_line().size(), kMaxLineBytes);
}

}  // namespace
}  // namespace zalmor::util
