// What the engines share (docs/engines.md): the atoms sorted for their pairs, the .urms
// evaluators, and the groups of pairs whose thermal factor and block coefficients are
// common, so that a group's sum is formed once and the factor and coefficients are applied
// per Q. This file numbers the groups and routes a pair to its groups; nothing here is per
// instruction set.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

#include "scatter/engine.hpp"
#include "scatter/thermal.hpp"

namespace zalmor::scatter::detail {

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
// of the record's correlated Debye value (see urms_eval.cpp).
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

  float tail_model3(float r) const;  // urms_eval.cpp
  // u^2 of the continuous tail (models 2 and 3) at r in double precision, smooth where the
  // record is: the moments engine expands it about bin centres.
  double tail_u2(double r) const;

  // The class of u at r: the step segment of the record (model 1: a distance on a break takes
  // the lower segment; models 2 and 3: the upper), the tail, or the default of a missing
  // record. The one rule both engines follow.
  int segment(float r) const {
    if (imode == 1) {
      int seg = 0;
      for (int m = 1; m <= npoint - 1; ++m) {
        if (r > rbreak[static_cast<std::size_t>(m - 1)]) seg = m;
      }
      return seg;
    }
    if (imode == 2 || imode == 3) {
      for (int m = 1; m <= npoint - 1; ++m) {
        if (r < rbreak[static_cast<std::size_t>(m - 1)]) return m - 1;
      }
      return kClassTail;
    }
    return kClassDefault;
  }

  // The class of u at r (segment), with u set.
  int classify(float r, float& u) const {
    const int cls = segment(r);
    if (cls == kClassDefault) {
      u = 0.05f;
    } else if (cls != kClassTail) {
      u = urms[static_cast<std::size_t>(cls)];
    } else if (imode == 2) {
      const float last = urms[static_cast<std::size_t>(npoint - 1)];
      const float v = last * last - a1 / r - a2 / (r * r);
      u = v > 0.0f ? std::sqrt(v) : 0.0f;
    } else {
      u = tail_model3(r);
    }
    return cls;
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

// Everything needed to put a pair into its groups, built once per calculation.
struct GroupPlan {
  int ntypes = 0;
  int ntp = 0;  // unordered type pairs
  ThermalOption option = ThermalOption::kNone;
  float rcut = 0.0f;
  bool total_own_record = false;
  std::vector<int> block_of_tp;  // type pair -> partial block, or -1
  std::vector<int> partial_of;   // [a * (ntypes + 1) + b]: 0-based type pair of types a, b
  std::vector<GroupSpec> groups;
  // Option 4: evaluator of type pair k's record (rec_partial[k]) and of the total's record for
  // the pair's atom order (rec_total[2 k + orient]); -1 when there is none.
  std::vector<UrmsEval> evals;
  std::vector<std::unique_ptr<RecordEvaluator>> exact;
  std::vector<int> rec_partial, rec_total;

  int type_pair(int a, int b) const {
    return partial_of[static_cast<std::size_t>(a * (ntypes + 1) + b)];
  }
  // Classes (thermal subdivisions) of one type pair under options 0 to 3.
  int classes() const { return option == ThermalOption::kShortLong ? 2 : 1; }
  // The group of a pair of type pair tp at distance r, options 0 to 3.
  int group_of(int tp, float r) const {
    if (option == ThermalOption::kShortLong) return 2 * tp + (r < rcut ? 0 : 1);
    return tp;
  }
};

// The number of the option-4 group of type pair tp, role (0 partial and total, 1 partial only,
// 2 and 3 total only, by atom order) and class of u (UrmsEval::classify).
inline int urms_group(int tp, int role, int cls) { return (tp * kRoles + role) * kClasses + cls; }

// Option 4: the groups of one pair (one when partial and total share u, else two).
struct UrmsRoute {
  int n = 1;
  int gid[2] = {0, 0};
  float u[2] = {0.05f, 0.05f};
};
// ti <= tj are the sorted atoms' types, tp their type pair; i_first tells whether the atom
// of type ti comes first in the model.
UrmsRoute route_urms(const GroupPlan& plan, int tp, int ti, int tj, bool i_first, float r);

// The atoms of the model sorted by type (then model order).
void sort_atoms(const util::Model& model, int ntypes, PairSource& atoms);
// A bound of the distances between the atoms.
double max_distance(const PairSource& atoms);

// The groups of a request (ntypes at least 1); r_max bounds the model's distances.
void plan_groups(const BlockRequest& request, double r_max, GroupPlan& plan);

}  // namespace zalmor::scatter::detail
