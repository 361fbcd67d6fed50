// Case-blind comparison of ASCII texts, for recognising typed file-name extensions.
#include "util/strings.hpp"

#include <cstddef>

#include "util/console.hpp"

namespace zalmor::util {

namespace {

// Only the 26 ASCII letters change; bytes above 127 belong to no alphabet here.
char upper_ascii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

}  // namespace

void conv_lower_to_upper(std::string& text) {
  if (!text.empty()) text.front() = upper_ascii(text.front());
}

bool has_extension(util::Console& console, std::string_view text, std::string_view extension) {
  if (text.size() <= extension.size()) return false;
  return case_blind_compare(console, text.substr(text.size() - extension.size()), extension) == 0;
}

int case_blind_compare(Console& console, std::string_view first, std::string_view second) {
  if (first.size() != second.size()) {
    console.line("**ERROR in tvo$case_blind_compare");
    console.line("**Strings are of unequal length");
    return -1;
  }
  for (std::size_t i = 0; i < first.size(); ++i) {
    if (upper_ascii(first[i]) != upper_ascii(second[i])) return 1;
  }
  return 0;
}

}  // namespace zalmor::util
