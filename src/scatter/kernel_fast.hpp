// Private interface of the pairs engine (docs/engines.md; not part of the scatter API).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "scatter/kernel.hpp"

namespace zalmor::scatter::detail {

// How the last compute_fast call on this thread went, for tests and benchmarks.
struct FastReport {
  int passes = 0;      // passes over the pairs
  int final_mode = 0;  // 0 float recurrences, 1 with the move to the stored Q values,
                       // 2 double recurrences, 3 direct double
  int threads = 0;
  std::vector<double> bound;  // per block: error bound of the accepted pass / largest |i(Q)|
};
FastReport last_fast_report();

// Tests only: makes compute_fast on this thread run one pass in the given mode (as in
// FastReport::final_mode) without checking the error bounds; -1 restores the normal choice.
void force_fast_mode(int mode);
int forced_fast_mode();

// The instruction sets the kernels were compiled for that this processor runs (widest
// first), their names, and (tests only) restricting the choice to one of them; 0 restores
// the widest.
std::vector<std::int64_t> fast_targets();
std::string fast_target_name(std::int64_t target);
void use_fast_target(std::int64_t target);

// Tests and benchmarks set the two switches above through these guards, so that an assertion
// that leaves a scope early cannot carry a forced mode or target into the tests after it.
class ForcedFastMode {
 public:
  explicit ForcedFastMode(int mode) : previous_(forced_fast_mode()) { force_fast_mode(mode); }
  ~ForcedFastMode() { force_fast_mode(previous_); }
  ForcedFastMode(const ForcedFastMode&) = delete;
  ForcedFastMode& operator=(const ForcedFastMode&) = delete;

 private:
  int previous_;
};

// Restores the widest target when it goes (the processor's choice cannot be read back).
class FastTargetChoice {
 public:
  explicit FastTargetChoice(std::int64_t target) { use_fast_target(target); }
  ~FastTargetChoice() { use_fast_target(0); }
  FastTargetChoice(const FastTargetChoice&) = delete;
  FastTargetChoice& operator=(const FastTargetChoice&) = delete;
};

// All blocks of compute_blocks(Impl::Pairs, ...).
std::vector<std::vector<float>> compute_fast(const util::Model& model, std::span<const float> q,
                                             const BlockRequest& request, int threads,
                                             const Progress& progress);

}  // namespace zalmor::scatter::detail
