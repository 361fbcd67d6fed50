// Integer and real console forms: every default and count shown to the user.
#include "util/format.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <limits>
#include <string>

namespace zalmor::util {
namespace {

TEST(LenInt, CountsDigitsAndSignExactly) {
  const struct {
    int n;
    int expected;
  } cases[] = {
      {0, 1},          {7, 1},          {9, 1},           {10, 2},         {-1, 2},
      {-10, 3},        {99, 2},         {100, 3},         {999999999, 9},  {1000000000, 10},
      {-999999999, 10}, {-1000000000, 11}, {INT_MAX, 10},  {INT_MIN, 11},
  };
  for (const auto& c : cases) EXPECT_EQ(len_int(c.n), c.expected) << c.n;
}

TEST(LenInt, AgreesWithFormatIntAtEveryPowerOfTen) {
  for (long long p = 1; p <= INT_MAX; p *= 10) {
    for (long long n : {p - 1, p, -p, -(p - 1)}) {
      if (n < INT_MIN || n > INT_MAX) continue;
      const int v = static_cast<int>(n);
      EXPECT_EQ(len_int(v), static_cast<int>(format_int(v).size())) << v;
    }
  }
}

TEST(LenString, IgnoresTrailingBlanksTabsAndNuls) {
  using namespace std::string_literals;
  const struct {
    std::string text;
    int expected;
  } cases[] = {
      {"    ", 0},
      {" \t\0 "s, 0},
      {"ab\t   ", 2},
      {"abcdef", 6},
      {" a b ", 4},
      {"", 0},
      {"x\0"s, 1},
  };
  for (const auto& c : cases) EXPECT_EQ(len_string(c.text), c.expected) << '[' << c.text << ']';
}

TEST(FormatGeneral, MatchesTheFourteenColumnForms) {
  const struct {
    float value;
    const char* expected;
  } cases[] = {
      {1.0f, "  1.000000    "},
      {50.0f, "  50.00000    "},
      {1000.0f, "  1000.000    "},
      {0.5f, " 0.5000000    "},
      {0.05f, " 0.5000000E-01"},
      {0.02f, " 0.2000000E-01"},
      {4.0f, "  4.000000    "},
      {0.0f, "  0.000000    "},
      {0.1f, " 0.1000000    "},
      {-0.5f, "-0.5000000    "},
      {-1.0f, " -1.000000    "},
      {1234567.0f, "  1234567.    "},
      {-1234567.0f, " -1234567.    "},
      {9999999.0f, "  9999999.    "},
      {1.0e7f, " 0.1000000E+08"},
      {-1.234567f * 1e8f, "-0.1234567E+09"},
      {-12.34567e-3f, "-0.1234567E-01"},
      {123.4567f, "  123.4567    "},
      {2.0f / 3.0f, " 0.6666667    "},
      {34500.0f, "  34500.00    "},
      {1.0e-40f, " 0.9999946E-40"},  // a denormal: 9.99994610e-41
      {std::numeric_limits<float>::max(), " 0.3402823E+39"},
      {std::numeric_limits<float>::denorm_min(), " 0.1401298E-44"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(format_general(c.value), c.expected) << c.value;
  }
}

TEST(FormatGeneral, RoundsToSevenSignificantDigits) {
  EXPECT_EQ(format_general(1.9999999f), "  2.000000    ");  // float 1.99999988
  EXPECT_EQ(format_general(0.099999994f), " 0.9999999E-01");
  EXPECT_EQ(format_general(9999999.6f), " 0.1000000E+08");  // float 1e7 exactly
  EXPECT_EQ(format_general(0.1f), " 0.1000000    ");          // float 0.100000001
  EXPECT_EQ(format_general(3.14159265f), "  3.141593    ");
  EXPECT_EQ(format_general(2.5e-7f), " 0.2500000E-06");
}

TEST(FormatGeneral, NonFiniteValuesKeepTheWidth) {
  const float inf = std::numeric_limits<float>::infinity();
  EXPECT_EQ(format_general(inf), "      Infinity");
  EXPECT_EQ(format_general(-inf), "     -Infinity");
  EXPECT_EQ(format_general(std::nanf("")), "           NaN");
}

TEST(FormatGeneral, EveryFormIsFourteenWide) {
  for (float v = 1e-38f; v < 1e38f; v *= 3.7f) {
    EXPECT_EQ(format_general(v).size(), 14u) << v;
    EXPECT_EQ(format_general(-v).size(), 14u) << -v;
  }
}

TEST(FormatFixed, PadsOrGrowsToTheValue) {
  EXPECT_EQ(format_fixed(0.75, 8, 6), "0.750000");
  EXPECT_EQ(format_fixed(0.25, 10, 6), "  0.250000");
  EXPECT_EQ(format_fixed(-12.5, 3, 2), "-12.50");
  EXPECT_EQ(format_fixed(1.0 / 3.0, 8, 6), "0.333333");
}

}  // namespace
}  // namespace zalmor::util
