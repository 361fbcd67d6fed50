// The pairs of a periodic box within a cutoff, by cell lists (docs/engines.md, "Periodic
// boxes"): the cell is cut into bins along its three axes, each at least the cutoff wide
// between its faces, so that a pair closer than the cutoff lies in the same or a
// neighbouring bin, across the cell's faces included; the cost is then O(N rho rc^3). The
// Debye sums of a box and its pair-distance histograms take their pairs from here.
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

// The atoms of types 1..ntypes sorted by bin (model order within a bin), wrapped into the
// cell.
struct BinnedAtoms {
  std::array<int, 3> n{};  // bins along a, b, c
  std::vector<double> x, y, z;
  std::vector<int> type;
  std::vector<int> start;  // first atom of each bin, and the end
  int bins() const { return n[0] * n[1] * n[2]; }
};

// Each atom's fractional coordinates in [0, 1) (wrapped into the cell) and its bin among
// n[0] x n[1] x n[2] (c fastest); bin -1 for an atom whose type is not 1..ntypes.
struct WrappedAtoms {
  std::vector<std::array<double, 3>> frac;
  std::vector<int> bin;
};
WrappedAtoms wrap_into_bins(const util::Model& model, const std::array<double, 9>& cell,
                            const std::array<int, 3>& n, int ntypes);

// `widths` are the cell's widths between opposite faces (CellShape::width).
BinnedAtoms bin_atoms(const util::Model& model, const std::array<double, 9>& cell,
                      const std::array<double, 3>& widths, double cutoff, int ntypes);

// Calls visit(i, j, d2) for every pair of atoms (indices into `atoms`) at a squared
// minimum-image distance d2 below rc2 whose first atom in bin order lies in bin `bin`: over
// all bins, every such pair of the box once. rc2 may be at most a quarter of the cell's
// smallest squared width, so that only the minimum image of a pair can be that close. d2 is
// formed in double from the wrapped positions and the lattice vector that brings the bins
// together.
template <class Visit>
void for_each_pair_from_bin(const BinnedAtoms& atoms, const std::array<double, 9>& cell, double rc2,
                            int bin, Visit&& visit) {
  const std::array<int, 3>& n = atoms.n;
  const Vec3 va = cell_row(cell, 0), vb = cell_row(cell, 1), vc = cell_row(cell, 2);
  const int ia = bin / (n[1] * n[2]), ib = (bin / n[2]) % n[1], ic = bin % n[2];
  const auto b0 = static_cast<std::size_t>(atoms.start[static_cast<std::size_t>(bin)]);
  const auto b1 = static_cast<std::size_t>(atoms.start[static_cast<std::size_t>(bin) + 1]);
  if (b0 == b1) return;
  for (int da = -1; da <= 1; ++da) {
    for (int db = -1; db <= 1; ++db) {
      for (int dc = -1; dc <= 1; ++dc) {
        // The neighbouring bin and the lattice vector that takes its atoms next to this
        // bin. With two bins along an axis both neighbours are the one other bin, seen
        // through opposite faces: two images, of which at most one is within the cutoff.
        auto wrap = [](int v, int m, int& shift) {
          shift = v < 0 ? -1 : (v >= m ? 1 : 0);
          return v - shift * m;
        };
        int sa = 0, sb = 0, sc = 0;
        const int ja = wrap(ia + da, n[0], sa), jb = wrap(ib + db, n[1], sb),
                  jc = wrap(ic + dc, n[2], sc);
        const int other = (ja * n[1] + jb) * n[2] + jc;
        const double tx = sa * va[0] + sb * vb[0] + sc * vc[0];
        const double ty = sa * va[1] + sb * vb[1] + sc * vc[1];
        const double tz = sa * va[2] + sb * vb[2] + sc * vc[2];
        const auto o0 = static_cast<std::size_t>(atoms.start[static_cast<std::size_t>(other)]);
        const auto o1 = static_cast<std::size_t>(atoms.start[static_cast<std::size_t>(other) + 1]);
        for (std::size_t i = b0; i < b1; ++i) {
          // Each unordered pair once: from its first atom in bin order.
          const std::size_t j0 = std::max(o0, i + 1);
          const double bx = tx - atoms.x[i], by = ty - atoms.y[i], bz = tz - atoms.z[i];
          for (std::size_t j = j0; j < o1; ++j) {
            const double dx = atoms.x[j] + bx, dy = atoms.y[j] + by, dz = atoms.z[j] + bz;
            const double d2 = dx * dx + dy * dy + dz * dz;
            if (!(d2 < rc2)) continue;
            visit(i, j, d2);
          }
        }
      }
    }
  }
}

}  // namespace zalmor::scatter::detail
