// A console fed with fixed answers that records everything written to it.
#pragma once

#include <sstream>
#include <string>

#include "util/console.hpp"

namespace zalmor::test_support {

struct Session {
  explicit Session(std::string answers = "") : in(std::move(answers)), console(in, out, err) {}
  std::istringstream in;
  std::ostringstream out;
  std::ostringstream err;  // warnings and failure details
  util::Console console;

  // The answers not read.
  std::string rest() {
    std::string r;
    std::getline(in, r, '\0');
    return r;
  }
};

}  // namespace zalmor::test_support
