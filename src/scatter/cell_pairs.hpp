// A periodic cell's rows as vectors, and the wrapping of a box's atoms into the cell and into
// the bins of a grid over it: what the periodic engine's searches (periodic.cpp) start from.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <vector>

#include "util/coords_reader.hpp"

namespace zalmor::scatter::detail {

using Vec3 = std::array<double, 3>;

inline Vec3 cell_row(const std::array<double, 9>& cell, int k) {
  const auto o = 3 * static_cast<std::size_t>(k);
  return {cell[o], cell[o + 1], cell[o + 2]};
}
inline Vec3 cross(const Vec3& u, const Vec3& v) {
  return {u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0]};
}
inline double dot(const Vec3& u, const Vec3& v) { return u[0] * v[0] + u[1] * v[1] + u[2] * v[2]; }
inline double norm(const Vec3& u) { return std::sqrt(dot(u, u)); }

// Each atom's fractional coordinates in [0, 1) (wrapped into the cell) and its bin among
// n[0] x n[1] x n[2] (c fastest); bin -1 for an atom whose type is not 1..ntypes.
struct WrappedAtoms {
  std::vector<std::array<double, 3>> frac;
  std::vector<int> bin;
};
WrappedAtoms wrap_into_bins(const util::Model& model, const std::array<double, 9>& cell,
                            const std::array<int, 3>& n, int ntypes);

}  // namespace zalmor::scatter::detail
