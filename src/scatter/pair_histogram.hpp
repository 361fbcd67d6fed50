// Pair-distance histograms per pair of atom types, the raw material of partial pair
// distribution functions g_AB(r) taken straight from the pairs (docs/guide.md, "Pair
// distributions direct from the pairs"). Reached only from the Python package.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "util/coords_reader.hpp"

namespace zalmor::scatter {

// count[k * nbins + m]: the unordered pairs of distinct atoms of the k-th pair of types
// (0-based partial_number order: like pairs, then unlike pairs in row order) at a distance r
// with m dr <= r < (m + 1) dr. Atoms of types outside 1..ntypes are left out. Integers,
// so the counts do not depend on the number of threads.
struct PairHistogram {
  int ntypes = 1;
  int nbins = 0;
  double dr = 0;
  std::vector<std::int64_t> count;
};

// Every pair of a finite model, at the distance the Debye engines give it (dist(), single
// precision). Throws std::invalid_argument for a bin width that is not a positive distance,
// no bins, or a position that is not finite.
// caller_bytes: what the caller will hold beside the counts, for the memory check made before
// the work (util::OutOfMemory naming the estimate).
PairHistogram pair_histogram(const util::Model& model, int ntypes, double dr, int nbins,
                             int threads = 0, std::size_t caller_bytes = 0);

// Every pair of the periodic box `cell` (rows a, b, c) holding the model's atoms, at its
// minimum-image distance (double precision) below nbins dr, which may be at most half the
// cell's smallest width between faces (else std::invalid_argument naming both).
PairHistogram periodic_pair_histogram(const util::Model& model, const std::array<double, 9>& cell,
                                      int ntypes, double dr, int nbins, int threads = 0,
                                      std::size_t caller_bytes = 0);

}  // namespace zalmor::scatter
