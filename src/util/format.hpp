// Exact console formatting of integers and reals.
#pragma once

#include <string>
#include <string_view>

namespace zalmor::util {

// Characters needed to print n: its digits, plus one for a minus sign. Exact for every
// 32-bit value, including -2147483648.
int len_int(int n);

// Used length of a blank-padded text: position of the last character that is not a
// blank, a tab or a NUL; 0 when there is none.
int len_string(std::string_view text);

// n with exactly its digits (and a leading minus sign when negative).
std::string format_int(int n);

// The general real form of width 14 with 7 significant digits: fixed notation right-
// justified in 10 columns plus 4 blanks for 0 and 0.1 <= |v| < 1e7, else the form
// " 0.1234567E+01" right-justified in 14 columns.
std::string format_general(float value);

// Fixed notation with `decimals` decimals, right-justified in `width` columns
// (wider when the value needs it), as the fraction lines show 0.750000.
std::string format_fixed(double value, int width, int decimals);

}  // namespace zalmor::util
