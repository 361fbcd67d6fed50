// The calculation phase: every partial block and the total, by the chosen engine
// (docs/engines.md).
#include <omp.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "scatter/engine.hpp"
#include "scatter/engines.hpp"
#include "scatter/moments_engine.hpp"
#include "scatter/pairs_engine.hpp"

namespace zalmor::scatter {

namespace detail {
namespace {

class ReferenceEngine final : public Engine {
 public:
  explicit ReferenceEngine(const EngineInput& in) : in_(in) {}
  // Only run when asked for: its cost is not modelled.
  Estimate estimate() const override { return {1e300, 0, ""}; }
  Outcome compute(const Progress& progress) override {
    const BlockRequest& request = in_.request;
    const auto npart = request.partials.size();
    Outcome out;
    out.blocks.assign(npart + 1, std::vector<float>(in_.q.size(), 0.0f));
    for (std::size_t k = 0; k < npart; ++k) {
      zalmor_partial(in_.model, in_.q, out.blocks[k], request.weight[k], static_cast<int>(k + 1),
                     request.partials[k].first, request.partials[k].second, request.thermal);
      if (progress) progress(static_cast<double>(k + 1) / static_cast<double>(npart + 1));
    }
    zalmor_total(in_.model, in_.q, out.blocks[npart], request.bbar, request.total_weight,
                 request.ntypes, request.thermal);
    if (progress) progress(1.0);
    return out;
  }

 private:
  EngineInput in_;
};

}  // namespace

std::unique_ptr<Engine> make_reference_engine(const EngineInput& in) {
  return std::make_unique<ReferenceEngine>(in);
}

}  // namespace detail

std::vector<std::vector<float>> compute_blocks(Impl impl, const util::Model& model,
                                               std::span<const float> q,
                                               const BlockRequest& request, int threads,
                                               const Progress& progress) {
  const detail::EngineInput in{model, q, request, threads};
  if (impl == Impl::Reference) return detail::make_reference_engine(in)->compute(progress).blocks;
  const auto pairs = detail::make_pairs_engine(in);
  if (impl == Impl::Pairs) return pairs->compute(progress).blocks;

  // The moments engine where it is asked for, or where it is estimated cheaper and takes the
  // calculation; the pairs engine, which never refuses, for everything else.
  auto moments = detail::make_moments_engine(in);
  if (impl == Impl::Auto) {
    const detail::Estimate m = moments->estimate();
    if (!m.refusal.empty() || !(m.seconds < pairs->estimate().seconds)) moments.reset();
  }
  if (!moments) return pairs->compute(progress).blocks;

  // Progress keeps rising across a refusal: the pairs engine fills what is left.
  double reached = 0.0;
  Progress mine;
  if (progress) {
    mine = [&](double f) {
      reached = std::max(reached, f);
      progress(reached);
    };
  }
  detail::Outcome out = moments->compute(mine);
  moments.reset();
  if (out.refusal.empty()) return std::move(out.blocks);
  Progress rest;
  if (progress) {
    const double from = std::min(reached, 0.99);
    rest = [&progress, from](double f) { progress(from + (1.0 - from) * f); };
  }
  return pairs->compute(rest).blocks;
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
