// The whole run: dialogue, calculation and output, in their fixed order.
#include "driver/run.hpp"

#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>

#include "driver/composition.hpp"
#include "driver/results.hpp"
#include "driver/run_state.hpp"
#include "driver/thermal_dialogue.hpp"
#include "driver/validate.hpp"
#include "util/console.hpp"
#include "util/coords_reader.hpp"
#include "util/errors.hpp"
#include "util/limits.hpp"
#include "util/memory.hpp"
#include "util/parse.hpp"
#include "util/strings.hpp"

namespace zalmor::driver {
namespace {

void ask_model_name(util::Console& console, RunState& state) {
  std::string answer;
  for (;;) {
    console.write(" Give name only of .COORDS file to be read > ");
    answer = console.read_line();
    // A longer name would be cut silently; ask again rather than read the wrong file.
    if (!answer.empty() && answer.size() <= static_cast<std::size_t>(kNameLength)) break;
  }
  if (util::has_extension(answer, ".coords")) answer.resize(answer.size() - 7);
  state.model_stem = answer;
  state.model_file = answer + ".coords";
}

void ask_normalisation(util::Console& console, RunState& state) {
  // Zero atoms to normalise to would make every weight infinite.
  do {
    state.nnorm = static_cast<float>(state.model.natoms());
    util::ask_real(console, state.nnorm, "number of atoms to normalise to");
  } while (state.nnorm == 0.0f || !std::isfinite(state.nnorm));
}

void ask_scale(util::Console& console, RunState& state) {
  console.write(" Give factor by which to scale coordinates (1.0) > ");
  const std::string answer = console.read_line();
  if (answer.empty()) return;
  const util::Parsed<float> parsed = util::parse_real(std::string_view(answer).substr(0, 200));
  switch (parsed.status) {
    case util::ParseStatus::Null:  // a leading comma or slash gives no factor: keep 1.0
      return;
    case util::ParseStatus::Empty:
      throw util::InputError("no scale factor in the answer \"" + answer + "\"");
    case util::ParseStatus::Bad:
      throw util::InputError("the scale factor \"" + answer + "\" is not a number");
    case util::ParseStatus::Value:
      break;
  }
  if (!std::isfinite(parsed.value)) {
    throw util::InputError("the scale factor \"" + answer + "\" is not a finite number");
  }
  util::note_ignored_text(console, answer, parsed.text, parsed.ignored);
  for (float& c : state.model.xyz) c *= parsed.value;
}

void ask_q_grid(util::Console& console, RunState& state) {
  for (;;) {
    float qmax = 50.0f;
    float dq = 0.02f;
    util::ask_real(console, qmax, "Qmax");
    util::ask_real(console, dq, "delta-Q");
    int start = 2;
    do {
      start = 2;
      util::ask_int(console, start, "1 to start at Q=0 or 2 to start at Q=delta-Q");
    } while (start != 1 && start != 2);
    state.grid_from_zero = start == 1;

    // A zero step, or a ratio beyond what an integer holds, is simply out of range.
    const float ratio = qmax / dq;
    long long n = std::numeric_limits<long long>::max();
    if (std::isfinite(ratio) && std::fabs(ratio) < 2.0e9f) n = std::llround(ratio);
    const long long nq =
        n == std::numeric_limits<long long>::max() ? n : n + (state.grid_from_zero ? 1 : 0);
    if (nq <= std::numeric_limits<int>::max()) {
      util::print_with_int(console, "Number of Q-values = ", static_cast<int>(nq));
    }
    if (nq < 1 || nq > kMaxQValues) {
      util::print_with_int(console, "Maximum allowed number of Q-values = ", kMaxQValues);
      continue;
    }
    state.q = make_q_grid(qmax, static_cast<int>(n), state.grid_from_zero);
    check_q_grid(state.q, qmax);
    return;
  }
}

void ask_output_name(util::Console& console, RunState& state) {
  std::string stem = state.model_stem;
  int length = static_cast<int>(stem.size());
  // The writer keeps 80 characters of the file name: a longer one would name another file.
  do {
    util::ask_text(console, stem, "name for output .IOQ file", length);
  } while (length + 4 > kNameLength);
  state.output_file = stem.substr(0, static_cast<std::size_t>(length)) + ".ioq";
  console.line("Output file: " + state.output_file);
}

// ZALMOR_ENGINE forces an engine; a name we do not know is said at once, not after a long
// run under the automatic choice.
scatter::Impl engine_from_environment(util::Console& console) {
  const char* env = std::getenv("ZALMOR_ENGINE");
  if (env == nullptr) return scatter::Impl::Auto;
  if (const auto engine = scatter::engine_named(env)) return *engine;
  console.note("warning: ZALMOR_ENGINE=" + std::string(env) +
               " names no engine (auto, pairs, moments or reference): the automatic choice runs");
  return scatter::Impl::Auto;
}

}  // namespace

std::vector<float> make_q_grid(float qmax, int n, bool from_zero) {
  const int ioff = from_zero ? 1 : 0;
  std::vector<float> q(static_cast<std::size_t>(n + ioff));
  for (int i = 1; i <= n + ioff; ++i) {
    // (i - ioff) * Qmax / n, in that order and in float; the last value is Qmax or within
    // an ulp of it.
    // A grid of one point at Q = 0 has no step: its only value is 0.
    q[static_cast<std::size_t>(i - 1)] =
        n == 0 ? 0.0f : (static_cast<float>(i - ioff) * qmax) / static_cast<float>(n);
  }
  return q;
}

int run(util::Console& console) {
  util::prog_header(console, "ZALMOR", "Calculate Debye equation partials for a model",
                    "Orin Vaskel", "19-12-03");
  RunState state;
  state.engine = engine_from_environment(console);
  ask_model_name(console, state);
  int skip = 1;
  util::ask_int(console, skip, "number of text lines at start of file to be skipped");
  {
    const util::AllocationPurpose purpose("reading the model");
    state.model = util::read_coords(console, state.model_file, skip);
  }
  check_model(state.model);
  ask_normalisation(console, state);
  ask_scale(console, state);
  ask_composition(console, state);
  ask_thermal(console, state);
  ask_q_grid(console, state);
  ask_output_name(console, state);
  check_ranges(state);
  const util::AllocationPurpose purpose("the calculation and its output");
  write_results(console, state);
  return 0;
}

}  // namespace zalmor::driver
