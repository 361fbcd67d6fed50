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
  const std::pair<int, int> cases[] = {{0, 1},  {9, 1},        {10, 2},
                                       {-1, 2}, {INT_MAX, 10}, {INT_MIN, 11}};
  for (const auto& [n, expected] : cases) EXPECT_EQ(len_int(n), expected) << n;
  // Each side of every power of ten, where a floating log10 would misjudge.
  for (long long p = 10; p <= INT_MAX; p *= 10) {
    for (const long long n : {p - 1, p, -p, 1 - p}) {
      const int v = static_cast<int>(n);
      EXPECT_EQ(len_int(v), static_cast<int>(std::to_string(v).size())) << v;
      EXPECT_EQ(format_int(v), std::to_string(v));
    }
  }
}

TEST(LenString, IgnoresTrailingBlanksTabsAndNuls) {
  using namespace std::string_literals;
  const std::pair<std::string, int> cases[] = {
      {"    ", 0}, {" \t\0 "s, 0}, {"ab\t  ", 2}, {"abcdef", 6}, {" a b ", 4}, {"", 0}, {"x\0"s, 1},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(len_string(text), expected) << text;
}

TEST(FormatGeneral, MatchesTheFourteenColumnForms) {
  const float inf = std::numeric_limits<float>::infinity();
  const std::pair<float, const char*> cases[] = {
      {1.0f, "  1.000000    "},
      {50.0f, "  50.00000    "},
      {1000.0f, "  1000.000    "},
      {0.5f, " 0.5000000    "},
      {0.1f, " 0.1000000    "},
      {0.05f, " 0.5000000E-01"},
      {0.02f, " 0.2000000E-01"},
      {0.0f, "  0.000000    "},
      {-0.5f, "-0.5000000    "},
      {-1.0f, " -1.000000    "},
      {-1234567.0f, " -1234567.    "},
      {9999999.0f, "  9999999.    "},
      {1.0e7f, " 0.1000000E+08"},
      {-1.234567e8f, "-0.1234567E+09"},
      {-12.34567e-3f, "-0.1234567E-01"},
      {2.0f / 3.0f, " 0.6666667    "},
      {inf, "      Infinity"},
      {-inf, "     -Infinity"},
      {std::nanf(""), "           NaN"},
      {std::numeric_limits<float>::max(), " 0.3402823E+39"},
      {std::numeric_limits<float>::denorm_min(), " 0.1401298E-44"},
      // Rounded to 7 significant digits first; the rounded value picks the form.
      {1.9999999f, "  2.000000    "},
      {0.099999994f, " 0.9999999E-01"},
      {9999999.6f, " 0.1000000E+08"},
      {2.5e-7f, " 0.2500000E-06"},
  };
  for (const auto& [value, expected] : cases) EXPECT_EQ(format_general(value), expected) << value;
  for (float v = 1e-38f; v < 1e38f; v *= 3.7f) {
    EXPECT_EQ(format_general(v).size(), 14u) << v;
    EXPECT_EQ(format_general(-v).size(), 14u) << -v;
  }
}

TEST(FormatFixed, PadsOrGrowsToTheValue) {
  EXPECT_EQ(format_fixed(0.75, 8, 6), "0.750000");
  EXPECT_EQ(format_fixed(0.25, 10, 6), "  0.250000");
  EXPECT_EQ(format_fixed(-12.5, 3, 2), "-12.50");
}

}  // namespace
}  // namespace zalmor::util
