// Private interface of the fast Debye-sum engine (not part of the scatter API).
#pragma once

#include <span>
#include <vector>

#include "scatter/kernel.hpp"

namespace zalmor::scatter::detail {

// All blocks of compute_blocks(Impl::Fast, ...).
std::vector<std::vector<float>> compute_fast(const util::Model& model, std::span<const float> q,
                                             const BlockRequest& request, int threads,
                                             const Progress& progress);

}  // namespace zalmor::scatter::detail
