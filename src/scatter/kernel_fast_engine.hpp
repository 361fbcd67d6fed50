// Data shared by the pairs engine's driver (kernel_fast.cpp) and its kernels, which are
// compiled once per instruction set (kernel_fast_simd.cpp); see docs/engines.md. Private to
// the scatter library.
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

// Classes of u of an option-4 record: step segments 0..99 have a constant u, as does the
// default 0.05 of a missing record; the continuous tails of models 2 and 3 vary per pair.
inline constexpr int kClassDefault = 100;
inline constexpr int kClassTail = 101;
inline constexpr int kClasses = 102;
inline constexpr int kRoles = 4;  // shared, partial only, total only (two atom orders)

struct GroupSpec {
  float u = 0.0f;         // Angstrom, when the thermal factor is common to the group
  bool damped = false;    // a common factor exp(-(u Q)^2 / 2) applies
  bool per_pair = false;  // every pair brings its own u
  int partial = -1;       // 0-based partial block the group adds to, or -1
  int record = -1;        // option 4: the evaluator of the group's .urms record, or -1
  double c_partial = 0;   // coefficient of the group's sum in that block
  double c_total = 0;     // coefficient in the total
};

// u(r) of one .urms record with the class of the value. Tails of model 3 come from a table
// of the record's correlated Debye value (see kernel_fast_urms.cpp).
struct UrmsEval {
  int imode = 0;
  int npoint = 0;
  std::array<float, 100> urms{};
  std::array<float, 100> rbreak{};
  float a1 = 0, a2 = 0;
  // Model-3 tail: u^2 at r_start + i * step, i = 0..n-1, interpolated cubically, in segments
  // whose step doubles (see build_tail_table).
  struct Segment {
    double r0 = 0, step = 0, inv_step = 0, r1 = 0;  // covers [r0, r1)
    std::vector<double> v;
  };
  std::vector<Segment> segments;
  double r_end = 0;             // beyond: the exact evaluator
  const void* exact = nullptr;  // RecordEvaluator*, for distances outside the table

  float tail_model3(float r) const;  // kernel_fast_urms.cpp
  // u^2 of the continuous tail (models 2 and 3) at r in double precision, smooth where the
  // record is: the moments engine expands it about bin centres.
  double tail_u2(double r) const;

  // The class of u at r; u is set.
  int classify(float r, float& u) const {
    if (imode == 1) {
      int seg = 0;
      for (int m = 1; m <= npoint - 1; ++m) {
        if (r > rbreak[static_cast<std::size_t>(m - 1)]) seg = m;
      }
      u = urms[static_cast<std::size_t>(seg)];
      return seg;
    }
    if (imode == 2 || imode == 3) {
      int seg = -1;
      for (int m = npoint - 1; m >= 1; --m) {
        if (r < rbreak[static_cast<std::size_t>(m - 1)]) seg = m - 1;
      }
      if (seg >= 0) {
        u = urms[static_cast<std::size_t>(seg)];
        return seg;
      }
      if (imode == 2) {
        const float last = urms[static_cast<std::size_t>(npoint - 1)];
        const float v = last * last - a1 / r - a2 / (r * r);
        u = v > 0.0f ? std::sqrt(v) : 0.0f;
      } else {
        u = tail_model3(r);
      }
      return kClassTail;
    }
    u = 0.05f;
    return kClassDefault;
  }
};

// The atoms sorted by type (then model order), so that the partner atoms of each type form
// one run.
struct PairSource {
  std::vector<float> x, y, z;
  std::vector<int> type;       // 1..ntypes
  std::vector<int> orig;       // index in the model
  std::vector<int> run_begin;  // [t] first sorted atom of type t, t = 1..ntypes + 1
};

struct GroupPlan;  // groups.hpp

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
  // Grid factors of the error bounds (see estimate in kernel_fast.cpp).
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
  // the float sums (see assemble in kernel_fast.cpp).
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
