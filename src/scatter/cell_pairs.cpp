// Wrapping a box's atoms into its cell and the bins of a grid over it (cell_pairs.hpp).
#include "scatter/cell_pairs.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

namespace zalmor::scatter::detail {

WrappedAtoms wrap_into_bins(const util::Model& model, const std::array<double, 9>& cell,
                            const std::array<int, 3>& n, int ntypes) {
  // Fractional coordinates are the rows of the inverse cell's columns: s_k = r . (recip_k),
  // recip_a = (b x c) / V with the signed volume.
  const Vec3 a = cell_row(cell, 0), bb = cell_row(cell, 1), c = cell_row(cell, 2);
  const double vol = dot(a, cross(bb, c));
  const std::array<Vec3, 3> recip = {cross(bb, c), cross(c, a), cross(a, bb)};
  const auto natoms = static_cast<std::size_t>(model.natoms());
  WrappedAtoms w;
  w.frac.resize(natoms);
  w.bin.assign(natoms, -1);
  for (std::size_t i = 0; i < natoms; ++i) {
    const int t = model.type[i];
    if (t < 1 || t > ntypes) continue;
    const Vec3 r = {static_cast<double>(model.xyz[3 * i]),
                    static_cast<double>(model.xyz[3 * i + 1]),
                    static_cast<double>(model.xyz[3 * i + 2])};
    std::size_t at = 0;
    for (std::size_t k = 0; k < 3; ++k) {
      double s = dot(r, recip[k]) / vol;
      s -= std::floor(s);
      if (!(s < 1.0)) s = 0.0;  // a value just below 0 rounds to 1
      w.frac[i][k] = s;
      const int cell_k = std::min(n[k] - 1, static_cast<int>(s * static_cast<double>(n[k])));
      at = at * static_cast<std::size_t>(n[k]) + static_cast<std::size_t>(cell_k);
    }
    w.bin[i] = static_cast<int>(at);
  }
  return w;
}

}  // namespace zalmor::scatter::detail
