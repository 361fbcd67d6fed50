// Private interface of the pairs engine (docs/engines.md; not part of the scatter API).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "scatter/engine.hpp"

namespace zalmor::scatter::detail {

// How the last compute_pairs call on this thread went, for tests and benchmarks.
struct PairsReport {
  int passes = 0;      // passes over the pairs
  int final_mode = 0;  // 0 float recurrences, 1 with the move to the stored Q values,
                       // 2 double recurrences, 3 direct double
  int threads = 0;
  std::vector<double> bound;  // per block: error bound of the accepted pass / largest |i(Q)|
};
PairsReport last_pairs_report();

// Tests only: makes compute_pairs on this thread run one pass in the given mode (as in
// PairsReport::final_mode) without checking the error bounds; -1 restores the normal choice.
void force_pairs_mode(int mode);
int forced_pairs_mode();

// The instruction sets the kernels were compiled for that this processor runs (widest
// first), their names, and (tests only) restricting the choice to one of them; 0 restores
// the widest.
std::vector<std::int64_t> pairs_targets();
std::string pairs_target_name(std::int64_t target);
void use_pairs_target(std::int64_t target);

// Tests and benchmarks set the two switches above through these guards, so that an assertion
// that leaves a scope early cannot carry a forced mode or target into the tests after it.
class ForcedPairsMode {
 public:
  explicit ForcedPairsMode(int mode) : previous_(forced_pairs_mode()) { force_pairs_mode(mode); }
  ~ForcedPairsMode() { force_pairs_mode(previous_); }
  ForcedPairsMode(const ForcedPairsMode&) = delete;
  ForcedPairsMode& operator=(const ForcedPairsMode&) = delete;

 private:
  int previous_;
};

// Restores the widest target when it goes (the processor's choice cannot be read back).
class PairsTargetChoice {
 public:
  explicit PairsTargetChoice(std::int64_t target) { use_pairs_target(target); }
  ~PairsTargetChoice() { use_pairs_target(0); }
  PairsTargetChoice(const PairsTargetChoice&) = delete;
  PairsTargetChoice& operator=(const PairsTargetChoice&) = delete;
};

// The cost model's time of the pairs engine (seconds of one core) for `pairs` unordered pairs
// at nq Q values; urms: pairs with their own u under option 4.
double pairs_seconds(double pairs, std::size_t nq, bool urms);

// All blocks of compute_blocks(Impl::Pairs, ...).
std::vector<std::vector<float>> compute_pairs(const util::Model& model, std::span<const float> q,
                                              const BlockRequest& request, int threads,
                                              const Progress& progress);

}  // namespace zalmor::scatter::detail
