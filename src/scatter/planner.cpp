// The calculation phase: every partial block and the total, by the chosen engine
// (docs/engines.md).
#include <omp.h>

#include <cstdlib>
#include <optional>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "scatter/engine.hpp"
#include "scatter/moments_engine.hpp"
#include "scatter/pairs_engine.hpp"

namespace zalmor::scatter {

namespace {

std::vector<std::vector<float>> compute_reference(const util::Model& model,
                                                  std::span<const float> q,
                                                  const BlockRequest& request,
                                                  const Progress& progress) {
  const auto npart = request.partials.size();
  std::vector<std::vector<float>> blocks(npart + 1, std::vector<float>(q.size(), 0.0f));
  for (std::size_t k = 0; k < npart; ++k) {
    zalmor_partial(model, q, blocks[k], request.weight[k], static_cast<int>(k + 1),
                   request.partials[k].first, request.partials[k].second, request.thermal);
    if (progress) progress(static_cast<double>(k + 1) / static_cast<double>(npart + 1));
  }
  zalmor_total(model, q, blocks[npart], request.bbar, request.total_weight, request.ntypes,
               request.thermal);
  if (progress) progress(1.0);
  return blocks;
}

}  // namespace

std::vector<std::vector<float>> compute_blocks(Impl impl, const util::Model& model,
                                               std::span<const float> q,
                                               const BlockRequest& request, int threads,
                                               const Progress& progress) {
  switch (impl) {
    case Impl::Reference:
      return compute_reference(model, q, request, progress);
    case Impl::Pairs:
      return detail::compute_pairs(model, q, request, threads, progress);
    case Impl::Moments:
      return detail::compute_moments_or_pairs(model, q, request, threads, progress);
    case Impl::Auto:
      break;
  }
  return detail::compute_auto(model, q, request, threads, progress);
}

}  // namespace zalmor::scatter

namespace zalmor::scatter {

std::optional<Impl> engine_named(std::string_view name) {
  if (name.empty() || name == "auto") return Impl::Auto;
  if (name == "pairs") return Impl::Pairs;
  if (name == "moments") return Impl::Moments;
  if (name == "reference") return Impl::Reference;
  return std::nullopt;
}

}  // namespace zalmor::scatter

namespace zalmor::scatter {

ThreadStart start_threads(int wanted) {
  ThreadStart start;
  start.wanted = wanted > 0 ? wanted : omp_get_max_threads();
  // The runtime ends the process when it cannot start a thread; our own threads of the same
  // default stack find out first, and tell how many can run.
  std::vector<std::thread> probes;
  try {
    while (static_cast<int>(probes.size()) + 1 < start.wanted) probes.emplace_back([] {});
  } catch (const std::system_error& e) {
    start.reason = e.code().message();
  }
  start.threads = static_cast<int>(probes.size()) + 1;
  for (std::thread& t : probes) t.join();
  probes.clear();
  // The runtime keeps the threads of its first team for the later ones: start them now,
  // before the engines take memory.
#pragma omp parallel num_threads(start.threads)
  {}
  return start;
}

}  // namespace zalmor::scatter
