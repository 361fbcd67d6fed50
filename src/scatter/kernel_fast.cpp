// The fast Debye-sum engine. For now it defers to the literal kernels.
#include "scatter/kernel_fast.hpp"

namespace zalmor::scatter::detail {

std::vector<std::vector<float>> compute_fast(const util::Model& model, std::span<const float> q,
                                             const BlockRequest& request, int /*threads*/,
                                             const Progress& progress) {
  return compute_blocks(Impl::Reference, model, q, request, 1, progress);
}

}  // namespace zalmor::scatter::detail
