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

}  // namespace HWY_NAMESPACE
}  // namespace zalmor::scatter::detail
HWY_AFTER_NAMESPACE();

#endif  // ZALMOR_SCATTER_DISTANCE_INL_H_
