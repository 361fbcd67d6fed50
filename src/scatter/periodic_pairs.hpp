// Private interface of the periodic pass (periodic.cpp) to its per-instruction-set kernel
// (periodic_simd.cpp): the atoms of one type in a home bin against runs of atoms of a type in
// neighbouring bins, each run seen through one lattice translation.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "scatter/histograms.hpp"
#include "scatter/request.hpp"
#include "util/coords_reader.hpp"

namespace zalmor::scatter::detail {

// The atoms of one type wrapped into the cell and sorted by bin (bins along c fastest, model
// order within a bin), with as many unused atoms after the last as a vector holds, far from
// every other.
struct SortedBox {
  std::vector<double> x, y, z;
};

// Atoms [begin, end) of consecutive bins along c, translated by (tx, ty, tz). A run that
// starts with the home bin itself, untranslated, pairs each home atom only with later atoms.
struct PairRun {
  std::size_t begin = 0, end = 0;
  double tx = 0, ty = 0, tz = 0;
  bool self = false;
};

// What one thread gathers in a pass over the pairs of one type pair, and its scratch space.
struct PairSink {
  int group = 0;             // of the pairs (of those from rcut on, group + 1 under option 3)
  bool two_classes = false;  // option 3
  float rcut = 0;
  std::array<float, 2> u{};           // of the group and the next
  std::array<BinMoments*, 2> bins{};  // their histograms
  std::vector<DirectTerm> direct;
  // Squared distances within the cutoff of the current home atom, before they are binned.
  std::vector<double> d2;
  std::vector<float> r;
  std::vector<std::int32_t> bin, offset;
  std::vector<BinMoments*> at;
  // Pair distributions: counts[k] takes the pairs at k dr <= r < (k + 1) dr, k < count_bins, r
  // in double, in place of the histograms.
  std::int64_t* counts = nullptr;
  double dr = 0;
  int count_bins = 0;
  // For measuring the stages apart: the distances found are dropped, not binned.
  bool drop = false;
  // Partners tested (pairs from a run's start, or after the home atom, to its end).
  std::uint64_t candidates = 0;
};

// Every pair of home atoms [i0, i1) with the partner atoms of `runs` closer than sqrt(rc2),
// into the sink's histograms (distance d2 = |x_j + t - x_i|^2 in double, rounded to float
// after its square root) or its direct terms (below kExactFrom).
void periodic_home_pairs(const SortedBox& home, const SortedBox& partners, std::size_t i0,
                         std::size_t i1, const PairRun* runs, std::size_t nruns, double rc2,
                         PairSink& sink);
// The same for home atoms [i0, i0 + kClusterAtoms) at most, which share the runs, each
// partner vector tested against them all; in a self run, each home atom's partners are the
// atoms after it.
inline constexpr std::size_t kClusterAtoms = 8;
void periodic_cluster_pairs(const SortedBox& home, const SortedBox& partners, std::size_t i0,
                            std::size_t i1, const PairRun* runs, std::size_t nruns, double rc2,
                            PairSink& sink);
// Lanes of a float vector (at least those of a double vector): the padding SortedBox needs,
// and twice the spare room of the sink's scratch.
std::size_t periodic_lanes();

// How the pass finds the pairs within the cutoff: bins along a, b and c, each a row of bins
// along c one run; or columns in the a-b plane, each sorted along z and cut per home atom to
// the window that can reach it. kAuto: the rule of compute_periodic_blocks.
enum class PairSearch { kAuto, kBins, kColumns };

// Every group's histogram of a box's pairs and the pairs summed one by one (sorted), as
// compute_periodic_blocks's pass over the pairs fills them with the given search.
struct PeriodicPairs {
  std::vector<Histogram> groups;  // empty where the group has no pairs
  std::vector<DirectTerm> direct;
  std::uint64_t candidates = 0;
};
// Adds to count[(k - 1) nbins + m] every pair of types of the k-th partial (partial_number
// order) at a minimum-image distance r in double with m dr <= r < (m + 1) dr, m < nbins, of
// the box `cell` (nbins dr at most half its smallest width), by the pass's search.
void count_periodic_pairs(const util::Model& model, const std::array<double, 9>& cell, int ntypes,
                          double dr, int nbins, int threads, std::vector<std::int64_t>& count);

// drop: the search and the distances' tests alone (PairSink::drop), for benchmarks.
PeriodicPairs periodic_pairs(const util::Model& model, const std::array<double, 9>& cell,
                             double cutoff, const BlockRequest& request, int threads,
                             PairSearch search, bool drop = false);

}  // namespace zalmor::scatter::detail
