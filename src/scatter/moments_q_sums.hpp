// The moments engine's second stage (docs/engines.md): the sums in Q. Each group's histogram
// of distance moments becomes the group's coefficients per bin, summed over the bins for every
// Q value (directly, or for long uniform grids by chirp-z transforms) with an error bound; the
// pairs kept out of the bins are added term by term. Any pass that fills such histograms (the
// pairs of a finite model, or of a periodic box) hands them here.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "scatter/groups.hpp"
#include "scatter/histograms.hpp"
#include "scatter/moments_chirpz.hpp"

namespace zalmor::scatter::detail {

// How a calculation's sums in Q went (and, in the moments engine, its pass over pairs), for
// tests and benchmarks.
struct MomentsReport {
  bool accepted = false;            // false: the bound failed and the pairs engine ran
  int batches = 0;                  // passes over (parts of) the pairs
  std::int64_t direct_pairs = 0;    // pairs shorter than kExactFrom
  std::size_t histogram_bytes = 0;  // peak, all threads
  int chirpz_groups = 0;            // groups summed in Q by chirp-z transforms
  std::vector<double> bound;        // per block: error bound / largest |i(Q)|
};

// Per instruction set (moments_simd.cpp): the sum over the bins of block `block` of the group
// of the sine and cosine parts at q (the cosine part already multiplied by q); lam holds
// exp(i q w l) for the lanes l (re, im interleaved per lane: re[0..L), im[0..L)), rho
// exp(i q w L).
double block_sum(const BinCoefficients& c, int block, double q, const double* lam_re,
                 const double* lam_im, double rho_re, double rho_im);
int double_lanes();

class QSums {
 public:
  // Values and bounds of nblocks blocks over q; the groups are those of plan, which outlives
  // this object.
  QSums(std::span<const float> q, const GroupPlan& plan, int nblocks, int threads);
  ~QSums();
  QSums(const QSums&) = delete;
  QSums& operator=(const QSums&) = delete;

  // Weights every pair at distance r by the window sinc(a r) = sin(a r) / (a r) from here on
  // (a > 0; 0: no window). The bins then take the Taylor expansion of sinc(a r) / r about
  // their centres instead of that of 1 / r, with the same moments, and the error bound holds
  // with Q + a for Q. Not for groups whose pairs bring their own u (throws std::logic_error).
  void set_window(double a);

  // Adds the sums of group gid's histogram to its blocks; within(f) is told the share done,
  // 0..1, from the calling thread. False when a bin holds too many pairs for its moments.
  bool add_group(int gid, const Histogram& h, const std::function<void(double)>& within);
  // Adds the pairs kept out of the bins, in a fixed order whatever the order given.
  void add_direct(std::vector<DirectTerm>& direct);
  // Adds terms known in closed form (a continuum's share) to block `block` in double, before
  // the values are rounded; they carry no error of the sums and add nothing to the bound.
  void add_values(int block, std::span<const double> values);
  // Measures block `block`'s tolerance against at least `scale`. A periodic box's sums, its
  // continuum taken away, can be pure noise about zero (an ideal gas); its S(Q) is still
  // judged against its self-scattering level, 1 in S(Q), which is what a user compares.
  void set_scale_floor(int block, double scale);
  // The blocks in float, when every block's bound is well inside the tolerance (1e-6 of its
  // largest |i(Q)|, or of its floor when that is larger); the report gets the bounds and
  // whether they were accepted.
  bool finish(std::vector<std::vector<float>>& out, MomentsReport& report) const;

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

// sinc(a r) and its first three derivatives in r divided by k!, the Taylor coefficients of
// the window about r.
std::array<double, 4> sinc_window_taylor(double a, double r);

// sum over the pairs of a histogram of sinc(a r), from the bins' moments (third order about
// the bin centres: the rest is below 1e-15 of the count for bins of kBinWidth); in a fixed
// order.
double windowed_count(const Histogram& h, double a);

}  // namespace zalmor::scatter::detail
