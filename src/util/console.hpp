// The console dialogue: prompts with defaults, message lines and the program header.
#pragma once

#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

namespace zalmor::util {

// Standard input and output of the dialogue, injected so every path can be tested.
class Console {
 public:
  // Warnings and details of failures go to standard error.
  Console(std::istream& in, std::ostream& out);
  Console(std::istream& in, std::ostream& out, std::ostream& err) : in_(in), out_(out), err_(err) {}

  // Writes text as it stands (a prompt: no line end).
  void write(std::string_view text);
  // Writes one free-format line: a blank column, the text, a line end. Each line is
  // flushed, so a run that stops (a signal, a full disk) has shown everything before it.
  void line(std::string_view text);
  // Writes one formatted line exactly as given (the caller supplies the leading blank).
  void raw_line(std::string_view text);
  // One line on standard error, "zalmor: " and the text; standard output is untouched.
  void note(std::string_view text);

  // Flushes standard output, then reads one answer line without its line end ("\n", and
  // a "\r" before it). Throws InputError when standard input has ended, and for an answer
  // holding a NUL byte, which no prompt can take as typed.
  std::string read_line();

  // Every answer line read so far, in order, as read_line returned it.
  const std::vector<std::string>& answers() const { return answers_; }

 private:
  std::istream& in_;
  std::ostream& out_;
  std::ostream& err_;
  std::vector<std::string> answers_;
};

// Prompts " Give <text> (<default>) > " and reads an integer. An empty answer keeps the
// value; an answer starting with f or F, a lone blank or tab, no number or a bad number
// asks again (showing the default again).
void ask_int(Console& console, int& value, std::string_view text, bool show_default = true);

// Prompts " Give <text> (<default in general real form>) > " and reads a real. An empty
// answer keeps the value; a refused answer asks again without the default.
void ask_real(Console& console, float& value, std::string_view text, bool show_default = true);

// Prompts " Give <text> (<first count characters of value>) > " and reads a text. An
// empty answer keeps value and count; otherwise value becomes the answer as typed and
// count its length. An answer longer than the 80 characters a name may hold is refused
// and asked again.
void ask_text(Console& console, std::string& value, std::string_view text, int& count,
              bool show_default = true);

// A warning on standard error when an answer held more than the value read from it
// (parse_int / parse_real's `ignored`); nothing when it did not.
void note_ignored_text(Console& console, std::string_view answer, std::string_view value,
                       std::string_view ignored);

// One line: a blank, text, then n with exactly its digits.
void print_with_int(Console& console, std::string_view text, int n);

// The boxed header. Throws FatalError("**ERROR in prog_header : line is too long" as a
// console line) when the box would be wider than 80 columns.
void prog_header(Console& console, std::string_view name, std::string_view description,
                 std::string_view author, std::string_view date);

}  // namespace zalmor::util
