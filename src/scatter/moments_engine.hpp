// Private interface of the moments engine (docs/engines.md): one pass over the pairs fills,
// per group, a fine distance histogram (histograms.hpp); the sums in Q (moments_q_sums.hpp)
// then run over bins instead of pairs.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "scatter/engine.hpp"
#include "scatter/groups.hpp"
#include "scatter/histograms.hpp"
#include "scatter/moments_q_sums.hpp"

namespace zalmor::scatter::detail {

// How the last moments calculation on this thread went, for tests and benchmarks.
MomentsReport last_moments_report();

// The estimated costs of both engines (seconds on this machine's cores, roughly) and the
// moments engine's memory; moments_fits is false where it would exceed its budget.
struct EngineCosts {
  double pairs = 0;
  double moments = 0;
  std::size_t moments_bytes = 0;
  bool moments_fits = false;
  double close_pairs = 0;  // bound on the pairs closer than kExactFrom
};
EngineCosts estimate_costs(const util::Model& model, std::size_t nq, const BlockRequest& request,
                           int threads);

// Tests and benchmarks: all blocks by the moments engine alone (make_moments_engine);
// false (out untouched) where it gives the calculation back.
bool compute_moments(const util::Model& model, std::span<const float> q,
                     const BlockRequest& request, int threads, const Progress& progress,
                     std::vector<std::vector<float>>& out);

}  // namespace zalmor::scatter::detail
