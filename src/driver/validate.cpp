// The run's values against the ranges of the calculation (scatter/request.hpp), reported as
// the program reports every fatal failure.
#include "driver/validate.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>

#include "driver/composition.hpp"
#include "driver/results.hpp"
#include "scatter/request.hpp"
#include "scatter/urms_reader.hpp"
#include "util/console.hpp"
#include "util/errors.hpp"
#include "util/format.hpp"

namespace zalmor::driver {
namespace {

std::string number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.7G", value);
  return text;
}
std::string number(float value) { return number(static_cast<double>(value)); }

[[noreturn]] void refuse(const std::string& message) { throw util::FatalError(" " + message); }

}  // namespace

void check_q_grid(std::span<const float> q, float qmax) {
  // The grid is formed as (i * Qmax) / n in float, so its last value may lie an ulp from
  // Qmax: only a value that is not finite makes the grid unusable.
  for (std::size_t i = 0; i < q.size(); ++i) {
    if (!std::isfinite(q[i])) {
      refuse("Q value " + util::format_int(static_cast<int>(i) + 1) + " of the grid is " +
             number(q[i]) + ": Qmax " + number(qmax) + " times the number of steps is beyond " +
             "the limit " + number(std::numeric_limits<float>::max()));
    }
  }
}

void check_ranges(const RunState& state) {
  try {
    scatter::check_request(state.model, state.q, block_request(state));
  } catch (const scatter::RequestError& e) {
    refuse(e.what());
  }
}

void check_blocks_finite(const RunState& state, const std::vector<std::vector<float>>& blocks,
                         std::span<const float> limits) {
  try {
    scatter::check_blocks_finite(block_request(state), state.q, blocks, limits);
  } catch (const scatter::RequestError& e) {
    refuse(e.what());
  }
}

void note_urms_findings(util::Console& console, std::string_view file, const RunState& state) {
  for (const std::string& warning :
       scatter::urms_warnings(state.urms, state.count, state.thermal.total_own_record)) {
    console.note("warning: " + std::string(file) + ": " + warning);
  }
}

}  // namespace zalmor::driver
