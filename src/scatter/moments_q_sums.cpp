// The moments engine's sums in Q (moments_q_sums.hpp). Expanding sin(Q (c + d)) / (c + d) to
// third order in the offset d of a distance from its bin's centre c turns a bin into
//   sin(Q c) (p0 + Q^2 p2) + Q cos(Q c) (q1 + Q^2 q3)
// with coefficients from the bin's moments; the sums over bins in Q take exp(i Q c) along the
// uniform bin centres by rotation, or all Q at once by chirp-z transforms. The remainder of
// the expansion is bounded from the second moments, and the blocks are accepted only when the
// bound is well inside the tolerance. Each Q value's sum runs over the bins in one fixed
// order: results are the same for any thread count.
#include "scatter/moments_q_sums.hpp"

#include <omp.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <stdexcept>

namespace zalmor::scatter::detail {

namespace {

constexpr double kTolerance = 1e-6;  // of the block's largest |i(Q)|
constexpr double kSafety = 0.25;     // share of the tolerance the bound may use
constexpr double kHalfWidth = 0.5 * kBinWidth;
constexpr int kQChunk = 32;
// Where Q times the group's largest distance is below this, its sum is taken from power sums of
// the distances (small_q_sums) instead of sin(Q r) / r: the rotations and transforms round to
// about 1e-16 of 1 whatever Q, which the division by Q then magnifies (Q of 1e-6 1/A in a
// periodic box was refused).
constexpr double kSmallQr = 0.1;
// Terms (Q r)^(2k) / (2k + 1)! kept, k = 0..kSeriesTerms - 1: the first left out is below
// 0.1^16 / 17! = 3e-31 of the pair count.
constexpr int kSeriesTerms = 8;

// sum over the histogram's pairs of w(r) r^(2k), k = 0..kSeriesTerms - 1, w = sinc(a r) (1 when a
// is 0), each bin's w(r) r^(2k) expanded to third order about its centre as the coefficients
// of the sums in Q are.
std::array<double, kSeriesTerms> small_q_sums(const Histogram& h, double a) {
  constexpr double u1 = kOffsetUnit, u2 = u1 * u1, u3 = u2 * u1;
  std::array<double, kSeriesTerms> sums{};
  for (std::size_t k = 0; k < h.bins.size(); ++k) {
    const BinMoments& m = h.bins[k];
    if (m.n == 0) continue;
    const double c = (static_cast<double>(h.lo) + static_cast<double>(k) + 0.5) * kBinWidth;
    const std::array<double, 4> moment = {
        static_cast<double>(m.n), static_cast<double>(static_cast<std::int64_t>(m.m1)) * u1,
        static_cast<double>(static_cast<std::int64_t>(m.m2)) * u2,
        static_cast<double>(static_cast<std::int64_t>(m.m3)) * u3};
    const std::array<double, 4> w =
        a > 0.0 ? sinc_window_taylor(a, c) : std::array<double, 4>{1.0, 0.0, 0.0, 0.0};
    double c2k = 1.0;  // c^(2k)
    for (int n = 0; n < kSeriesTerms; ++n) {
      // Taylor coefficients of r^(2n) about c: binomial(2n, j) c^(2n - j).
      const double e = 2.0 * n;
      const std::array<double, 4> p = {c2k, e * c2k / c, e * (e - 1.0) / 2.0 * c2k / (c * c),
                                       e * (e - 1.0) * (e - 2.0) / 6.0 * c2k / (c * c * c)};
      double bin = 0.0;
      for (int j = 0; j < 4; ++j) {
        double coefficient = 0.0;
        for (int i = 0; i <= j; ++i)
          coefficient += w[static_cast<std::size_t>(i)] * p[static_cast<std::size_t>(j - i)];
        bin += coefficient * moment[static_cast<std::size_t>(j)];
      }
      sums[static_cast<std::size_t>(n)] += bin;
      c2k *= c * c;
    }
  }
  return sums;
}

}  // namespace

std::array<double, 4> sinc_window_taylor(double a, double r) {
  const double x = a * r;
  double s0 = 0, s1 = 0, s2 = 0, s3 = 0;  // sinc and its derivatives at x
  if (std::abs(x) < 0.1) {
    // The recurrences below lose digits as 1 / x^2 near 0; the series have none to lose.
    const double x2 = x * x;
    s0 = 1.0 - x2 / 6.0 * (1.0 - x2 / 20.0 * (1.0 - x2 / 42.0 * (1.0 - x2 / 72.0)));
    s1 = -x / 3.0 * (1.0 - x2 / 10.0 * (1.0 - x2 / 28.0 * (1.0 - x2 / 54.0)));
    s2 = -1.0 / 3.0 + x2 / 10.0 * (1.0 - x2 / 16.8 * (1.0 - x2 / 38.5714285714285714));
    s3 = x / 5.0 * (1.0 - x2 / 8.4 * (1.0 - x2 / 25.7142857142857143));
  } else {
    // From x sinc(x) = sin x, differentiated three times.
    s0 = std::sin(x) / x;
    s1 = (std::cos(x) - s0) / x;
    s2 = -s0 - 2.0 * s1 / x;
    s3 = -s1 - (3.0 * s2 + s0) / x;
  }
  return {s0, a * s1, a * a * s2 / 2.0, a * a * a * s3 / 6.0};
}

double windowed_count(const Histogram& h, double a) {
  constexpr double u1 = kOffsetUnit, u2 = u1 * u1, u3 = u2 * u1;
  double sum = 0;
  for (std::size_t k = 0; k < h.bins.size(); ++k) {
    const BinMoments& m = h.bins[k];
    if (m.n == 0) continue;
    const double centre = (static_cast<double>(h.lo) + static_cast<double>(k) + 0.5) * kBinWidth;
    const std::array<double, 4> w = sinc_window_taylor(a, centre);
    sum += w[0] * static_cast<double>(m.n) +
           w[1] * static_cast<double>(static_cast<std::int64_t>(m.m1)) * u1 +
           w[2] * static_cast<double>(static_cast<std::int64_t>(m.m2)) * u2 +
           w[3] * static_cast<double>(static_cast<std::int64_t>(m.m3)) * u3;
  }
  return sum;
}

class QSums::Impl {
 public:
  Impl(std::span<const float> q, const GroupPlan& plan, int nblocks, int threads)
      : q_(q), plan_(plan), nblocks_(nblocks), threads_(threads) {
    const auto nb = static_cast<std::size_t>(nblocks_);
    value_.assign(nb * q_.size(), 0.0);
    bound_.assign(nb * q_.size(), 0.0);
    lanes_ = double_lanes();
    rotations();
  }

  // exp(i q w l) for the lanes and exp(i q w L), per Q value.
  void rotations() {
    const auto nq = q_.size();
    const auto L = static_cast<std::size_t>(lanes_);
    lam_re_.assign(nq * L, 0.0);
    lam_im_.assign(nq * L, 0.0);
    rho_re_.assign(nq, 0.0);
    rho_im_.assign(nq, 0.0);
    for (std::size_t k = 0; k < nq; ++k) {
      const double qw = static_cast<double>(q_[k]) * kBinWidth;
      for (std::size_t l = 0; l < L; ++l) {
        lam_re_[k * L + l] = std::cos(qw * static_cast<double>(l));
        lam_im_[k * L + l] = std::sin(qw * static_cast<double>(l));
      }
      rho_re_[k] = std::cos(qw * static_cast<double>(L));
      rho_im_[k] = std::sin(qw * static_cast<double>(L));
    }
  }

  // What the error bound of a group needs, gathered with its coefficients.
  struct GroupStats {
    double pairs = 0;       // pairs in the bins
    double weighted = 0;    // sum of the window over them, when there is one
    double e[6] = {};       // e[j]: sum of M2 / rho^j, rho the bin's lower edge
    double yn = 0;          // sum of n / rho
    double c_max = 0;       // largest bin centre
    double g1 = 0, g2 = 0;  // tails: largest |g'| and |g''/2|, g = u^2
    double g_low = 1e300;   // smallest g within the bins
    double g_fit = 0;       // largest error of the quadratic model of g in a bin
  };

  // Coefficients of a group's bins from its moments; false if a bin holds too many pairs.
  bool coefficients(int gid, const Histogram& h, BinCoefficients& c, GroupStats& st) const {
    const GroupSpec& gs = plan_.groups[static_cast<std::size_t>(gid)];
    const auto n = h.bins.size();
    c.lo = h.lo;
    c.count = static_cast<int>(n);
    c.tail = gs.per_pair;
    c.p0.assign(n, 0.0);
    c.p2.assign(n, 0.0);
    c.q1.assign(n, 0.0);
    c.q3.assign(n, 0.0);
    if (c.tail) {
      c.p4.assign(n, 0.0);
      c.q5.assign(n, 0.0);
      c.g0.assign(n, 0.0);
    }
    c.used.assign(n / kBlockBins, 0);
    const UrmsEval* ev =
        c.tail && gs.record >= 0 ? &plan_.evals[static_cast<std::size_t>(gs.record)] : nullptr;
    constexpr double u1 = kOffsetUnit, u2 = u1 * u1, u3 = u2 * u1;
    for (std::size_t k = 0; k < n; ++k) {
      const BinMoments& m = h.bins[k];
      if (m.n == 0) continue;
      if (m.n > kMaxBinCount) return false;
      c.used[k / kBlockBins] = 1;
      const double centre = (static_cast<double>(h.lo) + static_cast<double>(k) + 0.5) * kBinWidth;
      const double y = 1.0 / centre;
      const double m0 = static_cast<double>(m.n);
      const double m1 = static_cast<double>(static_cast<std::int64_t>(m.m1)) * u1;
      const double m2 = static_cast<double>(static_cast<std::int64_t>(m.m2)) * u2;
      const double m3 = static_cast<double>(static_cast<std::int64_t>(m.m3)) * u3;
      const double a1 = m1 - y * m2 + y * y * m3;  // sum of d (1 - y d + ...)
      if (window_ > 0.0) {
        // sin(Q r) h(d) with h = sinc(a r) / r = h0 + h1 d + h2 d^2 + h3 d^3 about the centre,
        // the product of the window's expansion and 1 / r = y (1 - y d + y^2 d^2 - ...).
        const std::array<double, 4> w = sinc_window_taylor(window_, centre);
        const double y2 = y * y, y3 = y2 * y;
        const double h0 = w[0] * y;
        const double h1 = w[1] * y - w[0] * y2;
        const double h2 = w[2] * y - w[1] * y2 + w[0] * y3;
        const double h3 = w[3] * y - w[2] * y2 + w[1] * y3 - w[0] * y3 * y;
        c.p0[k] = h0 * m0 + h1 * m1 + h2 * m2 + h3 * m3;
        c.p2[k] = -0.5 * (h0 * m2 + h1 * m3);
        c.q1[k] = h0 * m1 + h1 * m2 + h2 * m3;
        c.q3[k] = -h0 * m3 / 6.0;
        st.weighted += w[0] * m0 + w[1] * m1 + w[2] * m2 + w[3] * m3;
      } else {
        c.p0[k] = y * (m0 - y * a1);
        c.p2[k] = y * 0.5 * (y * m3 - m2);
        c.q1[k] = y * a1;
        c.q3[k] = -y * m3 / 6.0;
      }
      const double rho = centre - kHalfWidth;
      double inv = 1.0;
      for (int j = 1; j <= 5; ++j) {
        inv /= rho;
        st.e[j] += m2 * inv;
      }
      st.pairs += m0;
      st.yn += m0 / rho;
      st.c_max = std::max(st.c_max, centre + kHalfWidth);
      if (!c.tail) continue;
      // u^2 = g0 + g1 d + g2 d^2 across the bin; the thermal factor's variation
      // exp(-Q^2 (g1 d + g2 d^2) / 2) enters to second order in d.
      auto g_at = [&](double r) { return ev != nullptr ? ev->tail_u2(r) : 0.0025; };
      const double g0 = g_at(centre), gp = g_at(centre + kHalfWidth),
                   gm = g_at(centre - kHalfWidth);
      const double g1 = (gp - gm) / kBinWidth;
      const double g2 = (gp + gm - 2.0 * g0) / (2.0 * kHalfWidth * kHalfWidth);
      const double h2 = 0.5 * kHalfWidth;
      const double fit = std::max(std::abs(g_at(centre + h2) - (g0 + g1 * h2 + g2 * h2 * h2)),
                                  std::abs(g_at(centre - h2) - (g0 - g1 * h2 + g2 * h2 * h2)));
      // Twice the misfit halfway, and the rounding of u to float in the pairs' own values.
      st.g_fit = std::max(st.g_fit, 2.0 * fit + g0 * 2.5e-7);
      st.g1 = std::max(st.g1, std::abs(g1));
      st.g2 = std::max(st.g2, std::abs(g2));
      st.g_low = std::min(st.g_low,
                          g0 - std::abs(g1) * kHalfWidth - std::abs(g2) * kHalfWidth * kHalfWidth);
      c.g0[k] = g0;
      const double b1 = m2 - y * m3;
      c.p2[k] += y * (-0.5 * g1 * a1 - 0.5 * g2 * b1);
      c.p4[k] = y * (0.25 * g1 * m3 + 0.125 * g1 * g1 * b1);
      c.q3[k] += y * (-0.5 * g1 * b1 - 0.5 * g2 * m3);
      c.q5[k] = y * 0.125 * g1 * g1 * m3;
    }
    return true;
  }

  // Bound of |sum over the group's pairs of sinc terms - what the bins give| at q, in units of
  // the group's S(Q) (sin(Q r) / r sums), with the group's common thermal factor left out.
  static double group_bound(const GroupStats& st, bool tail, double q) {
    const double aq = std::abs(q);
    const double d2 = kHalfWidth * kHalfWidth;
    // Taylor remainder of sin(Q r) / r beyond d^3: |f''''| d^4 / 24, d^4 <= d^2 (w/2)^2.
    const double rem = d2 / 24.0 *
                       (24.0 * st.e[5] + 24.0 * aq * st.e[4] + 12.0 * aq * aq * st.e[3] +
                        4.0 * aq * aq * aq * st.e[2] + aq * aq * aq * aq * st.e[1]);
    // Rounding: the start of each chain (q c rounded), the rotations and the additions.
    const double big = 1.0 + aq * kHalfWidth;
    const double round = (4e-13 + 4e-16 * aq * st.c_max) * st.yn * big * big * big;
    if (!tail) return rem + round;
    const double alpha = 0.5 * q * q;
    const double x = alpha * (st.g1 * kHalfWidth + st.g2 * d2);
    const double ex = std::exp(x);
    const double damp = std::exp(-alpha * std::max(0.0, st.g_low));
    const double e1 = alpha * st.g1, e2 = alpha * alpha * st.g1 * st.g1 * 0.5 + alpha * st.g2;
    const double yq = 1.0 / double{kExactFrom} + aq;
    const double f2 = yq * yq * d2, f3 = f2 * yq * kHalfWidth;
    // The thermal factor's expansion: its third-order rest, the cross terms left out of its
    // square, the misfit of the quadratic g; then the products of degree 4 and 5 in d.
    const double e_rest =
        x * x * x / 6.0 * ex +
        alpha * alpha * (st.g1 * st.g2 * d2 * kHalfWidth + 0.5 * st.g2 * st.g2 * d2 * d2) +
        alpha * st.g_fit * ex;
    const double drop = e1 * kHalfWidth * f3 + e2 * d2 * (f2 + f3);
    return damp * (st.yn * (e_rest + drop) + ex * rem) + round;
  }

  bool add_group(int gid, const Histogram& h, const std::function<void(double)>& within) {
    BinCoefficients c;
    GroupStats st;
    if (window_ > 0.0 && plan_.groups[static_cast<std::size_t>(gid)].per_pair) {
      throw std::logic_error("a window on pairs with their own u");
    }
    if (!coefficients(gid, h, c, st)) return false;
    const GroupSpec& gs = plan_.groups[static_cast<std::size_t>(gid)];
    const int nq = static_cast<int>(q_.size());
    std::vector<double> s(q_.size(), 0.0);
    // Long uniform grids: all Q values at once by chirp-z transforms, with their own bound.
    // The rotation tables of the direct sums (lanes x nQ) are as large as the transforms'
    // arrays: they are let go while the transforms serve, and made again for a later group
    // that needs them.
    std::vector<double> chirpz_bound;
    if (!c.tail) {
      if (!chirpz_) chirpz_ = std::make_unique<ChirpzSums>(q_);
      if (chirpz_->cheaper(c)) {
        std::vector<double>().swap(lam_re_);
        std::vector<double>().swap(lam_im_);
        if (chirpz_->transform(c, threads_, s, chirpz_bound)) ++chirpz_groups_;
      }
    }
    if (chirpz_bound.empty() && lam_re_.empty()) rotations();
    const int nblocks = chirpz_bound.empty() ? c.count / kBlockBins : 0;
    const int nchunks = (nq + kQChunk - 1) / kQChunk;
    const auto L = static_cast<std::size_t>(lanes_);
    std::atomic<int> done{0};
    const StopFlag* stop = current_stop_flag();
    // Nothing in the loop allocates: no exception can leave it.
#pragma omp parallel for schedule(dynamic, 1) num_threads(threads_)
    for (int ch = 0; ch < nchunks; ++ch) {
      if (stop != nullptr && stop->requested()) continue;
      if (omp_get_thread_num() == 0) within(static_cast<double>(done) / nchunks);
      ++done;
      const int k0 = ch * kQChunk, k1 = std::min(nq, k0 + kQChunk);
      for (int b = 0; b < nblocks; ++b) {
        if (!c.used[static_cast<std::size_t>(b)]) continue;
        for (int k = k0; k < k1; ++k) {
          const auto ku = static_cast<std::size_t>(k);
          const double qk = q_[ku];
          if (qk == 0.0) continue;
          s[ku] += block_sum(c, b, qk, lam_re_.data() + ku * L, lam_im_.data() + ku * L,
                             rho_re_[ku], rho_im_[ku]);
        }
      }
    }
    throw_if_stopped(stop);
    const double cp = gs.partial >= 0 ? gs.c_partial : 0.0;
    const double ct = gs.c_total;
    const auto total = static_cast<std::size_t>(nblocks_ - 1);
    const auto nqs = q_.size();
    const double small_q = c.tail ? 0.0 : kSmallQr / st.c_max;
    std::array<double, kSeriesTerms> powers{};
    if (std::any_of(q_.begin(), q_.end(),
                    [&](float v) { return std::abs(static_cast<double>(v)) < small_q; })) {
      powers = small_q_sums(h, window_);
    }
    for (std::size_t k = 0; k < nqs; ++k) {
      const double qk = q_[k];
      const double tg = gs.damped && !gs.per_pair
                            ? std::exp(-0.5 * (double{gs.u} * qk) * (double{gs.u} * qk))
                            : 1.0;
      double v = qk == 0.0 ? (window_ > 0.0 ? st.weighted : st.pairs) : tg * s[k] / qk;
      const double extra = chirpz_bound.empty() ? 0.0 : chirpz_bound[k];
      // With the window, the derivatives of sinc(a r) sin(Q r) / r are bounded as those of
      // sin(Q r) / r with Q + a for Q: |d^k sinc(a r) / dr^k| <= a^k.
      const double qb = window_ > 0.0 ? std::abs(qk) + window_ : qk;
      double e = qk == 0.0 ? 0.0 : tg * (group_bound(st, c.tail, qb) + extra) / std::abs(qk);
      if (qk != 0.0 && std::abs(qk) < small_q) {
        // sinc(Q r) = sum_k (-Q^2 r^2)^k / (2k + 1)!, from the power sums.
        double series = 0.0, factor = 1.0;
        for (int n = 0; n < kSeriesTerms; ++n) {
          series += factor * powers[static_cast<std::size_t>(n)];
          factor *= -qk * qk / ((2.0 * n + 2.0) * (2.0 * n + 3.0));
        }
        v = tg * series;
        // The series' rest (below its first term left out), the third-order rest of each bin
        // (|d^4 (w sinc(Q r)) / dr^4| <= 16 (a + Q)^4, d <= half a bin) and the roundings.
        const double x = std::abs(qk) * st.c_max, xa = window_ + std::abs(qk);
        const double rest = std::abs(factor) * std::pow(st.c_max, 2.0 * kSeriesTerms) +
                            16.0 * std::pow(xa * kHalfWidth, 4.0) / 24.0 +
                            1e-15 * kSeriesTerms * (1.0 + x);
        e = tg * st.pairs * rest;
      }
      if (cp != 0.0) {
        const auto at = static_cast<std::size_t>(gs.partial) * nqs + k;
        value_[at] += cp * v;
        bound_[at] += std::abs(cp) * e;
      }
      if (ct != 0.0) {
        value_[total * nqs + k] += ct * v;
        bound_[total * nqs + k] += std::abs(ct) * e;
      }
    }
    return true;
  }

  // Pairs outside the bins, term by term in double, in a fixed order.
  void add_direct(std::vector<DirectTerm>& direct) {
    std::sort(direct.begin(), direct.end(),
              [](const DirectTerm& a, const DirectTerm& b) { return a.key() < b.key(); });
    const auto nqs = q_.size();
    const auto total = static_cast<std::size_t>(nblocks_ - 1);
    struct Term {
      double r, u, window, cp, ct;
      std::size_t partial;
      bool damped;
    };
    std::vector<Term> terms;
    terms.reserve(direct.size());
    for (const DirectTerm& d : direct) {
      const GroupSpec& gs = plan_.groups[static_cast<std::size_t>(d.gid)];
      const double r = d.r;
      terms.push_back({r, d.u, window_ > 0.0 ? sinc_window_taylor(window_, r)[0] : 1.0,
                       gs.partial >= 0 ? gs.c_partial : 0.0, gs.c_total,
                       gs.partial >= 0 ? static_cast<std::size_t>(gs.partial) : 0,
                       gs.damped || gs.per_pair});
    }
    // Q values shared out over the threads; each Q's value takes the terms in their sorted
    // order, as one thread would.
    const StopFlag* stop = current_stop_flag();
#pragma omp parallel for schedule(static) num_threads(threads_)
    for (std::int64_t kk = 0; kk < static_cast<std::int64_t>(nqs); ++kk) {
      if (stop != nullptr && stop->requested()) continue;
      const auto k = static_cast<std::size_t>(kk);
      const double qk = q_[k];
      for (const Term& t : terms) {
        const double x = qk * t.r;
        double term = x == 0.0 ? 1.0 : std::sin(x) / x;
        if (t.damped) term *= std::exp(-0.5 * (t.u * qk) * (t.u * qk));
        term *= t.window;
        if (t.cp != 0.0) value_[t.partial * nqs + k] += t.cp * term;
        if (t.ct != 0.0) value_[total * nqs + k] += t.ct * term;
      }
    }
    throw_if_stopped(stop);
  }

  void set_window(double a) { window_ = a; }

  void add_values(int block, std::span<const double> values) {
    const auto nq = q_.size();
    const auto at = static_cast<std::size_t>(block) * nq;
    for (std::size_t k = 0; k < nq && k < values.size(); ++k) value_[at + k] += values[k];
  }

  void set_scale_floor(int block, double scale) {
    floor_.resize(static_cast<std::size_t>(nblocks_), 0.0);
    floor_.at(static_cast<std::size_t>(block)) = std::abs(scale);
  }

  bool finish(std::vector<std::vector<float>>& out, MomentsReport& report) const {
    const auto nq = q_.size();
    const auto nb = static_cast<std::size_t>(nblocks_);
    bool ok = true;
    report.bound.assign(nb, 0.0);
    report.chirpz_groups = chirpz_groups_;
    std::vector<std::vector<float>> blocks(nb, std::vector<float>(nq, 0.0f));
    for (std::size_t b = 0; b < nb; ++b) {
      double vmax = 0, bmax = 0;
      for (std::size_t k = 0; k < nq; ++k) {
        const float v = static_cast<float>(value_[b * nq + k]);
        blocks[b][k] = v;
        vmax = std::max(vmax, static_cast<double>(std::abs(v)));
        bmax = std::max(bmax, bound_[b * nq + k]);
      }
      const double scale = std::max(vmax, floor_.empty() ? 0.0 : floor_[b]);
      if (!(bmax <= kSafety * kTolerance * scale)) ok = false;
      report.bound[b] = scale > 0 ? bmax / scale : bmax;
    }
    report.accepted = ok;
    if (ok) out = std::move(blocks);
    return ok;
  }

 private:
  std::span<const float> q_;
  const GroupPlan& plan_;
  int nblocks_ = 1;
  int threads_ = 1;
  int lanes_ = 1;
  std::vector<double> lam_re_, lam_im_, rho_re_, rho_im_;
  std::vector<double> value_, bound_;
  std::vector<double> floor_;
  std::unique_ptr<ChirpzSums> chirpz_;
  int chirpz_groups_ = 0;
  double window_ = 0.0;
};

QSums::QSums(std::span<const float> q, const GroupPlan& plan, int nblocks, int threads)
    : impl_(std::make_unique<Impl>(q, plan, nblocks, threads)) {}
QSums::~QSums() = default;

bool QSums::add_group(int gid, const Histogram& h, const std::function<void(double)>& within) {
  return impl_->add_group(gid, h, within);
}
void QSums::set_window(double a) { impl_->set_window(a); }
void QSums::set_scale_floor(int block, double scale) { impl_->set_scale_floor(block, scale); }
void QSums::add_direct(std::vector<DirectTerm>& direct) { impl_->add_direct(direct); }
void QSums::add_values(int block, std::span<const double> values) {
  impl_->add_values(block, values);
}
bool QSums::finish(std::vector<std::vector<float>>& out, MomentsReport& report) const {
  return impl_->finish(out, report);
}

}  // namespace zalmor::scatter::detail
