// The pairs of a periodic box (docs/engines.md, "Periodic boxes") by cell lists of their own
// (the pair distributions' cell_pairs.hpp takes bins as wide as the cutoff). The cell is cut into
// bins along its three axes, each at least a third of the cutoff wide between its faces; a pair
// closer than the cutoff lies in a home bin and one of the rows of bins along c whose gap from
// it is below the cutoff, across the cell's faces included, so the cost is O(N rho rc^3) with
// about 2.8 candidates per pair in a cubic cell. Atoms are sorted by bin with c fastest, so a
// row of bins is one run of atoms (two or three where it crosses the cell) that the kernel
// (periodic_simd.cpp) tests a vector at a time. Each type pair is a pass of its own over
// atoms sorted by type, so that a thread's histogram stays in its core's cache. The pairs
// fill the moments engine's histograms with the same bins and integer offsets as the finite
// pass, so the sums in Q (QSums) and their error bound are the same, and the histograms do
// not depend on how the bins were shared among threads.
#include "scatter/periodic.hpp"

#include <omp.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
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
// Each thread's histogram of a type pair takes 32 bytes for each 1/1024 A up to the cutoff:
// 330 MB at this cutoff, a box some 10^13 A^3 in volume.
constexpr double kMaxCutoff = 1e4;
// Candidates of one home atom buffered before they are binned.
constexpr std::size_t kPartnerBuffer = 4096;

// The atoms of each type sorted by bin (model order within a bin), wrapped into the cell.
struct TypeAtoms {
  detail::SortedBox box;
  std::vector<std::size_t> start;  // first atom of each bin, and the end
};
struct BinnedAtoms {
  std::array<int, 3> n{};
  std::vector<TypeAtoms> of_type;  // [t], t = 1..ntypes
};

BinnedAtoms bin_atoms(const util::Model& model, const std::array<double, 9>& cell,
                      const CellShape& shape, double cutoff, int ntypes) {
  BinnedAtoms b;
  // No more bins than atoms (the widths' product is at most the volume): a short cutoff in a
  // large, sparse box would otherwise ask for up to 1024^3 bins of several arrays each.
  const double per_atom =
      std::cbrt(shape.volume / static_cast<double>(std::max(1, model.natoms())));
  const double bin_width = std::max(cutoff / kBinsPerCutoff, per_atom);
  for (std::size_t k = 0; k < 3; ++k) {
    const double fit = std::floor(shape.width[k] / bin_width);
    b.n[k] = static_cast<int>(std::clamp(fit, 1.0, static_cast<double>(kMaxBinsPerAxis)));
  }
  const Vec3 a = detail::cell_row(cell, 0), bb = detail::cell_row(cell, 1),
             c = detail::cell_row(cell, 2);
  const detail::WrappedAtoms wrapped = detail::wrap_into_bins(model, cell, b.n, ntypes);
  const std::vector<int>& bin_of = wrapped.bin;
  const auto& frac = wrapped.frac;
  const int natoms = model.natoms();
  const auto nbins = static_cast<std::size_t>(b.n[0]) * static_cast<std::size_t>(b.n[1]) *
                     static_cast<std::size_t>(b.n[2]);
  b.of_type.resize(static_cast<std::size_t>(ntypes) + 1);
  for (TypeAtoms& t : b.of_type) t.start.assign(nbins + 1, 0);
  for (std::size_t i = 0; i < bin_of.size(); ++i) {
    if (bin_of[i] < 0) continue;
    ++b.of_type[static_cast<std::size_t>(model.type[i])]
          .start[static_cast<std::size_t>(bin_of[i]) + 1];
  }
  // The kernel reads whole vectors past a run's end: padding atoms, too far to pair.
  constexpr double kFar = 1e30;
  std::vector<std::vector<std::size_t>> next(b.of_type.size());
  for (std::size_t t = 0; t < b.of_type.size(); ++t) {
    std::vector<std::size_t>& start = b.of_type[t].start;
    for (std::size_t k = 0; k < nbins; ++k) start[k + 1] += start[k];
    const std::size_t padded = start[nbins] + detail::periodic_lanes();
    b.of_type[t].box.x.assign(padded, kFar);
    b.of_type[t].box.y.assign(padded, kFar);
    b.of_type[t].box.z.assign(padded, kFar);
    next[t].assign(start.begin(), start.end() - 1);
  }
  for (int i = 0; i < natoms; ++i) {
    const auto iu = static_cast<std::size_t>(i);
    if (bin_of[iu] < 0) continue;
    const auto t = static_cast<std::size_t>(model.type[iu]);
    const std::size_t at = next[t][static_cast<std::size_t>(bin_of[iu])]++;
    const auto& s = frac[iu];
    detail::SortedBox& box = b.of_type[t].box;
    box.x[at] = s[0] * a[0] + s[1] * bb[0] + s[2] * c[0];
    box.y[at] = s[0] * a[1] + s[1] * bb[1] + s[2] * c[1];
    box.z[at] = s[0] * a[2] + s[1] * bb[2] + s[2] * c[2];
  }
  return b;
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
std::vector<Row> shell(const std::array<int, 3>& n, const CellShape& shape, bool orthogonal,
                       double cutoff, bool full) {
  std::array<double, 3> w{};
  std::array<int, 3> reach{};
  for (std::size_t k = 0; k < 3; ++k) {
    w[k] = shape.width[k] / static_cast<double>(n[k]);
    while (static_cast<double>(reach[k]) * w[k] < cutoff) ++reach[k];
  }
  auto gap = [&](std::size_t k, int d) {
    return static_cast<double>(std::max(0, std::abs(d) - 1)) * w[k];
  };
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

// The runs of partner atoms (`start` of their bins) of one home bin's rows, each along c split
// where it crosses the cell; `same`: the partners are the home atoms' type.
void runs_of(int ia, int ib, int ic, const std::vector<Row>& rows, const std::array<int, 3>& n,
             const std::vector<std::size_t>& start, bool same, const std::array<Vec3, 3>& lattice,
             std::vector<detail::PairRun>& runs) {
  auto floor_div = [](int v, int m) { return v >= 0 ? v / m : -((-v + m - 1) / m); };
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
      const std::array<double, 3> s = {static_cast<double>(sa), static_cast<double>(sb),
                                       static_cast<double>(sc)};
      run.tx = s[0] * lattice[0][0] + s[1] * lattice[1][0] + s[2] * lattice[2][0];
      run.ty = s[0] * lattice[0][1] + s[1] * lattice[1][1] + s[2] * lattice[2][1];
      run.tz = s[0] * lattice[0][2] + s[1] * lattice[1][2] + s[2] * lattice[2][2];
      if (run.end > run.begin) runs.push_back(run);
      z0 = z1 + 1;
    }
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

std::vector<std::vector<float>> compute_periodic_blocks(
    const util::Model& model, const std::array<double, 9>& cell, double cutoff,
    std::span<const float> q, const BlockRequest& request, int threads, const Progress& progress,
    std::vector<double>* zero_q, Modification modification) {
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
  const int nt = std::max(1, request.ntypes);
  const int nthreads = std::max(1, threads > 0 ? threads : omp_get_max_threads());
  ThrottledProgress report(progress);

  GroupPlan plan;
  detail::plan_groups(request, cutoff, plan);
  const BinnedAtoms atoms = bin_atoms(model, cell, shape, cutoff, nt);
  const int nbins_r =
      (static_cast<int>(cutoff * detail::kBinsPerAngstrom) + 2 + detail::kBlockBins - 1) /
      detail::kBlockBins * detail::kBlockBins;
  const auto ng = plan.groups.size();
  const std::array<Vec3, 3> lattice = {detail::cell_row(cell, 0), detail::cell_row(cell, 1),
                                       detail::cell_row(cell, 2)};
  const double rc2 = cutoff * cutoff;
  const std::array<int, 3> n = atoms.n;
  const int ncells = n[0] * n[1] * n[2];
  const bool orthogonal = dot(lattice[0], lattice[1]) == 0.0 &&
                          dot(lattice[1], lattice[2]) == 0.0 && dot(lattice[2], lattice[0]) == 0.0;
  const std::vector<Row> half_rows = shell(n, shape, orthogonal, cutoff, false);
  const std::vector<Row> full_rows = shell(n, shape, orthogonal, cutoff, true);
  std::vector<double> natoms_of(static_cast<std::size_t>(nt) + 1, 0.0);
  for (int t = 1; t <= nt; ++t) {
    natoms_of[static_cast<std::size_t>(t)] =
        static_cast<double>(atoms.of_type[static_cast<std::size_t>(t)].start.back());
  }

  // One pass over the pairs per type pair: the home atoms of one type, their partners of the
  // other, so that a thread adds to one group's histogram (two under option 3), which stays
  // in the core's own cache where those of all type pairs would not.
  std::vector<std::pair<int, int>> passes;
  for (int a = 1; a <= nt; ++a) {
    for (int b = a; b <= nt; ++b) {
      if (natoms_of[static_cast<std::size_t>(a)] > 0 && natoms_of[static_cast<std::size_t>(b)] > 0)
        passes.emplace_back(a, b);
    }
  }
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
    const TypeAtoms& home = atoms.of_type[static_cast<std::size_t>(ta)];
    const TypeAtoms& partners = atoms.of_type[static_cast<std::size_t>(tb)];
    const std::vector<Row>& rows = ta == tb ? half_rows : full_rows;
    const int group = plan.type_pair(ta, tb) * classes;
    const double base = static_cast<double>(pass) / npasses;
    std::vector<std::vector<Histogram>> thread_hist(static_cast<std::size_t>(nthreads));
    std::vector<std::vector<DirectTerm>> thread_direct(static_cast<std::size_t>(nthreads));
    detail::RegionFailure failure;
    std::atomic<int> done{0};
#pragma omp parallel num_threads(nthreads)
    {
      const auto me = static_cast<std::size_t>(omp_get_thread_num());
      detail::PairSink sink;
      std::vector<detail::PairRun> runs;
      failure.guard([&] {
        std::vector<Histogram>& hist = thread_hist[me];
        hist.resize(static_cast<std::size_t>(classes));
        for (int k = 0; k < classes; ++k) {
          const auto ku = static_cast<std::size_t>(k);
          hist[ku].bins.assign(static_cast<std::size_t>(nbins_r), {});
          sink.bins[ku] = hist[ku].bins.data();
          sink.u[ku] = plan.groups[static_cast<std::size_t>(group) + ku].u;
        }
        sink.group = group;
        sink.two_classes = classes == 2;
        sink.rcut = plan.rcut;
        const std::size_t spare = 2 * detail::periodic_lanes();
        sink.d2.resize(kPartnerBuffer + spare);
        sink.r.resize(kPartnerBuffer + spare);
        sink.bin.resize(kPartnerBuffer + spare);
        sink.offset.resize(kPartnerBuffer + spare);
        sink.at.resize(kPartnerBuffer + spare);
      });
#pragma omp for schedule(dynamic, 1)
      for (int cidx = 0; cidx < ncells; ++cidx) {
        failure.guard([&] {
          const auto at = static_cast<std::size_t>(cidx);
          if (home.start[at] == home.start[at + 1]) return;
          const int ia = cidx / (n[1] * n[2]), ib = (cidx / n[2]) % n[1], ic = cidx % n[2];
          runs_of(ia, ib, ic, rows, n, partners.start, ta == tb, lattice, runs);
          detail::periodic_home_pairs(home.box, partners.box, home.start[at], home.start[at + 1],
                                      runs.data(), runs.size(), rc2, sink);
        });
        const int finished = ++done;
        if (omp_get_thread_num() == 0) report(base + 0.5 / npasses * finished / ncells);
      }
      thread_direct[me] = std::move(sink.direct);
    }
    failure.rethrow_if_failed();

    // Integer sums: the order of the threads does not matter.
    std::vector<Histogram> hist(static_cast<std::size_t>(classes));
    for (std::size_t t = 0; t < thread_hist.size(); ++t) {
      for (std::size_t k = 0; k < hist.size(); ++k) add_histogram(hist[k], thread_hist[t][k]);
      for (const DirectTerm& d : thread_direct[t]) ++count[static_cast<std::size_t>(d.gid)];
      direct.insert(direct.end(), thread_direct[t].begin(), thread_direct[t].end());
      thread_direct[t] = {};
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
