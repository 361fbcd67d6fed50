// Pair-distance histograms per pair of types. The pairs come from where the Debye sums take
// theirs: a finite model's from the engines' distance kernel over the atoms sorted by type,
// a box's from its cell lists. Each thread counts into its own histogram and the integer
// sums are added at the end, so the counts are the same for any number of threads.
#include "scatter/pair_histogram.hpp"

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <string>

#include "scatter/engine.hpp"
#include "scatter/groups.hpp"
#include "scatter/histograms.hpp"
#include "scatter/periodic.hpp"
#include "scatter/periodic_pairs.hpp"
#include "scatter/region_failure.hpp"
#include "util/memory.hpp"

namespace zalmor::scatter {

namespace {

// Pairs per call of the distance kernel, as the moments engine's rows.
constexpr int kRowBlock = 512;
// Bins of one type pair; beyond this the per-thread histograms would not fit in memory.
constexpr int kMaxBins = 1 << 24;

std::string number(double v) {
  std::ostringstream s;
  s.precision(7);
  s << v;
  return s.str();
}

void check_request(const util::Model& model, int ntypes, double dr, int nbins) {
  if (ntypes < 1) throw std::invalid_argument("there must be at least one atom type");
  if (!(dr > 0.0) || !std::isfinite(dr)) {
    throw std::invalid_argument("the bin width must be a positive distance, not " + number(dr));
  }
  if (nbins < 1 || nbins > kMaxBins) {
    throw std::invalid_argument("the number of bins must be 1 to " + std::to_string(kMaxBins) +
                                ", not " + std::to_string(nbins));
  }
  if (!std::all_of(model.xyz.begin(), model.xyz.end(), [](float v) { return std::isfinite(v); })) {
    throw std::invalid_argument("a position is not finite");
  }
}

int thread_count(int threads) { return std::max(1, threads > 0 ? threads : omp_get_max_threads()); }

// Every thread counts into a histogram of its own, added into the result at the end, which
// the caller may copy once more.
void check_memory(int ntypes, int nbins, int nthreads, std::size_t caller_bytes) {
  const auto ntp = static_cast<std::size_t>(ntypes) * static_cast<std::size_t>(ntypes + 1) / 2;
  const std::size_t one = ntp * static_cast<std::size_t>(nbins) * sizeof(std::int64_t);
  util::check_available_memory(one * (static_cast<std::size_t>(nthreads) + 1) + caller_bytes,
                               "counting the pairs");
}

PairHistogram empty_histogram(int ntypes, double dr, int nbins) {
  PairHistogram h;
  h.ntypes = ntypes;
  h.nbins = nbins;
  h.dr = dr;
  const auto ntp = static_cast<std::size_t>(ntypes) * static_cast<std::size_t>(ntypes + 1) / 2;
  h.count.assign(ntp * static_cast<std::size_t>(nbins), 0);
  return h;
}

// The bin of a distance, or -1 beyond the last.
int bin_of(double r, double dr, int nbins) {
  const double m = std::floor(r / dr);
  return m < static_cast<double>(nbins) ? static_cast<int>(m) : -1;
}

// Adds the threads' counts: integers, in any order the same.
void add_counts(PairHistogram& to, const std::vector<std::vector<std::int64_t>>& per_thread) {
  for (const auto& mine : per_thread) {
    if (mine.empty()) continue;
    for (std::size_t k = 0; k < to.count.size(); ++k) to.count[k] += mine[k];
  }
}

}  // namespace

PairHistogram pair_histogram(const util::Model& model, int ntypes, double dr, int nbins,
                             int threads, std::size_t caller_bytes) {
  check_request(model, ntypes, dr, nbins);
  const int nthreads = thread_count(threads);
  check_memory(ntypes, nbins, nthreads, caller_bytes);
  PairHistogram out = empty_histogram(ntypes, dr, nbins);
  detail::PairSource atoms;
  detail::sort_atoms(model, ntypes, atoms);
  const int natoms = static_cast<int>(atoms.x.size());
  // At or above every float that lies below nbins dr.
  const float top = std::nextafter(static_cast<float>(dr * static_cast<double>(nbins)),
                                   std::numeric_limits<float>::infinity());
  std::vector<std::vector<std::int64_t>> per_thread(static_cast<std::size_t>(nthreads));
  detail::RegionFailure failure;
#pragma omp parallel num_threads(nthreads)
  {
    std::vector<std::int64_t>& mine = per_thread[static_cast<std::size_t>(omp_get_thread_num())];
    std::vector<float> r(kRowBlock);
    std::vector<std::int32_t> fine(kRowBlock), offset(kRowBlock);
    failure.guard([&] { mine.assign(out.count.size(), 0); });
#pragma omp for schedule(dynamic, 8)
    for (int i = 0; i < natoms; ++i) {
      failure.guard([&] {
        const int ta = atoms.type[static_cast<std::size_t>(i)];
        // The partners run by type, from the atom's own type on (the atoms are sorted by it).
        for (int tb = ta; tb <= ntypes; ++tb) {
          const int je = atoms.run_begin[static_cast<std::size_t>(tb) + 1];
          const int jb = std::max(atoms.run_begin[static_cast<std::size_t>(tb)], i + 1);
          std::int64_t* row =
              mine.data() + static_cast<std::ptrdiff_t>(partial_number(ta, tb, ntypes) - 1) * nbins;
          for (int j0 = jb; j0 < je; j0 += kRowBlock) {
            const int n = std::min(kRowBlock, je - j0);
            detail::bin_distances(atoms, i, j0, n, r.data(), fine.data(), offset.data());
            for (int m = 0; m < n; ++m) {
              const float rm = r[static_cast<std::size_t>(m)];
              // Most pairs of a large model lie beyond the bins: a float comparison skips them.
              if (!(rm < top)) continue;
              const int bin = bin_of(static_cast<double>(rm), dr, nbins);
              if (bin >= 0) ++row[bin];
            }
          }
        }
      });
    }
  }
  failure.rethrow_if_failed();
  add_counts(out, per_thread);
  return out;
}

PairHistogram periodic_pair_histogram(const util::Model& model, const std::array<double, 9>& cell,
                                      int ntypes, double dr, int nbins, int threads,
                                      std::size_t caller_bytes) {
  check_request(model, ntypes, dr, nbins);
  const CellShape shape = cell_shape(cell);
  const double r_max = dr * static_cast<double>(nbins);
  const double half = 0.5 * shape.smallest_width();
  if (r_max > half) {
    throw std::invalid_argument("r_max " + number(r_max) +
                                " A is above half the smallest width of the cell, " + number(half) +
                                " A");
  }
  const int nthreads = thread_count(threads);
  check_memory(ntypes, nbins, nthreads, caller_bytes);
  PairHistogram out = empty_histogram(ntypes, dr, nbins);
  // The pairs from the periodic engine's own search.
  detail::count_periodic_pairs(model, cell, ntypes, dr, nbins, nthreads, out.count);
  return out;
}

}  // namespace zalmor::scatter
