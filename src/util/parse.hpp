// Free-format parsing of one value from an answer line or a field of a record.
#pragma once

#include <optional>
#include <string_view>

namespace zalmor::util {

enum class ParseStatus {
  Value,  // a number was read
  Null,   // a comma or slash where the value would begin: the variable keeps its value
  Empty,  // blanks and tabs only: no value found
  Bad,    // text that is not a number of the required kind
};

template <class T>
struct Parsed {
  ParseStatus status = ParseStatus::Empty;
  T value{};
  std::string_view text;     // the value as typed
  std::string_view ignored;  // what follows the value and its separator, when not blank
};

// Leading blanks and tabs are skipped; the value ends at the next blank, tab, comma or
// slash, or at the end of the text; everything after it is ignored, and reported in
// `ignored` (a decimal comma, "3,63", reads as 3) unless it is a closing slash.
// An integer is an optional sign and decimal digits.
Parsed<int> parse_int(std::string_view text);
// A real is an optional sign, digits with an optional decimal point, and an optional
// exponent introduced by E or D in either case; an integer is also a valid real.
// Parsed straight into float, so the value is rounded once.
Parsed<float> parse_real(std::string_view text);

// Splits a record into fields separated by blanks, tabs or one comma (with optional blanks
// around it). Used by the file readers, which read their values in sequence.
class FieldScanner {
 public:
  explicit FieldScanner(std::string_view text) : rest_(text) {}
  // The next field, or nullopt when the text holds no more fields.
  std::optional<std::string_view> next();

 private:
  std::string_view rest_;
};

// A whole field as one integer / real (no trailing characters allowed).
std::optional<int> field_to_int(std::string_view field);
std::optional<float> field_to_real(std::string_view field);

}  // namespace zalmor::util
