// The ways a run ends early; only main() prints their last words and picks the status.
#pragma once

#include <stdexcept>

namespace zalmor::util {

// The run cannot go on. what() is the complete console text to write on standard output
// (each line already starting with its blank column, lines separated by '\n', no final
// line end). Exit status 1.
struct FatalError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The user chose to stop where a prompt offers it. Standard output ends at that prompt, as
// after every other stop the user chooses; what() is a one-line message for standard
// error. Exit status 1.
struct StopRequested : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Standard input ended at a prompt, or an answer that must yield a number did not.
// what() is a one-line message for standard error. Exit status 2.
struct InputError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

}  // namespace zalmor::util
