// The calculation phase: every partial block and the total, by the chosen engine
// (docs/engines.md).
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "scatter/engine.hpp"
#include "scatter/engines.hpp"
#include "scatter/moments_engine.hpp"
#include "scatter/pairs_engine.hpp"
#include "scatter/periodic.hpp"
#include "scatter/weights.hpp"
#include "util/memory.hpp"

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
    const StopFlag* stop = current_stop_flag();
    for (std::size_t k = 0; k < npart; ++k) {
      throw_if_stopped(stop);
      zalmor_partial(in_.model, in_.q, out.blocks[k], request.weight[k], static_cast<int>(k + 1),
                     request.partials[k].first, request.partials[k].second, request.thermal);
      if (progress) progress(static_cast<double>(k + 1) / static_cast<double>(npart + 1));
    }
    throw_if_stopped(stop);
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

namespace {

// The blocks as the engines hand them back: one float per block and Q value.
std::size_t block_bytes(std::span<const float> q, const BlockRequest& request) {
  return (request.partials.size() + 1) * q.size() * sizeof(float);
}

double largest_q(std::span<const float> q) {
  double qmax = 0.0;
  for (const float v : q) qmax = std::max(qmax, std::abs(static_cast<double>(v)));
  return qmax;
}

// The blocks of a request by the engine the planner picks, `caller_bytes` held beside them;
// zero_q gets the periodic engine's limits at Q = 0 (left alone for a finite model).
std::vector<std::vector<float>> run_planned(Impl impl, const detail::EngineInput& in,
                                            const Progress& progress, std::size_t caller_bytes,
                                            std::vector<double>* zero_q) {
  const std::size_t fixed = block_bytes(in.q, in.request) + caller_bytes;
  constexpr const char* kWhat = "the calculation";
  if (in.request.box) {
    util::check_available_memory(fixed + periodic_bytes(in.model, *in.request.box, in.q.size(),
                                                        largest_q(in.q), in.request, in.threads),
                                 kWhat);
    const PeriodicBox& box = *in.request.box;
    return compute_periodic_blocks(in.model, box.cell, box.cutoff, in.q, in.request, in.threads,
                                   progress, zero_q, box.modification);
  }
  if (impl == Impl::Reference) {
    util::check_available_memory(fixed + in.q.size() * sizeof(double), kWhat);
    return detail::make_reference_engine(in)->compute(progress).blocks;
  }
  const auto pairs = detail::make_pairs_engine(in);
  const std::size_t pairs_bytes = pairs->estimate().bytes;
  if (impl == Impl::Pairs) {
    util::check_available_memory(fixed + pairs_bytes, kWhat);
    return pairs->compute(progress).blocks;
  }

  // The moments engine where it is asked for, or where it is estimated cheaper and takes the
  // calculation; the pairs engine, which never refuses, for everything else.
  auto moments = detail::make_moments_engine(in);
  const detail::Estimate m = moments->estimate();
  if (impl == Impl::Auto && (!m.refusal.empty() || !(m.seconds < pairs->estimate().seconds))) {
    moments.reset();
  }
  if (!moments) {
    util::check_available_memory(fixed + pairs_bytes, kWhat);
    return pairs->compute(progress).blocks;
  }
  // The pairs engine may take over where the moments engine's bound fails: one after the
  // other, so the larger of the two counts; a moments engine that refuses at once (asked for
  // by name) takes nothing.
  util::check_available_memory(fixed + std::max(m.refusal.empty() ? m.bytes : 0, pairs_bytes),
                               kWhat);

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
  throw_if_stopped(current_stop_flag());
  Progress rest;
  if (progress) {
    const double from = std::min(reached, 0.99);
    rest = [&progress, from](double f) { progress(from + (1.0 - from) * f); };
  }
  return pairs->compute(rest).blocks;
}

thread_local const StopFlag* tl_stop = nullptr;

}  // namespace

std::vector<std::vector<float>> compute_blocks(Impl impl, const util::Model& model,
                                               std::span<const float> q,
                                               const BlockRequest& request, int threads,
                                               const Progress& progress) {
  return run_planned(impl, {model, q, request, threads}, progress, 0, nullptr);
}

Calculation calculate(Impl impl, const util::Model& model, std::span<const float> q,
                      const BlockRequest& request, int threads, const Progress& progress,
                      std::size_t caller_bytes) {
  check_request(model, q, request);
  Calculation out;
  out.threads = start_threads(threads);
  std::vector<double> zero;
  out.blocks =
      run_planned(impl, {model, q, request, out.threads.threads}, progress, caller_bytes, &zero);
  throw_if_stopped(current_stop_flag());
  if (request.box) {
    out.zero_q.assign(zero.begin(), zero.end());
  } else {
    std::vector<int> count(static_cast<std::size_t>(request.ntypes), 0);
    for (const int t : model.type) ++count[static_cast<std::size_t>(t - 1)];
    out.zero_q = zero_q_limits(count, request.partials, request.bbar, request.nnorm);
  }
  check_blocks_finite(request, q, out.blocks, out.zero_q);
  return out;
}

std::vector<PairBlockJob> plan_pair_blocks(int natoms, int workers,
                                           std::optional<long long> given) {
  const long long blocks = given.value_or(0);
  if (given && (blocks < 1 || blocks > kMaxPairBlocks)) {
    throw RequestError("pair_blocks must be a whole number from 1 to " +
                       std::to_string(kMaxPairBlocks) + " (up to " +
                       std::to_string(kMaxPairBlocks * (kMaxPairBlocks - 1) / 2 + kMaxPairBlocks) +
                       " jobs), not " + std::to_string(blocks));
  }
  auto k = static_cast<int>(blocks);
  if (k == 0) {
    k = 3;
    while (k < kMaxPairBlocks && k * (k - 1) / 2 < 2 * std::max(1, workers)) ++k;
  }
  k = std::max(1, std::min(k, natoms));
  std::vector<std::pair<int, int>> block;
  for (int i = 0; i < k; ++i) {
    // Rounded as numpy's linspace(0, natoms, k + 1).round() would: the split the package
    // always made, so that results stay bitwise the same.
    const auto edge = [&](int j) {
      if (j == k) return natoms;
      return static_cast<int>(
          std::nearbyint(static_cast<double>(j) * (static_cast<double>(natoms) / k)));
    };
    block.emplace_back(edge(i), edge(i + 1));
  }
  std::vector<PairBlockJob> jobs;
  if (k <= 2) {
    jobs.push_back({block, 1.0});
    return jobs;
  }
  for (int i = 0; i < k; ++i) {
    for (int j = i + 1; j < k; ++j) {
      jobs.push_back(
          {{block[static_cast<std::size_t>(i)], block[static_cast<std::size_t>(j)]}, 1.0});
    }
  }
  for (int i = 0; i < k; ++i) jobs.push_back({{block[static_cast<std::size_t>(i)]}, -(k - 2.0)});
  return jobs;
}

StopScope::StopScope(const StopFlag* flag) noexcept : previous_(tl_stop) { tl_stop = flag; }
StopScope::~StopScope() { tl_stop = previous_; }
const StopFlag* current_stop_flag() noexcept { return tl_stop; }
void throw_if_stopped(const StopFlag* flag) {
  if (flag != nullptr && flag->requested()) throw Stopped();
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
  // More threads than cores only wait on each other (and each takes its own histograms).
  const int cores = std::max(1, omp_get_num_procs());
  if (start.wanted > cores) {
    start.threads = cores;
    start.reason = "the machine has " + std::to_string(cores) + (cores == 1 ? " core" : " cores");
  }
  const int goal = start.reason.empty() ? start.wanted : cores;
  // The runtime ends the process when it cannot start a thread; our own threads of the same
  // default stack find out first, and tell how many can run.
  std::vector<std::thread> probes;
  try {
    while (static_cast<int>(probes.size()) + 1 < goal) probes.emplace_back([] {});
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
