// The thermal-factor menu, its parameters and the .urms file.
#include "driver/thermal_dialogue.hpp"

#include <string>
#include <string_view>

#include "driver/validate.hpp"
#include "scatter/urms_reader.hpp"
#include "util/check_file.hpp"
#include "util/console.hpp"
#include "util/errors.hpp"
#include "util/format.hpp"
#include "util/limits.hpp"
#include "util/strings.hpp"

namespace zalmor::driver {
namespace {

std::string_view trim_trailing_blanks(std::string_view text) {
  const auto end = text.find_last_not_of(' ');
  return end == std::string_view::npos ? std::string_view{} : text.substr(0, end + 1);
}

}  // namespace

scatter::UrmsReadResult read_urms(util::Console& console, std::string_view file_name, bool verbose,
                                  int& ntypes, scatter::UrmsTable& table) {
  const std::string name(file_name);
  const scatter::UrmsFileRead read = scatter::read_urms_file(name, ntypes, table);
  if (read.stop == scatter::UrmsFileRead::Stop::kCannotOpen) {
    throw util::FatalError(" Cannot open .URMS file " + name);
  }
  if (verbose) {
    console.line("zalmor: Reading thermal factors");
    for (const std::string& line : read.lines) console.line(trim_trailing_blanks(line));
  }
  // Standard error names the line a failure comes from; standard output keeps its code and
  // message.
  if (!read.where.empty()) console.note(read.where);
  if (read.stop == scatter::UrmsFileRead::Stop::kNoCount) {
    throw util::FatalError(" Cannot read the number of records from .URMS file " + name);
  }
  return read.result;
}

namespace {

int ask_option(util::Console& console, int npart) {
  for (;;) {
    console.line("Thermal factor options...");
    console.line("0) Ignore thermal factors");
    console.line("1) Apply the same thermal factor to all partials and all distances");
    console.line("2) Apply different thermal factors to different partials");
    console.line("3) Apply different thermal factors to short distances");
    console.line("4) Apply thermal factors from .URMS file");
    int option = 0;
    util::ask_int(console, option, "option");
    if (option < 0 || option > 4) continue;
    // Per-partial tables hold 100 partials; options that need one value per partial
    // cannot serve more.
    if ((option == 2 || option == 4) && npart > kMaxPartialsPerPartialTables) {
      console.line("**ERROR** Program needs recompilation for so many partials");
      console.line("Choose another option");
      continue;
    }
    return option;
  }
}

void ask_urms(util::Console& console, RunState& state) {
  std::string stem = state.model_stem;
  while (!stem.empty() && stem.back() == ' ') stem.pop_back();
  int length = static_cast<int>(stem.size());
  util::ask_text(console, stem, "name only of .URMS file", length);
  std::string typed = stem.substr(0, static_cast<std::size_t>(length));
  if (util::has_extension(typed, ".urms")) typed.resize(typed.size() - 5);
  std::string name = typed + ".urms";
  util::check_file(console, name, name, util::CheckOption::AskIfMissing, true);
  state.urms_file = name;

  int ntypes = state.ntypes;
  const scatter::UrmsReadResult result = read_urms(console, name, true, ntypes, state.urms);
  util::print_with_int(console, "Number of records read from .URMS file = ", result.nrec);
  if (result.ierr != 0) {
    std::string message = result.message;
    if (message.size() < 80) message.resize(80, ' ');
    throw util::FatalError(" Error in readurms: ierr=" + util::format_int(result.ierr) + "\n " +
                           message);
  }

  state.thermal.total_own_record = false;
  if (result.nrec == state.ntypes * state.ntypes + 1) {
    int topt = 0;
    for (;;) {
      console.line("Options for calculating total function...");
      console.line("0) Use thermal factors given in .URMS file for partials");
      console.line("1) Use thermal factors given in .URMS file for total function");
      util::ask_int(console, topt, "option");
      if (topt == 0 || topt == 1) break;
    }
    state.thermal.total_own_record = topt == 1;
  }
  note_urms_findings(console, name, state);
}

}  // namespace

void ask_thermal(util::Console& console, RunState& state) {
  scatter::Thermal& th = state.thermal;
  th.option = static_cast<scatter::ThermalOption>(ask_option(console, state.npart()));
  th.uij.fill(0.05f);
  switch (th.option) {
    case scatter::ThermalOption::kOneU:
      util::ask_real(console, th.uij[0], "RMS variation in interatomic distance");
      break;
    case scatter::ThermalOption::kPerPartial:
      console.line("Give RMS variation in interatomic distance, uij, for each partial...");
      for (int k = 1; k <= state.npart(); ++k) {
        const auto idx = static_cast<std::size_t>(k - 1);
        std::string name = "u";  // appended, not "u" + ...: see partial_label in results.cpp
        name += util::format_int(state.partials[idx].first);
        name += util::format_int(state.partials[idx].second);
        util::ask_real(console, th.uij[idx], name);
      }
      break;
    case scatter::ThermalOption::kShortLong:
      th.rcut = 1.7f;
      util::ask_real(console, th.rcut, "cutoff distance between short and long distances");
      util::ask_real(console, th.uij[0], "RMS variation in short distances");
      util::ask_real(console, th.uij[1], "RMS variation in long distances");
      break;
    case scatter::ThermalOption::kUrms:
      ask_urms(console, state);
      break;
    default:
      break;
  }
}

}  // namespace zalmor::driver
