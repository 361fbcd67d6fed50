// The moments engine's kernels (docs/engines.md), compiled by Highway once per x86
// instruction set and chosen at run time: distances with their bins and offsets, and the
// sums of a block of bins at a set of Q values.
//
// Distances must equal dist() bit for bit (option 3 compares them with the cutoff, and each
// pair's bin depends on them): the build compiles this file with -ffp-contract=off.

// clang-format off
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "scatter/moments_simd.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>
#include <hwy/contrib/math/math-inl.h>
// clang-format on

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "scatter/distance-inl.h"
#include "scatter/histograms.hpp"
#include "scatter/moments_q_sums.hpp"

HWY_BEFORE_NAMESPACE();
namespace zalmor::scatter::detail {
namespace HWY_NAMESPACE {
namespace {

namespace hn = hwy::HWY_NAMESPACE;

using DF = hn::ScalableTag<float>;
using DI = hn::RebindToSigned<DF>;
using DD = hn::ScalableTag<double>;
using VF = hn::Vec<DF>;
using VD = hn::Vec<DD>;

// The sum over one block of bins at one q. Two chains of bins (the block's halves) run side
// by side, so that the latencies of their rotations overlap. Each starts from an exact
// exp(i q c) at its first bin and turns by exp(i q w L) per vector of L bins.
template <bool kTail>
HWY_INLINE double BlockSumAt(const BinCoefficients& c, int block, double q, const double* lam_re,
                             const double* lam_im, double rho_re, double rho_im) {
  const DD dd;
  const std::size_t L = hn::Lanes(dd);
  constexpr int kHalf = kBlockBins / 2;
  const std::size_t base = static_cast<std::size_t>(block) * kBlockBins;
  const VD lre = hn::LoadU(dd, lam_re), lim = hn::LoadU(dd, lam_im);
  VD zr[2], zi[2];
  for (int h = 0; h < 2; ++h) {
    const double centre =
        (static_cast<double>(c.lo + static_cast<int>(base) + h * kHalf) + 0.5) * kBinWidth;
    const double th = q * centre;
    const VD s = hn::Set(dd, std::sin(th)), co = hn::Set(dd, std::cos(th));
    zr[h] = hn::NegMulAdd(lim, s, hn::Mul(lre, co));
    zi[h] = hn::MulAdd(lim, co, hn::Mul(lre, s));
  }
  const VD q2 = hn::Set(dd, q * q);
  const VD minus_half_q2 = hn::Set(dd, -0.5 * q * q);
  const VD rr = hn::Set(dd, rho_re), ri = hn::Set(dd, rho_im);
  VD acc_s[2] = {hn::Zero(dd), hn::Zero(dd)};
  VD acc_c[2] = {hn::Zero(dd), hn::Zero(dd)};
  for (std::size_t k = 0; k < kHalf; k += L) {
    for (int h = 0; h < 2; ++h) {
      const std::size_t at = base + static_cast<std::size_t>(h * kHalf) + k;
      VD p, cq;
      if constexpr (kTail) {
        p = hn::MulAdd(
            q2, hn::MulAdd(q2, hn::LoadU(dd, c.p4.data() + at), hn::LoadU(dd, c.p2.data() + at)),
            hn::LoadU(dd, c.p0.data() + at));
        cq = hn::MulAdd(
            q2, hn::MulAdd(q2, hn::LoadU(dd, c.q5.data() + at), hn::LoadU(dd, c.q3.data() + at)),
            hn::LoadU(dd, c.q1.data() + at));
        const VD t = hn::Exp(dd, hn::Mul(minus_half_q2, hn::LoadU(dd, c.g0.data() + at)));
        p = hn::Mul(p, t);
        cq = hn::Mul(cq, t);
      } else {
        p = hn::MulAdd(q2, hn::LoadU(dd, c.p2.data() + at), hn::LoadU(dd, c.p0.data() + at));
        cq = hn::MulAdd(q2, hn::LoadU(dd, c.q3.data() + at), hn::LoadU(dd, c.q1.data() + at));
      }
      acc_s[h] = hn::MulAdd(zi[h], p, acc_s[h]);
      acc_c[h] = hn::MulAdd(zr[h], cq, acc_c[h]);
      const VD nr = hn::NegMulAdd(zi[h], ri, hn::Mul(zr[h], rr));
      zi[h] = hn::MulAdd(zi[h], rr, hn::Mul(zr[h], ri));
      zr[h] = nr;
    }
  }
  const double s = hn::GetLane(hn::SumOfLanes(dd, hn::Add(acc_s[0], acc_s[1])));
  const double co = hn::GetLane(hn::SumOfLanes(dd, hn::Add(acc_c[0], acc_c[1])));
  return s + q * co;
}

}  // namespace

double BlockSum(const BinCoefficients& c, int block, double q, const double* lam_re,
                const double* lam_im, double rho_re, double rho_im) {
  return c.tail ? BlockSumAt<true>(c, block, q, lam_re, lam_im, rho_re, rho_im)
                : BlockSumAt<false>(c, block, q, lam_re, lam_im, rho_re, rho_im);
}

void BinDistances(const PairSource& a, int i, int j0, int n, float* out, std::int32_t* bin,
                  std::int32_t* offset) {
  const DF df;
  const DI di;
  const std::size_t L = hn::Lanes(df);
  const auto iu = static_cast<std::size_t>(i);
  const VF exact_from = hn::Set(df, kExactFrom);
  const auto none = hn::Set(di, -1);
  std::size_t m = 0;
  const auto nn = static_cast<std::size_t>(n);
  const auto j = static_cast<std::size_t>(j0);
  for (; m + L <= nn; m += L) {
    const VF r = PairDistances(df, a, iu, j + m);
    hn::StoreU(r, df, out + m);
    hn::Vec<DI> b, d;
    BinsAndOffsets(df, di, r, b, d);
    // Distances below kExactFrom (or not numbers) take no bin: -1 is outside every histogram.
    const auto binned = hn::RebindMask(di, hn::Ge(r, exact_from));
    hn::StoreU(hn::IfThenElse(binned, b, none), di, bin + m);
    hn::StoreU(d, di, offset + m);
  }
  for (; m < nn; ++m) {
    const float r = PairDistance(a, iu, j + m);
    out[m] = r;
    bin_and_offset(r, bin[m], offset[m]);
    if (!(r >= kExactFrom)) bin[m] = -1;
  }
}

// Bins as addresses, 64-bit lanes: the sink where a bin is outside the histogram.
int BinPointers(const std::int32_t* bin, int n, Histogram& h, BinMoments* sink, BinMoments** to) {
  static_assert(sizeof(BinMoments) == 32 && sizeof(BinMoments*) == sizeof(std::int64_t));
  const hn::RebindToSigned<DD> d64;
  const hn::Rebind<std::int32_t, DD> d32;
  const std::size_t L = hn::Lanes(d64);
  const auto lo = hn::Set(d64, static_cast<std::int64_t>(h.lo));
  const auto size = hn::Set(d64, static_cast<std::int64_t>(h.bins.size()));
  const auto minus_one = hn::Set(d64, std::int64_t{-1});
  const auto base =
      hn::Set(d64, static_cast<std::int64_t>(reinterpret_cast<std::uintptr_t>(h.bins.data())));
  const auto other =
      hn::Set(d64, static_cast<std::int64_t>(reinterpret_cast<std::uintptr_t>(sink)));
  const auto nn = static_cast<std::size_t>(n);
  std::size_t m = 0;
  std::size_t outside = 0;
  for (; m + L <= nn; m += L) {
    const auto at = hn::Sub(hn::PromoteTo(d64, hn::LoadU(d32, bin + m)), lo);
    const auto in = hn::And(hn::Gt(at, minus_one), hn::Gt(size, at));
    const auto addr = hn::IfThenElse(in, hn::Add(base, hn::ShiftLeft<5>(at)), other);
    hn::StoreU(addr, d64, reinterpret_cast<std::int64_t*>(to + m));
    outside += L - hn::CountTrue(d64, in);
  }
  for (; m < nn; ++m) {
    const auto at = static_cast<std::uint32_t>(bin[m] - h.lo);
    if (at < h.bins.size()) {
      to[m] = h.bins.data() + at;
    } else {
      to[m] = sink;
      ++outside;
    }
  }
  return static_cast<int>(outside);
}

// Each pair's moments formed as it is added (as add_moments does), with the bins of later pairs
// on their way to the cache: an addition waits on its bin, which a pass over a large model
// seldom finds there. (Records formed a vector at a time and stored for this loop cost more
// than the scalar products they save.)
void AddPairs(BinMoments* const* to, const std::int32_t* offset, int n) {
  constexpr int kAhead = 16;
  for (int m = 0; m < n; ++m) {
    if (m + kAhead < n) __builtin_prefetch(to[m + kAhead], 1, 3);
    add_moments(*to[m], offset[m]);
  }
}

int DoubleLanes() { return static_cast<int>(hn::Lanes(DD())); }

}  // namespace HWY_NAMESPACE
}  // namespace zalmor::scatter::detail
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace zalmor::scatter::detail {

HWY_EXPORT(BlockSum);
HWY_EXPORT(BinDistances);
HWY_EXPORT(DoubleLanes);
HWY_EXPORT(AddPairs);
HWY_EXPORT(BinPointers);

void bin_distances(const PairSource& atoms, int i, int j0, int n, float* r, std::int32_t* bin,
                   std::int32_t* offset) {
  HWY_DYNAMIC_DISPATCH(BinDistances)(atoms, i, j0, n, r, bin, offset);
}

int bin_pointers(const std::int32_t* bin, int n, Histogram& h, BinMoments* sink, BinMoments** to) {
  return HWY_DYNAMIC_DISPATCH(BinPointers)(bin, n, h, sink, to);
}

void add_pairs(BinMoments* const* to, const std::int32_t* offset, int n) {
  HWY_DYNAMIC_DISPATCH(AddPairs)(to, offset, n);
}

double block_sum(const BinCoefficients& c, int block, double q, const double* lam_re,
                 const double* lam_im, double rho_re, double rho_im) {
  return HWY_DYNAMIC_DISPATCH(BlockSum)(c, block, q, lam_re, lam_im, rho_re, rho_im);
}

int double_lanes() { return HWY_DYNAMIC_DISPATCH(DoubleLanes)(); }

}  // namespace zalmor::scatter::detail
#endif
