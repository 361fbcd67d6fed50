// The command line: --help and --version answer without a dialogue; nothing else is taken.
#include "driver/command_line.hpp"

#include <ostream>

#include "driver/provenance.hpp"

namespace zalmor::driver {
namespace {

constexpr std::string_view kUsage = "Usage: zalmor [--help | --version]\n";

constexpr std::string_view kHelp =
    "Calculates the partial scattering functions i_AB(Q) and the total i(Q) of an atomistic\n"
    "model by the Debye equation.\n"
    "\n"
    "Without arguments, zalmor asks its questions on standard output and reads one answer\n"
    "per line from standard input, so the answers may be typed or piped in from a file:\n"
    "\n"
    "  zalmor < run.answers\n"
    "\n"
    "It reads the model from NAME.coords (and thermal factors from a .urms file under\n"
    "thermal option 4) and writes every partial and the total as blocks of one .ioq text\n"
    "file, which records the program version, the date, the host and every answer given.\n"
    "The manual page zalmor(1) describes the dialogue and the files.\n"
    "\n"
    "Options:\n"
    "  --help     print this help and exit\n"
    "  --version  print the program version and exit\n";

}  // namespace

std::optional<int> handle_arguments(std::span<const std::string_view> args, std::ostream& out,
                                    std::ostream& err) {
  if (args.empty()) return std::nullopt;
  const bool known = args.front() == "--help" || args.front() == "--version";
  if (!known || args.size() > 1) {
    const std::string_view unexpected = known ? args[1] : args.front();
    err << "zalmor: unexpected argument '" << unexpected << "'\n"
        << kUsage << "Run without arguments for the dialogue; zalmor --help tells more.\n";
    return 2;
  }
  if (args.front() == "--version") {
    out << "zalmor " << program_version() << '\n';
  } else {
    out << kUsage << '\n' << kHelp;
  }
  return 0;
}

}  // namespace zalmor::driver
