// The pairs of a periodic box (docs/engines.md, "Periodic boxes"), from the cell lists of
// cell_pairs.hpp, fill the moments engine's histograms with the same bins and integer offsets
// as the finite pass, so the sums in Q (QSums) and their error bound are the same, and the
// histograms do not depend on how the bins were shared among threads.
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
#include "scatter/moments_engine.hpp"
#include "scatter/moments_q_sums.hpp"
#include "scatter/region_failure.hpp"

namespace zalmor::scatter {

namespace {

using detail::BinMoments;
using detail::BinnedAtoms;
using detail::cross;
using detail::DirectTerm;
using detail::dot;
using detail::GroupPlan;
using detail::Histogram;
using detail::norm;
using detail::Vec3;

// Histogram memory of one pass over the pairs, all threads together.
constexpr std::size_t kHistogramBudget = std::size_t{64} << 20;

std::string number(double v) {
  std::ostringstream s;
  s.precision(7);
  s << v;
  return s.str();
}

// What one thread gathers: histograms of the groups, close pairs, pair counts per group.
struct ThreadPairs {
  std::vector<Histogram> hist;
  std::vector<DirectTerm> direct;
  std::vector<std::int64_t> count;
};

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
  const BinnedAtoms atoms = detail::bin_atoms(model, cell, shape.width, cutoff, nt);
  const int nbins_r =
      (static_cast<int>(cutoff * detail::kBinsPerAngstrom) + 2 + detail::kBlockBins - 1) /
      detail::kBlockBins * detail::kBlockBins;
  const auto ng = plan.groups.size();
  const double rc2 = cutoff * cutoff;
  const int ncells = atoms.bins();

  // Type pairs in batches whose histograms, one set per thread, fit the budget; each batch
  // is one pass over the pairs.
  const std::size_t tp_bytes = static_cast<std::size_t>(plan.classes()) *
                               static_cast<std::size_t>(nbins_r) * sizeof(BinMoments) *
                               static_cast<std::size_t>(nthreads);
  std::vector<std::vector<char>> batches;
  std::size_t used = 0;
  for (int tp = 0; tp < plan.ntp; ++tp) {
    if (batches.empty() || (used + tp_bytes > kHistogramBudget && used > 0)) {
      batches.emplace_back(static_cast<std::size_t>(plan.ntp), 0);
      used = 0;
    }
    batches.back()[static_cast<std::size_t>(tp)] = 1;
    used += tp_bytes;
  }
  const auto nbatches = static_cast<double>(batches.size());

  const int nblocks = static_cast<int>(request.partials.size()) + 1;
  detail::QSums sums(q, plan, nblocks, nthreads);
  const bool sinc = modification == Modification::kSinc;
  const double window = sinc ? std::numbers::pi / cutoff : 0.0;
  if (sinc) sums.set_window(window);
  std::vector<std::int64_t> count(ng, 0);
  // With the window, each group's sum of sinc(pi r / rc) over its pairs: the blocks' limits
  // at Q = 0. From the histograms' integer moments and the sorted close pairs, so that it
  // does not depend on the threads either.
  std::vector<double> weighted(ng, 0.0);
  std::vector<DirectTerm> direct;
  for (std::size_t batch = 0; batch < batches.size(); ++batch) {
    const std::vector<char>& in_batch = batches[batch];
    const double base = static_cast<double>(batch) / nbatches;
    std::vector<ThreadPairs> per_thread(static_cast<std::size_t>(nthreads));
    detail::RegionFailure failure;
    std::atomic<int> done{0};
#pragma omp parallel num_threads(nthreads)
    {
      ThreadPairs& mine = per_thread[static_cast<std::size_t>(omp_get_thread_num())];
      failure.guard([&] {
        mine.hist.resize(ng);
        mine.count.assign(ng, 0);
      });
#pragma omp for schedule(dynamic, 1)
      for (int cidx = 0; cidx < ncells; ++cidx) {
        failure.guard([&] {
          detail::for_each_pair_from_bin(
              atoms, cell, rc2, cidx, [&](std::size_t i, std::size_t j, double d2) {
                const float r = static_cast<float>(std::sqrt(d2));
                const int ti = atoms.type[i], tj = atoms.type[j];
                const int tp = plan.type_pair(std::min(ti, tj), std::max(ti, tj));
                if (in_batch[static_cast<std::size_t>(tp)] == 0) return;
                const int gid = plan.group_of(tp, r);
                const auto g = static_cast<std::size_t>(gid);
                ++mine.count[g];
                if (!(r >= detail::kExactFrom)) {
                  mine.direct.push_back({gid, r, plan.groups[g].u});
                  return;
                }
                Histogram& h = mine.hist[g];
                if (h.bins.empty()) h.bins.assign(static_cast<std::size_t>(nbins_r), {});
                std::int32_t bin = 0, off = 0;
                detail::bin_and_offset(r, bin, off);
                add_moments(h.bins[static_cast<std::size_t>(bin)], off);
              });
        });
        const int finished = ++done;
        if (omp_get_thread_num() == 0) report(base + 0.5 / nbatches * finished / ncells);
      }
    }
    failure.rethrow_if_failed();

    // Integer sums: the order of the threads does not matter.
    std::vector<Histogram> hist(ng);
    for (ThreadPairs& t : per_thread) {
      for (std::size_t g = 0; g < ng; ++g) {
        count[g] += t.count[g];
        Histogram& from = t.hist[g];
        if (from.bins.empty()) continue;
        add_histogram(hist[g], from);
      }
      direct.insert(direct.end(), t.direct.begin(), t.direct.end());
      t = ThreadPairs{};
    }

    std::size_t groups = 0, summed = 0;
    for (const Histogram& h : hist) groups += h.bins.empty() ? 0 : 1;
    for (std::size_t g = 0; g < ng; ++g) {
      if (hist[g].bins.empty()) continue;
      if (sinc) weighted[g] += detail::windowed_count(hist[g], window);
      const double from =
          base +
          (0.5 + 0.5 * static_cast<double>(summed++) / static_cast<double>(groups)) / nbatches;
      const double share = 0.5 / static_cast<double>(groups) / nbatches;
      if (!sums.add_group(static_cast<int>(g), hist[g],
                          [&](double f) { report(from + share * f); })) {
        throw std::runtime_error("a distance bin holds too many pairs for its moments");
      }
      hist[g] = Histogram{};
    }
  }
  sums.add_direct(direct);
  if (sinc) {
    // add_direct has sorted them.
    for (const DirectTerm& d : direct) {
      weighted[static_cast<std::size_t>(d.gid)] +=
          detail::sinc_window_taylor(window, double{d.r})[0];
    }
  }

  // The continuum: each type pair's unordered pairs of a uniform density, N_A N_B / V per
  // ordered pair of types (N_A^2 / V for like types, see docs/engines.md), with the thermal
  // factor of the type pair's pairs beyond any short-distance class.
  std::vector<double> natoms_of(static_cast<std::size_t>(nt) + 1, 0.0);
  for (const int t : atoms.type) natoms_of[static_cast<std::size_t>(t)] += 1.0;
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

}  // namespace zalmor::scatter
