// Exact console formatting of integers and reals.
#include "util/format.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace zalmor::util {

namespace {

std::string right_justify(std::string text, std::size_t width) {
  if (text.size() < width) text.insert(0, width - text.size(), ' ');
  return text;
}

}  // namespace

int len_int(int n) {
  // Counted on the magnitude in 64 bits so that -2147483648 needs no special case;
  // a floating log10 would misjudge the powers of ten near the top of the range.
  std::int64_t magnitude = n;
  int length = 0;
  if (magnitude < 0) {
    magnitude = -magnitude;
    ++length;
  }
  do {
    ++length;
    magnitude /= 10;
  } while (magnitude != 0);
  return length;
}

int len_string(std::string_view text) {
  std::size_t end = text.size();
  while (end > 0) {
    const char c = text[end - 1];
    if (c != ' ' && c != '\t' && c != '\0') break;
    --end;
  }
  return static_cast<int>(end);
}

std::string format_int(int n) {
  char buffer[16];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, n);
  return std::string(buffer, result.ptr);
}

std::string format_general(float value) {
  constexpr std::size_t kWidth = 14;
  if (std::isnan(value)) return right_justify("NaN", kWidth);
  if (std::isinf(value)) return right_justify(value < 0 ? "-Infinity" : "Infinity", kWidth);
  if (value == 0.0f) return "  0.000000    ";

  // Round to 7 significant digits first: the rounded value decides between the fixed
  // and the exponent form (9999999.6 becomes 1.000000E+07 and so takes the exponent form).
  // The float widens to double exactly, so the digits are those of the float itself.
  const auto v = static_cast<double>(value);
  char sci[32];
  std::snprintf(sci, sizeof sci, "%.6e", v);
  // sci is "[-]d.dddddde[+-]XX"
  const char* p = sci;
  const bool negative = (*p == '-');
  if (negative) ++p;
  const char first_digit = p[0];
  const std::string_view rest_digits(p + 2, 6);
  const int exponent = std::atoi(p + 9);  // the value is d.dddddd x 10^exponent

  char buffer[40];
  if (exponent >= -1 && exponent <= 6) {
    // Fixed notation with 7 significant digits: 7 - k decimals, k digits before the point.
    const int before_point = exponent + 1;
    const int decimals = 7 - before_point;
    // Rounding at the same digit as above, so the digits agree with the choice just made.
    std::snprintf(buffer, sizeof buffer, "%#.*f", decimals, v);
    return right_justify(buffer, 10) + "    ";
  }
  std::string text;
  if (negative) text += '-';
  text += "0.";
  text += first_digit;
  text += rest_digits;
  const int shown_exponent = exponent + 1;  // 0.ddddddd carries one more power of ten
  std::snprintf(buffer, sizeof buffer, "E%c%02d", shown_exponent < 0 ? '-' : '+',
                std::abs(shown_exponent));
  text += buffer;
  return right_justify(std::move(text), kWidth);
}

std::string format_fixed(double value, int width, int decimals) {
  const int size = std::snprintf(nullptr, 0, "%*.*f", width, decimals, value);
  std::string text(static_cast<std::size_t>(size) + 1, '\0');
  std::snprintf(text.data(), text.size(), "%*.*f", width, decimals, value);
  text.resize(static_cast<std::size_t>(size));
  return text;
}

}  // namespace zalmor::util
