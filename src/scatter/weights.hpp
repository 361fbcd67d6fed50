// The weights of the Debye sums, their zero-Q limits, and the sizes of a model and a grid
// that the single-precision calculation must keep finite: the physics the program's checks
// and its blocks share, in one place (docs/guide.md, "What i(Q) is").
//
//   i_AB(Q) = w_AB sum over ordered pairs (i of type A, j of type B, i != j) sinc(Q r_ij) T_ij,
//   w_AB = b_A b_B / (100 N)          (b in fm, N the number of atoms to normalise to;
//                                      1 barn = 100 fm^2, so i is in barn per atom)
//   i(Q) = sum over unordered pairs 2 w_(type i)(type j) sinc(Q r_ij) T_ij
// At Q = 0 every sinc and every thermal factor is 1: the limits are the weights times exact
// pair counts.
#pragma once

#include <span>
#include <vector>

#include "scatter/engine.hpp"
#include "util/coords_reader.hpp"

namespace zalmor::scatter {

// w_AB in double precision.
double pair_weight(float b_a, float b_b, float nnorm);

// The zero-Q limits of every partial (in the order of `partials`) and, last, of the total,
// from the atoms per type (count[t-1]); each is rounded to float once, so terms of opposite
// sign cancel without a float residue, and a limit of zero is +0.
std::vector<float> zero_q_limits(std::span<const int> count, std::span<const TypePair> partials,
                                 std::span<const float> bbar, float nnorm);

// The square of the bounding box's diagonal: a bound of every squared distance of the model.
double largest_distance_squared(const util::Model& model);

}  // namespace zalmor::scatter
