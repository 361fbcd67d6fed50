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

// The size of 1 in each block's S(Q) (Faber and Ziman, Phil. Mag. 11 (1965) 153), in the order
// of request.partials, the total last: |w_AB| N_A N_B / N for a partial of weight w_AB, and the
// self-scattering level |w_total| sum_i 0.01 b_i^2 for the total (N_t = count[t-1] atoms of
// type t, N their sum). Every engine judges its error bound against at least this: a block
// that holds only what lies well above Q = 0 (a grid from Q = 10, a box without its
// continuum) can be far smaller than the atoms' own scattering, which users compare it with.
std::vector<double> unit_scales(const BlockRequest& request, std::span<const int> count);

// The square of the bounding box's diagonal: a bound of every squared distance of the model.
double largest_distance_squared(const util::Model& model);

}  // namespace zalmor::scatter
