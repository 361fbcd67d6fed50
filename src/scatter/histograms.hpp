// The distance histograms that every pass over pairs fills (the moments engine's over a finite
// model, the periodic engine's over a box, the pair counts' too) and that the sums in Q read:
// per group, fine bins of 2^-10 A, each with the count and the first three moments of its
// distances about its centre, as integers added modulo 2^64 so that the sums are exact and
// do not depend on the order or the threads (docs/engines.md).
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <tuple>
#include <utility>
#include <vector>

#include "scatter/groups.hpp"

namespace zalmor::scatter::detail {

// Bins are 2^-10 Angstrom wide, so a bin's number and centre are exact for float distances;
// offsets from the centre are integers in units of 2^-24 Angstrom, exact from kExactFrom on.
inline constexpr double kBinsPerAngstrom = 1024.0;
inline constexpr double kBinWidth = 1.0 / kBinsPerAngstrom;
inline constexpr double kOffsetUnit = 1.0 / 16777216.0;  // 2^-24 Angstrom
inline constexpr float kExactFrom = 0.5f;  // shorter distances are summed pair by pair
inline constexpr int kBlockBins = 1024;    // bins per block of the sums in Q
// |D| <= 2^13, so the third moment of a bin stays below 2^62 in magnitude up to this count.
inline constexpr std::uint64_t kMaxBinCount = std::uint64_t{1} << 23;

// The bin of a distance and its offset D from the bin's centre, in float as every pass over
// pairs rounds them (exact from kExactFrom on); bins past the top are never taken.
inline void bin_and_offset(float r, std::int32_t& bin, std::int32_t& offset) {
  const float b = std::floor(std::min(r * static_cast<float>(kBinsPerAngstrom), 1e9f));
  const float d =
      (r - (b + 0.5f) * static_cast<float>(kBinWidth)) * static_cast<float>(1.0 / kOffsetUnit);
  bin = static_cast<std::int32_t>(b);
  offset = static_cast<std::int32_t>(std::min(std::max(d, -1e9f), 1e9f));
}

// Moments of one bin: count and sums of D, D^2, D^3 (D: offset from the centre in units of
// kOffsetUnit), added modulo 2^64, so the sums are exact and do not depend on the order.
// Aligned so that a bin never straddles two cache lines: each pair then costs one line.
struct alignas(32) BinMoments {
  std::uint64_t n = 0, m1 = 0, m2 = 0, m3 = 0;
};

// A pair summed term by term: r below kExactFrom, or outside its group's bins.
struct DirectTerm {
  int gid;
  float r, u;
  auto key() const {
    return std::make_tuple(gid, std::bit_cast<std::uint32_t>(r), std::bit_cast<std::uint32_t>(u));
  }
};

struct Histogram {
  int lo = 0;  // first bin
  std::vector<BinMoments> bins;
};

// Adds a pair at offset `off` (units of kOffsetUnit) from the bin's centre to the bin:
// {1, D, D^2, D^3} modulo 2^64 (the products of a valid offset, |D| <= 2^13, are exact).
inline void add_moments(BinMoments& m, std::int32_t off) {
  const auto d = static_cast<std::uint64_t>(static_cast<std::int64_t>(off));
  const std::uint64_t d2 = d * d;
  m.n += 1;
  m.m1 += d;
  m.m2 += d2;
  m.m3 += d2 * d;
}

// Adds one thread's histogram of a group to the sum of the others and empties it. The moments
// are integers added modulo 2^64: the order of the threads does not matter.
inline void add_histogram(Histogram& to, Histogram& from) {
  if (to.bins.empty()) {
    to = std::move(from);
  } else {
    for (std::size_t k = 0; k < to.bins.size(); ++k) {
      to.bins[k].n += from.bins[k].n;
      to.bins[k].m1 += from.bins[k].m1;
      to.bins[k].m2 += from.bins[k].m2;
      to.bins[k].m3 += from.bins[k].m3;
    }
  }
  from = Histogram{};
}

// A group's bins as the sums in Q take them, bins [lo, lo + count): the sine part
// p0 + Q^2 p2 + Q^4 p4 and the cosine part Q (q1 + Q^2 q3 + Q^4 q5); g0 is u^2 at the bin's
// centre for groups whose pairs bring their own u (the thermal factor exp(-Q^2 g0 / 2) is
// applied per bin, p4 and q5 carry its variation across the bin).
struct BinCoefficients {
  int lo = 0, count = 0;  // count: a multiple of kBlockBins
  bool tail = false;
  std::vector<double> p0, p2, p4, q1, q3, q5, g0;
  std::vector<std::uint8_t> used;  // per block: any pairs
};

// The pass kernels, per instruction set (moments_simd.cpp).

// Distances of atom i to atoms j0 .. j0 + n - 1 exactly as dist() rounds them, with each
// distance's bin (-1 below kExactFrom) and offset D from the bin centre.
void bin_distances(const PairSource& atoms, int i, int j0, int n, float* r, std::int32_t* bin,
                   std::int32_t* offset);
// The bin of h each pair goes to (to[m]), or `sink` where its bin (bin[m]) is outside h's bins;
// returns how many are outside.
int bin_pointers(const std::int32_t* bin, int n, Histogram& h, BinMoments* sink, BinMoments** to);
// Adds each pair m, at offset offset[m] from its bin's centre, to the bin to[m] (pairs left
// out go to a sink).
void add_pairs(BinMoments* const* to, const std::int32_t* offset, int n);
}  // namespace zalmor::scatter::detail
