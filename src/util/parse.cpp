// Free-format parsing of one value from an answer line or a field of a record.
#include "util/parse.hpp"

#include <charconv>
#include <cmath>
#include <string>
#include <system_error>

namespace zalmor::util {

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }
bool is_value_end(char c) { return is_blank(c) || c == ',' || c == '/'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Where the value starts, or the classification when there is none.
struct Token {
  ParseStatus status;
  std::string_view text;
  std::string_view ignored;
};

// Text after a value that the answer's writer may not know is dropped: not blanks, one
// separating comma, or a slash that ends the answer on purpose.
std::string_view ignored_after(std::string_view rest) {
  std::size_t pos = 0;
  while (pos < rest.size() && is_blank(rest[pos])) ++pos;
  if (pos < rest.size() && rest[pos] == ',') ++pos;
  while (pos < rest.size() && is_blank(rest[pos])) ++pos;
  if (pos == rest.size() || rest[pos] == '/') return {};
  std::size_t end = rest.size();
  while (end > pos && is_blank(rest[end - 1])) --end;
  return rest.substr(pos, end - pos);
}

Token next_value(std::string_view text) {
  std::size_t begin = 0;
  while (begin < text.size() && is_blank(text[begin])) ++begin;
  if (begin == text.size()) return {ParseStatus::Empty, {}, {}};
  if (text[begin] == ',' || text[begin] == '/') return {ParseStatus::Null, {}, {}};
  std::size_t end = begin;
  while (end < text.size() && !is_value_end(text[end])) ++end;
  return {ParseStatus::Value, text.substr(begin, end - begin), ignored_after(text.substr(end))};
}

}  // namespace

std::optional<int> field_to_int(std::string_view field) {
  std::size_t pos = 0;
  bool negative = false;
  if (pos < field.size() && (field[pos] == '+' || field[pos] == '-')) {
    negative = field[pos] == '-';
    ++pos;
  }
  if (pos == field.size()) return std::nullopt;
  // Digits are accumulated as a negative number, whose range holds -2147483648.
  long long magnitude = 0;
  for (; pos < field.size(); ++pos) {
    if (!is_digit(field[pos])) return std::nullopt;
    magnitude = magnitude * 10 + (field[pos] - '0');
    if (magnitude > 2147483648LL) return std::nullopt;
  }
  const long long signed_value = negative ? -magnitude : magnitude;
  if (signed_value > 2147483647LL) return std::nullopt;
  return static_cast<int>(signed_value);
}

std::optional<float> field_to_real(std::string_view field) {
  // Checked against the grammar here, then converted by from_chars, which neither takes
  // a leading '+' nor the D exponent of Fortran-style data.
  std::string normal;
  normal.reserve(field.size());
  std::size_t pos = 0;
  if (pos < field.size() && (field[pos] == '+' || field[pos] == '-')) {
    if (field[pos] == '-') normal += '-';
    ++pos;
  }
  int mantissa_digits = 0;
  while (pos < field.size() && is_digit(field[pos])) {
    normal += field[pos++];
    ++mantissa_digits;
  }
  if (pos < field.size() && field[pos] == '.') {
    normal += field[pos++];
    while (pos < field.size() && is_digit(field[pos])) {
      normal += field[pos++];
      ++mantissa_digits;
    }
  }
  if (mantissa_digits == 0) return std::nullopt;
  bool negative_exponent = false;
  if (pos < field.size()) {
    const char marker = field[pos];
    if (marker != 'e' && marker != 'E' && marker != 'd' && marker != 'D') return std::nullopt;
    normal += 'e';
    ++pos;
    if (pos < field.size() && (field[pos] == '+' || field[pos] == '-')) {
      negative_exponent = field[pos] == '-';
      normal += field[pos++];
    }
    int exponent_digits = 0;
    while (pos < field.size() && is_digit(field[pos])) {
      normal += field[pos++];
      ++exponent_digits;
    }
    if (exponent_digits == 0 || pos != field.size()) return std::nullopt;
  }

  const char* first = normal.data();
  const char* last = first + normal.size();
  float value = 0.0f;
  const auto result = std::from_chars(first, last, value);
  if (result.ec == std::errc() && result.ptr == last) return value;
  if (result.ec != std::errc::result_out_of_range) return std::nullopt;
  // Out of float range: a value too small for a float reads as zero, a value too large
  // is not a usable number.
  double wide = 0.0;
  const auto wide_result = std::from_chars(first, last, wide);
  const bool underflow = wide_result.ec == std::errc() ? std::fabs(wide) < 1.0 : negative_exponent;
  if (!underflow) return std::nullopt;
  return normal.front() == '-' ? -0.0f : 0.0f;
}

Parsed<int> parse_int(std::string_view text) {
  const Token token = next_value(text);
  if (token.status != ParseStatus::Value) return {token.status, 0, {}, {}};
  const auto value = field_to_int(token.text);
  if (!value) return {ParseStatus::Bad, 0, {}, {}};
  return {ParseStatus::Value, *value, token.text, token.ignored};
}

Parsed<float> parse_real(std::string_view text) {
  const Token token = next_value(text);
  if (token.status != ParseStatus::Value) return {token.status, 0.0f, {}, {}};
  const auto value = field_to_real(token.text);
  if (!value) return {ParseStatus::Bad, 0.0f, {}, {}};
  return {ParseStatus::Value, *value, token.text, token.ignored};
}

std::optional<std::string_view> FieldScanner::next() {
  std::size_t pos = 0;
  while (pos < rest_.size() && is_blank(rest_[pos])) ++pos;
  if (pos == rest_.size()) {
    rest_ = {};
    return std::nullopt;
  }
  if (rest_[pos] == ',') {
    // A comma with no value before it: an empty field.
    rest_.remove_prefix(pos + 1);
    return std::string_view{};
  }
  std::size_t end = pos;
  while (end < rest_.size() && !is_blank(rest_[end]) && rest_[end] != ',') ++end;
  const std::string_view field = rest_.substr(pos, end - pos);
  // The separator after a field is blanks and at most one comma.
  while (end < rest_.size() && is_blank(rest_[end])) ++end;
  if (end < rest_.size() && rest_[end] == ',') ++end;
  rest_.remove_prefix(end);
  return field;
}

}  // namespace zalmor::util
