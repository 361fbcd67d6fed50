// The ranges of a run's values within which the single-precision calculation stays finite.
//
// The kernels form, per pair, r^2 = dx^2 + dy^2 + dz^2, x = Q r, sin(x) w / x, u Q and
// (u Q)^2 / 2, and for the total ((2 / nnorm) b_i) b_j 0.01; the block sums are at most
// the sums of the terms' magnitudes, which the zero-Q limits are. Each of these is kept at
// or below 1e38 (a third of the largest float), so rounding can never tip one over.
#include "driver/validate.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>

#include "driver/composition.hpp"
#include "scatter/urms_reader.hpp"
#include "scatter/weights.hpp"
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

std::string block_name(const RunState& state, std::size_t index) {
  const std::string number_text = "Block " + util::format_int(static_cast<int>(index) + 1);
  if (index >= state.partials.size()) return number_text + ", the total i(Q),";
  return number_text + ", i" + util::format_int(state.partials[index].first) +
         util::format_int(state.partials[index].second) + "(Q),";
}

void check_coordinates(const util::Model& model) {
  for (std::size_t i = 0; i < model.xyz.size(); ++i) {
    if (!std::isfinite(model.xyz[i])) {
      refuse("Atom " + util::format_int(static_cast<int>(i / 3) + 1) +
             " has a coordinate beyond single precision after scaling (limit " +
             number(std::numeric_limits<float>::max()) + " A)");
    }
  }
  const double d2 = scatter::largest_distance_squared(model);
  if (d2 > kFiniteLimit) {
    refuse("Largest distance squared in the model is " + number(d2) + " A^2, beyond the limit " +
           number(kFiniteLimit) + " A^2: scale the coordinates down");
  }
}

void check_weights(const RunState& state) {
  const auto nnorm = static_cast<double>(state.nnorm);
  if (std::fabs(nnorm) < 1.0 / kFiniteLimit) {
    refuse("Number of atoms to normalise to is " + number(nnorm) + ", below the limit " +
           number(1.0 / kFiniteLimit));
  }
  const auto count = [&](int t) {
    return static_cast<double>(state.count[static_cast<std::size_t>(t - 1)]);
  };
  const auto b = [&](int t) {
    return static_cast<double>(state.bbar[static_cast<std::size_t>(t - 1)]);
  };
  const auto too_large = [&](std::size_t index, double value) {
    refuse(block_name(state, index) + " could reach " + number(value) + " with these b_bar " +
           "values and " + number(nnorm) + " atoms to normalise to, beyond the limit " +
           number(kFiniteLimit));
  };

  for (std::size_t k = 0; k < state.partials.size(); ++k) {
    const auto [a, c] = state.partials[k];
    const double w =
        std::fabs(scatter::pair_weight(state.bbar[static_cast<std::size_t>(a - 1)],
                                       state.bbar[static_cast<std::size_t>(c - 1)], state.nnorm));
    const double pairs = a == c ? count(a) * (count(a) - 1.0) : count(a) * count(c);
    if (w > kFiniteLimit) too_large(k, w);
    if (w * pairs > kFiniteLimit) too_large(k, w * pairs);
  }

  // The total's term ((2 / nnorm) b_i) b_j 0.01, each product rounded to float.
  const double p = 2.0 / std::fabs(nnorm);
  double sum = 0.0;
  for (int a = 1; a <= state.ntypes; ++a) {
    for (int c = a; c <= state.ntypes; ++c) {
      const double pairs = a == c ? count(a) * (count(a) - 1.0) / 2.0 : count(a) * count(c);
      if (pairs == 0.0) continue;
      const double first = std::max(p * std::fabs(b(a)), p * std::fabs(b(c)));
      const double term = p * std::fabs(b(a) * b(c));
      if (std::max(first, term) > kFiniteLimit) {
        too_large(state.partials.size(), std::max(first, term));
      }
      sum += term * 0.01 * pairs;
    }
  }
  if (sum > kFiniteLimit) too_large(state.partials.size(), sum);
}

double largest_thermal_u(const RunState& state, std::string& what) {
  const scatter::Thermal& th = state.thermal;
  double u = 0.0;
  const auto take = [&](auto value, const std::string& name) {
    const double magnitude = std::fabs(static_cast<double>(value));
    if (magnitude > u) {
      u = magnitude;
      what = name;
    }
  };
  switch (th.option) {
    case scatter::ThermalOption::kOneU:
      take(th.uij[0], "RMS variation");
      break;
    case scatter::ThermalOption::kPerPartial:
      for (std::size_t k = 0; k < state.partials.size() && k < th.uij.size(); ++k) {
        take(th.uij[k], "RMS variation u" + util::format_int(state.partials[k].first) +
                            util::format_int(state.partials[k].second));
      }
      break;
    case scatter::ThermalOption::kShortLong:
      take(th.uij[0], "RMS variation in short distances");
      take(th.uij[1], "RMS variation in long distances");
      break;
    case scatter::ThermalOption::kUrms:
      for (std::size_t k = 0; k < state.urms.records.size(); ++k) {
        take(scatter::largest_u(state.urms.records[k]),
             "Largest u of .URMS record " + util::format_int(static_cast<int>(k) + 1));
      }
      break;
    default:
      break;
  }
  return u;
}

void check_grid_against_model(const RunState& state) {
  double qmax = 0.0;
  for (const float q : state.q) qmax = std::max(qmax, std::fabs(static_cast<double>(q)));
  const double r = std::sqrt(scatter::largest_distance_squared(state.model));
  if (qmax * r > kFiniteLimit) {
    refuse("Qmax " + number(qmax) + " times the largest distance " + number(r) + " A is " +
           number(qmax * r) + ", beyond the limit " + number(kFiniteLimit));
  }
  std::string what;
  const double u = largest_thermal_u(state, what);
  if (u * qmax > kMaxUQ) {
    refuse(what + " " + number(u) + " A times Qmax " + number(qmax) + " is " + number(u * qmax) +
           ", beyond the limit " + number(kMaxUQ));
  }
}

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
  check_coordinates(state.model);
  check_weights(state);
  check_grid_against_model(state);
}

void check_blocks_finite(const RunState& state, const std::vector<std::vector<float>>& blocks,
                         std::span<const float> limits) {
  for (std::size_t k = 0; k < blocks.size(); ++k) {
    const auto bad =
        std::find_if(blocks[k].begin(), blocks[k].end(), [](float v) { return !std::isfinite(v); });
    const bool bad_limit = k < limits.size() && !std::isfinite(limits[k]);
    if (bad == blocks[k].end() && !bad_limit) continue;
    std::string where = number(limits[k]) + " at its zero Q limit";
    if (bad != blocks[k].end()) {
      const auto i = static_cast<std::size_t>(bad - blocks[k].begin());
      where = number(*bad) + " at Q = " + number(i < state.q.size() ? state.q[i] : 0.0f);
    }
    refuse(block_name(state, k) + " holds a value that is not finite (" + where +
           "): no output file is written");
  }
}

void note_urms_findings(util::Console& console, std::string_view file, const RunState& state) {
  for (const std::string& warning :
       scatter::urms_warnings(state.urms, state.count, state.thermal.total_own_record)) {
    console.note("warning: " + std::string(file) + ": " + warning);
  }
}

}  // namespace zalmor::driver
