// The console dialogue: prompts with defaults, message lines and the program header.
#include "util/console.hpp"

#include <algorithm>
#include <iostream>
#include <istream>
#include <ostream>
#include <string>

#include "util/errors.hpp"
#include "util/format.hpp"
#include "util/limits.hpp"
#include "util/parse.hpp"
#include "util/text_lines.hpp"

namespace zalmor::util {

Console::Console(std::istream& in, std::ostream& out) : Console(in, out, std::cerr) {}

void Console::write(std::string_view text) { out_ << text; }

void Console::line(std::string_view text) {
  std::string whole;
  whole.reserve(text.size() + 2);
  whole += ' ';
  whole += text;
  whole += '\n';
  out_ << whole << std::flush;
}

void Console::raw_line(std::string_view text) {
  std::string whole(text);
  whole += '\n';
  out_ << whole << std::flush;
}

void Console::note(std::string_view text) {
  std::string whole = "zalmor: ";
  whole += text;
  whole += '\n';
  err_ << whole << std::flush;
}

std::string Console::read_line() {
  // The prompt has no line end, so it must reach the user before we wait for the answer.
  out_.flush();
  std::string answer;
  switch (read_line_bounded(in_, answer)) {
    case LineRead::Ok:  // a last line without its line end still counts as an answer
      break;
    case LineRead::End:
      throw InputError("standard input ended at a prompt");
    case LineRead::TooLong:  // standard input from a device or a binary file
      throw InputError("an answer is longer than " + std::to_string(kMaxLineBytes) +
                       " bytes and cannot be read");
  }
  // The console shows a NUL as nothing, or as ^@, while a name would end at it: no prompt
  // can tell what was meant.
  if (answer.find('\0') != std::string::npos) {
    throw InputError("an answer holds a NUL byte and cannot be read");
  }
  answers_.push_back(answer);
  return answer;
}

namespace {

std::string prompt_with_default(std::string_view text, std::string_view shown) {
  std::string prompt = " Give ";
  prompt += text;
  prompt += " (";
  prompt += shown;
  prompt += ") > ";
  return prompt;
}

std::string prompt_without_default(std::string_view text) {
  std::string prompt = " Give ";
  prompt += text;
  prompt += " > ";
  return prompt;
}

// Only the first characters of an answer line are looked at, as many as a name may hold.
std::string_view kept_part(const std::string& answer) {
  return std::string_view(answer).substr(0, static_cast<std::size_t>(kNameLength));
}

}  // namespace

void note_ignored_text(Console& console, std::string_view answer, std::string_view value,
                       std::string_view ignored) {
  if (ignored.empty()) return;
  // "3,63": a comma between digits is most likely a decimal comma.
  const std::size_t comma = value.size() + answer.find(value);
  const bool decimal_comma = comma < answer.size() && answer[comma] == ',' &&
                             ignored.front() >= '0' && ignored.front() <= '9';
  console.note("warning: the answer \"" + std::string(answer) + "\" is read as " +
               std::string(value) + ": \"" + std::string(ignored) + "\" after it is ignored" +
               (decimal_comma ? " (the decimal mark is a point: " + std::string(value) + "." +
                                    std::string(ignored) + ")"
                              : ""));
}

void ask_int(Console& console, int& value, std::string_view text, bool show_default) {
  // The shown default is fixed on entry; the value changes only when we return.
  const std::string prompt =
      show_default ? prompt_with_default(text, format_int(value)) : prompt_without_default(text);
  for (;;) {
    console.write(prompt);
    const std::string answer = console.read_line();
    if (answer.empty()) {
      if (show_default) return;
      continue;
    }
    const char first = answer.front();
    // An answer beginning with f or F would read as the logical value false: refused.
    if (first == 'f' || first == 'F') continue;
    if ((first == ' ' || first == '\t') && answer.size() < 2) continue;
    const Parsed<int> parsed = parse_int(kept_part(answer));
    if (parsed.status == ParseStatus::Value) {
      note_ignored_text(console, answer, parsed.text, parsed.ignored);
      value = parsed.value;
      return;
    }
    if (parsed.status == ParseStatus::Null) return;
  }
}

void ask_real(Console& console, float& value, std::string_view text, bool show_default) {
  const std::string plain = prompt_without_default(text);
  console.write(show_default ? prompt_with_default(text, format_general(value)) : plain);
  for (;;) {
    const std::string answer = console.read_line();
    if (answer.empty()) {
      if (show_default) return;
    } else {
      const Parsed<float> parsed = parse_real(kept_part(answer));
      if (parsed.status == ParseStatus::Value) {
        note_ignored_text(console, answer, parsed.text, parsed.ignored);
        value = parsed.value;
        return;
      }
      if (parsed.status == ParseStatus::Null) return;
    }
    // After a refused answer the default is no longer shown.
    console.write(plain);
  }
}

void ask_text(Console& console, std::string& value, std::string_view text, int& count,
              bool show_default) {
  std::string prompt = prompt_without_default(text);
  if (show_default) {
    const std::size_t width = static_cast<std::size_t>(std::max(count, 0));
    std::string shown = value.substr(0, width);
    if (shown.size() < width) shown.insert(0, width - shown.size(), ' ');
    prompt = prompt_with_default(text, shown);
  }
  for (;;) {
    console.write(prompt);
    const std::string answer = console.read_line();
    // Answers name files; a name longer than the program keeps would be cut silently.
    if (answer.size() > static_cast<std::size_t>(kNameLength)) continue;
    if (answer.empty()) {
      if (show_default) return;
      continue;
    }
    value = answer;
    count = static_cast<int>(answer.size());
    return;
  }
}

void print_with_int(Console& console, std::string_view text, int n) {
  std::string message(text);
  message += format_int(n);
  console.line(message);
}

void prog_header(Console& console, std::string_view name, std::string_view description,
                 std::string_view author, std::string_view date) {
  const std::size_t a = name.size() + description.size() + 3;
  const std::size_t b = author.size() + date.size();
  const std::size_t w = std::max(a, b) + 4;
  if (w > 80) throw FatalError(" **ERROR in prog_header : line is too long");
  const std::size_t p1 = b > a ? b - a : 0;
  const std::size_t p2 = a > b ? a - b : 0;

  const std::string stars(w, '*');
  std::string title = "* ";
  title += name;
  title += " : ";
  title += description;
  title.append(p1, ' ');
  title += " *";
  std::string credit = "* ";
  credit += author;
  credit.append(p2, ' ');
  credit += date;
  credit += " *";

  console.line(stars);
  console.line(title);
  console.line(credit);
  console.line(stars);
  console.raw_line("");
}

}  // namespace zalmor::util
