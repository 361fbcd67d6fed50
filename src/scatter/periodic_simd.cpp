// The periodic pass's kernel (periodic_pairs.hpp), compiled by Highway once per x86
// instruction set and chosen at run time. A home atom's partners are tested a vector at a
// time against the cutoff, and those within it are compressed into a buffer; the buffer's
// distances are rounded and binned a vector at a time, and only then does each pair go to its
// histogram one by one. The distances are those of the scalar formula, (dx^2 + dy^2) + dz^2
// in double and its square root rounded to float: the build compiles this file with
// -ffp-contract=off.

// clang-format off
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "scatter/periodic_simd.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>
// clang-format on

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "scatter/distance-inl.h"
#include "scatter/periodic_pairs.hpp"

HWY_BEFORE_NAMESPACE();
namespace zalmor::scatter::detail {
namespace HWY_NAMESPACE {
namespace {

namespace hn = hwy::HWY_NAMESPACE;

using DD = hn::ScalableTag<double>;
using DH = hn::Rebind<float, DD>;
using DF = hn::ScalableTag<float>;
using DI = hn::RebindToSigned<DF>;

// Counts the m buffered pairs by their distance in double (not rounded to float), in bins of
// s.dr as the pair distributions take them.
void Count(std::size_t m, PairSink& s) {
  const DD dd;
  double* d2 = s.d2.data();
  const auto dr = hn::Set(dd, s.dr);
  for (std::size_t k = 0; k < m; k += hn::Lanes(dd)) {
    hn::StoreU(hn::Floor(hn::Div(hn::Sqrt(hn::LoadU(dd, d2 + k)), dr)), dd, d2 + k);
  }
  const auto top = static_cast<double>(s.count_bins);
  for (std::size_t k = 0; k < m; ++k) {
    if (d2[k] < top) ++s.counts[static_cast<std::size_t>(d2[k])];
  }
}

// Bins the m buffered distances and adds them to the sink (or counts them, or drops them).
// Not inlined: the candidate loops then keep their few values in registers.
HWY_NOINLINE void Flush(std::size_t m, PairSink& s) {
  if (s.drop) return;
  if (s.counts != nullptr) {
    Count(m, s);
    return;
  }
  const DD dd;
  const DH dh;
  const DF df;
  const DI di;
  const std::size_t ld = hn::Lanes(dd), lf = hn::Lanes(df);
  double* d2 = s.d2.data();
  float* r = s.r.data();
  std::int32_t* bin = s.bin.data();
  std::int32_t* off = s.offset.data();
  for (std::size_t k = 0; k < m; k += ld) {
    hn::StoreU(hn::DemoteTo(dh, hn::Sqrt(hn::LoadU(dd, d2 + k))), dh, r + k);
  }
  const auto exact_from = hn::Set(df, kExactFrom);
  // Any distance below kExactFrom (or not a number) among the m; lanes past m are zeros.
  auto short_ones = hn::FirstN(df, 0);
  for (std::size_t k = 0; k < m; k += lf) {
    const auto rv = hn::LoadU(df, r + k);
    hn::Vec<DI> b, d;
    BinsAndOffsets(df, di, rv, b, d);
    hn::StoreU(b, di, bin + k);
    hn::StoreU(d, di, off + k);
    const auto valid = hn::FirstN(df, m - k);
    short_ones = hn::Or(short_ones, hn::AndNot(hn::Ge(rv, exact_from), valid));
  }
  // Each addition with the bins of later pairs on their way to the cache: it waits on its
  // bin.
  const auto add_all = [off](std::size_t n, auto bin_of) {
    constexpr std::size_t kAhead = 16;
    for (std::size_t k = 0; k < n; ++k) {
      if (k + kAhead < n) __builtin_prefetch(bin_of(k + kAhead), 1, 3);
      add_moments(*bin_of(k), off[k]);
    }
  };
  // The common case, one class and no pair summed one by one: straight to the bins.
  if (!s.two_classes && hn::AllFalse(df, short_ones)) {
    BinMoments* bins = s.bins[0];
    add_all(m, [bins, bin](std::size_t k) { return bins + bin[k]; });
    return;
  }
  // Otherwise the bins first (or the direct terms), then the additions.
  BinMoments** at = s.at.data();
  std::size_t kept = 0;
  for (std::size_t k = 0; k < m; ++k) {
    const float rr = r[k];
    const int cls = s.two_classes && !(rr < s.rcut) ? 1 : 0;
    if (!(rr >= kExactFrom)) {
      s.direct.push_back({s.group + cls, rr, s.u[static_cast<std::size_t>(cls)]});
      continue;
    }
    at[kept] = s.bins[static_cast<std::size_t>(cls)] + bin[k];
    off[kept++] = off[k];
  }
  add_all(kept, [at](std::size_t k) { return at[k]; });
}

// Stores the lanes of d2 that are in at the start of out (which has room for a whole
// vector); returns their count. AVX-512 compresses
// in registers: Highway's compressing store, and its table for 64-bit lanes, cost far more
// on some processors (AMD Zen 4) than the test they follow.
template <class M>
HWY_INLINE std::size_t Keep(DD dd, hn::Vec<DD> d2, M in, double* out) {
#if HWY_TARGET <= HWY_AVX3
  (void)dd;
  const __mmask8 k = in.raw;
  _mm512_storeu_pd(out, _mm512_maskz_compress_pd(k, d2.raw));
  return static_cast<std::size_t>(__builtin_popcount(k));
#else
  constexpr std::size_t kMax = HWY_MAX_BYTES / sizeof(double);
  alignas(HWY_MAX_BYTES) double all[kMax];
  std::uint8_t bits[(kMax + 7) / 8] = {};
  hn::StoreU(d2, dd, all);
  hn::StoreMaskBits(dd, in, bits);
  std::size_t n = 0;
  for (std::size_t l = 0; l < hn::Lanes(dd); ++l) {
    if (((bits[l / 8] >> (l % 8)) & 1) != 0) out[n++] = all[l];
  }
  return n;
#endif
}

}  // namespace

void HomePairs(const SortedBox& home, const SortedBox& partners, std::size_t i0, std::size_t i1,
               const PairRun* runs, std::size_t nruns, double rc2, PairSink& s) {
  const DD dd;
  const std::size_t ld = hn::Lanes(dd);
  const std::size_t cap = s.d2.size() - 2 * hn::Lanes(DF());
  const double* x = partners.x.data();
  const double* y = partners.y.data();
  const double* z = partners.z.data();
  const auto limit = hn::Set(dd, rc2);
  // The buffer's storage stays where it is while the sink is flushed.
  double* const out = s.d2.data();
  for (std::size_t i = i0; i < i1; ++i) {
    std::size_t m = 0;
    for (std::size_t k = 0; k < nruns; ++k) {
      const PairRun& run = runs[k];
      const std::size_t end = run.end;
      const auto bx = hn::Set(dd, run.tx - home.x[i]);
      const auto by = hn::Set(dd, run.ty - home.y[i]);
      const auto bz = hn::Set(dd, run.tz - home.z[i]);
      const auto squared = [&](std::size_t j) {
        const auto dx = hn::Add(hn::LoadU(dd, x + j), bx);
        const auto dy = hn::Add(hn::LoadU(dd, y + j), by);
        const auto dz = hn::Add(hn::LoadU(dd, z + j), bz);
        return hn::Add(hn::Add(hn::Mul(dx, dx), hn::Mul(dy, dy)), hn::Mul(dz, dz));
      };
      const auto make_room = [&] {
        if (m + ld > cap) [[unlikely]] {
          Flush(m, s);
          m = 0;
        }
      };
      std::size_t j = run.self ? i + 1 : run.begin;
      for (; j + ld <= end; j += ld) {
        make_room();
        const auto d2 = squared(j);
        m += Keep(dd, d2, hn::Lt(d2, limit), out + m);
      }
      if (j < end) {
        make_room();
        // Lanes past the run read the next atoms (or the padding) and are masked off.
        const auto d2 = squared(j);
        m += Keep(dd, d2, hn::And(hn::Lt(d2, limit), hn::FirstN(dd, end - j)), out + m);
      }
    }
    if (m > 0) Flush(m, s);
  }
}

// As HomePairs, for a few home atoms that share their runs: each vector of partners is loaded
// once and tested against every home atom in turn.
void ClusterPairs(const SortedBox& home, const SortedBox& partners, std::size_t i0, std::size_t i1,
                  const PairRun* runs, std::size_t nruns, double rc2, PairSink& s) {
  const DD dd;
  const std::size_t ld = hn::Lanes(dd);
  const std::size_t nh = std::min(i1 - i0, kClusterAtoms);
  // Flushed at a quarter of the buffer: its distances, bins and offsets then stay in L1.
  const std::size_t cap = std::min(s.d2.size() / 4, s.d2.size() - 2 * hn::Lanes(DF()));
  const double* x = partners.x.data();
  const double* y = partners.y.data();
  const double* z = partners.z.data();
  const auto limit = hn::Set(dd, rc2);
  double* const out = s.d2.data();
  std::size_t m = 0;
  double bx[kClusterAtoms], by[kClusterAtoms], bz[kClusterAtoms];
  for (std::size_t k = 0; k < nruns; ++k) {
    const PairRun& run = runs[k];
    for (std::size_t h = 0; h < nh; ++h) {
      bx[h] = run.tx - home.x[i0 + h];
      by[h] = run.ty - home.y[i0 + h];
      bz[h] = run.tz - home.z[i0 + h];
    }
    const std::size_t end = run.end;
    for (std::size_t j = run.self ? std::max(run.begin, i0 + 1) : run.begin; j < end; j += ld) {
      if (m + nh * ld > cap) [[unlikely]] {
        Flush(m, s);
        m = 0;
      }
      const auto px = hn::LoadU(dd, x + j);
      const auto py = hn::LoadU(dd, y + j);
      const auto pz = hn::LoadU(dd, z + j);
      // Lanes past the run read the next atoms (or the padding) and are masked off.
      const auto valid = hn::FirstN(dd, end - j);
      for (std::size_t h = 0; h < nh; ++h) {
        const auto dx = hn::Add(px, hn::Set(dd, bx[h]));
        const auto dy = hn::Add(py, hn::Set(dd, by[h]));
        const auto dz = hn::Add(pz, hn::Set(dd, bz[h]));
        const auto d2 = hn::Add(hn::Add(hn::Mul(dx, dx), hn::Mul(dy, dy)), hn::Mul(dz, dz));
        auto in = hn::And(hn::Lt(d2, limit), valid);
        // In the home atoms' own run, only the atoms after each.
        const std::size_t i = i0 + h;
        if (run.self && i + 1 > j) in = hn::AndNot(hn::FirstN(dd, i + 1 - j), in);
        m += Keep(dd, d2, in, out + m);
      }
    }
  }
  if (m > 0) Flush(m, s);
}

std::size_t Lanes() { return hn::Lanes(DF()); }

// NOLINTNEXTLINE(google-readability-namespace-comments)
}  // namespace HWY_NAMESPACE
}  // namespace zalmor::scatter::detail
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace zalmor::scatter::detail {

HWY_EXPORT(HomePairs);
HWY_EXPORT(ClusterPairs);
HWY_EXPORT(Lanes);

void periodic_home_pairs(const SortedBox& home, const SortedBox& partners, std::size_t i0,
                         std::size_t i1, const PairRun* runs, std::size_t nruns, double rc2,
                         PairSink& sink) {
  HWY_DYNAMIC_DISPATCH(HomePairs)(home, partners, i0, i1, runs, nruns, rc2, sink);
}

void periodic_cluster_pairs(const SortedBox& home, const SortedBox& partners, std::size_t i0,
                            std::size_t i1, const PairRun* runs, std::size_t nruns, double rc2,
                            PairSink& sink) {
  HWY_DYNAMIC_DISPATCH(ClusterPairs)(home, partners, i0, i1, runs, nruns, rc2, sink);
}

std::size_t periodic_lanes() { return HWY_DYNAMIC_DISPATCH(Lanes)(); }

}  // namespace zalmor::scatter::detail
#endif
