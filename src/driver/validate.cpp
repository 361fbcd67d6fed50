// The run's values against the ranges of the calculation (scatter/request.hpp), reported as
// the program reports every fatal failure.
#include "driver/validate.hpp"

#include <string>
#include <utility>

#include "driver/results.hpp"
#include "scatter/request.hpp"
#include "scatter/urms_reader.hpp"
#include "util/console.hpp"
#include "util/errors.hpp"

namespace zalmor::driver {
namespace {

// The request's refusal, reported as the program reports every fatal failure.
template <class Check>
void as_fatal(Check&& check) {
  try {
    std::forward<Check>(check)();
  } catch (const scatter::RequestError& e) {
    throw util::FatalError(" " + std::string(e.what()));
  }
}

}  // namespace

void check_q_grid(std::span<const float> q, float qmax) {
  as_fatal([&] { scatter::check_grid_steps(q, qmax); });
}

void check_ranges(const RunState& state) {
  as_fatal([&] { scatter::check_request(state.model, state.q, block_request(state)); });
}

void check_blocks_finite(const RunState& state, const std::vector<std::vector<float>>& blocks,
                         std::span<const float> limits) {
  as_fatal([&] { scatter::check_blocks_finite(block_request(state), state.q, blocks, limits); });
}

void note_urms_findings(util::Console& console, std::string_view file, const RunState& state) {
  for (const std::string& warning :
       scatter::urms_warnings(state.urms, state.count, state.thermal.total_own_record)) {
    console.note("warning: " + std::string(file) + ": " + warning);
  }
}

}  // namespace zalmor::driver
