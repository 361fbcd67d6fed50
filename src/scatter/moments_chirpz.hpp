// The moments engine's sums in Q by chirp-z transforms (docs/engines.md): bin centres and Q
// values are both uniform, so the sums of a group over every Q value are one convolution,
// O((bins + nQ) log(bins + nQ)) instead of bins x nQ.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <vector>

#include "scatter/histograms.hpp"

namespace zalmor::scatter::detail {

// Estimated seconds on one core of a group's sums over `bins` bins at nq Q values up to
// |Q| = qmax: directly (block_sum), and by the transforms (infinite where they cannot run).
double direct_sum_seconds(double bins, std::size_t nq);
double chirpz_seconds(double bins, std::size_t nq, double qmax);
// Memory the transforms of a group of `bins` bins hold at nq Q values up to qmax on `threads`
// threads.
std::size_t chirpz_bytes(double bins, std::size_t nq, double qmax, int threads);

// One run's transforms: the Q grid fitted once, FFT plans and chirp kernels kept for the
// groups that follow.
class ChirpzSums {
 public:
  // q must outlive this object.
  explicit ChirpzSums(std::span<const float> q);
  ~ChirpzSums();
  ChirpzSums(const ChirpzSums&) = delete;
  ChirpzSums& operator=(const ChirpzSums&) = delete;

  // Whether the stored Q values lie close enough to a uniform grid.
  bool uniform() const;

  // Whether the transforms are estimated cheaper than the direct sums for this group (whose
  // thermal factor must factor out: not c.tail) on this grid.
  bool cheaper(const BinCoefficients& c) const;
  // s[k] = the sum over the group's bins of sin(Q c) (p0 + Q^2 p2) + Q cos(Q c) (q1 + Q^2 q3)
  // at the stored Q_k (0 where Q_k = 0), as block_sum gives it, and bound[k] a bound on its
  // error. False, with s and bound untouched, where the group or the grid does not allow the
  // transforms (a tail, values off the grid, a grid too far off for a group this wide).
  bool transform(const BinCoefficients& c, int threads, std::vector<double>& s,
                 std::vector<double>& bound);

 private:
  struct State;
  std::unique_ptr<State> st_;
};

}  // namespace zalmor::scatter::detail
