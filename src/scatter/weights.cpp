// The weights, zero-Q limits and model sizes shared by the checks and the blocks
// (weights.hpp).
#include "scatter/weights.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace zalmor::scatter {

double pair_weight(float b_a, float b_b, float nnorm) {
  return ((static_cast<double>(b_a) * static_cast<double>(b_b)) * 0.01) /
         static_cast<double>(nnorm);
}

std::vector<float> zero_q_limits(std::span<const int> count, std::span<const TypePair> partials,
                                 std::span<const float> bbar, float nnorm) {
  const auto atoms = [&](int t) { return std::int64_t{count[static_cast<std::size_t>(t - 1)]}; };
  const auto weight = [&](int a, int b) {
    return pair_weight(bbar[static_cast<std::size_t>(a - 1)], bbar[static_cast<std::size_t>(b - 1)],
                       nnorm);
  };
  // Adding +0.0 turns the -0 of a partial without pairs (or of a zero b) into +0.
  std::vector<float> limits;
  for (const auto& [a, b] : partials) {
    const std::int64_t ordered = a == b ? atoms(a) * (atoms(a) - 1) : atoms(a) * atoms(b);
    limits.push_back(static_cast<float>(weight(a, b) * static_cast<double>(ordered) + 0.0));
  }
  // The total counts every unordered pair once, with twice the pair weight.
  const auto ntypes = static_cast<int>(count.size());
  double total = 0.0;
  for (int a = 1; a <= ntypes; ++a) {
    for (int b = a; b <= ntypes; ++b) {
      const std::int64_t unordered = a == b ? atoms(a) * (atoms(a) - 1) / 2 : atoms(a) * atoms(b);
      if (unordered != 0) total += 2.0 * weight(a, b) * static_cast<double>(unordered);
    }
  }
  limits.push_back(static_cast<float>(total + 0.0));
  return limits;
}

std::vector<double> unit_scales(const BlockRequest& request, std::span<const int> count) {
  double natoms = 0, self = 0;
  const auto atoms = [&](int t) {
    return t >= 1 && static_cast<std::size_t>(t) <= count.size()
               ? static_cast<double>(count[static_cast<std::size_t>(t - 1)])
               : 0.0;
  };
  for (int t = 1; t <= static_cast<int>(count.size()); ++t) {
    const auto b = t <= static_cast<int>(request.bbar.size())
                       ? static_cast<double>(request.bbar[static_cast<std::size_t>(t - 1)])
                       : 0.0;
    natoms += atoms(t);
    self += atoms(t) * b * b;
  }
  std::vector<double> scales;
  for (std::size_t k = 0; k < request.partials.size(); ++k) {
    const TypePair tp = request.partials[k];
    const double pairs = natoms > 0 ? atoms(tp.first) * atoms(tp.second) / natoms : 0.0;
    scales.push_back(std::abs(static_cast<double>(request.weight[k])) * pairs);
  }
  scales.push_back(std::abs(static_cast<double>(request.total_weight)) * 0.01 * self);
  return scales;
}

double largest_distance_squared(const util::Model& model) {
  double sum = 0.0;
  for (std::size_t axis = 0; axis < 3; ++axis) {
    double low = HUGE_VAL, high = -HUGE_VAL;
    for (std::size_t i = axis; i < model.xyz.size(); i += 3) {
      low = std::min(low, static_cast<double>(model.xyz[i]));
      high = std::max(high, static_cast<double>(model.xyz[i]));
    }
    if (high >= low) sum += (high - low) * (high - low);
  }
  return sum;
}

}  // namespace zalmor::scatter
