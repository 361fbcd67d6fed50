// Sorting a box's atoms into the bins of its cell lists (cell_pairs.hpp).
#include "scatter/cell_pairs.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

namespace zalmor::scatter::detail {

namespace {

// More bins along an axis than this only cost memory: wider bins remain correct.
constexpr int kMaxBinsPerAxis = 1024;

}  // namespace

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

BinnedAtoms bin_atoms(const util::Model& model, const std::array<double, 9>& cell,
                      const std::array<double, 3>& widths, double cutoff, int ntypes) {
  BinnedAtoms b;
  for (std::size_t k = 0; k < 3; ++k) {
    const double fit = std::floor(widths[k] / cutoff);
    b.n[k] = static_cast<int>(std::clamp(fit, 1.0, static_cast<double>(kMaxBinsPerAxis)));
  }
  const Vec3 a = cell_row(cell, 0), bb = cell_row(cell, 1), c = cell_row(cell, 2);
  const WrappedAtoms wrapped = wrap_into_bins(model, cell, b.n, ntypes);
  const std::vector<int>& bin_of = wrapped.bin;
  const auto& frac = wrapped.frac;
  const int natoms = model.natoms();
  const auto nbins = static_cast<std::size_t>(b.bins());
  std::vector<int> count(nbins + 1, 0);
  for (const int at : bin_of) {
    if (at >= 0) ++count[static_cast<std::size_t>(at) + 1];
  }
  for (std::size_t k = 0; k < nbins; ++k) count[k + 1] += count[k];
  b.start = count;
  const auto total = static_cast<std::size_t>(count[nbins]);
  b.x.resize(total);
  b.y.resize(total);
  b.z.resize(total);
  b.type.resize(total);
  std::vector<int> next(count.begin(), count.end() - 1);
  for (int i = 0; i < natoms; ++i) {
    const auto iu = static_cast<std::size_t>(i);
    if (bin_of[iu] < 0) continue;
    const auto at = static_cast<std::size_t>(next[static_cast<std::size_t>(bin_of[iu])]++);
    const auto& s = frac[iu];
    b.x[at] = s[0] * a[0] + s[1] * bb[0] + s[2] * c[0];
    b.y[at] = s[0] * a[1] + s[1] * bb[1] + s[2] * c[1];
    b.z[at] = s[0] * a[2] + s[1] * bb[2] + s[2] * c[2];
    b.type[at] = model.type[iu];
  }
  return b;
}

}  // namespace zalmor::scatter::detail
