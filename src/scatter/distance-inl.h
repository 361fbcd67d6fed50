// The distance of two atoms as every engine forms it, once per instruction set: the
// differences, then (dx^2 + dy^2) + dz^2 and its square root, each rounded to float as
// dist() rounds it, so that every engine sees bit for bit the same distance (option 3 compares
// it with the cutoff, and the moments engine bins it). Files that include this are built with
// -ffp-contract=off.
//
// Included by a Highway per-target file after <hwy/highway.h>; this guard lets it be included
// once for each target.
#if defined(ZALMOR_SCATTER_DISTANCE_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef ZALMOR_SCATTER_DISTANCE_INL_H_
#undef ZALMOR_SCATTER_DISTANCE_INL_H_
#else
#define ZALMOR_SCATTER_DISTANCE_INL_H_
#endif

#include <hwy/highway.h>

#include <cmath>
#include <cstddef>

#include "scatter/groups.hpp"
#include "scatter/histograms.hpp"

HWY_BEFORE_NAMESPACE();
namespace zalmor::scatter::detail {
namespace HWY_NAMESPACE {

// Distances of sorted atom i to the Lanes(df) atoms from j.
template <class DF>
HWY_INLINE hwy::HWY_NAMESPACE::Vec<DF> PairDistances(DF df, const PairSource& a, std::size_t i,
                                                     std::size_t j) {
  namespace hn = hwy::HWY_NAMESPACE;
  const auto dx = hn::Sub(hn::Set(df, a.x[i]), hn::LoadU(df, a.x.data() + j));
  const auto dy = hn::Sub(hn::Set(df, a.y[i]), hn::LoadU(df, a.y.data() + j));
  const auto dz = hn::Sub(hn::Set(df, a.z[i]), hn::LoadU(df, a.z.data() + j));
  return hn::Sqrt(hn::Add(hn::Add(hn::Mul(dx, dx), hn::Mul(dy, dy)), hn::Mul(dz, dz)));
}

// The same for one partner, for what fills no vector.
HWY_INLINE float PairDistance(const PairSource& a, std::size_t i, std::size_t j) {
  const float dx = a.x[i] - a.x[j];
  const float dy = a.y[i] - a.y[j];
  const float dz = a.z[i] - a.z[j];
  const float r2 = dx * dx + dy * dy;
  return std::sqrt(r2 + dz * dz);
}

// Whole floats well inside the int32 range to int32: the plain conversion, without the fix-up
// for values out of range (which these never are) that ConvertTo adds on x86.
template <class DI, class V>
HWY_INLINE hwy::HWY_NAMESPACE::Vec<DI> WholeToInt(DI di, V v) {
#if HWY_TARGET <= HWY_AVX3
  if constexpr (sizeof(v.raw) == 64) {
    (void)di;
    return hwy::HWY_NAMESPACE::Vec<DI>{_mm512_cvttps_epi32(v.raw)};
  }
#endif
#if HWY_TARGET <= HWY_AVX2
  if constexpr (sizeof(v.raw) == 32) {
    (void)di;
    return hwy::HWY_NAMESPACE::Vec<DI>{_mm256_cvttps_epi32(v.raw)};
  }
#endif
  return hwy::HWY_NAMESPACE::ConvertTo(di, v);
}

// Each distance's bin and offset D from the bin's centre, as bin_and_offset rounds them.
template <class DF, class DI>
HWY_INLINE void BinsAndOffsets(DF df, DI di, hwy::HWY_NAMESPACE::Vec<DF> r,
                               hwy::HWY_NAMESPACE::Vec<DI>& bin,
                               hwy::HWY_NAMESPACE::Vec<DI>& offset) {
  namespace hn = hwy::HWY_NAMESPACE;
  const auto per_a = hn::Set(df, static_cast<float>(kBinsPerAngstrom));
  const auto width = hn::Set(df, static_cast<float>(kBinWidth));
  const auto unit = hn::Set(df, static_cast<float>(1.0 / kOffsetUnit));
  const auto half = hn::Set(df, 0.5f), top = hn::Set(df, 1e9f);
  // Bins past the top are never taken (the callers check); the conversions stay in range.
  const auto b = hn::Floor(hn::Min(hn::Mul(r, per_a), top));
  const auto d = hn::Mul(hn::Sub(r, hn::Mul(hn::Add(b, half), width)), unit);
  bin = WholeToInt(di, b);
  offset = WholeToInt(di, hn::Min(hn::Max(d, hn::Neg(top)), top));
}

}  // namespace HWY_NAMESPACE
}  // namespace zalmor::scatter::detail
HWY_AFTER_NAMESPACE();

#endif  // ZALMOR_SCATTER_DISTANCE_INL_H_
