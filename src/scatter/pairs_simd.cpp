// The pairs engine's kernels (docs/engines.md), compiled by Highway once per x86 instruction
// set and chosen at run time: the loop over pairs, the recurrences in Q and the direct double
// evaluation.
//
// Layout. A batch is a few blocks of L pairs (L = float lanes), one pair per lane. The Q
// values of a slab are split into L residues: residue l holds Q_l + v L h, v = 0, 1, ...,
// so every residue of a pair is a sequence in v with the step angle th = L h r, and
//   Chebyshev:       s(v+1) = 2 cos(th) s(v) - s(v-1)                      (1 FMA per step)
// gives sin(Q r) / r along it. The Chebyshev form loses accuracy like 1 / |sin th|, so pairs
// with th near 0 or pi use the
//   difference form: s(v+1) = s(v) + d(v),  d(v+1) = d(v) - 4 sin^2(th'/2) s(v+1)
// with th' the small angle from 0, or from pi with the sign of every other step flipped.
// The residues of a pair start from exp(i Q_l r), turned from one residue to the next in
// double precision, which is much cheaper than a sine per lane.
// The Gaussian exp(-u^2 (Q_l + v L h)^2 / 2) of a pair with its own u is E_l beta_l^v eta(v):
// the lane factor E_l, the geometric beta_l^v folded into a damped recurrence, and
// eta(v) = exp(-u^2 (L h)^2 v^2 / 2), the same for all residues, read from a small table.
// Each (residue, step) has a row of L floats that the pairs of the batch add to; rows are
// summed across lanes when the float sums are moved into double.
// Products and sums round as written: the distances must equal dist() bit for bit (option 3
// compares them with the cutoff), so the build compiles this file with -ffp-contract=off,
// and the kernels ask for their fused multiply-adds explicitly.

// clang-format off
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "scatter/pairs_simd.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>
#include <hwy/contrib/math/math-inl.h>
// clang-format on

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <vector>

#include "scatter/distance-inl.h"
#include "scatter/groups.hpp"
#include "scatter/pairs_engine.hpp"
#include "scatter/pairs_kernels.hpp"

HWY_BEFORE_NAMESPACE();
namespace zalmor::scatter::detail {
namespace HWY_NAMESPACE {
namespace {

namespace hn = hwy::HWY_NAMESPACE;

using DF = hn::ScalableTag<float>;
using DD = hn::ScalableTag<double>;
using DFH = hn::Rebind<float, DD>;  // as many floats as DD has doubles
using VF = hn::Vec<DF>;
using VD = hn::Vec<DD>;
// Double vectors per float vector: 2, or 1 on the scalar target.
constexpr int kHalves = hn::MaxLanes(DF()) > hn::MaxLanes(DD()) ? 2 : 1;

#if HWY_TARGET == HWY_AVX3 || HWY_TARGET == HWY_AVX3_DL
constexpr int kPlainBlocks = 8;  // 32 vector registers
constexpr int kRichBlocks = 4;
constexpr int kDoubleBlocks = 2;
#else
constexpr int kPlainBlocks = 4;  // 16 vector registers
constexpr int kRichBlocks = 2;
constexpr int kDoubleBlocks = 1;
#endif

constexpr double kTwoPi = 6.283185307179586476925;
constexpr double kPi = 3.141592653589793238463;
constexpr double kEpsF = 5.9604644775390625e-8;  // 2^-24
// exp(-kGaussCut^2 / 2) = kGaussFloor: thermal factors below it are dropped.
constexpr double kGaussCut = 6.4377516497364;  // sqrt(2 ln 1e9)

// x reduced to about [-pi, pi] by whole turns, accurate for |x| up to kMaxPhase.
HWY_INLINE VD Reduce2Pi(VD x) {
  const DD dd;
  const VD n = hn::Round(hn::Mul(x, hn::Set(dd, 1.0 / kTwoPi)));
  x = hn::NegMulAdd(n, hn::Set(dd, 6.2831852436065673828), x);
  x = hn::NegMulAdd(n, hn::Set(dd, 6.3573018849183426938e-8), x);
  x = hn::NegMulAdd(n, hn::Set(dd, 2.4492935728214377004e-16), x);
  x = hn::NegMulAdd(n, hn::Set(dd, 2.5473268654043799632e-24), x);
  return x;
}

// sin and cos of x in [-pi, pi], double precision, sharing one reduction to [-pi/4, pi/4].
HWY_INLINE void SinCos(VD x, VD& s, VD& c) {
  const DD dd;
  const VD q = hn::Round(hn::Mul(x, hn::Set(dd, 2.0 / kPi)));
  VD y = hn::NegMulAdd(q, hn::Set(dd, 1.57079632673412561417e+00), x);
  y = hn::NegMulAdd(q, hn::Set(dd, 6.07710050630396597660e-11), y);
  y = hn::NegMulAdd(q, hn::Set(dd, 2.02226624879595063154e-21), y);
  const VD z = hn::Mul(y, y);
  VD ps = hn::Set(dd, 1.58969099521155010221e-10);
  ps = hn::MulAdd(ps, z, hn::Set(dd, -2.50507602534068634195e-08));
  ps = hn::MulAdd(ps, z, hn::Set(dd, 2.75573137070700676789e-06));
  ps = hn::MulAdd(ps, z, hn::Set(dd, -1.98412698298579493134e-04));
  ps = hn::MulAdd(ps, z, hn::Set(dd, 8.33333333332248946124e-03));
  ps = hn::MulAdd(ps, z, hn::Set(dd, -1.66666666666666324348e-01));
  const VD sy = hn::MulAdd(hn::Mul(ps, z), y, y);
  VD pc = hn::Set(dd, -1.13596475577881948265e-11);
  pc = hn::MulAdd(pc, z, hn::Set(dd, 2.08757232129817482790e-09));
  pc = hn::MulAdd(pc, z, hn::Set(dd, -2.75573143513906633035e-07));
  pc = hn::MulAdd(pc, z, hn::Set(dd, 2.48015872894767294178e-05));
  pc = hn::MulAdd(pc, z, hn::Set(dd, -1.38888888888741095749e-03));
  pc = hn::MulAdd(pc, z, hn::Set(dd, 4.16666666666666019037e-02));
  const VD cy = hn::MulAdd(hn::Mul(pc, z), z, hn::NegMulAdd(hn::Set(dd, 0.5), z, hn::Set(dd, 1.0)));
  // Quadrant 0..3 of q.
  const VD q4 = hn::Sub(q, hn::Mul(hn::Set(dd, 4.0), hn::Floor(hn::Mul(q, hn::Set(dd, 0.25)))));
  const auto odd =
      hn::Eq(hn::Sub(q4, hn::Mul(hn::Set(dd, 2.0), hn::Floor(hn::Mul(q4, hn::Set(dd, 0.5))))),
             hn::Set(dd, 1.0));
  const VD s0 = hn::IfThenElse(odd, cy, sy);
  const VD c0 = hn::IfThenElse(odd, sy, cy);
  const auto neg_s = hn::Ge(q4, hn::Set(dd, 2.0));
  const auto neg_c = hn::And(hn::Ge(q4, hn::Set(dd, 1.0)), hn::Le(q4, hn::Set(dd, 2.0)));
  s = hn::IfThenElse(neg_s, hn::Neg(s0), s0);
  c = hn::IfThenElse(neg_c, hn::Neg(c0), c0);
}

// kHalves double vectors as one float vector (low half first).
HWY_INLINE VF Demote2(VD lo, [[maybe_unused]] VD hi) {
#if HWY_TARGET == HWY_SCALAR
  return hn::DemoteTo(DF(), lo);
#else
  return hn::Combine(DF(), hn::DemoteTo(hn::Half<DF>(), hi), hn::DemoteTo(hn::Half<DF>(), lo));
#endif
}

// One float vector from doubles in memory.
HWY_INLINE VF LoadDemote(const double* p) {
  const DD dd;
  return Demote2(hn::LoadU(dd, p), hn::LoadU(dd, p + (kHalves - 1) * hn::Lanes(dd)));
}

// Lane indices that move the lanes selected by the mask bits to the front: row `bits` of
// Lanes(DD) indices. (Compressing through a table lookup in registers: the library's own
// compress of 64-bit lanes copies a table on every call, and the compressing store to
// memory is microcoded on some processors.)
const std::int64_t* CompressIndices() {
  static const std::vector<std::int64_t> table = [] {
    const auto nd = hn::Lanes(DD());
    std::vector<std::int64_t> t((std::size_t{1} << nd) * nd);
    for (std::size_t bits = 0; bits < (std::size_t{1} << nd); ++bits) {
      std::size_t at = bits * nd;
      for (std::size_t l = 0; l < nd; ++l) {
        if ((bits >> l) & 1) t[at++] = static_cast<std::int64_t>(l);
      }
      for (std::size_t l = 0; l < nd; ++l) {
        if (!((bits >> l) & 1)) t[at++] = static_cast<std::int64_t>(l);
      }
    }
    return t;
  }();
  return table.data();
}

template <int N>
HWY_INLINE VF SumTree(const VF* v) {
  if constexpr (N == 1) {
    return v[0];
  } else {
    constexpr int kHalf = N / 2;
    return hn::Add(SumTree<kHalf>(v), SumTree<N - kHalf>(v + kHalf));
  }
}

// What the kernels of one slab share.
struct SlabCtx {
  int lanes = 0;
  int nv = 0;               // steps per residue (len_pad / lanes), even
  double q_first = 0;       // Q of residue 0, step 0 (uniform grid)
  double h = 0;             // grid step
  double step = 0;          // L h, the Q advance of one step
  int dlanes = 0;           // the double recurrences: lanes (= residues),
  int dnv = 0;              // steps per residue
  double dstep = 0;         // and the Q advance of one step
  AlignedArray<double> qd;  // stored Q as double, padded with 0
  AlignedArray<double> invq;
  AlignedArray<float> eta;  // kRichBlocks * nv * lanes
};

// The exp(i Q_l r) of the pairs of one block, in double: L lanes as two halves.
struct BlockPhase {
  VD c[kHalves], s[kHalves];    // current residue
  VD ca[kHalves], sa[kHalves];  // turn to the next residue
  VD k1[kHalves], k2[kHalves];
  VF inv_r;

  void load(const ReadyList& rl, int at) {
    const DD dd;
    const std::size_t nd = hn::Lanes(dd);
    for (int h = 0; h < kHalves; ++h) {
      const std::size_t o = static_cast<std::size_t>(at) + h * nd;
      c[h] = hn::LoadU(dd, rl.cphi.get() + o);
      s[h] = hn::LoadU(dd, rl.sphi.get() + o);
      ca[h] = hn::LoadU(dd, rl.calpha.get() + o);
      sa[h] = hn::LoadU(dd, rl.salpha.get() + o);
      k1[h] = hn::LoadU(dd, rl.k1.get() + o);
      k2[h] = hn::LoadU(dd, rl.k2.get() + o);
    }
    inv_r = LoadDemote(rl.inv_r.get() + at);
  }
  // sin(Q_l r) / r and Im(exp(i Q_l r) (k1 + i k2)) / r of the current residue.
  void values(VF& t, VF& aux) const {
    VD a[kHalves];
    for (int h = 0; h < kHalves; ++h) a[h] = hn::MulAdd(s[h], k1[h], hn::Mul(c[h], k2[h]));
    t = hn::Mul(Demote2(s[0], s[kHalves - 1]), inv_r);
    aux = hn::Mul(Demote2(a[0], a[kHalves - 1]), inv_r);
  }
  // cos(Q_l r) and Re(exp(i Q_l r) (k1 + i k2)), for the move to the stored grid.
  void cos_values(VF& w, VF& aux) const {
    VD a[kHalves];
    for (int h = 0; h < kHalves; ++h) a[h] = hn::NegMulAdd(s[h], k2[h], hn::Mul(c[h], k1[h]));
    w = Demote2(c[0], c[kHalves - 1]);
    aux = Demote2(a[0], a[kHalves - 1]);
  }
  void next() {
    for (int h = 0; h < kHalves; ++h) {
      const VD cn = hn::NegMulAdd(s[h], sa[h], hn::Mul(c[h], ca[h]));
      s[h] = hn::MulAdd(s[h], ca[h], hn::Mul(c[h], sa[h]));
      c[h] = cn;
    }
  }
};

HWY_INLINE float* Row(float* a, const SlabCtx& sc, int l, int v) {
  return a + (static_cast<std::size_t>(l) * static_cast<std::size_t>(sc.nv) +
              static_cast<std::size_t>(v)) *
                 static_cast<std::size_t>(sc.lanes);
}

// ---------------------------------------------------------------------------------------
// Recurrence kernels: P blocks of one group and one kind, every residue and step.

template <int P, bool kCos>
HWY_NOINLINE void ChebyshevBatch(const SlabCtx& sc, const ReadyList& rl, float* HWY_RESTRICT s32,
                                 float* HWY_RESTRICT c32) {
  const DF df;
  const std::size_t L = hn::Lanes(df);
  BlockPhase ph[P];
  VF cc[P];
  for (int p = 0; p < P; ++p) {
    ph[p].load(rl, p * static_cast<int>(L));
    cc[p] = LoadDemote(rl.coef.get() + p * L);
  }
  for (int l = 0; l < sc.lanes; ++l) {
    VF t[P], tp[P];
    for (int p = 0; p < P; ++p) ph[p].values(t[p], tp[p]);
    float* row = Row(s32, sc, l, 0);
    for (int v = 0; v < sc.nv; v += 2, row += 2 * L) {
      hn::Store(hn::Add(hn::Load(df, row), SumTree<P>(t)), df, row);
      for (int p = 0; p < P; ++p) tp[p] = hn::MulSub(cc[p], t[p], tp[p]);
      hn::Store(hn::Add(hn::Load(df, row + L), SumTree<P>(tp)), df, row + L);
      for (int p = 0; p < P; ++p) t[p] = hn::MulSub(cc[p], tp[p], t[p]);
    }
    if constexpr (kCos) {
      VF w[P], wp[P];
      for (int p = 0; p < P; ++p) ph[p].cos_values(w[p], wp[p]);
      float* crow = Row(c32, sc, l, 0);
      for (int v = 0; v < sc.nv; v += 2, crow += 2 * L) {
        hn::Store(hn::Add(hn::Load(df, crow), SumTree<P>(w)), df, crow);
        for (int p = 0; p < P; ++p) wp[p] = hn::MulSub(cc[p], w[p], wp[p]);
        hn::Store(hn::Add(hn::Load(df, crow + L), SumTree<P>(wp)), df, crow + L);
        for (int p = 0; p < P; ++p) w[p] = hn::MulSub(cc[p], wp[p], w[p]);
      }
    }
    for (int p = 0; p < P; ++p) ph[p].next();
  }
}

template <int P, bool kAlt>
HWY_INLINE void DifferenceRun(const SlabCtx& sc, float* row, VF* s, VF* d, const VF* lam) {
  const DF df;
  const std::size_t L = hn::Lanes(df);
  // Half the pairs add with an FMA unit, so that adders and multipliers share the work.
  const VF one = hn::Set(df, 1.0f);
  auto advance = [&] {
    for (int p = 0; p < P; ++p) {
      s[p] = p < P / 2 ? hn::MulAdd(d[p], one, s[p]) : hn::Add(s[p], d[p]);
      d[p] = hn::NegMulAdd(lam[p], s[p], d[p]);
    }
  };
  for (int v = 0; v < sc.nv; v += 2, row += 2 * L) {
    hn::Store(hn::Add(hn::Load(df, row), SumTree<P>(s)), df, row);
    advance();
    const VF odd = SumTree<P>(s);
    hn::Store(kAlt ? hn::Sub(hn::Load(df, row + L), odd) : hn::Add(hn::Load(df, row + L), odd), df,
              row + L);
    advance();
  }
}

template <int P, bool kAlt, bool kCos>
HWY_NOINLINE void DifferenceBatch(const SlabCtx& sc, const ReadyList& rl, float* HWY_RESTRICT s32,
                                  float* HWY_RESTRICT c32) {
  const DF df;
  const std::size_t L = hn::Lanes(df);
  BlockPhase ph[P];
  VF lam[P];
  for (int p = 0; p < P; ++p) {
    ph[p].load(rl, p * static_cast<int>(L));
    lam[p] = LoadDemote(rl.coef.get() + p * L);
  }
  for (int l = 0; l < sc.lanes; ++l) {
    VF s[P], d[P];
    for (int p = 0; p < P; ++p) ph[p].values(s[p], d[p]);
    DifferenceRun<P, kAlt>(sc, Row(s32, sc, l, 0), s, d, lam);
    if constexpr (kCos) {
      for (int p = 0; p < P; ++p) ph[p].cos_values(s[p], d[p]);
      DifferenceRun<P, kAlt>(sc, Row(c32, sc, l, 0), s, d, lam);
    }
    for (int p = 0; p < P; ++p) ph[p].next();
  }
}

// Steps of residue l that a batch of pairs with their own u needs: past
// Q = kGaussCut / u_min every term is below kGaussFloor of its sinc and is left out.
HWY_INLINE int GaussSteps(const SlabCtx& sc, double u_min, int l) {
  if (!(u_min > 0.0) || !(sc.q_first >= 0.0) || !(sc.h > 0.0)) return sc.nv;
  const double q_cut = kGaussCut / u_min;
  const double ql = sc.q_first + l * sc.h;
  const double steps = std::ceil((q_cut - ql) / sc.step) + 1.0;
  if (!(steps < sc.nv)) return sc.nv;
  const int v = std::max(0, static_cast<int>(steps));
  return std::min(sc.nv, v + (v % 2));
}

// Smallest u of the real pairs (padding pairs have 1 / r = 0) of a batch.
HWY_INLINE double BatchMinU(const ReadyList& rl, int n) {
  double u_min = 1e300;
  for (int m = 0; m < n; ++m) {
    const auto mu = static_cast<std::size_t>(m);
    if (rl.inv_r[mu] != 0.0) u_min = std::min(u_min, std::abs(rl.u[mu]));
  }
  return u_min;
}

// eta(v) = exp(-c v^2), c = u^2 (L h)^2 / 2, for the pairs of P blocks (lanes), as rows
// eta[p][v * L], v < steps. A recurrence in v, restarted from the exponential every 16 steps;
// the blocks' chains are interleaved so that their latencies overlap.
template <int P>
HWY_INLINE void EtaTables(const SlabCtx& sc, const VF* u2, float* const* eta, int steps) {
  const DF df;
  const std::size_t L = hn::Lanes(df);
  VF c[P], shrink[P], e[P], ratio[P];
  for (int p = 0; p < P; ++p) {
    c[p] = hn::Mul(u2[p], hn::Set(df, static_cast<float>(0.5 * sc.step * sc.step)));
    shrink[p] = hn::Neg(hn::Expm1(df, hn::Mul(hn::Set(df, -2.0f), c[p])));  // 1 - exp(-2c)
    // Set at v = 0 below; zero here only so that no compiler sees them read unset.
    e[p] = hn::Zero(df);
    ratio[p] = hn::Zero(df);
  }
  for (int v = 0; v < steps; ++v) {
    if (v % 16 == 0) {
      const float fv = static_cast<float>(v);
      for (int p = 0; p < P; ++p) {
        e[p] = hn::Exp(df, hn::Mul(hn::Set(df, -fv * fv), c[p]));
        ratio[p] = hn::Exp(df, hn::Mul(hn::Set(df, -(2.0f * fv + 1.0f)), c[p]));
      }
    }
    for (int p = 0; p < P; ++p) {
      hn::Store(e[p], df, eta[p] + static_cast<std::size_t>(v) * L);
      e[p] = hn::Mul(e[p], ratio[p]);
      ratio[p] = hn::NegMulAdd(ratio[p], shrink[p], ratio[p]);
    }
  }
}

// Lane factors of residue l: E = exp(-u^2 Q_l^2 / 2) and beta = exp(-u^2 Q_l L h).
HWY_INLINE void GaussLanes(const SlabCtx& sc, int l, VF u2, VF& e, VF& beta) {
  const DF df;
  const double ql = sc.q_first + l * sc.h;
  e = hn::Exp(df, hn::Mul(u2, hn::Set(df, static_cast<float>(-0.5 * ql * ql))));
  beta = hn::Exp(df, hn::Mul(u2, hn::Set(df, static_cast<float>(-ql * sc.step))));
}

// Pairs with their own u, Chebyshev form damped by beta per step: z(v+1) = 2 beta cos(th)
// z(v) - beta^2 z(v-1), added with the weight eta(v).
template <int P, bool kCos>
HWY_NOINLINE void GaussChebyshevBatch(const SlabCtx& sc, const ReadyList& rl,
                                      float* HWY_RESTRICT s32, float* HWY_RESTRICT c32,
                                      float* HWY_RESTRICT u32) {
  const DF df;
  const std::size_t L = hn::Lanes(df);
  BlockPhase ph[P];
  VF u2[P], cth[P];
  float* eta[P];
  for (int p = 0; p < P; ++p) {
    ph[p].load(rl, p * static_cast<int>(L));
    const VF u = LoadDemote(rl.u.get() + p * L);
    u2[p] = hn::Mul(u, u);
    cth[p] = LoadDemote(rl.cos_th.get() + p * L);
    eta[p] = sc.eta.get() + static_cast<std::size_t>(p) * sc.nv * L;
  }
  const double u_min = BatchMinU(rl, P * static_cast<int>(L));
  EtaTables<P>(sc, u2, eta, GaussSteps(sc, u_min, 0));
  for (int l = 0; l < sc.lanes; ++l) {
    const int steps = GaussSteps(sc, u_min, l);
    VF z[P], zp[P], cc[P], dd[P], w[P], wp[P];
    for (int p = 0; p < P; ++p) {
      VF e, beta, t, aux;
      GaussLanes(sc, l, u2[p], e, beta);
      ph[p].values(t, aux);
      const VF back = hn::Div(e, beta);  // the damping one step back
      z[p] = hn::Mul(t, e);
      zp[p] = hn::Mul(aux, back);
      cc[p] = hn::Mul(hn::Add(beta, beta), cth[p]);
      dd[p] = hn::Mul(beta, beta);
      if constexpr (kCos) {
        VF wc, wa;
        ph[p].cos_values(wc, wa);
        w[p] = hn::Mul(wc, e);
        wp[p] = hn::Mul(wa, back);
      }
    }
    float* row = Row(s32, sc, l, 0);
    float* crow = kCos ? Row(c32, sc, l, 0) : nullptr;
    float* urow = kCos ? Row(u32, sc, l, 0) : nullptr;
    auto add = [&](int v, const VF* x, const VF* xc) {
      const std::size_t o = static_cast<std::size_t>(v) * L;
      VF a0 = hn::Load(df, row + o), a1 = hn::Zero(df);
      for (int p = 0; p < P; ++p) {
        const VF e = hn::Load(df, eta[p] + o);
        if (p % 2 == 0) {
          a0 = hn::MulAdd(e, x[p], a0);
        } else {
          a1 = hn::MulAdd(e, x[p], a1);
        }
      }
      hn::Store(hn::Add(a0, a1), df, row + o);
      if constexpr (kCos) {
        VF ac = hn::Load(df, crow + o), au = hn::Load(df, urow + o);
        for (int p = 0; p < P; ++p) {
          const VF e = hn::Load(df, eta[p] + o);
          ac = hn::MulAdd(e, xc[p], ac);
          au = hn::MulAdd(hn::Mul(e, u2[p]), x[p], au);
        }
        hn::Store(ac, df, crow + o);
        hn::Store(au, df, urow + o);
      }
    };
    for (int v = 0; v < steps; v += 2) {
      add(v, z, w);
      for (int p = 0; p < P; ++p) zp[p] = hn::MulSub(cc[p], z[p], hn::Mul(dd[p], zp[p]));
      if constexpr (kCos) {
        for (int p = 0; p < P; ++p) wp[p] = hn::MulSub(cc[p], w[p], hn::Mul(dd[p], wp[p]));
      }
      add(v + 1, zp, wp);
      for (int p = 0; p < P; ++p) z[p] = hn::MulSub(cc[p], zp[p], hn::Mul(dd[p], z[p]));
      if constexpr (kCos) {
        for (int p = 0; p < P; ++p) w[p] = hn::MulSub(cc[p], wp[p], hn::Mul(dd[p], w[p]));
      }
    }
    for (int p = 0; p < P; ++p) ph[p].next();
  }
}

// Pairs with their own u whose step angle is near 0 or pi: the difference form damped by
// beta, x(v+1) = beta x(v) + d(v), d(v+1) = beta (d(v) - lambda x(v+1)), weighted by eta(v).
template <int P, bool kAlt, bool kCos>
HWY_NOINLINE void GaussDifferenceBatch(const SlabCtx& sc, const ReadyList& rl,
                                       float* HWY_RESTRICT s32, float* HWY_RESTRICT c32,
                                       float* HWY_RESTRICT u32) {
  const DF df;
  const std::size_t L = hn::Lanes(df);
  BlockPhase ph[P];
  VF u2[P], lam[P];
  float* eta[P];
  for (int p = 0; p < P; ++p) {
    ph[p].load(rl, p * static_cast<int>(L));
    const VF u = LoadDemote(rl.u.get() + p * L);
    u2[p] = hn::Mul(u, u);
    lam[p] = LoadDemote(rl.coef.get() + p * L);
    eta[p] = sc.eta.get() + static_cast<std::size_t>(p) * sc.nv * L;
  }
  const double u_min = BatchMinU(rl, P * static_cast<int>(L));
  EtaTables<P>(sc, u2, eta, GaussSteps(sc, u_min, 0));
  int steps = sc.nv;
  auto run = [&](float* row, float* urow, VF* x, VF* d, const VF* beta) {
    for (int v = 0; v < steps; ++v) {
      const std::size_t o = static_cast<std::size_t>(v) * L;
      VF a = hn::Zero(df), au = hn::Zero(df);
      for (int p = 0; p < P; ++p) {
        const VF e = hn::Load(df, eta[p] + o);
        a = hn::MulAdd(e, x[p], a);
        if (urow != nullptr) au = hn::MulAdd(hn::Mul(e, u2[p]), x[p], au);
      }
      const bool negative = kAlt && (v % 2 == 1);
      hn::Store(negative ? hn::Sub(hn::Load(df, row + o), a) : hn::Add(hn::Load(df, row + o), a),
                df, row + o);
      if (urow != nullptr) {
        hn::Store(
            negative ? hn::Sub(hn::Load(df, urow + o), au) : hn::Add(hn::Load(df, urow + o), au),
            df, urow + o);
      }
      for (int p = 0; p < P; ++p) {
        x[p] = hn::MulAdd(beta[p], x[p], d[p]);
        d[p] = hn::Mul(beta[p], hn::NegMulAdd(lam[p], x[p], d[p]));
      }
    }
  };
  for (int l = 0; l < sc.lanes; ++l) {
    steps = GaussSteps(sc, u_min, l);
    VF x[P], d[P], beta[P];
    for (int p = 0; p < P; ++p) {
      VF e, t, aux;
      GaussLanes(sc, l, u2[p], e, beta[p]);
      ph[p].values(t, aux);
      x[p] = hn::Mul(t, e);
      d[p] = hn::Mul(aux, hn::Mul(e, beta[p]));
    }
    run(Row(s32, sc, l, 0), kCos ? Row(u32, sc, l, 0) : nullptr, x, d, beta);
    if constexpr (kCos) {
      for (int p = 0; p < P; ++p) {
        VF e, b, w, aux;
        GaussLanes(sc, l, u2[p], e, b);
        ph[p].cos_values(w, aux);
        x[p] = hn::Mul(w, e);
        d[p] = hn::Mul(aux, hn::Mul(e, b));
      }
      run(Row(c32, sc, l, 0), nullptr, x, d, beta);
    }
    for (int p = 0; p < P; ++p) ph[p].next();
  }
}

// Double precision: P blocks of Lanes(DD) pairs, each pair with the Chebyshev recurrence for
// sin(Q r) / r and for cos(Q r) (the move to the stored Q values needs both), and with its
// own Gaussian carried by its ratio from step to step. Rows of Lanes(DD) doubles per
// (residue, step), as for the float kernels.
template <int P, bool kGauss>
HWY_NOINLINE void DoubleBatch(const SlabCtx& sc, const ReadyList& rl, double* HWY_RESTRICT srow,
                              double* HWY_RESTRICT crow, double* HWY_RESTRICT urow) {
  const DD dd;
  const std::size_t L = hn::Lanes(dd);
  VD zc[P], zs[P], wc[P], ws[P], k1[P], k2[P], inv[P], cc[P], u2[P], gam[P];
  for (int p = 0; p < P; ++p) {
    const std::size_t o = static_cast<std::size_t>(p) * L;
    zc[p] = hn::LoadU(dd, rl.cphi.get() + o);
    zs[p] = hn::LoadU(dd, rl.sphi.get() + o);
    wc[p] = hn::LoadU(dd, rl.calpha.get() + o);
    ws[p] = hn::LoadU(dd, rl.salpha.get() + o);
    k1[p] = hn::LoadU(dd, rl.k1.get() + o);
    k2[p] = hn::LoadU(dd, rl.k2.get() + o);
    inv[p] = hn::LoadU(dd, rl.inv_r.get() + o);
    cc[p] = hn::LoadU(dd, rl.coef.get() + o);
    const VD u = hn::LoadU(dd, rl.u.get() + o);
    u2[p] = hn::Mul(u, u);
    gam[p] = hn::Exp(dd, hn::Mul(u2[p], hn::Set(dd, -sc.dstep * sc.dstep)));
  }
  for (int l = 0; l < sc.dlanes; ++l) {
    const double ql = sc.q_first + l * sc.h;
    VD t[P], tp[P], w[P], wp[P], g[P], rho[P];
    for (int p = 0; p < P; ++p) {
      t[p] = hn::Mul(zs[p], inv[p]);
      tp[p] = hn::Mul(hn::MulAdd(zs[p], k1[p], hn::Mul(zc[p], k2[p])), inv[p]);
      w[p] = zc[p];
      wp[p] = hn::NegMulAdd(zs[p], k2[p], hn::Mul(zc[p], k1[p]));
      if constexpr (kGauss) {
        g[p] = hn::Exp(dd, hn::Mul(u2[p], hn::Set(dd, -0.5 * ql * ql)));
        rho[p] = hn::Exp(dd, hn::Mul(u2[p], hn::Set(dd, -(ql + 0.5 * sc.dstep) * sc.dstep)));
      }
    }
    const std::size_t base = static_cast<std::size_t>(l) * static_cast<std::size_t>(sc.dnv) * L;
    auto add = [&](int v, const VD* x, const VD* y) {
      const std::size_t o = base + static_cast<std::size_t>(v) * L;
      VD as = hn::Load(dd, srow + o), ac = hn::Load(dd, crow + o);
      VD au = kGauss ? hn::Load(dd, urow + o) : hn::Zero(dd);
      for (int p = 0; p < P; ++p) {
        if constexpr (kGauss) {
          const VD sy = hn::Mul(x[p], g[p]);
          as = hn::Add(as, sy);
          ac = hn::MulAdd(y[p], g[p], ac);
          au = hn::MulAdd(u2[p], sy, au);
        } else {
          as = hn::Add(as, x[p]);
          ac = hn::Add(ac, y[p]);
        }
      }
      hn::Store(as, dd, srow + o);
      hn::Store(ac, dd, crow + o);
      if constexpr (kGauss) {
        hn::Store(au, dd, urow + o);
        for (int p = 0; p < P; ++p) {
          g[p] = hn::Mul(g[p], rho[p]);
          rho[p] = hn::Mul(rho[p], gam[p]);
        }
      }
    };
    for (int v = 0; v < sc.dnv; v += 2) {
      add(v, t, w);
      for (int p = 0; p < P; ++p) {
        tp[p] = hn::MulSub(cc[p], t[p], tp[p]);
        wp[p] = hn::MulSub(cc[p], w[p], wp[p]);
      }
      add(v + 1, tp, wp);
      for (int p = 0; p < P; ++p) {
        t[p] = hn::MulSub(cc[p], tp[p], t[p]);
        w[p] = hn::MulSub(cc[p], wp[p], w[p]);
      }
    }
    for (int p = 0; p < P; ++p) {
      const VD cn = hn::NegMulAdd(zs[p], ws[p], hn::Mul(zc[p], wc[p]));
      zs[p] = hn::MulAdd(zs[p], wc[p], hn::Mul(zc[p], ws[p]));
      zc[p] = cn;
    }
  }
}

// ---------------------------------------------------------------------------------------
// Direct evaluation: sinc(q r) T(q) at the stored Q values, in double, added to d64.

void DirectScalar(const Job& job, const SlabCtx& sc, double r, double u, bool damped,
                  double* HWY_RESTRICT d64) {
  for (int k = 0; k < job.len; ++k) {
    const double q = sc.qd[static_cast<std::size_t>(k)];
    const double x = q * r;
    double term = x == 0.0 ? 1.0 : std::sin(x) / x;
    if (damped) {
      const double a = u * q;
      term *= std::exp(-0.5 * a * a);
    }
    d64[k] += term;
  }
}

void DirectPair(const Job& job, const SlabCtx& sc, float r, float u, bool damped,
                double* HWY_RESTRICT d64) {
  const double rd = r;
  if (!(rd > 0.0) || !(rd * job.qmax_abs <= kMaxPhase)) {
    DirectScalar(job, sc, rd, u, damped, d64);
    return;
  }
  const DD dd;
  const std::size_t nd = hn::Lanes(dd);
  const VD rv = hn::Set(dd, rd), inv_r = hn::Set(dd, 1.0 / rd);
  const VD one = hn::Set(dd, 1.0), zero = hn::Zero(dd);
  const VD mhu2 = hn::Set(dd, -0.5 * static_cast<double>(u) * static_cast<double>(u));
  for (std::size_t k = 0; k < static_cast<std::size_t>(job.len); k += nd) {
    const VD q = hn::Load(dd, sc.qd.get() + k);
    const VD x = hn::Mul(q, rv);
    VD s, c;
    SinCos(Reduce2Pi(x), s, c);
    VD term = hn::IfThenElse(hn::Eq(x, zero), one,
                             hn::Mul(hn::Mul(s, hn::Load(dd, sc.invq.get() + k)), inv_r));
    if (damped) term = hn::Mul(term, hn::Exp(dd, hn::Mul(mhu2, hn::Mul(q, q))));
    hn::Store(hn::Add(hn::Load(dd, d64 + k), term), dd, d64 + k);
  }
}

// ---------------------------------------------------------------------------------------
// Groups: pending pairs, their preparation, batches and flushes.

// One vector of prepared pairs: the start and turn of exp(i Q r), the recurrence's
// coefficients, 1 / r, cos th and u (see ReadyList).
struct PreparedLanes {
  VD cphi, sphi, calpha, salpha, k1, k2, inv_r, coef, cos_th, u;
};

class Engine {
 public:
  Engine(const Job& job, ChunkState& st) : job_(job), st_(st) {
    const DF df;
    sc_.lanes = static_cast<int>(hn::Lanes(df));
    sc_.nv = job.len_pad / sc_.lanes;
    sc_.h = job.h;
    sc_.step = sc_.lanes * job.h;
    sc_.q_first = job.q0 + static_cast<double>(job.k0) * job.h;
    sc_.dlanes = static_cast<int>(hn::Lanes(DD()));
    sc_.dnv = job.len_pad / sc_.dlanes;
    sc_.dstep = sc_.dlanes * job.h;
    sc_.qd = zeroed_array<double>(job.len_pad);
    sc_.invq = zeroed_array<double>(job.len_pad);
    for (int k = 0; k < job.len; ++k) {
      const double qk = job.q[static_cast<std::size_t>(job.k0 + k)];
      sc_.qd[static_cast<std::size_t>(k)] = qk;
      sc_.invq[static_cast<std::size_t>(k)] = qk != 0.0 ? 1.0 / qk : 0.0;
    }
    sc_.eta = zeroed_array<float>(kRichBlocks * sc_.nv * sc_.lanes);
    st_.len_pad = job.len_pad;
    st_.mode = job.mode;
  }

  void run() {
    const PairSource& a = *job_.atoms;
    const GroupPlan& plan = *job_.plan;
    const int nt = plan.ntypes;
    std::vector<float> rbuf(kRowBlock);
    for (int i = job_.row_begin; i < job_.row_end; ++i) {
      const int ti = a.type[static_cast<std::size_t>(i)];
      for (int t = ti; t <= nt; ++t) {
        const int jb = std::max(i + 1, a.run_begin[static_cast<std::size_t>(t)]);
        const int je = a.run_begin[static_cast<std::size_t>(t) + 1];
        const int k = plan.type_pair(ti, t);
        for (int j0 = jb; j0 < je; j0 += kRowBlock) {
          const int n = std::min(kRowBlock, je - j0);
          distances(i, j0, n, rbuf.data());
          route(i, ti, t, k, j0, n, rbuf.data());
        }
      }
    }
    for (auto& slot : st_.slots) {
      if (slot->gid >= 0) finish(*slot);
    }
  }

 private:
  static constexpr int kRowBlock = 512;

  // Distances of atom i to the n atoms from j0, rounded exactly as dist() rounds them.
  void distances(int i, int j0, int n, float* out) const {
    const PairSource& a = *job_.atoms;
    const DF df;
    const std::size_t L = hn::Lanes(df);
    const auto iu = static_cast<std::size_t>(i);
    const auto nn = static_cast<std::size_t>(n);
    const auto j = static_cast<std::size_t>(j0);
    std::size_t m = 0;
    for (; m + L <= nn; m += L) hn::StoreU(PairDistances(df, a, iu, j + m), df, out + m);
    for (; m < nn; ++m) out[m] = PairDistance(a, iu, j + m);
  }

  // The pairs of atom i with the n atoms from j0 (types ti <= t, type pair k) into their
  // groups (groups.hpp).
  void route(int i, int ti, int t, int k, int j0, int n, const float* r) {
    const GroupPlan& plan = *job_.plan;
    switch (plan.option) {
      case ThermalOption::kShortLong:
        for (int m = 0; m < n; ++m) push(st_.slot(plan.group_of(k, r[m])), r[m], 0.0f);
        return;
      case ThermalOption::kUrms: {
        const auto& orig = job_.atoms->orig;
        for (int m = 0; m < n; ++m) {
          const auto j = static_cast<std::size_t>(j0 + m);
          const bool i_first = orig[static_cast<std::size_t>(i)] < orig[j];
          const UrmsRoute to = route_urms(plan, k, ti, t, i_first, r[m]);
          for (int g = 0; g < to.n; ++g) push(st_.slot(to.gid[g]), r[m], to.u[g]);
        }
        return;
      }
      default:
        push_run(st_.slot(plan.group_of(k, 0.0f)), r, n);
        return;
    }
  }

  // push() for a run of distances of one group, copied in bulk where no distance is special.
  void push_run(GroupAcc& g, const float* r, int n) {
    const DF df;
    const auto L = static_cast<int>(hn::Lanes(df));
    const VF limit = hn::Set(df, static_cast<float>(kMaxPhase / std::max(job_.qmax_abs, 1e-30)));
    int m = 0;
    while (m < n) {
      const int take = std::min(n - m, kPending - g.npend);
      bool plain = take >= L;
      int v = 0;
      for (; plain && v + L <= take; v += L) {
        const VF x = hn::LoadU(df, r + m + v);
        // Every distance positive, finite and short enough for the reduction.
        plain = hn::AllTrue(df, hn::And(hn::Gt(x, hn::Zero(df)), hn::Lt(x, limit)));
      }
      for (; plain && v < take; ++v) {
        const float x = r[m + v];
        plain = x > 0.0f && x < hn::GetLane(limit);
      }
      if (!plain) {
        push(g, r[m], 0.0f);
        ++m;
        continue;
      }
      std::copy(r + m, r + m + take, g.pend_r.begin() + g.npend);
      g.npend += take;
      g.n_all += take;
      m += take;
      if (g.npend == kPending) prepare(g);
    }
  }

  const GroupSpec& group_spec(const GroupAcc& g) const {
    return job_.plan->groups[static_cast<std::size_t>(g.gid)];
  }

  void push(GroupAcc& g, float r, float u) {
    ++g.n_all;
    if (!(r > 0.0f) || !(static_cast<double>(r) * job_.qmax_abs <= kMaxPhase)) {
      special(g, r, u);
      return;
    }
    g.pend_r[static_cast<std::size_t>(g.npend)] = r;
    g.pend_u[static_cast<std::size_t>(g.npend)] = u;
    if (++g.npend == kPending) prepare(g);
  }

  // Coincident atoms (sinc = 1 at every Q), and distances the recurrences cannot take.
  void special(GroupAcc& g, float r, float u) {
    const GroupSpec& gs = group_spec(g);
    if (r == 0.0f) {
      if (gs.per_pair) {
        ++st_.zero_pairs[{g.gid, std::bit_cast<std::uint32_t>(u)}];
      } else {
        ++g.n_zero;
      }
      return;
    }
    ensure_direct(g);
    const bool damped = gs.per_pair || gs.damped;
    DirectScalar(job_, sc_, r, gs.per_pair ? u : gs.u, damped, g.d64.get());
  }

  void ensure_direct(GroupAcc& g) const {
    if (!g.d64) g.d64 = zeroed_array<double>(job_.len_pad);
  }

  void ensure_sums(GroupAcc& g) const {
    const int rows = job_.len_pad * sc_.lanes;
    const bool single = job_.mode != Mode::kRecurrenceDouble;
    if (single && !g.s32) {
      g.s32 = zeroed_array<float>(rows);
      g.v64 = zeroed_array<double>(job_.len_pad);
    }
    if (!g.s64) {
      g.s64 = zeroed_array<double>(job_.len_pad);
      for (ReadyList& rl : g.ready) {
        rl.cphi = zeroed_array<double>(kReadyCap);
        rl.sphi = zeroed_array<double>(kReadyCap);
        rl.calpha = zeroed_array<double>(kReadyCap);
        rl.salpha = zeroed_array<double>(kReadyCap);
        rl.k1 = zeroed_array<double>(kReadyCap);
        rl.k2 = zeroed_array<double>(kReadyCap);
        rl.inv_r = zeroed_array<double>(kReadyCap);
        rl.coef = zeroed_array<double>(kReadyCap);
        rl.cos_th = zeroed_array<double>(kReadyCap);
        rl.u = zeroed_array<double>(kReadyCap);
      }
    }
    if (job_.mode == Mode::kRecurrenceDouble && !g.srow) {
      const int drows = job_.len_pad * sc_.dlanes;
      g.srow = zeroed_array<double>(drows);
      g.crow = zeroed_array<double>(drows);
      g.urow = zeroed_array<double>(drows);
      g.c64 = zeroed_array<double>(job_.len_pad);
      g.u64 = zeroed_array<double>(job_.len_pad);
    }
    if (job_.mode == Mode::kRecurrenceCos && !g.c32) {
      g.c32 = zeroed_array<float>(rows);
      g.c64 = zeroed_array<double>(job_.len_pad);
      g.u32 = zeroed_array<float>(rows);
      g.u64 = zeroed_array<double>(job_.len_pad);
    }
  }

  // Per-pair coefficients of the pending pairs, vectorised over pairs (push_ready puts them
  // on the ready list of their kind); then every full batch runs.
  void prepare(GroupAcc& g) {
    const int n = g.npend;
    g.npend = 0;
    if (n == 0) return;
    const GroupSpec& gs = group_spec(g);
    if (job_.mode == Mode::kDirect) {
      ensure_direct(g);
      const bool damped = gs.per_pair || gs.damped;
      for (int m = 0; m < n; ++m) {
        const auto mu = static_cast<std::size_t>(m);
        DirectPair(job_, sc_, g.pend_r[mu], gs.per_pair ? g.pend_u[mu] : gs.u, damped, g.d64.get());
      }
      return;
    }
    ensure_sums(g);
    const DD dd;
    const DFH dfh;
    const auto nd = static_cast<int>(hn::Lanes(dd));
    for (int m = n; m < (n + nd - 1) / nd * nd; ++m) {
      g.pend_r[static_cast<std::size_t>(m)] = 1.0f;
      g.pend_u[static_cast<std::size_t>(m)] = 0.0f;
    }
    const bool dbl = job_.mode == Mode::kRecurrenceDouble;
    const int residues = dbl ? sc_.dlanes : sc_.lanes;
    const VD one = hn::Set(dd, 1.0), two = hn::Set(dd, 2.0), zero = hn::Zero(dd);
    // In double precision the Chebyshev form is good down to |sin th| ~ 1e-6; the rare pairs
    // below go to the direct evaluation.
    const VD min_sin = hn::Set(dd, dbl ? 1e-6 : kChebyshevMinSin);
    const VD g1 = hn::Set(dd, job_.g1), g2eps = hn::Set(dd, 4.0 * kEpsF * job_.g2);
    const VD pair_eps = hn::Set(dd, gs.per_pair ? 2.0 * kEpsF * job_.g1 : 0.0);
    VD k2sum = zero, kr2sum = zero, rmax = zero;
    for (int m = 0; m < n; m += nd) {
      const VD r = hn::PromoteTo(dd, hn::LoadU(dfh, g.pend_r.data() + m));
      VD sphi, cphi, sal, cal;
      SinCos(Reduce2Pi(hn::Mul(r, hn::Set(dd, sc_.h))), sal, cal);
      // The first Q of the slab is often 0 or the step itself.
      if (sc_.q_first == 0.0) {
        cphi = one;
        sphi = zero;
      } else if (sc_.q_first == sc_.h) {
        cphi = cal;
        sphi = sal;
      } else {
        SinCos(Reduce2Pi(hn::Mul(r, hn::Set(dd, sc_.q_first))), sphi, cphi);
      }
      // exp(i th) = exp(i h r)^L by repeated squaring (L is a power of two).
      VD cth = cal, sth = sal;
      for (int l = 1; l < residues; l *= 2) {
        const VD c2n = hn::NegMulAdd(sth, sth, hn::Mul(cth, cth));
        sth = hn::Mul(hn::Add(cth, cth), sth);
        cth = c2n;
      }
      const VD abs_s = hn::Abs(sth);
      const auto cheb = hn::Ge(abs_s, min_sin);
      // Chebyshev: 2 cos th, and the start one step back: exp(-i th).
      const VD c2 = hn::Mul(two, cth);
      const VD c2f = hn::PromoteTo(dd, hn::DemoteTo(dfh, c2));
      // Difference form about th' = th or th -+ pi: sin th' = +-sin th, cos th' = |cos th|,
      // 1 - cos th' = sin^2 th / (1 + |cos th|) without cancellation; the start is the first
      // difference, exp(i th') - 1.
      const bool all_cheb = hn::AllTrue(dd, cheb);
      const VD one_minus = all_cheb ? zero : hn::Div(hn::Mul(sth, sth), hn::Add(one, hn::Abs(cth)));
      const VD lam = hn::Mul(two, one_minus);
      const VD lamf = hn::PromoteTo(dd, hn::DemoteTo(dfh, lam));
      const auto alternate = hn::Lt(cth, zero);  // th nearer pi than 0
      const VD s_small = hn::IfThenElse(alternate, hn::Neg(sth), sth);
      // 1 / |sin th| only enters the bounds: a float estimate (a little too large) will do.
      const VD inv_s = hn::Mul(hn::Set(dd, 1.01),
                               hn::PromoteTo(dd, hn::ApproximateReciprocal(hn::DemoteTo(
                                                     dfh, hn::Max(abs_s, hn::Set(dd, 1e-30))))));
      const VD drift =
          hn::Mul(hn::IfThenElse(cheb, hn::Abs(hn::Sub(c2f, c2)), hn::Abs(hn::Sub(lamf, lam))),
                  hn::Mul(hn::Set(dd, 0.5), inv_s));
      const VD amplify = hn::IfThenElse(cheb, inv_s, one);
      const VD inv = hn::Div(one, r);
      const VD kappa = hn::Mul(hn::MulAdd(drift, g1, hn::MulAdd(g2eps, amplify, pair_eps)), inv);
      const VD lane = hn::Add(hn::Iota(dd, 0.0), hn::Set(dd, static_cast<double>(m)));
      const auto in = hn::Lt(lane, hn::Set(dd, static_cast<double>(n)));
      k2sum = hn::Add(k2sum, hn::IfThenElseZero(in, hn::Mul(kappa, kappa)));
      kr2sum = hn::Add(kr2sum, hn::IfThenElseZero(in, hn::Mul(inv, inv)));
      rmax = hn::Max(rmax, hn::IfThenElseZero(in, r));

      const VD coef = hn::IfThenElse(cheb, c2, lam);
      const VD k1 = hn::IfThenElse(cheb, cth, hn::Neg(one_minus));
      const VD k2 = hn::IfThenElse(cheb, hn::Neg(sth), s_small);
      const auto is_cheb = hn::And(in, cheb);
      const auto is_alt = hn::AndNot(cheb, hn::And(in, alternate));
      const auto is_diff = hn::AndNot(cheb, hn::AndNot(alternate, in));
      const hn::Mask<DD> masks[kKinds] = {is_cheb, is_diff, is_alt};
      const VD u = hn::PromoteTo(dd, hn::LoadU(dfh, g.pend_u.data() + m));
      if (dbl && !hn::AllTrue(dd, is_cheb)) {
        // Lanes whose angle the recurrence cannot take: term by term.
        std::uint8_t bits[8] = {};
        hn::StoreMaskBits(dd, hn::AndNot(is_cheb, in), bits);
        ensure_direct(g);
        for (int i = 0; i < nd; ++i) {
          if ((bits[0] >> i) & 1) {
            const auto at = static_cast<std::size_t>(m + i);
            DirectPair(job_, sc_, g.pend_r[at], gs.per_pair ? g.pend_u[at] : gs.u,
                       gs.per_pair || gs.damped, g.d64.get());
            --g.n_rec;
          }
        }
      }
      const PreparedLanes lanes{cphi, sphi, cal, sal, k1, k2, inv, coef, cth, u};
      push_ready(g, lanes, masks, dbl);
    }
    if (!dbl) {
      g.k2 += hn::GetLane(hn::SumOfLanes(dd, k2sum));
      g.kr2 += hn::GetLane(hn::SumOfLanes(dd, kr2sum));
    }
    g.rmax = std::max(g.rmax, hn::GetLane(hn::MaxOfLanes(dd, rmax)));
    g.n_rec += n;
    const int full = batch_pairs(gs);
    for (int kind = 0; kind < kKinds; ++kind) {
      ReadyList& rl = g.ready[static_cast<std::size_t>(kind)];
      while (rl.count >= full) run_ready(g, kind);
    }
  }

  // Adds one vector of prepared pairs to the ready lists of their kinds (masks): all to the
  // Chebyshev list when every lane is of that kind, else compressed per kind.
  void push_ready(GroupAcc& g, const PreparedLanes& p, const hn::Mask<DD>* masks, bool dbl) {
    const DD dd;
    const auto nd = static_cast<int>(hn::Lanes(dd));
    const std::int64_t* compress = CompressIndices();
    const auto& [cphi, sphi, cal, sal, k1, k2, inv, coef, cth, u] = p;
    const auto is_cheb = masks[kChebyshev];
    if (hn::AllTrue(dd, is_cheb)) {
      ReadyList& rl = g.ready[kChebyshev];
      const auto at = static_cast<std::size_t>(rl.count);
      hn::StoreU(cphi, dd, rl.cphi.get() + at);
      hn::StoreU(sphi, dd, rl.sphi.get() + at);
      hn::StoreU(cal, dd, rl.calpha.get() + at);
      hn::StoreU(sal, dd, rl.salpha.get() + at);
      hn::StoreU(k1, dd, rl.k1.get() + at);
      hn::StoreU(k2, dd, rl.k2.get() + at);
      hn::StoreU(inv, dd, rl.inv_r.get() + at);
      hn::StoreU(coef, dd, rl.coef.get() + at);
      hn::StoreU(cth, dd, rl.cos_th.get() + at);
      hn::StoreU(u, dd, rl.u.get() + at);
      rl.count += nd;
      return;
    }
    for (int kind = 0; kind < (dbl ? 1 : kKinds); ++kind) {
      ReadyList& rl = g.ready[static_cast<std::size_t>(kind)];
      std::uint8_t bits[8] = {};
      hn::StoreMaskBits(dd, masks[kind], bits);
      if (bits[0] == 0) continue;
      const auto idx = hn::SetTableIndices(dd, compress + static_cast<std::size_t>(bits[0]) * nd);
      const auto at = static_cast<std::size_t>(rl.count);
      auto put = [&](VD v, double* dst) { hn::StoreU(hn::TableLookupLanes(v, idx), dd, dst + at); };
      put(cphi, rl.cphi.get());
      put(sphi, rl.sphi.get());
      put(cal, rl.calpha.get());
      put(sal, rl.salpha.get());
      put(k1, rl.k1.get());
      put(k2, rl.k2.get());
      put(inv, rl.inv_r.get());
      put(coef, rl.coef.get());
      put(cth, rl.cos_th.get());
      put(u, rl.u.get());
      rl.count += std::popcount(static_cast<unsigned>(bits[0]));
    }
  }

  int batch_pairs(const GroupSpec& gs) const {
    if (job_.mode == Mode::kRecurrenceDouble) return kDoubleBlocks * sc_.dlanes;
    const bool rich = gs.per_pair || job_.mode == Mode::kRecurrenceCos;
    return (rich ? kRichBlocks : kPlainBlocks) * sc_.lanes;
  }

  // Runs the first full batch of a ready list; a short list is filled with pairs of zero
  // amplitude first.
  void run_ready(GroupAcc& g, int kind) {
    ReadyList& rl = g.ready[static_cast<std::size_t>(kind)];
    const GroupSpec& gs = group_spec(g);
    const int full = batch_pairs(gs);
    for (int m = rl.count; m < full; ++m) {
      const auto mu = static_cast<std::size_t>(m);
      rl.cphi[mu] = rl.sphi[mu] = rl.k1[mu] = rl.k2[mu] = 0.0;
      rl.calpha[mu] = 1.0;
      rl.salpha[mu] = 0.0;
      rl.inv_r[mu] = rl.coef[mu] = rl.cos_th[mu] = rl.u[mu] = 0.0;
    }
    const bool cos = job_.mode == Mode::kRecurrenceCos;
    if (job_.mode == Mode::kRecurrenceDouble) {
      if (gs.per_pair) {
        DoubleBatch<kDoubleBlocks, true>(sc_, rl, g.srow.get(), g.crow.get(), g.urow.get());
      } else {
        DoubleBatch<kDoubleBlocks, false>(sc_, rl, g.srow.get(), g.crow.get(), g.urow.get());
      }
      keep_rest(rl, full);
      return;
    }
    float* s32 = g.s32.get();
    float* c32 = cos ? g.c32.get() : nullptr;
    float* u32 = cos ? g.u32.get() : nullptr;
    if (gs.per_pair) {
      switch (kind) {
        case kChebyshev:
          cos ? GaussChebyshevBatch<kRichBlocks, true>(sc_, rl, s32, c32, u32)
              : GaussChebyshevBatch<kRichBlocks, false>(sc_, rl, s32, c32, u32);
          break;
        case kDifference:
          cos ? GaussDifferenceBatch<kRichBlocks, false, true>(sc_, rl, s32, c32, u32)
              : GaussDifferenceBatch<kRichBlocks, false, false>(sc_, rl, s32, c32, u32);
          break;
        default:
          cos ? GaussDifferenceBatch<kRichBlocks, true, true>(sc_, rl, s32, c32, u32)
              : GaussDifferenceBatch<kRichBlocks, true, false>(sc_, rl, s32, c32, u32);
          break;
      }
    } else if (cos) {
      switch (kind) {
        case kChebyshev:
          ChebyshevBatch<kRichBlocks, true>(sc_, rl, s32, c32);
          break;
        case kDifference:
          DifferenceBatch<kRichBlocks, false, true>(sc_, rl, s32, c32);
          break;
        default:
          DifferenceBatch<kRichBlocks, true, true>(sc_, rl, s32, c32);
          break;
      }
    } else {
      switch (kind) {
        case kChebyshev:
          ChebyshevBatch<kPlainBlocks, false>(sc_, rl, s32, c32);
          break;
        case kDifference:
          DifferenceBatch<kPlainBlocks, false, false>(sc_, rl, s32, c32);
          break;
        default:
          DifferenceBatch<kPlainBlocks, true, false>(sc_, rl, s32, c32);
          break;
      }
    }
    keep_rest(rl, full);
    if (++g.batches >= kFlushBatches) flush(g);
  }

  // Moves what did not fit in the batch to the front.
  static void keep_rest(ReadyList& rl, int full) {
    const int rest = std::max(0, rl.count - full);
    if (rest > 0) {
      const auto from = static_cast<std::size_t>(full), n = static_cast<std::size_t>(rest);
      std::memmove(rl.cphi.get(), rl.cphi.get() + from, n * sizeof(double));
      std::memmove(rl.sphi.get(), rl.sphi.get() + from, n * sizeof(double));
      std::memmove(rl.calpha.get(), rl.calpha.get() + from, n * sizeof(double));
      std::memmove(rl.salpha.get(), rl.salpha.get() + from, n * sizeof(double));
      std::memmove(rl.k1.get(), rl.k1.get() + from, n * sizeof(double));
      std::memmove(rl.k2.get(), rl.k2.get() + from, n * sizeof(double));
      std::memmove(rl.inv_r.get(), rl.inv_r.get() + from, n * sizeof(double));
      std::memmove(rl.coef.get(), rl.coef.get() + from, n * sizeof(double));
      std::memmove(rl.cos_th.get(), rl.cos_th.get() + from, n * sizeof(double));
      std::memmove(rl.u.get(), rl.u.get() + from, n * sizeof(double));
    }
    rl.count = rest;
  }

  // Moves the float sums into the double sums of the chunk: row (l, v) holds Q index
  // v L + l, summed over its lanes.
  void flush(GroupAcc& g) const {
    g.batches = 0;
    if (!g.s32) return;
    add_and_clear(g.s32.get(), g.s64.get(), g.v64.get());
    if (g.c32) {
      add_and_clear(g.c32.get(), g.c64.get());
      add_and_clear(g.u32.get(), g.u64.get());
    }
  }

  // (v, when given, collects the squares of the lanes' sums.)
  void add_and_clear(float* HWY_RESTRICT f, double* HWY_RESTRICT d,
                     double* HWY_RESTRICT v = nullptr) const {
    const DF df;
    const auto L = static_cast<std::size_t>(sc_.lanes);
    const VF zero = hn::Zero(df);
    for (int l = 0; l < sc_.lanes; ++l) {
      float* row = Row(f, sc_, l, 0);
      for (int step = 0; step < sc_.nv; ++step, row += L) {
        const VF x = hn::Load(df, row);
        const std::size_t k = static_cast<std::size_t>(step) * L + static_cast<std::size_t>(l);
        d[k] += static_cast<double>(hn::GetLane(hn::SumOfLanes(df, x)));
        if (v != nullptr)
          v[k] += static_cast<double>(hn::GetLane(hn::SumOfLanes(df, hn::Mul(x, x))));
        hn::Store(zero, df, row);
      }
    }
  }

  void finish(GroupAcc& g) {
    prepare(g);
    for (int kind = 0; kind < kKinds; ++kind) {
      if (g.ready[static_cast<std::size_t>(kind)].count > 0) run_ready(g, kind);
    }
    flush(g);
    if (g.srow) {
      rows_to_sums(g.srow.get(), g.s64.get());
      rows_to_sums(g.crow.get(), g.c64.get());
      rows_to_sums(g.urow.get(), g.u64.get());
    }
  }

  // The double recurrences' rows into the chunk's sums: row (l, v) holds Q index v L + l.
  void rows_to_sums(double* HWY_RESTRICT rows, double* HWY_RESTRICT d) const {
    const DD dd;
    const auto L = static_cast<std::size_t>(sc_.dlanes);
    for (int l = 0; l < sc_.dlanes; ++l) {
      double* row = rows + static_cast<std::size_t>(l) * static_cast<std::size_t>(sc_.dnv) * L;
      for (int step = 0; step < sc_.dnv; ++step, row += L) {
        d[static_cast<std::size_t>(step) * L + static_cast<std::size_t>(l)] +=
            hn::GetLane(hn::SumOfLanes(dd, hn::Load(dd, row)));
        hn::Store(hn::Zero(dd), dd, row);
      }
    }
  }

  const Job& job_;
  ChunkState& st_;
  SlabCtx sc_;
};

}  // namespace

void ProcessChunk(const Job& job, ChunkState& state) { Engine(job, state).run(); }

int FloatLanes() { return static_cast<int>(hn::Lanes(DF())); }

}  // namespace HWY_NAMESPACE
}  // namespace zalmor::scatter::detail
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace zalmor::scatter::detail {

HWY_EXPORT(ProcessChunk);
HWY_EXPORT(FloatLanes);

void process_chunk(const Job& job, ChunkState& state) {
  HWY_DYNAMIC_DISPATCH(ProcessChunk)(job, state);
}

int float_lanes() { return HWY_DYNAMIC_DISPATCH(FloatLanes)(); }

std::vector<std::int64_t> pairs_targets() { return hwy::SupportedAndGeneratedTargets(); }

std::string pairs_target_name(std::int64_t target) { return hwy::TargetName(target); }

void use_pairs_target(std::int64_t target) { hwy::SetSupportedTargetsForTest(target); }

}  // namespace zalmor::scatter::detail
#endif
