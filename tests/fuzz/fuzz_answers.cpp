// Fuzzes the answer side of the dialogue: the input is standard input for a run of the
// integer, real and text prompts, and each of its lines is also parsed on its own. Every
// prompt must read at least one line, so input that ends ends the dialogue (InputError), as
// does an answer holding a NUL byte; anything else that leaves a prompt, a hang or a
// sanitizer report is a finding.
#include <cstdint>
#include <sstream>
#include <string>
#include <string_view>

#include "fuzz_support.hpp"
#include "util/console.hpp"
#include "util/errors.hpp"
#include "util/format.hpp"
#include "util/limits.hpp"
#include "util/parse.hpp"

namespace {

using zalmor::fuzz::require;
namespace util = zalmor::util;

// How parse_int and parse_real must agree on one text: the same classification of blank,
// null and value answers, and an integer reads as the same number when read as a real.
void check_parsers(std::string_view text) {
  const util::Parsed<int> i = util::parse_int(text);
  const util::Parsed<float> r = util::parse_real(text);
  require((i.status == util::ParseStatus::Empty) == (r.status == util::ParseStatus::Empty),
          "parse_int and parse_real disagree on an empty answer");
  require((i.status == util::ParseStatus::Null) == (r.status == util::ParseStatus::Null),
          "parse_int and parse_real disagree on a null answer");
  if (i.status == util::ParseStatus::Value) {
    require(r.status == util::ParseStatus::Value, "an integer is not read as a real");
    require(r.value == static_cast<float>(i.value), "an integer reads as another real");
  }
  if (r.status == util::ParseStatus::Value) {
    require(util::format_general(r.value).size() == 14, "general real form is not 14 wide");
  }

  // The record scanner of the file readers: every field is consumed once.
  util::FieldScanner fields(text);
  std::size_t count = 0;
  while (const auto field = fields.next()) {
    require(++count <= text.size(), "field scanner does not advance");
    (void)util::field_to_int(*field);
    (void)util::field_to_real(*field);
  }
}

std::size_t count_of(std::string_view text, std::string_view what) {
  std::size_t n = 0;
  for (auto at = text.find(what); at != std::string_view::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(zalmor::fuzz::as_text(data, size));

  // Lines as the console reads them: the last one may lack its line end.
  std::size_t lines = 0;
  {
    std::istringstream in(input);
    std::string line;
    while (std::getline(in, line)) {
      ++lines;
      check_parsers(line);
    }
  }

  std::istringstream in(input);
  std::ostringstream out;
  util::Console console(in, out);
  int number = 1;
  float real = 0.05f;
  std::string name = "model";
  int length = static_cast<int>(name.size());
  std::size_t calls = 0;
  try {
    // The six prompt kinds in turn, with and without a shown default; each answer sets
    // the default of the next prompt of its kind.
    for (;; ++calls) {
      require(calls <= lines, "a prompt returned without reading a line");
      const bool show = (calls / 3) % 2 == 0;
      switch (calls % 3) {
        case 0:
          util::ask_int(console, number, "value", show);
          break;
        case 1:
          util::ask_real(console, real, "value", show);
          require(util::format_general(real).size() == 14, "general real form is not 14 wide");
          break;
        case 2:
          util::ask_text(console, name, "value", length, show);
          require(length == static_cast<int>(name.size()), "text length and count disagree");
          require(name.size() <= static_cast<std::size_t>(zalmor::kNameLength),
                  "a text longer than a name was kept");
          break;
      }
    }
  } catch (const util::InputError& e) {
    if (input.find('\0') != std::string::npos) {
      // An answer with a NUL byte cannot be read at any prompt: the dialogue ends there.
      require(std::string_view(e.what()).find("NUL") != std::string_view::npos,
              "an answer with a NUL byte ended the dialogue for another reason");
    } else {
      // Each read followed a prompt (a kept text shown as a default may add more matches).
      require(count_of(out.str(), " Give value") >= lines + 1, "a line was read without a prompt");
    }
  }
  return 0;
}
