// Data shared by the pairs engine's driver (pairs_engine.cpp) and its kernels, which are
// compiled once per instruction set (pairs_simd.cpp); see docs/engines.md. Private to
// the pairs engine: what other engines share with it is in groups.hpp.
//
// The engine visits every unordered pair once and adds its term to one or two "groups":
// sets of pairs whose thermal factor and block coefficients are common, so that the factor,
// 1/Q and the coefficient are applied once per Q instead of once per pair. A group keeps
//   S(Q) = sum of sin(Q r) / r          (times the pair's own thermal factor in per-pair groups)
// over a uniform grid, evaluated by recurrences in Q, plus, when asked for, the derivative
// sums that move the values from the uniform grid to the stored Q values. Pairs that the
// recurrences cannot take (coincident atoms, non-finite or enormous distances) and every pair
// in the direct mode add finished terms sinc(Q r) T(Q) at the stored Q values to D(Q).
#pragma once

#include <hwy/aligned_allocator.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "scatter/groups.hpp"
#include "util/memory.hpp"

namespace zalmor::scatter::detail {

// Slab lengths are padded to a multiple of twice the widest float vector (the recurrences
// take two steps per iteration, and a step covers as many Q values as a vector has lanes).
inline constexpr int kPad = 32;
// Raw pairs waiting for their per-pair preparation, per group.
inline constexpr int kPending = 64;
// Float partial sums are moved into double after this many batches.
inline constexpr int kFlushBatches = 16;
// A pair whose recurrence coefficient has |sin(step angle)| below this uses the
// difference form of the recurrence, which stays accurate near angles 0 and pi.
inline constexpr double kChebyshevMinSin = 0.1;
// Pairs with their own u leave out thermal factors below this (in the recurrence passes).
inline constexpr double kGaussFloor = 1e-9;
// Largest |Q r| the recurrences reduce accurately; such pairs are evaluated directly.
inline constexpr double kMaxPhase = 1e8;

template <class T>
using AlignedArray = hwy::AlignedFreeUniquePtr<T[]>;

template <class T>
AlignedArray<T> zeroed_array(int n) {
  const std::size_t m = n > 0 ? static_cast<std::size_t>(n) : 1;
  auto a = hwy::AllocateAligned<T>(m);
  if (!a) throw util::OutOfMemory("the calculation's work arrays", m * sizeof(T));
  std::memset(a.get(), 0, m * sizeof(T));
  return a;
}

enum class Mode : int {
  kRecurrence = 0,        // float recurrences over the uniform grid
  kRecurrenceCos = 1,     // the same plus the first-order move to the stored Q values
  kRecurrenceDouble = 2,  // double recurrences, with the move to the stored Q values
  kDirect = 3,            // every term at its stored Q value, in double precision
};

// Everything a chunk of rows needs; shared read-only by all threads.
struct Job {
  const PairSource* atoms = nullptr;
  const GroupPlan* plan = nullptr;

  Mode mode = Mode::kRecurrence;
  std::span<const float> q;  // the whole stored grid
  int k0 = 0, len = 0;       // this slab: q[k0, k0 + len)
  int len_pad = 0;           // len rounded up to kPad
  double q0 = 0, h = 0;      // uniform fit of the grid: Q_k = q0 + k h
  double qmax_abs = 0;       // largest |q|
  // Grid factors of the error bounds (see estimate in pairs_engine.cpp).
  double g1 = 0, g2 = 0;

  int row_begin = 0, row_end = 0;  // sorted atoms whose pairs with later atoms are summed
};

enum Kind : int { kChebyshev = 0, kDifference = 1, kDifferenceAlternating = 2, kKinds = 3 };

// Room of a ready list: a full batch (at most 8 blocks of 16 pairs) plus one preparation.
inline constexpr int kReadyCap = 8 * 16 + kPending + 16;

// Prepared pairs of one kind, waiting for a full batch (one pair per vector lane in the
// kernels). The recurrence of residue l starts from z = exp(i (Q_0 + l h) r), with Q_0 the
// first Q of the slab, turned by w = exp(i h r) from residue to residue; the value one step
// before (Chebyshev) or the first difference (difference form) is Im(z (k1 + i k2)) / r.
struct ReadyList {
  int count = 0;
  AlignedArray<double> cphi, sphi, calpha, salpha, k1, k2;
  AlignedArray<double> inv_r, coef, cos_th, u;  // used in float
};

struct GroupAcc {
  int gid = -1;
  // Float sums since the last flush, one row of lanes per (residue, step); and the group's
  // double sums of this chunk, per Q.
  AlignedArray<float> s32, c32, u32;
  AlignedArray<double> s64, c64, u64, d64;
  AlignedArray<double> srow, crow, urow;  // the double recurrences' rows
  // Per Q: sum over flushes of the flushed float sum squared, which sizes the rounding of
  // the float sums (see assemble in pairs_engine.cpp).
  AlignedArray<double> v64;
  int batches = 0;  // since the last flush
  int npend = 0;
  std::array<float, kPending> pend_r{}, pend_u{};
  std::array<ReadyList, kKinds> ready;
  // Statistics of this chunk.
  std::int64_t n_all = 0;   // pairs of the group
  std::int64_t n_rec = 0;   // pairs in the recurrence sums (S)
  std::int64_t n_zero = 0;  // coincident pairs (u of the group)
  double k2 = 0;            // sum of squared per-pair error bounds (sinc units)
  double kr2 = 0;           // sum of 1 / r^2 (sizes the rounding of the terms themselves)
  double rmax = 0;
};

// Per-thread working state, reused chunk after chunk.
struct ChunkState {
  std::vector<int> slot_of;  // gid -> index into slots, or -1
  std::vector<std::unique_ptr<GroupAcc>> slots;
  int len_pad = 0;
  Mode mode = Mode::kRecurrence;
  // Coincident pairs of per-pair groups: (gid, bits of u) -> count.
  std::map<std::pair<int, std::uint32_t>, std::int64_t> zero_pairs;
  std::vector<float> scratch;  // kernel workspace

  // Forgets the sums of the last chunk, keeping the memory.
  void reset();
  GroupAcc& slot(int gid);
};

// Sums every pair of job.row_begin .. job.row_end into state (dispatched per instruction set).
void process_chunk(const Job& job, ChunkState& state);
// Lanes of the float vectors of the dispatched kernels (the recurrence stride).
int float_lanes();

}  // namespace zalmor::scatter::detail
