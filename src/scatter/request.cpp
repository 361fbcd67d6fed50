// The request of a calculation and its ranges (request.hpp).
#include "scatter/request.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <utility>

#include "scatter/weights.hpp"
#include "util/format.hpp"
#include "util/limits.hpp"

namespace zalmor::scatter {
namespace {

std::string number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.7G", value);
  return text;
}
std::string number(float value) { return number(static_cast<double>(value)); }

[[noreturn]] void refuse(const std::string& message) { throw RequestError(message); }

std::string block_name(const BlockRequest& request, std::size_t index) {
  const std::string number_text = "Block " + util::format_int(static_cast<int>(index) + 1);
  if (index >= request.partials.size()) return number_text + ", the total i(Q),";
  return number_text + ", i" + util::format_int(request.partials[index].first) +
         util::format_int(request.partials[index].second) + "(Q),";
}

void check_types(const util::Model& model, const BlockRequest& request) {
  if (request.ntypes < 1 || request.ntypes > kMaxTypes) {
    refuse(util::format_int(request.ntypes) + " atom types: at most " +
           util::format_int(kMaxTypes) + " are supported");
  }
  for (std::size_t i = 0; i < model.type.size(); ++i) {
    const int t = model.type[i];
    if (t < 1 || t > request.ntypes) {
      refuse("Atom " + util::format_int(static_cast<int>(i) + 1) + " has type " +
             util::format_int(t) + ", outside the " + util::format_int(request.ntypes) +
             " atom types of the run");
    }
  }
  if (request.bbar.size() != static_cast<std::size_t>(request.ntypes) ||
      request.weight.size() != request.partials.size()) {
    refuse("the request needs one scattering length per atom type and one weight per partial");
  }
}

void check_coordinates(const util::Model& model) {
  for (std::size_t i = 0; i < model.xyz.size(); ++i) {
    if (!std::isfinite(model.xyz[i])) {
      refuse("Atom " + util::format_int(static_cast<int>(i / 3) + 1) +
             " has a coordinate beyond single precision after scaling (limit " +
             number(std::numeric_limits<float>::max()) + " A)");
    }
  }
  const double d2 = largest_distance_squared(model);
  if (d2 > kFiniteLimit) {
    refuse("Largest distance squared in the model is " + number(d2) + " A^2, beyond the limit " +
           number(kFiniteLimit) + " A^2: scale the coordinates down");
  }
}

void check_weights(const util::Model& model, const BlockRequest& request) {
  const auto nnorm = static_cast<double>(request.nnorm);
  if (std::fabs(nnorm) < 1.0 / kFiniteLimit) {
    refuse("Number of atoms to normalise to is " + number(nnorm) + ", below the limit " +
           number(1.0 / kFiniteLimit));
  }
  std::vector<double> atoms(static_cast<std::size_t>(request.ntypes), 0.0);
  for (const int t : model.type) atoms[static_cast<std::size_t>(t - 1)] += 1.0;
  const auto count = [&](int t) { return atoms[static_cast<std::size_t>(t - 1)]; };
  const auto b = [&](int t) {
    return static_cast<double>(request.bbar[static_cast<std::size_t>(t - 1)]);
  };
  const auto too_large = [&](std::size_t index, double value) {
    refuse(block_name(request, index) + " could reach " + number(value) + " with these b_bar " +
           "values and " + number(nnorm) + " atoms to normalise to, beyond the limit " +
           number(kFiniteLimit));
  };
  for (std::size_t k = 0; k < request.partials.size(); ++k) {
    const auto [a, c] = request.partials[k];
    const double w =
        std::fabs(pair_weight(request.bbar[static_cast<std::size_t>(a - 1)],
                              request.bbar[static_cast<std::size_t>(c - 1)], request.nnorm));
    const double pairs = a == c ? count(a) * (count(a) - 1.0) : count(a) * count(c);
    if (w > kFiniteLimit) too_large(k, w);
    if (w * pairs > kFiniteLimit) too_large(k, w * pairs);
  }

  // The total's term ((2 / nnorm) b_i) b_j 0.01, each product rounded to float.
  const double p = 2.0 / std::fabs(nnorm);
  double sum = 0.0;
  for (int a = 1; a <= request.ntypes; ++a) {
    for (int c = a; c <= request.ntypes; ++c) {
      const double pairs = a == c ? count(a) * (count(a) - 1.0) / 2.0 : count(a) * count(c);
      if (pairs == 0.0) continue;
      const double first = std::max(p * std::fabs(b(a)), p * std::fabs(b(c)));
      const double term = p * std::fabs(b(a) * b(c));
      if (std::max(first, term) > kFiniteLimit) {
        too_large(request.partials.size(), std::max(first, term));
      }
      sum += term * 0.01 * pairs;
    }
  }
  if (sum > kFiniteLimit) too_large(request.partials.size(), sum);
}

double largest_thermal_u(const BlockRequest& request, std::string& what) {
  const Thermal& th = request.thermal;
  double u = 0.0;
  const auto take = [&](auto value, const std::string& name) {
    const double magnitude = std::fabs(static_cast<double>(value));
    if (magnitude > u) {
      u = magnitude;
      what = name;
    }
  };
  switch (th.option) {
    case ThermalOption::kOneU:
      take(th.uij[0], "RMS variation");
      break;
    case ThermalOption::kPerPartial:
      for (std::size_t k = 0; k < request.partials.size() && k < th.uij.size(); ++k) {
        take(th.uij[k], "RMS variation u" + util::format_int(request.partials[k].first) +
                            util::format_int(request.partials[k].second));
      }
      break;
    case ThermalOption::kShortLong:
      take(th.uij[0], "RMS variation in short distances");
      take(th.uij[1], "RMS variation in long distances");
      break;
    case ThermalOption::kUrms:
      if (th.urms == nullptr) break;
      for (std::size_t k = 0; k < th.urms->records.size(); ++k) {
        take(largest_u(th.urms->records[k]),
             "Largest u of .URMS record " + util::format_int(static_cast<int>(k) + 1));
      }
      break;
    default:
      break;
  }
  return u;
}

void check_grid_against_model(const util::Model& model, std::span<const float> q,
                              const BlockRequest& request) {
  double qmax = 0.0;
  for (std::size_t k = 0; k < q.size(); ++k) {
    if (!std::isfinite(q[k])) {
      refuse("Q value " + util::format_int(static_cast<int>(k) + 1) + " is " + number(q[k]) +
             ", not a finite number");
    }
    qmax = std::max(qmax, std::fabs(static_cast<double>(q[k])));
  }
  const double r = request.box ? request.box->cutoff : std::sqrt(largest_distance_squared(model));
  if (qmax * r > kFiniteLimit) {
    refuse("Qmax " + number(qmax) + " times the largest distance " + number(r) + " A is " +
           number(qmax * r) + ", beyond the limit " + number(kFiniteLimit));
  }
  std::string what;
  const double u = largest_thermal_u(request, what);
  if (u * qmax > kMaxUQ) {
    refuse(what + " " + number(u) + " A times Qmax " + number(qmax) + " is " + number(u * qmax) +
           ", beyond the limit " + number(kMaxUQ));
  }
}

}  // namespace

std::vector<TypePair> partial_pairs(int ntypes) {
  std::vector<TypePair> pairs;
  for (int t = 1; t <= ntypes; ++t) pairs.push_back({t, t});
  for (int a = 1; a < ntypes; ++a) {
    for (int b = a + 1; b <= ntypes; ++b) pairs.push_back({a, b});
  }
  return pairs;
}

BlockRequest make_block_request(int ntypes, std::vector<float> bbar, float nnorm,
                                const Thermal& thermal) {
  if (ntypes < 1 || ntypes > kMaxTypes) {
    refuse(util::format_int(ntypes) + " atom types: at most " + util::format_int(kMaxTypes) +
           " are supported");
  }
  if (bbar.size() != static_cast<std::size_t>(ntypes)) {
    refuse("one scattering length per atom type is needed: " + util::format_int(ntypes) +
           " types, " + util::format_int(static_cast<int>(bbar.size())) + " lengths");
  }
  BlockRequest request;
  request.ntypes = ntypes;
  request.partials = partial_pairs(ntypes);
  for (const TypePair& p : request.partials) {
    request.weight.push_back(
        static_cast<float>(pair_weight(bbar[static_cast<std::size_t>(p.first - 1)],
                                       bbar[static_cast<std::size_t>(p.second - 1)], nnorm)));
  }
  request.bbar = std::move(bbar);
  request.nnorm = nnorm;
  request.total_weight = 1.0f / nnorm;
  request.thermal = thermal;
  return request;
}

void check_request(const util::Model& model, std::span<const float> q,
                   const BlockRequest& request) {
  check_types(model, request);
  // A box's atoms are wrapped into its cell: their extent says nothing of its distances.
  if (!request.box) check_coordinates(model);
  check_weights(model, request);
  check_grid_against_model(model, q, request);
}

void check_grid_steps(std::span<const float> q, float qmax) {
  for (std::size_t i = 0; i < q.size(); ++i) {
    if (!std::isfinite(q[i])) {
      refuse("Q value " + util::format_int(static_cast<int>(i) + 1) + " of the grid is " +
             number(q[i]) + ": Qmax " + number(qmax) + " times the number of steps is beyond " +
             "the limit " + number(std::numeric_limits<float>::max()));
    }
  }
}

void check_blocks_finite(const BlockRequest& request, std::span<const float> q,
                         const std::vector<std::vector<float>>& blocks,
                         std::span<const float> limits) {
  for (std::size_t k = 0; k < blocks.size(); ++k) {
    const auto bad =
        std::find_if(blocks[k].begin(), blocks[k].end(), [](float v) { return !std::isfinite(v); });
    const bool bad_limit = k < limits.size() && !std::isfinite(limits[k]);
    if (bad == blocks[k].end() && !bad_limit) continue;
    std::string where = number(k < limits.size() ? limits[k] : 0.0f) + " at its zero Q limit";
    if (bad != blocks[k].end()) {
      const auto i = static_cast<std::size_t>(bad - blocks[k].begin());
      where = number(*bad) + " at Q = " + number(i < q.size() ? q[i] : 0.0f);
    }
    refuse(block_name(request, k) + " holds a value that is not finite (" + where +
           "): no output file is written");
  }
}

}  // namespace zalmor::scatter
