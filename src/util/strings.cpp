// Case-blind comparison of ASCII texts, for recognising typed file-name extensions.
#include "util/strings.hpp"

#include <cstddef>

#include "util/console.hpp"

namespace zalmor::util {

namespace {

// Only the 26 ASCII letters change; bytes above 127 belong to no alphabet here.
char upper_ascii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool equal_ignoring_case(std::string_view first, std::string_view second) {
  if (first.size() != second.size()) return false;
  for (std::size_t i = 0; i < first.size(); ++i) {
    if (upper_ascii(first[i]) != upper_ascii(second[i])) return false;
  }
  return true;
}

}  // namespace

void conv_lower_to_upper(std::string& text) {
  if (!text.empty()) text.front() = upper_ascii(text.front());
}

bool has_extension(std::string_view text, std::string_view extension) {
  return text.size() > extension.size() &&
         equal_ignoring_case(text.substr(text.size() - extension.size()), extension);
}

int case_blind_compare(Console& console, std::string_view first, std::string_view second) {
  if (first.size() != second.size()) {
    console.line("**ERROR in tvo$case_blind_compare");
    console.line("**Strings are of unequal length");
    return -1;
  }
  return equal_ignoring_case(first, second) ? 0 : 1;
}

}  // namespace zalmor::util
