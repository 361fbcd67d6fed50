// Groups of pairs shared by both engines (docs/engines.md): the pairs whose thermal factor
// and block coefficients are common, so that a group's sum is formed once and the factor and
// coefficients are applied per Q. This file numbers the groups and routes a pair to its
// groups; nothing here is per instruction set.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "scatter/kernel.hpp"
#include "scatter/kernel_fast_engine.hpp"

namespace zalmor::scatter::detail {

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
