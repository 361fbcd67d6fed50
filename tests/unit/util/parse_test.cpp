// Free-format reading of answers and record fields.
#include "util/parse.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <tuple>

namespace zalmor::util {
namespace {

constexpr auto V = ParseStatus::Value;
constexpr auto N = ParseStatus::Null;
constexpr auto E = ParseStatus::Empty;
constexpr auto B = ParseStatus::Bad;

template <class T>
struct Case {
  const char* text;
  ParseStatus status;
  T value;
};

template <class T, class Parse>
void expect_parses(std::initializer_list<Case<T>> cases, Parse parse) {
  for (const auto& c : cases) {
    const Parsed<T> p = parse(c.text);
    EXPECT_EQ(p.status, c.status) << '[' << c.text << ']';
    if (c.status == V) {
      EXPECT_EQ(p.value, c.value) << '[' << c.text << ']';
    }
  }
}

TEST(ParseInt, FollowsTheFreeFormRules) {
  expect_parses<int>(
      {
          {"12", V, 12},
          {"  12", V, 12},
          {"12 13", V, 12},
          {"\t12\t13", V, 12},
          {"12,13", V, 12},
          {"12/", V, 12},
          {"+3", V, 3},
          {"-5", V, -5},
          {"007", V, 7},
          {"-0", V, 0},
          {"2147483647", V, 2147483647},
          {"-2147483648", V, -2147483647 - 1},
          {",", N, 0},
          {"/", N, 0},
          {"  ,5", N, 0},
          {"", E, 0},
          {" \t ", E, 0},
          {"abc", B, 0},
          {"1.5", B, 0},
          {"5.", B, 0},
          {"1e5", B, 0},
          {"12x", B, 0},
          {"+", B, 0},
          {"-", B, 0},
          {"2147483648", B, 0},
          {"-2147483649", B, 0},
          {"99999999999999999999", B, 0},
          {"1-2", B, 0},
      },
      parse_int);
}

TEST(ParseReal, FollowsTheFreeFormRules) {
  expect_parses<float>(
      {
          {"2", V, 2.0f},           {"1.5e2", V, 150.0f}, {"1.5D2", V, 150.0f},
          {"1.5d-1", V, 0.15f},     {"+3", V, 3.0f},      {"-.5", V, -0.5f},
          {"5.", V, 5.0f},          {"50.0,1", V, 50.0f}, {"  0.02  x", V, 0.02f},
          {"\t-1.25\t", V, -1.25f}, {"3/", V, 3.0f},      {"1e-50", V, 0.0f},
          {",", N, 0.0f},           {"/", N, 0.0f},       {"", E, 0.0f},
          {"    ", E, 0.0f},        {"1e", B, 0.0f},      {"e5", B, 0.0f},
          {"abc", B, 0.0f},         {".", B, 0.0f},       {"-", B, 0.0f},
          {"1.5.2", B, 0.0f},       {"1e5x", B, 0.0f},    {"1e40", B, 0.0f},
          {"inf", B, 0.0f},         {"nan", B, 0.0f},     {"1.5+2", B, 0.0f},
          {"0x10", B, 0.0f},        {"1e+", B, 0.0f},
      },
      parse_real);
  // Just above the midpoint between 1 and the next float: going through double first
  // would round to the midpoint and then down to 1.
  EXPECT_EQ(parse_real("1.00000005960464477539062500001").value, std::nextafter(1.0f, 2.0f));
}

TEST(ParseReal, SaysWhatItIgnores) {
  // answer, the value as typed, what is ignored
  const std::tuple<const char*, const char*, const char*> cases[] = {
      {"3,63", "3", "63"}, {"  2.5 1.5 ", "2.5", "1.5"}, {"1e2x", "", ""},       {"7", "7", ""},
      {"7 ,", "7", ""},    {"7/ comment", "7", ""},      {"7, 8,9", "7", "8,9"}, {"\t4\t", "4", ""},
  };
  for (const auto& [answer, text, ignored] : cases) {
    const Parsed<float> p = parse_real(answer);
    EXPECT_EQ(p.text, text) << answer;
    EXPECT_EQ(p.ignored, ignored) << answer;
  }
  EXPECT_EQ(parse_int("12,5").ignored, "5");
}

}  // namespace
}  // namespace zalmor::util
