// The pairs of a periodic box (docs/engines.md, "Periodic boxes"), for its Debye sums and its
// pair distributions' counts, by cell lists in one of two searches. Where c stands along z over a
// and b in the x-y plane, the a-b plane is cut into columns half the cutoff wide, each sorted along
// z; home atoms go eight at a time (consecutive along z), and the atoms of each partner column that
// can reach them form one window along z, whose half height comes from the columns' gap in the a-b
// plane and which only moves up as the home atoms do. In any other cell, the cell is cut into bins
// along its three axes, each at least a third of the cutoff wide; a pair closer than the cutoff
// lies in a home bin and one of the rows of bins along c whose gap from it is below the cutoff, and
// atoms sorted by bin with c fastest make a row of bins one run of atoms. Either way the cost is
// O(N rho rc^3), the runs split where they cross the cell, and the kernel (periodic_simd.cpp) tests
// them a vector at a time. Each type pair is a pass of its own over atoms sorted by type, so that a
// thread's histogram stays in its core's cache. The pairs fill the moments engine's histograms with
// the same bins and integer offsets as the finite pass, so the sums in Q (QSums) and their error
// bound are the same, and the histograms do not depend on the search or on how the work was
// shared among threads.
#include "scatter/periodic.hpp"

#include <omp.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <limits>
#include <numbers>
#include <sstream>
#include <stdexcept>
#include <string>

#include "scatter/cell_pairs.hpp"
#include "scatter/groups.hpp"
#include "scatter/histograms.hpp"
#include "scatter/moments_chirpz.hpp"
#include "scatter/moments_q_sums.hpp"
#include "scatter/periodic_pairs.hpp"
#include "scatter/region_failure.hpp"
#include "scatter/weights.hpp"

namespace zalmor::scatter {

namespace {

using detail::BinMoments;
using detail::cross;
using detail::DirectTerm;
using detail::dot;
using detail::GroupPlan;
using detail::Histogram;
using detail::norm;
using detail::Vec3;

std::string number(double v) {
  std::ostringstream s;
  s.precision(7);
  s << v;
  return s.str();
}

// More bins along an axis than this only cost memory: wider bins remain correct.
constexpr int kMaxBinsPerAxis = 1024;

// Bins at least a third of the cutoff wide between their faces: the bins that can hold a
// partner of a home bin's atoms then span about 2.8 times the cutoff's sphere in a cubic
// cell, against 6.4 times for the 27 bins of bins as wide as the cutoff.
constexpr int kBinsPerCutoff = 3;
// Columns half the cutoff wide: narrower ones test fewer partners per pair but in shorter
// windows, and cost more than they save (docs/engines.md).
constexpr double kColumnsPerCutoff = 2.0;
// Each thread's histogram of a type pair takes 32 bytes for each 1/1024 A up to the cutoff:
// 330 MB at this cutoff, a box some 10^13 A^3 in volume.
constexpr double kMaxCutoff = 1e4;
// Candidates of one home atom buffered before they are binned.
constexpr std::size_t kPartnerBuffer = 4096;

// The atoms of each type sorted by bin (model order within a bin, or along z where the bins
// are columns), wrapped into the cell.
struct TypeAtoms {
  detail::SortedBox box;
  std::vector<std::size_t> start;  // first atom of each bin, and the end
};

// Bins along each axis at least `width` wide between the cell's faces, and no more bins than
// atoms (the widths' product is at most the volume): a short cutoff in a large, sparse box
// would otherwise ask for up to 1024^3 bins of several arrays each.
std::array<int, 3> bins_of_width(const CellShape& shape, int natoms, double width) {
  const double per_atom = std::cbrt(shape.volume / static_cast<double>(std::max(1, natoms)));
  const double bin_width = std::max(width, per_atom);
  std::array<int, 3> n{};
  for (std::size_t k = 0; k < 3; ++k) {
    const double fit = std::floor(shape.width[k] / bin_width);
    n[k] = static_cast<int>(std::clamp(fit, 1.0, static_cast<double>(kMaxBinsPerAxis)));
  }
  return n;
}

std::vector<TypeAtoms> bin_atoms(const util::Model& model, const std::array<double, 9>& cell,
                                 const std::array<int, 3>& n, int ntypes, bool sort_along_z) {
  const Vec3 a = detail::cell_row(cell, 0), bb = detail::cell_row(cell, 1),
             c = detail::cell_row(cell, 2);
  const detail::WrappedAtoms wrapped = detail::wrap_into_bins(model, cell, n, ntypes);
  const std::vector<int>& bin_of = wrapped.bin;
  const auto& frac = wrapped.frac;
  const int natoms = model.natoms();
  const auto nbins = static_cast<std::size_t>(n[0]) * static_cast<std::size_t>(n[1]) *
                     static_cast<std::size_t>(n[2]);
  std::vector<TypeAtoms> of_type(static_cast<std::size_t>(ntypes) + 1);
  for (TypeAtoms& t : of_type) t.start.assign(nbins + 1, 0);
  for (std::size_t i = 0; i < bin_of.size(); ++i) {
    if (bin_of[i] < 0) continue;
    ++of_type[static_cast<std::size_t>(model.type[i])]
          .start[static_cast<std::size_t>(bin_of[i]) + 1];
  }
  // The kernel reads whole vectors past a run's end: padding atoms, too far to pair.
  constexpr double kFar = 1e30;
  std::vector<std::vector<std::size_t>> next(of_type.size());
  for (std::size_t t = 0; t < of_type.size(); ++t) {
    std::vector<std::size_t>& start = of_type[t].start;
    for (std::size_t k = 0; k < nbins; ++k) start[k + 1] += start[k];
    const std::size_t padded = start[nbins] + detail::periodic_lanes();
    of_type[t].box.x.assign(padded, kFar);
    of_type[t].box.y.assign(padded, kFar);
    of_type[t].box.z.assign(padded, kFar);
    next[t].assign(start.begin(), start.end() - 1);
  }
  for (int i = 0; i < natoms; ++i) {
    const auto iu = static_cast<std::size_t>(i);
    if (bin_of[iu] < 0) continue;
    const auto t = static_cast<std::size_t>(model.type[iu]);
    const std::size_t at = next[t][static_cast<std::size_t>(bin_of[iu])]++;
    const auto& s = frac[iu];
    detail::SortedBox& box = of_type[t].box;
    box.x[at] = s[0] * a[0] + s[1] * bb[0] + s[2] * c[0];
    box.y[at] = s[0] * a[1] + s[1] * bb[1] + s[2] * c[1];
    box.z[at] = s[0] * a[2] + s[1] * bb[2] + s[2] * c[2];
  }
  if (!sort_along_z) return of_type;
  std::vector<std::size_t> order;
  std::vector<double> moved;
  for (TypeAtoms& t : of_type) {
    detail::SortedBox& box = t.box;
    for (std::size_t k = 0; k < nbins; ++k) {
      const std::size_t b0 = t.start[k], b1 = t.start[k + 1];
      order.resize(b1 - b0);
      for (std::size_t j = 0; j < order.size(); ++j) order[j] = b0 + j;
      std::stable_sort(order.begin(), order.end(),
                       [&](std::size_t u, std::size_t v) { return box.z[u] < box.z[v]; });
      for (std::vector<double>* axis : {&box.x, &box.y, &box.z}) {
        moved.resize(order.size());
        for (std::size_t j = 0; j < order.size(); ++j) moved[j] = (*axis)[order[j]];
        std::copy(moved.begin(), moved.end(), axis->begin() + static_cast<std::ptrdiff_t>(b0));
      }
    }
  }
  return of_type;
}

// Neighbouring bins along c at offsets (da, db, c_lo .. c_hi) from a home bin, in bins.
struct Row {
  int da = 0, db = 0, c_lo = 0, c_hi = 0;
};

// The rows of bins that can hold a partner closer than the cutoff of an atom of the home bin:
// all of them (`full`, partners of another type), or each pair of bins once: offsets after
// (0, 0) in (da, db), and for (0, 0) the home bin and the bins after it. Two atoms whose bins are d
// apart along an axis are at least (|d| - 1) times the bins' width between faces apart across those
// faces; in a cell with orthogonal rows the three gaps add in squares, otherwise the largest bounds
// the distance.
// The first K axes' bins: their widths between faces, how many bins a distance `reach` spans,
// and the least distance across the faces of bins d apart, (|d| - 1) widths.
template <std::size_t K>
struct AxisReach {
  std::array<double, K> w{};
  std::array<int, K> most{};
  AxisReach(const std::array<int, 3>& n, const CellShape& shape, double reach) {
    for (std::size_t k = 0; k < K; ++k) {
      w[k] = shape.width[k] / static_cast<double>(n[k]);
      while (static_cast<double>(most[k]) * w[k] < reach) ++most[k];
    }
  }
  double gap(std::size_t k, int d) const {
    return static_cast<double>(std::max(0, std::abs(d) - 1)) * w[k];
  }
};

std::vector<Row> shell(const std::array<int, 3>& n, const CellShape& shape, bool orthogonal,
                       double cutoff, bool full) {
  const AxisReach<3> axes(n, shape, cutoff);
  const std::array<int, 3>& reach = axes.most;
  auto gap = [&](std::size_t k, int d) { return axes.gap(k, d); };
  auto within = [&](int da, int db, int dc) {
    const double ga = gap(0, da), gb = gap(1, db), gc = gap(2, dc);
    if (orthogonal) return ga * ga + gb * gb + gc * gc < cutoff * cutoff;
    return std::max({ga, gb, gc}) < cutoff;
  };
  std::vector<Row> rows;
  for (int da = full ? -reach[0] : 0; da <= reach[0]; ++da) {
    for (int db = da == 0 && !full ? 0 : -reach[1]; db <= reach[1]; ++db) {
      if (!within(da, db, 0)) continue;
      int hi = 0;
      while (hi < reach[2] && within(da, db, hi + 1)) ++hi;
      rows.push_back({da, db, da == 0 && db == 0 && !full ? 0 : -hi, hi});
    }
  }
  return rows;
}

int floor_div(int v, int m) { return v >= 0 ? v / m : -((-v + m - 1) / m); }

// sa a + sb b + sc c, the same sums whichever search asks.
std::array<double, 3> translation(const std::array<Vec3, 3>& lattice, double sa, double sb,
                                  double sc) {
  std::array<double, 3> t{};
  for (std::size_t k = 0; k < 3; ++k) {
    t[k] = sa * lattice[0][k] + sb * lattice[1][k] + sc * lattice[2][k];
  }
  return t;
}

// The runs of partner atoms (`start` of their bins) of one home bin's rows, each along c split
// where it crosses the cell; `same`: the partners are the home atoms' type.
void runs_of(int ia, int ib, int ic, const std::vector<Row>& rows, const std::array<int, 3>& n,
             const std::vector<std::size_t>& start, bool same, const std::array<Vec3, 3>& lattice,
             std::vector<detail::PairRun>& runs) {
  runs.clear();
  for (const Row& row : rows) {
    const int sa = floor_div(ia + row.da, n[0]), sb = floor_div(ib + row.db, n[1]);
    const int ja = ia + row.da - sa * n[0], jb = ib + row.db - sb * n[1];
    const std::size_t line = (static_cast<std::size_t>(ja) * static_cast<std::size_t>(n[1]) +
                              static_cast<std::size_t>(jb)) *
                             static_cast<std::size_t>(n[2]);
    for (int z0 = ic + row.c_lo; z0 <= ic + row.c_hi;) {
      const int sc = floor_div(z0, n[2]);
      const int z1 = std::min(ic + row.c_hi, (sc + 1) * n[2] - 1);
      detail::PairRun run;
      run.begin = start[line + static_cast<std::size_t>(z0 - sc * n[2])];
      run.end = start[line + static_cast<std::size_t>(z1 - sc * n[2]) + 1];
      run.self = same && row.da == 0 && row.db == 0 && z0 == ic;
      const std::array<double, 3> t = translation(lattice, sa, sb, sc);
      run.tx = t[0];
      run.ty = t[1];
      run.tz = t[2];
      if (run.end > run.begin) runs.push_back(run);
      z0 = z1 + 1;
    }
  }
}

// A partner column (da, db) columns from the home column, and the half height h of the
// window along z in which its atoms can lie within the cutoff of a home atom.
struct Reach {
  int da = 0, db = 0;
  double h = 0;
};

// The columns that can hold a partner within `reach` of an atom of the home column: all of them
// (`full`) or each pair of columns once, offsets after (0, 0) and the home column itself. Two
// atoms whose columns are d apart along a (or b) are at least g = (|d| - 1) w apart in the a-b
// plane, as with the bins; an atom of the partner column is then within reach only where its
// height differs by less than sqrt(reach^2 - g^2).
std::vector<Reach> column_shell(const std::array<int, 3>& n, const CellShape& shape,
                                bool rectangular, double reach, bool full) {
  const AxisReach<2> axes(n, shape, reach);
  const std::array<int, 2>& most = axes.most;
  auto gap = [&](std::size_t k, int d) { return axes.gap(k, d); };
  std::vector<Reach> columns;
  for (int da = full ? -most[0] : 0; da <= most[0]; ++da) {
    for (int db = da == 0 && !full ? 0 : -most[1]; db <= most[1]; ++db) {
      const double ga = gap(0, da), gb = gap(1, db);
      const double g2 = rectangular ? ga * ga + gb * gb : std::max(ga, gb) * std::max(ga, gb);
      if (g2 < reach * reach) columns.push_back({da, db, std::sqrt(reach * reach - g2)});
    }
  }
  return columns;
}

// The atoms of each type sorted for one search, and what the search needs of the cell.
struct SearchAtoms {
  detail::PairSearch search = detail::PairSearch::kBins;
  std::array<int, 3> n{};          // bins along a, b, c (columns: n[2] = 1)
  std::vector<TypeAtoms> of_type;  // [t], t = 1..ntypes
  std::vector<Row> half_rows, full_rows;
  std::vector<Reach> half_reach, full_reach;
  std::array<Vec3, 3> lattice{};
  double height = 0;  // columns: the cell's height along z, |c_z|
  int tasks() const { return n[0] * n[1] * n[2]; }
};

// One partner column as the current home atom sees it: the column's atoms [begin, begin + n)
// three times along z, one height below, in place and one above (virtual indices [0, 3 n)),
// and the window [lo, hi) of them within h of the home atom's height.
struct Window {
  std::size_t begin = 0, n = 0, lo = 0, hi = 0;
  double h = 0;
  bool self = false;                         // the home column, home and partners of one type
  std::array<std::array<double, 3>, 3> t{};  // the lattice translation of each copy
};

struct TaskScratch {
  std::vector<detail::PairRun> runs;
  std::vector<Window> windows;
};

// The pairs of the home column `col`'s atoms: each home atom in turn against the windows of
// the partner columns, which only move up as the home atoms (sorted along z) do.
void column_pairs(const SearchAtoms& s, int col, const TypeAtoms& home, const TypeAtoms& partners,
                  bool same, double rc2, detail::PairSink& sink, TaskScratch& scratch) {
  const auto at = static_cast<std::size_t>(col);
  const std::size_t i0 = home.start[at], i1 = home.start[at + 1];
  if (i0 == i1) return;
  const int na = s.n[0], nb = s.n[1];
  const int ia = col / nb, ib = col % nb;
  const double height = s.height;
  const double* z = partners.box.z.data();
  const std::vector<Reach>& reach = same ? s.half_reach : s.full_reach;
  // The copies' order along z: translations by -c, 0, +c for c pointing up.
  const double up = s.lattice[2][2] > 0 ? 1.0 : -1.0;
  std::vector<Window>& windows = scratch.windows;
  windows.clear();
  for (const Reach& r : reach) {
    const int sa = floor_div(ia + r.da, na), sb = floor_div(ib + r.db, nb);
    const auto other = static_cast<std::size_t>((ia + r.da - sa * na) * nb + (ib + r.db - sb * nb));
    Window w;
    w.begin = partners.start[other];
    w.n = partners.start[other + 1] - w.begin;
    if (w.n == 0) continue;
    w.h = r.h;
    w.self = same && r.da == 0 && r.db == 0;
    for (std::size_t k = 0; k < 3; ++k) {
      w.t[k] = translation(s.lattice, sa, sb, (static_cast<double>(k) - 1.0) * up);
    }
    windows.push_back(w);
  }
  // The height of a copy's atom; non-decreasing in v.
  const auto vz = [&](const Window& w, std::size_t v) {
    const std::size_t k = v >= 2 * w.n ? 2 : (v >= w.n ? 1 : 0);
    return z[w.begin + v - k * w.n] + (static_cast<double>(k) - 1.0) * height;
  };
  const auto first = [&](const Window& w, auto&& before) {
    std::size_t lo = 0, hi = 3 * w.n;
    while (lo < hi) {
      const std::size_t mid = lo + (hi - lo) / 2;
      if (before(vz(w, mid))) {
        lo = mid + 1;
      } else {
        hi = mid;
      }
    }
    return lo;
  };
  const double z0 = home.box.z[i0];
  for (Window& w : windows) {
    w.lo = first(w, [&](double v) { return v <= z0 - w.h; });
    w.hi = first(w, [&](double v) { return v < z0 + w.h; });
  }
  std::vector<detail::PairRun>& runs = scratch.runs;
  for (std::size_t c0 = i0; c0 < i1; c0 += detail::kClusterAtoms) {
    const std::size_t c1 = std::min(i1, c0 + detail::kClusterAtoms);
    const double zlo = home.box.z[c0], zhi = home.box.z[c1 - 1];
    runs.clear();
    for (Window& w : windows) {
      const std::size_t end = 3 * w.n;
      while (w.lo < end && vz(w, w.lo) <= zlo - w.h) ++w.lo;
      while (w.hi < end && vz(w, w.hi) < zhi + w.h) ++w.hi;
      // Each pair of the home column once: later atoms in place, every atom one height up.
      for (std::size_t k = w.self ? 1 : 0; k < 3; ++k) {
        const std::size_t from = std::max(w.lo, k * w.n), to = std::min(w.hi, (k + 1) * w.n);
        if (from >= to) continue;
        detail::PairRun run;
        run.begin = w.begin + from - k * w.n;
        run.end = w.begin + to - k * w.n;
        run.self = w.self && k == 1;
        run.tx = w.t[k][0];
        run.ty = w.t[k][1];
        run.tz = w.t[k][2];
        if (run.self) {
          for (std::size_t i = c0; i < c1; ++i)
            sink.candidates += run.end - std::min(run.end, i + 1);
        } else {
          sink.candidates += (c1 - c0) * (run.end - run.begin);
        }
        runs.push_back(run);
      }
    }
    detail::periodic_cluster_pairs(home.box, partners.box, c0, c1, runs.data(), runs.size(), rc2,
                                   sink);
  }
}

}  // namespace

double CellShape::smallest_width() const { return std::min({width[0], width[1], width[2]}); }

CellShape cell_shape(const std::array<double, 9>& cell) {
  if (!std::all_of(cell.begin(), cell.end(), [](double v) { return std::isfinite(v); })) {
    throw std::invalid_argument("the cell has values that are not finite");
  }
  const Vec3 a = detail::cell_row(cell, 0), b = detail::cell_row(cell, 1),
             c = detail::cell_row(cell, 2);
  CellShape shape;
  shape.volume = std::abs(dot(a, cross(b, c)));
  const double scale = norm(a) * norm(b) * norm(c);
  // Flat to rounding: its widths would be noise.
  if (!(shape.volume > 1e-12 * scale) || !std::isfinite(shape.volume)) {
    throw std::invalid_argument("the cell has no volume: its rows a, b, c are coplanar (volume " +
                                number(shape.volume) + " A^3)");
  }
  shape.width = {shape.volume / norm(cross(b, c)), shape.volume / norm(cross(c, a)),
                 shape.volume / norm(cross(a, b))};
  return shape;
}

double continuum_sphere(double q, double rc) {
  const double x = std::abs(q) * rc;
  const double four_pi = 4.0 * std::numbers::pi;
  if (x < 0.05) {
    // sin x - x cos x = x^3/3 - x^5/30 + x^7/840 - ...: the closed form cancels here.
    const double x2 = x * x;
    return four_pi * rc * rc * rc * (1.0 / 3.0 - x2 / 30.0 + x2 * x2 / 840.0);
  }
  const double aq = std::abs(q);
  return four_pi * (std::sin(x) - x * std::cos(x)) / (aq * aq * aq);
}

double continuum_sphere_sinc(double q, double rc) {
  const double a = std::numbers::pi / rc;
  const double aq = std::abs(q);
  const double four_pi = 4.0 * std::numbers::pi;
  auto sinc = [](double x) { return x == 0.0 ? 1.0 : std::sin(x) / x; };
  // sin(q rc) = -sin((q - a) rc): the form that is free of 0 / 0 on each side of a / 2.
  if (aq < 0.5 * a) return four_pi * rc * sinc(aq * rc) / ((a - aq) * (a + aq));
  return four_pi * rc * sinc((aq - a) * rc) / (aq * (aq + a));
}

namespace {

// Throws std::invalid_argument for what compute_periodic_blocks refuses.
CellShape check_box(const util::Model& model, const std::array<double, 9>& cell, double cutoff,
                    const BlockRequest& request) {
  const CellShape shape = cell_shape(cell);
  const double half = 0.5 * shape.smallest_width();
  if (!(cutoff > 0.0) || !std::isfinite(cutoff)) {
    throw std::invalid_argument("the cutoff must be a positive distance, not " + number(cutoff));
  }
  if (cutoff > half) {
    throw std::invalid_argument("the cutoff " + number(cutoff) +
                                " A is above half the smallest width of the cell, " + number(half) +
                                " A");
  }
  if (cutoff > kMaxCutoff) {
    throw std::invalid_argument("the cutoff " + number(cutoff) + " A is above " +
                                number(kMaxCutoff) +
                                " A, the most that the distance histograms of 1/1024 A hold");
  }
  if (request.thermal.option == ThermalOption::kUrms) {
    throw std::invalid_argument(
        "thermal option 4 (.urms records) does not apply to periodic boxes: use 0 to 3");
  }
  if (!std::all_of(model.xyz.begin(), model.xyz.end(), [](float v) { return std::isfinite(v); })) {
    throw std::invalid_argument("a position is not finite");
  }
  return shape;
}

// The search of a box's pairs (docs/engines.md, "Periodic boxes"): columns where c stands along
// z over a and b in the x-y plane, so that a column is straight and its atoms' height is z
// itself; bins in any other cell.
detail::PairSearch choose_search(const std::array<double, 9>& cell) {
  const bool upright = cell[2] == 0.0 && cell[5] == 0.0 && cell[6] == 0.0 && cell[7] == 0.0;
  return upright ? detail::PairSearch::kColumns : detail::PairSearch::kBins;
}

SearchAtoms sort_for_search(const util::Model& model, const std::array<double, 9>& cell,
                            const CellShape& shape, double cutoff, int ntypes,
                            detail::PairSearch search) {
  SearchAtoms s;
  s.search = search;
  s.lattice = {detail::cell_row(cell, 0), detail::cell_row(cell, 1), detail::cell_row(cell, 2)};
  const bool columns = search == detail::PairSearch::kColumns;
  if (columns) {
    const std::array<int, 3> n = bins_of_width(shape, model.natoms(), cutoff / kColumnsPerCutoff);
    s.n = {n[0], n[1], 1};
    s.height = std::abs(cell[8]);
    // The bounds are taken a little wide: they come from other roundings than the distances.
    const double reach = cutoff * (1.0 + 1e-9);
    const bool rectangular = dot(s.lattice[0], s.lattice[1]) == 0.0;
    s.half_reach = column_shell(s.n, shape, rectangular, reach, false);
    s.full_reach = column_shell(s.n, shape, rectangular, reach, true);
  } else {
    s.n = bins_of_width(shape, model.natoms(), cutoff / kBinsPerCutoff);
    const bool orthogonal = dot(s.lattice[0], s.lattice[1]) == 0.0 &&
                            dot(s.lattice[1], s.lattice[2]) == 0.0 &&
                            dot(s.lattice[2], s.lattice[0]) == 0.0;
    s.half_rows = shell(s.n, shape, orthogonal, cutoff, false);
    s.full_rows = shell(s.n, shape, orthogonal, cutoff, true);
  }
  s.of_type = bin_atoms(model, cell, s.n, ntypes, columns);
  return s;
}

// The pairs of one home bin (or column) `task` with their partners.
void task_pairs(const SearchAtoms& s, int task, const TypeAtoms& home, const TypeAtoms& partners,
                bool same, double rc2, detail::PairSink& sink, TaskScratch& scratch) {
  if (s.search == detail::PairSearch::kColumns) {
    column_pairs(s, task, home, partners, same, rc2, sink, scratch);
    return;
  }
  const auto at = static_cast<std::size_t>(task);
  if (home.start[at] == home.start[at + 1]) return;
  const std::array<int, 3>& n = s.n;
  const int ia = task / (n[1] * n[2]), ib = (task / n[2]) % n[1], ic = task % n[2];
  runs_of(ia, ib, ic, same ? s.half_rows : s.full_rows, n, partners.start, same, s.lattice,
          scratch.runs);
  const std::uint64_t nhome = home.start[at + 1] - home.start[at];
  for (const detail::PairRun& run : scratch.runs) {
    // A self run starts at the home bin's start: home atom k has nhome - 1 - k after it.
    sink.candidates += run.self ? nhome * (nhome - 1) / 2 + nhome * (run.end - home.start[at + 1])
                                : nhome * (run.end - run.begin);
  }
  detail::periodic_home_pairs(home.box, partners.box, home.start[at], home.start[at + 1],
                              scratch.runs.data(), scratch.runs.size(), rc2, sink);
}

int distance_bins(double cutoff) {
  return (static_cast<int>(cutoff * detail::kBinsPerAngstrom) + 2 + detail::kBlockBins - 1) /
         detail::kBlockBins * detail::kBlockBins;
}

// One type pair's pass over the pairs, the home atoms of type ta, their partners of type tb,
// each thread with a sink of its own: prepare(sink, thread) readies it and gather(sink, thread)
// takes what it holds at the end. progress (0 to 1) is called from one thread.
template <class Prepare, class Gather>
void for_type_pair(const SearchAtoms& atoms, int ta, int tb, double cutoff, int nthreads,
                   const std::function<void(double)>& progress, Prepare&& prepare,
                   Gather&& gather) {
  const TypeAtoms& home = atoms.of_type[static_cast<std::size_t>(ta)];
  const TypeAtoms& partners = atoms.of_type[static_cast<std::size_t>(tb)];
  const int ntasks = atoms.tasks();
  detail::RegionFailure failure;
  std::atomic<int> done{0};
#pragma omp parallel num_threads(nthreads)
  {
    const auto me = static_cast<std::size_t>(omp_get_thread_num());
    detail::PairSink sink;
    TaskScratch scratch;
    failure.guard([&] {
      const std::size_t spare = 2 * detail::periodic_lanes();
      sink.d2.resize(kPartnerBuffer + spare);
      sink.r.resize(kPartnerBuffer + spare);
      sink.bin.resize(kPartnerBuffer + spare);
      sink.offset.resize(kPartnerBuffer + spare);
      sink.at.resize(kPartnerBuffer + spare);
      prepare(sink, me);
    });
#pragma omp for schedule(dynamic, 1)
    for (int task = 0; task < ntasks; ++task) {
      failure.guard([&] {
        task_pairs(atoms, task, home, partners, ta == tb, cutoff * cutoff, sink, scratch);
      });
      const int finished = ++done;
      if (omp_get_thread_num() == 0) progress(static_cast<double>(finished) / ntasks);
    }
    failure.guard([&] { gather(sink, me); });
  }
  failure.rethrow_if_failed();
}

// One type pair's pass into the histograms of its group (two under option 3), one per thread,
// which stays in the core's own cache where those of all type pairs would not. Returns each
// class's histogram, the threads' summed, and appends the pairs summed one by one to `direct`.
std::vector<Histogram> type_pair_pass(const SearchAtoms& atoms, const GroupPlan& plan, int ta,
                                      int tb, double cutoff, int nthreads,
                                      const std::function<void(double)>& progress,
                                      std::vector<DirectTerm>& direct,
                                      std::uint64_t* candidates = nullptr, bool drop = false) {
  const int group = plan.type_pair(ta, tb) * plan.classes();
  const auto classes = static_cast<std::size_t>(plan.classes());
  const auto nbins_r = static_cast<std::size_t>(distance_bins(cutoff));
  std::vector<std::vector<Histogram>> thread_hist(static_cast<std::size_t>(nthreads));
  std::vector<std::vector<DirectTerm>> thread_direct(static_cast<std::size_t>(nthreads));
  std::atomic<std::uint64_t> tested{0};
  const auto prepare = [&](detail::PairSink& sink, std::size_t me) {
    std::vector<Histogram>& hist = thread_hist[me];
    hist.resize(classes);
    for (std::size_t k = 0; k < classes; ++k) {
      hist[k].bins.assign(nbins_r, {});
      sink.bins[k] = hist[k].bins.data();
      sink.u[k] = plan.groups[static_cast<std::size_t>(group) + k].u;
    }
    sink.group = group;
    sink.two_classes = classes == 2;
    sink.rcut = plan.rcut;
    sink.drop = drop;
  };
  const auto gather = [&](detail::PairSink& sink, std::size_t me) {
    thread_direct[me] = std::move(sink.direct);
    tested += sink.candidates;
  };
  for_type_pair(atoms, ta, tb, cutoff, nthreads, progress, prepare, gather);
  if (candidates != nullptr) *candidates += tested;

  // Integer sums: the order of the threads does not matter.
  std::vector<Histogram> hist(classes);
  for (std::size_t t = 0; t < thread_hist.size(); ++t) {
    for (std::size_t k = 0; k < hist.size(); ++k) add_histogram(hist[k], thread_hist[t][k]);
    direct.insert(direct.end(), thread_direct[t].begin(), thread_direct[t].end());
    thread_direct[t] = {};
  }
  return hist;
}

// The type pairs with atoms of both types, each once.
std::vector<std::pair<int, int>> type_pairs(const SearchAtoms& atoms, int ntypes) {
  std::vector<std::pair<int, int>> passes;
  for (int a = 1; a <= ntypes; ++a) {
    for (int b = a; b <= ntypes; ++b) {
      if (atoms.of_type[static_cast<std::size_t>(a)].start.back() > 0 &&
          atoms.of_type[static_cast<std::size_t>(b)].start.back() > 0)
        passes.emplace_back(a, b);
    }
  }
  return passes;
}

}  // namespace

namespace detail {

void count_periodic_pairs(const util::Model& model, const std::array<double, 9>& cell, int ntypes,
                          double dr, int nbins, int threads, std::vector<std::int64_t>& count) {
  const CellShape shape = cell_shape(cell);
  const double r_max = dr * static_cast<double>(nbins);
  const int nthreads = std::max(1, threads > 0 ? threads : omp_get_max_threads());
  const SearchAtoms atoms = sort_for_search(model, cell, shape, r_max, ntypes, choose_search(cell));
  const auto bins = static_cast<std::size_t>(nbins);
  std::vector<std::vector<std::int64_t>> per_thread(static_cast<std::size_t>(nthreads));
  for (const auto& [ta, tb] : type_pairs(atoms, ntypes)) {
    for (std::vector<std::int64_t>& mine : per_thread) mine.assign(bins, 0);
    const auto prepare = [&](detail::PairSink& sink, std::size_t me) {
      sink.counts = per_thread[me].data();
      sink.dr = dr;
      sink.count_bins = nbins;
    };
    for_type_pair(
        atoms, ta, tb, r_max, nthreads, [](double) {}, prepare,
        [](detail::PairSink&, std::size_t) {});
    // Integers: the order of the threads does not matter.
    const auto row = static_cast<std::size_t>(partial_number(ta, tb, ntypes) - 1) * bins;
    for (const std::vector<std::int64_t>& mine : per_thread) {
      for (std::size_t k = 0; k < mine.size(); ++k) count[row + k] += mine[k];
    }
  }
}

PeriodicPairs periodic_pairs(const util::Model& model, const std::array<double, 9>& cell,
                             double cutoff, const BlockRequest& request, int threads,
                             PairSearch search, bool drop) {
  const CellShape shape = check_box(model, cell, cutoff, request);
  const int nt = std::max(1, request.ntypes);
  const int nthreads = std::max(1, threads > 0 ? threads : omp_get_max_threads());
  if (search == PairSearch::kAuto) search = choose_search(cell);
  if (search != choose_search(cell) && search == PairSearch::kColumns) {
    throw std::invalid_argument("columns need c along z and a, b in the x-y plane");
  }
  GroupPlan plan;
  plan_groups(request, cutoff, plan);
  const SearchAtoms atoms = sort_for_search(model, cell, shape, cutoff, nt, search);
  PeriodicPairs out;
  out.groups.resize(plan.groups.size());
  for (const auto& [ta, tb] : type_pairs(atoms, nt)) {
    std::vector<Histogram> hist = type_pair_pass(
        atoms, plan, ta, tb, cutoff, nthreads, [](double) {}, out.direct, &out.candidates, drop);
    const auto group = static_cast<std::size_t>(plan.type_pair(ta, tb) * plan.classes());
    for (std::size_t k = 0; k < hist.size(); ++k) out.groups[group + k] = std::move(hist[k]);
  }
  std::sort(out.direct.begin(), out.direct.end(),
            [](const DirectTerm& u, const DirectTerm& v) { return u.key() < v.key(); });
  return out;
}

}  // namespace detail

std::vector<std::vector<float>> compute_periodic_blocks(
    const util::Model& model, const std::array<double, 9>& cell, double cutoff,
    std::span<const float> q, const BlockRequest& request, int threads, const Progress& progress,
    std::vector<double>* zero_q, Modification modification) {
  const CellShape shape = check_box(model, cell, cutoff, request);
  const int nt = std::max(1, request.ntypes);
  const int nthreads = std::max(1, threads > 0 ? threads : omp_get_max_threads());
  ThrottledProgress report(progress);

  GroupPlan plan;
  detail::plan_groups(request, cutoff, plan);
  const SearchAtoms atoms = sort_for_search(model, cell, shape, cutoff, nt, choose_search(cell));
  const auto ng = plan.groups.size();
  std::vector<double> natoms_of(static_cast<std::size_t>(nt) + 1, 0.0);
  for (int t = 1; t <= nt; ++t) {
    natoms_of[static_cast<std::size_t>(t)] =
        static_cast<double>(atoms.of_type[static_cast<std::size_t>(t)].start.back());
  }

  const std::vector<std::pair<int, int>> passes = type_pairs(atoms, nt);
  const auto npasses = static_cast<double>(std::max<std::size_t>(1, passes.size()));
  const int nblocks = static_cast<int>(request.partials.size()) + 1;
  const int classes = plan.classes();
  detail::QSums sums(q, plan, nblocks, nthreads);
  {
    // Each block's tolerance is judged at least against the size of 1 in its S(Q).
    std::vector<int> count(static_cast<std::size_t>(nt), 0);
    for (int t = 1; t <= nt; ++t) {
      count[static_cast<std::size_t>(t - 1)] =
          static_cast<int>(natoms_of[static_cast<std::size_t>(t)]);
    }
    const std::vector<double> scales = unit_scales(request, count);
    for (int k = 0; k < nblocks; ++k) sums.set_scale_floor(k, scales[static_cast<std::size_t>(k)]);
  }
  const bool sinc = modification == Modification::kSinc;
  const double window = sinc ? std::numbers::pi / cutoff : 0.0;
  if (sinc) sums.set_window(window);
  std::vector<std::int64_t> count(ng, 0);
  // With the window, each group's sum of sinc(pi r / rc) over its pairs: the blocks' limits
  // at Q = 0. From the histograms' integer moments and the sorted close pairs, so that it
  // does not depend on the threads either.
  std::vector<double> weighted(ng, 0.0);
  std::vector<DirectTerm> direct;
  for (std::size_t pass = 0; pass < passes.size(); ++pass) {
    const int ta = passes[pass].first, tb = passes[pass].second;
    const int group = plan.type_pair(ta, tb) * classes;
    const double base = static_cast<double>(pass) / npasses;
    const std::size_t had = direct.size();
    std::vector<Histogram> hist = type_pair_pass(
        atoms, plan, ta, tb, cutoff, nthreads, [&](double f) { report(base + 0.5 / npasses * f); },
        direct);
    for (std::size_t d = had; d < direct.size(); ++d) {
      ++count[static_cast<std::size_t>(direct[d].gid)];
    }
    for (std::size_t k = 0; k < hist.size(); ++k) {
      const auto g = static_cast<std::size_t>(group) + k;
      std::int64_t binned = 0;
      for (const BinMoments& m : hist[k].bins) binned += static_cast<std::int64_t>(m.n);
      count[g] += binned;
      if (binned == 0) continue;
      if (sinc) weighted[g] += detail::windowed_count(hist[k], window);
      const double from = base + (0.5 + 0.5 * static_cast<double>(k) / classes) / npasses;
      const double share = 0.5 / classes / npasses;
      if (!sums.add_group(static_cast<int>(g), hist[k],
                          [&](double f) { report(from + share * f); })) {
        throw std::runtime_error("a distance bin holds too many pairs for its moments");
      }
      hist[k] = Histogram{};
    }
  }
  sums.add_direct(direct);
  if (sinc) {
    // add_direct has sorted them.
    for (const DirectTerm& d : direct) {
      weighted[static_cast<std::size_t>(d.gid)] +=
          detail::sinc_window_taylor(window, static_cast<double>(d.r))[0];
    }
  }

  // The continuum: each type pair's unordered pairs of a uniform density, N_A N_B / V per
  // ordered pair of types (N_A^2 / V for like types, see docs/engines.md), with the thermal
  // factor of the type pair's pairs beyond any short-distance class.
  const auto nq = q.size();
  const auto nb = static_cast<std::size_t>(nblocks);
  std::vector<double> smooth(nb * nq, 0.0);
  std::vector<double> limit(nb, 0.0);
  const auto sphere = [&](double qv) {
    return sinc ? continuum_sphere_sinc(qv, cutoff) : continuum_sphere(qv, cutoff);
  };
  const double sphere0 = sphere(0.0);
  for (int a = 1; a <= nt; ++a) {
    for (int b = a; b <= nt; ++b) {
      const int tp = plan.type_pair(a, b);
      const double na = natoms_of[static_cast<std::size_t>(a)];
      const double nbt = natoms_of[static_cast<std::size_t>(b)];
      const double pairs = (a == b ? 0.5 * na * na : na * nbt) / shape.volume;
      const detail::GroupSpec& gs = plan.groups[static_cast<std::size_t>(
          plan.group_of(tp, std::numeric_limits<float>::max()))];
      const double cp = gs.partial >= 0 ? gs.c_partial : 0.0;
      std::int64_t found = 0;
      double found_weighted = 0;
      for (int s = 0; s < plan.classes(); ++s) {
        const auto g = static_cast<std::size_t>(tp) * static_cast<std::size_t>(plan.classes()) +
                       static_cast<std::size_t>(s);
        found += count[g];
        found_weighted += weighted[g];
      }
      const double at_zero = (sinc ? found_weighted : static_cast<double>(found)) - pairs * sphere0;
      if (gs.partial >= 0) limit[static_cast<std::size_t>(gs.partial)] += cp * at_zero;
      limit[nb - 1] += gs.c_total * at_zero;
      for (std::size_t k = 0; k < nq; ++k) {
        const auto qk = static_cast<double>(q[k]);
        const auto u = static_cast<double>(gs.u);
        const double damp = gs.damped ? std::exp(-0.5 * (u * qk) * (u * qk)) : 1.0;
        const double v = pairs * sphere(qk) * damp;
        if (gs.partial >= 0) smooth[static_cast<std::size_t>(gs.partial) * nq + k] -= cp * v;
        smooth[(nb - 1) * nq + k] -= gs.c_total * v;
      }
    }
  }
  for (std::size_t blk = 0; blk < nb; ++blk) {
    sums.add_values(static_cast<int>(blk), std::span<const double>(smooth).subspan(blk * nq, nq));
  }
  std::vector<std::vector<float>> out;
  detail::MomentsReport sums_report;
  if (!sums.finish(out, sums_report)) {
    throw std::runtime_error(
        "the error bound of the sums in Q is not well inside the tolerance for this box");
  }
  if (zero_q != nullptr) *zero_q = std::move(limit);
  report(1.0);
  return out;
}

std::size_t periodic_bytes(const util::Model& model, const PeriodicBox& box, std::size_t nq,
                           double qmax, const BlockRequest& request, int threads) {
  const auto nthreads =
      static_cast<std::size_t>(std::max(1, threads > 0 ? threads : omp_get_max_threads()));
  const double bins = std::ceil(std::min(box.cutoff, kMaxCutoff) * detail::kBinsPerAngstrom) + 2;
  const auto nbins_r = static_cast<std::size_t>(bins) + detail::kBlockBins;
  const std::size_t classes = request.thermal.option == ThermalOption::kShortLong ? 2 : 1;
  const auto lanes = static_cast<std::size_t>(detail::double_lanes());
  const std::size_t nblocks = request.partials.size() + 1;
  // Each thread's histograms of one type pair, the atoms sorted into the cell's bins, the
  // sums' values and bounds and the continuum per block and Q, their tables of exp(i Q w l)
  // per lane, the blocks handed back, and the transforms where they serve.
  return nthreads * classes * nbins_r * sizeof(BinMoments) +
         static_cast<std::size_t>(model.natoms()) * 64 +
         nq * nblocks * (3 * sizeof(double) + sizeof(float)) +
         nq * (lanes + 1) * 2 * sizeof(double) +
         detail::chirpz_bytes(bins, nq, qmax, static_cast<int>(nthreads));
}

}  // namespace zalmor::scatter
