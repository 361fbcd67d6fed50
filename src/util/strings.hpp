// Case-blind comparison of ASCII texts, for recognising typed file-name extensions.
#pragma once

#include <string>
#include <string_view>

namespace zalmor::util {

class Console;

// 0 when the texts are equal ignoring the case of ASCII letters, 1 when they differ.
// Texts of unequal length write "**ERROR in tvo$case_blind_compare" and
// "**Strings are of unequal length" as two console lines and give -1.
int case_blind_compare(Console& console, std::string_view first, std::string_view second);

// Turns the first character of text into upper case when it is a lower-case ASCII letter;
// the rest of the text is never changed.
void conv_lower_to_upper(std::string& text);

// True when text ends with extension (compared case-blind) and is longer than it.
bool has_extension(std::string_view text, std::string_view extension);

}  // namespace zalmor::util
