// Chirp-z transforms (Rabiner, Schafer & Rader 1969; Bluestein 1970) for the moments
// engine's sums in Q. With bin centres c_b = c0 + b w and a uniform grid Q~_k = Q0 + k h,
// k b = (k^2 + b^2 - (k - b)^2) / 2 turns the sum over bins into one convolution:
//   sum_b a_b exp(i Q~_k c_b) = z_k sum_b [a_b y_b] exp(-i a (k - b)^2 / 2),
//   y_b = exp(i (Q0 w b + a b^2 / 2)),  z_k = exp(i (Q~_k c0 + a k^2 / 2)),  a = h w,
// done by FFTs of a smooth length L >= bins + nQ - 1.
//
// The stored Q values are floats and sit up to an ulp or two off any uniform grid; over
// distances of 100 Angstrom that is a phase error near 1e-3. The transforms run on the
// fitted grid, and exp(i d_k c) (d_k = Q_k - Q~_k) is taken about the middle of the group's
// bins to second order: three transforms per sequence, of a_b, a_b u_b and a_b u_b^2 with
// u the offset from the middle over the half width. The explicit factors of Q use the stored
// Q_k.
//
// The bins (2^-10 Angstrom) are far finer than the grid needs (pi / Qmax). Where it is
// cheaper, G neighbouring bins are merged about their common centre C: with c_b = C + delta,
//   sum_b exp(i Q c_b) (p0 + Q^2 p2 + i Q q1 + i Q^3 q3)_b = sum_n Q^n T_n(Q),
//   T_n = sum_B Y_n(B) exp(i Q C_B),  Y_n(B) = sum over B's bins and m + (power of Q) = n of
//   (i delta)^m / m! times the coefficient (times i for q1 and q3),
// exp(i Q delta) taken to the degree D at which its rest is below 1e-16 of the sum of
// |terms| (|Q delta| <= 2). The sine sum is sum_n Q^n Im T_n: D + 4 transforms of bins / G
// values instead of four of all bins. G = 1 is the plain transform of the four coefficients.
//
// Chirp phases reach 1e4 radians and more: they are formed in turns in long double (k^2
// exact, 64-bit products) and reduced to [-1/2, 1/2] before the double sine and cosine.
//
// FFTW's planner is not thread-safe: plans are made and destroyed under one lock, on the
// calling thread. Executing a plan on other arrays is thread-safe: the transforms of a group
// are shared out over the threads, each done whole by one thread, and their parts added in
// a fixed order, so the results do not depend on the number of threads.
#include "scatter/moments_chirpz.hpp"

#include <fftw3.h>
#include <omp.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <cstdint>
#include <limits>
#include <mutex>
#include <new>

namespace zalmor::scatter::detail {

namespace {

// Cost model, seconds per unit of work on one core of the development machine.
constexpr double kDirectBinQ = 1.0 / 2.0e9;  // bin-Q term of block_sum
constexpr double kFftUnit = 1.0 / 2.0e9;     // L log2 L of one complex FFT
constexpr double kPointwise = 1.0 / 4.0e8;   // a complex product with its load and store
constexpr double kChirpPhase = 1.0 / 1.0e7;  // one chirp value in long double, sin and cos
constexpr double kMergeTerm = 1.0 / 2.0e9;   // a product of forming the merged sequences
constexpr std::size_t kShortestGrid = 16;    // fewer Q values: the direct sums
constexpr int kSequences = 4;                // p0, p2, q1, q3
constexpr int kOrders = 3;                   // of exp(i d c) about the middle
// Bins merged into one (a power of two) at most, and the largest |Q| times the largest offset
// of a bin's centre from its merged bin's centre that the expansion is taken for.
constexpr int kMaxMerge = 64;
constexpr double kMaxMergePhase = 2.0;
constexpr int kMaxDegree = 31;
// The rest of the expansion of exp(i Q delta) is kept below this share of the sum of |terms|.
constexpr double kMergeRest = 1e-16;
// Largest |d_k| times the half width of a group the expansion is taken for; its rest
// (x^3 / 6 of the sum of |a|) is then below 1.4e-9 of that sum.
constexpr double kMaxShift = 2e-3;
// FFT rounding: per output at most about eps log2(L) of the sum of |inputs| (tests measure
// well below); the chirp products and the phases add a few eps.
constexpr double kFftSafety = 8.0;
constexpr double kChirpRoundings = 8.0;
constexpr long double kTwoPiL = 6.283185307179586476925286766559005768L;

std::mutex planner_lock;

struct AlignedDelete {
  void operator()(std::complex<double>* p) const { ::operator delete (p, std::align_val_t{64}); }
};
using Buffer = std::unique_ptr<std::complex<double>[], AlignedDelete>;

Buffer make_buffer(std::size_t n) {
  return Buffer(static_cast<std::complex<double>*>(::operator new (
      std::max<std::size_t>(n, 1) * sizeof(std::complex<double>), std::align_val_t{64})));
}

fftw_complex* as_fftw(std::complex<double>* p) { return reinterpret_cast<fftw_complex*>(p); }

// t rounded to the nearest whole number (ties to even, as nearbyint in the default mode) for
// |t| < 2^62: adding and taking away 1.5 * 2^63 leaves no fraction in a 64-bit mantissa. The
// library call costs more than the rest of a chirp value.
long double nearest_whole(long double t) {
  if constexpr (std::numeric_limits<long double>::digits == 64) {
    if (std::abs(t) < 0x1p62L) {
      constexpr long double kShift = 0x1.8p63L;
      const volatile long double up = t + kShift;  // rounded here, not folded away
      return up - kShift;
    }
  }
  return std::nearbyint(t);
}

// exp(2 pi i t) for a phase t in turns.
std::complex<double> cis_turns(long double t) {
  const auto r = static_cast<double>(t - nearest_whole(t)) * 6.283185307179586;
  return {std::cos(r), std::sin(r)};
}

// Smallest n' >= n with no prime factor above 7: FFTW's fastest lengths.
std::size_t smooth_length(std::size_t n) {
  for (std::size_t m = std::max<std::size_t>(n, 1);; ++m) {
    std::size_t r = m;
    for (const std::size_t p : {std::size_t{2}, std::size_t{3}, std::size_t{5}, std::size_t{7}}) {
      while (r % p == 0) r /= p;
    }
    if (r == 1) return m;
  }
}

std::size_t length_for(double bins, std::size_t nq) {
  return smooth_length(static_cast<std::size_t>(bins) + nq - 1);
}

// The bins are far finer than the Q grid needs (2^-10 Angstrom against pi / Qmax): `merge`
// neighbouring bins are taken together about their common centre C, each bin's
// exp(i Q c) = exp(i Q C) exp(i Q delta) with exp(i Q delta) expanded to `degree`. That
// takes bins / merge bins into each transform, at the price of more transforms: one per power
// of Q, degree + 4 of them (docs/engines.md).
struct Merge {
  int merge = 1;
  int degree = 0;
  double seconds = std::numeric_limits<double>::infinity();
  int powers() const { return degree + kSequences; }
};

// The largest |Q delta| of a merge at Q values up to qmax.
double merge_phase(int merge, double qmax) { return qmax * 0.5 * (merge - 1) * kBinWidth; }

// The rest of the series of exp(i y) after degree d for |y| <= x: at most its first term
// x^(d+1) / (d+1)! over 1 - x / (d+2) (the terms after it shrink at least by that ratio).
double merge_rest(double x, int degree) {
  const double next = static_cast<double>(degree) + 2.0;
  if (!(x < next)) return std::numeric_limits<double>::infinity();
  double t = 1.0 / (1.0 - x / next);
  for (int k = 1; k <= degree + 1; ++k) t *= x / k;
  return t;
}

// The cheapest merge for a group of `bins` bins at nq Q values up to qmax.
Merge plan_merge(double bins, std::size_t nq, double qmax) {
  Merge best;
  if (nq < kShortestGrid || !(bins >= 1.0)) return best;
  const double m = static_cast<double>(nq);
  for (int g = 1; g <= kMaxMerge; g *= 2) {
    const double x = merge_phase(g, qmax);
    if (g > 1 && !(x <= kMaxMergePhase)) break;
    Merge trial{g, 0, 0.0};
    while (x > 0.0 && merge_rest(x, trial.degree) > kMergeRest && trial.degree < kMaxDegree) {
      ++trial.degree;
    }
    if (merge_rest(x, trial.degree) > kMergeRest) break;
    const double wide = std::ceil(bins / g);
    const auto l = static_cast<double>(length_for(wide, nq));
    const double one = 2.0 * l * std::log2(l) * kFftUnit + (wide + l + m) * kPointwise;
    trial.seconds = trial.powers() * kOrders * one + (wide + m) * kChirpPhase +
                    (g > 1 ? kSequences * (trial.degree + 1) * bins * kMergeTerm : 0.0);
    if (trial.seconds < best.seconds) best = trial;
  }
  return best;
}

}  // namespace

double direct_sum_seconds(double bins, std::size_t nq) {
  return bins * static_cast<double>(nq) * kDirectBinQ;
}

double chirpz_seconds(double bins, std::size_t nq, double qmax) {
  return plan_merge(bins, nq, qmax).seconds;
}

std::size_t chirpz_bytes(double bins, std::size_t nq, double qmax, int threads) {
  const Merge mg = plan_merge(std::max(bins, 1.0), nq, qmax);
  const double wide = std::ceil(std::max(bins, 1.0) / mg.merge);
  const std::size_t l = length_for(wide, nq);
  const int tasks = mg.powers();
  const auto workers = static_cast<std::size_t>(std::clamp(threads, 1, tasks));
  // The kernel, a work buffer per thread, the two chirps, the merged sequence per thread;
  // the grid's offsets, the sums and bounds, and each power's part of the sums.
  const auto w = static_cast<std::size_t>(wide);
  const std::size_t merged = mg.merge > 1 ? workers * w : 0;
  return sizeof(std::complex<double>) * ((1 + workers) * l + w + merged + nq) +
         sizeof(double) * (3 + static_cast<std::size_t>(tasks)) * nq;
}

// FFT plans of one length and the transform of the chirp kernel, scaled by 1/L for the
// unnormalised inverse.
struct Transforms {
  std::size_t length = 0;
  int merge = 1;  // the bin width of the chirp kernel, in bins
  fftw_plan forward = nullptr, backward = nullptr;
  Buffer kernel;

  ~Transforms() {
    const std::lock_guard<std::mutex> lock(planner_lock);
    if (forward != nullptr) fftw_destroy_plan(forward);
    if (backward != nullptr) fftw_destroy_plan(backward);
  }
};

struct ChirpzSums::State {
  std::span<const float> q;               // stored values
  std::vector<double> shift;              // Q_k - Q~_k
  long double q0_turns = 0, h_turns = 0;  // the fitted grid over 2 pi
  bool uniform = false;
  double qmax = 0;                                 // largest |Q_k|
  std::vector<std::unique_ptr<Transforms>> cache;  // the lengths in use, at most two

  const Transforms& transforms(std::size_t needed, int merge, int threads) {
    for (const auto& t : cache) {
      // A longer transform already made serves while it costs little more.
      if (t->merge == merge && t->length >= needed && 4 * t->length <= 5 * needed) return *t;
    }
    if (cache.size() >= 2) cache.erase(cache.begin());
    auto t = std::make_unique<Transforms>();
    const std::size_t l = smooth_length(needed);
    t->length = l;
    t->merge = merge;
    t->kernel = make_buffer(l);
    {
      const std::lock_guard<std::mutex> lock(planner_lock);
      const int n = static_cast<int>(l);
      t->forward = fftw_plan_dft_1d(n, as_fftw(t->kernel.get()), as_fftw(t->kernel.get()),
                                    FFTW_FORWARD, FFTW_ESTIMATE);
      t->backward = fftw_plan_dft_1d(n, as_fftw(t->kernel.get()), as_fftw(t->kernel.get()),
                                     FFTW_BACKWARD, FFTW_ESTIMATE);
    }
    if (t->forward == nullptr || t->backward == nullptr) throw std::bad_alloc();
    // exp(-i a j^2 / 2) for j from -(L - M) to M - 1, negative j wrapped to the top.
    const long double half_rate = 0.5L * h_turns * static_cast<long double>(kBinWidth) * merge;
    const auto m = static_cast<std::int64_t>(q.size());
    const auto li = static_cast<std::int64_t>(l);
    const double scale = 1.0 / static_cast<double>(l);
#pragma omp parallel for schedule(static) num_threads(threads)
    for (std::int64_t i = 0; i < li; ++i) {
      const std::int64_t j = i < m ? i : i - li;
      t->kernel[static_cast<std::size_t>(i)] =
          scale * cis_turns(-half_rate * static_cast<long double>(j * j));
    }
    fftw_execute_dft(t->forward, as_fftw(t->kernel.get()), as_fftw(t->kernel.get()));
    cache.push_back(std::move(t));
    return *cache.back();
  }
};

ChirpzSums::ChirpzSums(std::span<const float> q) : st_(std::make_unique<State>()) {
  State& s = *st_;
  const std::size_t m = q.size();
  s.q = q;
  s.shift.assign(m, 0.0);
  if (m == 0) return;
  // Least squares in long double: the driver's values are (k + off) Qmax / n rounded in
  // float twice, scattered about the line by an ulp or two.
  const long double mid = 0.5L * static_cast<long double>(m - 1);
  long double mean = 0, top = 0;
  for (float v : q) {
    if (!std::isfinite(v)) return;
    mean += static_cast<long double>(v);
    top = std::max(top, std::abs(static_cast<long double>(v)));
  }
  s.qmax = static_cast<double>(top);
  mean /= static_cast<long double>(m);
  long double sxy = 0, sxx = 0;
  for (std::size_t k = 0; k < m; ++k) {
    const long double x = static_cast<long double>(k) - mid;
    sxy += x * (static_cast<long double>(q[k]) - mean);
    sxx += x * x;
  }
  const long double h = sxx > 0 ? sxy / sxx : 0.0L;
  const long double q0 = mean - h * mid;
  s.q0_turns = q0 / kTwoPiL;
  s.h_turns = h / kTwoPiL;
  double worst = 0;
  for (std::size_t k = 0; k < m; ++k) {
    const long double d = static_cast<long double>(q[k]) - (q0 + h * static_cast<long double>(k));
    s.shift[k] = static_cast<double>(d);
    worst = std::max(worst, std::abs(s.shift[k]));
  }
  // Four float ulps of the largest value: beyond, the values were not made as a grid.
  s.uniform = worst <= static_cast<double>(top) * 0x1p-21;
}

ChirpzSums::~ChirpzSums() = default;

bool ChirpzSums::uniform() const { return st_->uniform; }

bool ChirpzSums::cheaper(const BinCoefficients& c) const {
  if (c.tail || !st_->uniform) return false;
  const auto nq = st_->q.size();
  int first = -1, last = -1, used = 0;
  for (std::size_t b = 0; b < c.used.size(); ++b) {
    if (!c.used[b]) continue;
    if (first < 0) first = static_cast<int>(b);
    last = static_cast<int>(b);
    ++used;
  }
  if (used == 0) return false;
  const double span = static_cast<double>((last - first + 1) * kBlockBins);
  return chirpz_seconds(span, nq, st_->qmax) < direct_sum_seconds(used * double{kBlockBins}, nq);
}

bool ChirpzSums::transform(const BinCoefficients& c, int threads, std::vector<double>& s,
                           std::vector<double>& bound) {
  State& st = *st_;
  const std::size_t nq = st.q.size();
  if (c.tail || !st.uniform || nq == 0) return false;
  std::size_t first = c.used.size(), end = 0;
  for (std::size_t b = 0; b < c.used.size(); ++b) {
    if (!c.used[b]) continue;
    first = std::min(first, b);
    end = b + 1;
  }
  if (end == 0) {
    s.assign(nq, 0.0);
    bound.assign(nq, 0.0);
    return true;
  }
  first *= kBlockBins;
  const std::size_t n = end * kBlockBins - first;
  // Grids too short for the cost model still take the transforms, bin by bin.
  Merge mg = plan_merge(static_cast<double>(n), nq, st.qmax);
  if (!std::isfinite(mg.seconds)) mg = Merge{};
  const auto g = static_cast<std::size_t>(mg.merge);
  const int powers = mg.powers();
  const std::size_t nw = (n + g - 1) / g;  // merged bins
  const double w = kBinWidth, wide = kBinWidth * static_cast<double>(g);
  // Centres: of the first bin, of the first merged bin; exp(i d c) is expanded about the
  // middle of the bins, to the farthest merged centre.
  const double c0 = (static_cast<double>(c.lo) + static_cast<double>(first) + 0.5) * w;
  const double cw0 = c0 + 0.5 * static_cast<double>(g - 1) * w;
  const double middle = c0 + 0.5 * static_cast<double>(n - 1) * w;
  const double half =
      std::max(std::abs(cw0 - middle), std::abs(cw0 + static_cast<double>(nw - 1) * wide - middle));
  double x_max = 0;
  for (double d : st.shift) x_max = std::max(x_max, std::abs(d) * half);
  if (!(x_max <= kMaxShift)) return false;
  const int orders = x_max == 0.0 ? 1 : kOrders;

  const Transforms& tr = st.transforms(nw + nq - 1, mg.merge, std::max(1, threads));
  const std::size_t l = tr.length;

  // Input chirp exp(i (Q0 W b + a b^2 / 2)), output chirp exp(i (Q~_k C0 + a k^2 / 2 + d_k
  // middle)), W the merged width, a = h W; products of integers are exact in long double up
  // to 2^64.
  const auto wl = static_cast<long double>(wide);
  const long double half_rate = 0.5L * st.h_turns * wl;
  const Buffer in = make_buffer(nw), out = make_buffer(nq);
  const auto c0l = static_cast<long double>(cw0);
  const int nt = std::max(1, threads);
#pragma omp parallel num_threads(nt)
  {
#pragma omp for schedule(static) nowait
    for (std::int64_t b = 0; b < static_cast<std::int64_t>(nw); ++b) {
      const auto bl = static_cast<long double>(b);
      in[static_cast<std::size_t>(b)] = cis_turns(st.q0_turns * wl * bl + half_rate * (bl * bl));
    }
#pragma omp for schedule(static)
    for (std::int64_t k = 0; k < static_cast<std::int64_t>(nq); ++k) {
      const auto kl = static_cast<long double>(k);
      const auto d = static_cast<long double>(st.shift[static_cast<std::size_t>(k)]);
      out[static_cast<std::size_t>(k)] =
          cis_turns(c0l * (st.q0_turns + st.h_turns * kl) + half_rate * (kl * kl) +
                    d * static_cast<long double>(middle) / kTwoPiL);
    }
  }

  // The sum is Im sum_b exp(i Q c_b) (p0 + Q^2 p2 + i Q q1 + i Q^3 q3). With c_b = C + delta
  // and exp(i Q delta) = sum_m (i Q delta)^m / m!, it is sum_n Q^n Im T_n(Q), T_n the
  // transform of Y_n(B) = sum over the bins of merged bin B and the (coefficient, m) with
  // m + (its power of Q) = n of (i delta)^m / m! times the coefficient (times i for q1, q3).
  const std::vector<double>* seq[kSequences] = {&c.p0, &c.p2, &c.q1, &c.q3};
  constexpr int kPower[kSequences] = {0, 2, 1, 3};    // of Q, per coefficient
  constexpr int kByPower[kSequences] = {0, 2, 1, 3};  // the coefficient of Q^n, n < 4
  constexpr int kTurn[kSequences] = {0, 0, 1, 1};     // factors of i
  const std::complex<double> kTurns[4] = {{1.0, 0.0}, {0.0, 1.0}, {-1.0, 0.0}, {0.0, -1.0}};
  double total[kSequences] = {};
  for (int a = 0; a < kSequences; ++a) {
    for (std::size_t b = 0; b < n; ++b) total[a] += std::abs((*seq[a])[first + b]);
  }
  const int deg = mg.degree;
  const auto nd = static_cast<std::size_t>(deg) + 1;
  std::vector<double> delta_pow(nd * g);  // [m g + j]: delta_j^m / m!
  for (std::size_t j = 0; j < g; ++j) {
    const double delta = (static_cast<double>(j) - 0.5 * static_cast<double>(g - 1)) * w;
    double t = 1.0;
    for (std::size_t m = 0; m < nd; ++m) {
      delta_pow[m * g + j] = t;
      t *= delta / static_cast<double>(m + 1);
    }
  }
  // Y_n(B) = sum over the coefficients a with m = n - (power of a) in [0, D] of
  // i^(m + turn of a) sum_j delta_j^m / m! a_(B g + j), into y[0, nw).
  auto merge_power = [&](int power, std::complex<double>* y) {
    std::fill(y, y + nw, std::complex<double>(0.0, 0.0));
    for (int a = 0; a < kSequences; ++a) {
      const int m = power - kPower[a];
      if (m < 0 || m > deg) continue;
      const double* dp = delta_pow.data() + static_cast<std::size_t>(m) * g;
      const double* coef = seq[a]->data() + first;
      const int turn = (m + kTurn[a]) % 4;
      for (std::size_t B = 0; B < nw; ++B) {
        const std::size_t count = std::min(g, n - B * g);
        const double* part_of_b = coef + B * g;
        // Eight partial sums, so that the additions do not wait on each other.
        std::array<double, 8> acc{};
        std::size_t j = 0;
        for (; j + 8 <= count; j += 8) {
          for (std::size_t k = 0; k < 8; ++k) acc[k] += dp[j + k] * part_of_b[j + k];
        }
        for (; j < count; ++j) acc[0] += dp[j] * part_of_b[j];
        const double v =
            ((acc[0] + acc[1]) + (acc[2] + acc[3])) + ((acc[4] + acc[5]) + (acc[6] + acc[7]));
        y[B] += kTurns[turn] * v;
      }
    }
  };

  const double inv_half = half > 0 ? 1.0 / half : 0.0;
  s.assign(nq, 0.0);
  bound.assign(nq, 0.0);
  // The transforms of a power of Q (one per order of the expansion of exp(i d c), in turn)
  // are one task; the tasks are shared out over the threads, each done whole by one thread
  // into its own row of parts; the parts are then added per Q in one fixed order, so every
  // value is the same for any thread count. Nothing in the parallel loop allocates or throws.
  const auto nb = static_cast<std::int64_t>(nw), nl = static_cast<std::int64_t>(l),
             nk = static_cast<std::int64_t>(nq);
  const int tasks = powers;
  const int workers = std::min(nt, tasks);
  std::vector<Buffer> work(static_cast<std::size_t>(workers));
  for (Buffer& b : work) b = make_buffer(l);
  // Merged (g > 1): each worker's Y_n; unmerged, Y_n is a coefficient itself (times i for
  // q1 and q3), read in place.
  std::vector<Buffer> merged(g > 1 ? static_cast<std::size_t>(workers) : 0);
  for (Buffer& b : merged) b = make_buffer(nw);
  std::vector<double> parts(static_cast<std::size_t>(tasks) * nq, 0.0);
  const std::complex<double>* ker = tr.kernel.get();
  const StopFlag* stop = current_stop_flag();
#pragma omp parallel for schedule(dynamic, 1) num_threads(workers)
  for (int task = 0; task < tasks; ++task) {
    if (stop != nullptr && stop->requested()) continue;
    const int power = task;
    const auto me = static_cast<std::size_t>(omp_get_thread_num());
    std::complex<double>* buf = work[me].get();
    double* part = parts.data() + static_cast<std::size_t>(task) * nq;
    std::complex<double>* y = merged.empty() ? nullptr : merged[me].get();
    if (y != nullptr) merge_power(power, y);
    const double* coef = y == nullptr ? seq[kByPower[power]]->data() + first : nullptr;
    const bool turned = y == nullptr && kTurn[kByPower[power]] == 1;
    for (int m = 0; m < orders; ++m) {
      for (std::int64_t b = 0; b < nl; ++b) {
        const auto i = static_cast<std::size_t>(b);
        if (b >= nb) {
          buf[i] = {0.0, 0.0};
          continue;
        }
        std::complex<double> v = y != nullptr ? y[i]
                                 : turned     ? std::complex<double>(0.0, coef[i])
                                              : std::complex<double>(coef[i], 0.0);
        const double u = (cw0 + static_cast<double>(b) * wide - middle) * inv_half;
        for (int p = 0; p < m; ++p) v *= u;
        buf[i] = v * in[i];
      }
      fftw_execute_dft(tr.forward, as_fftw(buf), as_fftw(buf));
      for (std::int64_t j = 0; j < nl; ++j) {
        const auto i = static_cast<std::size_t>(j);
        const double re = buf[i].real() * ker[i].real() - buf[i].imag() * ker[i].imag();
        const double im = buf[i].real() * ker[i].imag() + buf[i].imag() * ker[i].real();
        buf[i] = {re, im};
      }
      fftw_execute_dft(tr.backward, as_fftw(buf), as_fftw(buf));
      for (std::int64_t kk = 0; kk < nk; ++kk) {
        const auto k = static_cast<std::size_t>(kk);
        const double re = out[k].real() * buf[k].real() - out[k].imag() * buf[k].imag();
        const double im = out[k].real() * buf[k].imag() + out[k].imag() * buf[k].real();
        // Im of the product with (i x)^m / m!, x = d_k half.
        const double x = st.shift[k] * half;
        const double value = m == 0 ? im : m == 1 ? x * re : -0.5 * x * x * im;
        const auto q = static_cast<double>(st.q[k]);
        double factor = 1.0;
        for (int p = 0; p < power; ++p) factor *= q;
        part[k] += factor * value;
      }
    }
  }
  throw_if_stopped(stop);
  for (int task = 0; task < tasks; ++task) {
    const double* part = parts.data() + static_cast<std::size_t>(task) * nq;
    for (std::size_t k = 0; k < nq; ++k) s[k] += part[k];
  }

  // Per Q, with W the sum of |terms| of the unmerged sums: the merged sequences' sums of
  // |values| are at most W exp(|Q| delta_max); on these, the FFTs' and chirps' rounding, the
  // rest of exp(i d c) and the rounding of forming the merged sequences; and on W the rest
  // of exp(i Q delta).
  constexpr double eps = std::numeric_limits<double>::epsilon();
  const double fft = kFftSafety * eps * (std::log2(static_cast<double>(l)) + kChirpRoundings);
  const double forming = eps * (2.0 * static_cast<double>(g) + 2.0 * deg + 8.0);
  for (std::size_t k = 0; k < nq; ++k) {
    const auto q = static_cast<double>(st.q[k]);
    if (q == 0.0) {
      s[k] = 0.0;
      continue;
    }
    const double q2 = q * q, aq = std::abs(q);
    const double weight = total[0] + q2 * total[1] + aq * (total[2] + q2 * total[3]);
    const double phase = merge_phase(mg.merge, aq);
    const double grow = std::exp(phase);
    const double x = std::abs(st.shift[k]) * half;
    const double rest = orders == 1 ? 0.0 : x * x * x / 6.0;
    const double merge_rest_k = g > 1 ? merge_rest(phase, deg) : 0.0;
    bound[k] = weight * (grow * (fft * (1.0 + x) + rest + forming) + merge_rest_k);
  }
  return true;
}

}  // namespace zalmor::scatter::detail
