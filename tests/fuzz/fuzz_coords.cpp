// Fuzzes the .coords model reader: every input must give a model or a FatalError with its
// console text; anything else (another exception, a sanitizer report, a broken model) is a
// finding.
#include <cstdint>
#include <sstream>
#include <string>

#include "fuzz_support.hpp"
#include "util/console.hpp"
#include "util/coords_reader.hpp"
#include "util/errors.hpp"
#include "util/limits.hpp"

namespace {

using zalmor::fuzz::require;

void read_once(const std::string& path, int skip) {
  std::istringstream in;
  std::ostringstream out, err;
  zalmor::util::Console console(in, out, err);
  try {
    const zalmor::util::Model model = zalmor::util::read_coords(console, path, skip);
    require(model.xyz.size() == 3 * model.type.size(), "coordinates and types disagree");
    require(model.natoms() <= zalmor::kMaxAtoms, "more atoms than the program has room for");
    const std::string last = " Number of atoms in model = " + std::to_string(model.natoms()) + "\n";
    const std::string text = out.str();
    require(text.size() >= last.size() && text.ends_with(last), "atom count line missing");
  } catch (const zalmor::util::FatalError& e) {
    const std::string_view message = e.what();
    // The message is console text: lines that start with their blank column, no final
    // line end.
    require(!message.empty() && message.front() == ' ' && message.back() != '\n',
            "fatal message is not console text");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const zalmor::fuzz::ScratchFile file(".coords");
  const std::string& path = file.write(zalmor::fuzz::as_text(data, size));
  read_once(path, 0);
  read_once(path, 1);
  return 0;
}
