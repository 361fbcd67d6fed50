// Throughput of the Debye kernels in pair-Q terms per second (one unordered atom pair at
// one Q value), per engine, thermal option and model size:
//
//   BM_Reference   the literal kernels, 200 atoms, options 0, 1 and 4
//   BM_Fast        the pairs engine, options 0 to 5, all threads and one; short grids
//   BM_FastMode    the pairs engine held to one pass mode, the cost of each fallback
//   BM_Moments     the moments engine (docs/engines.md), options 0 to 5; a long grid
//
// Benchmark arguments: atoms, Q values, thermal option, then threads (0: all) or, for
// BM_FastMode, the pass mode. Option 5 is option 4 with step functions for the like pairs.
//
//   kernel_bench --benchmark_filter=Fast --benchmark_counters_tabular=true
//
// Counters: "terms/s" is N (N - 1) / 2 x nQ per second for the whole compute_blocks call
// (all blocks), the measure the targets are stated in. "rel_err" compares the result with a
// double-precision evaluation at every 250th Q value (every 25th for the moments engine up
// to 8000 atoms): the largest difference over the block's largest |i(Q)|; the float output
// itself rounds at up to 6e-8. "mode" is the pass the pairs engine's error bounds settled
// on: 0 float recurrences, 1 with the move to the stored Q values, 2 double recurrences,
// 3 direct double precision. "accepted" is 0 when the moments engine's bound failed and the
// pairs engine ran, "bound" its largest bound relative to the block's largest |i(Q)|.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "scatter/engine.hpp"
#include "scatter/moments_engine.hpp"
#include "scatter/pairs_engine.hpp"
#include "scatter/urms_eval.hpp"
#include "support/double_eval.hpp"
#include "support/urms_records.hpp"

namespace zalmor::scatter {
namespace {

using test_support::add_record;

// Random two-type model at the density of tools/make_model.py (0.05 atoms per cubic
// Angstrom), half of each type.
util::Model random_model(int n) {
  std::mt19937 rng(12345);
  const float side = std::cbrt(static_cast<float>(n) / 0.05f);
  std::uniform_real_distribution<float> pos(0.0f, side);
  util::Model m;
  for (int i = 0; i < n; ++i) {
    m.xyz.insert(m.xyz.end(), {pos(rng), pos(rng), pos(rng)});
    m.type.push_back(1 + i % 2);
  }
  return m;
}

// The driver's default grid, Q = 0.02 .. 50 in 2500 steps, or fewer points over the same
// range.
std::vector<float> grid(int nq) {
  std::vector<float> q;
  for (int i = 1; i <= nq; ++i) q.push_back(static_cast<float>(i) * 50.0f / static_cast<float>(nq));
  return q;
}

// Every pair under the correlated Debye model (each pair beyond 2.6 A has its own u).
const UrmsTable& debye_table() {
  static const UrmsTable table = [] {
    UrmsTable t;
    add_record(t, 1, 1, 3, {0.06f, 300.0f}, {2.6f});
    add_record(t, 2, 2, 3, {0.07f, 300.0f}, {2.6f});
    add_record(t, 1, 2, 3, {0.065f, 300.0f}, {2.4f});
    add_record(t, 2, 1, 3, {0.065f, 300.0f}, {2.4f});
    return t;
  }();
  return table;
}

// As examples/nacl.urms: step functions for the like pairs, the correlated Debye model for
// the unlike pairs (half of all pairs).
const UrmsTable& mixed_table() {
  static const UrmsTable table = [] {
    UrmsTable t;
    add_record(t, 1, 1, 1, {0.16f, 0.18f, 0.19f}, {4.2f, 6.0f});
    add_record(t, 2, 2, 1, {0.13f, 0.145f, 0.155f}, {4.2f, 6.0f});
    add_record(t, 1, 2, 3, {0.08f, 300.0f}, {2.5f});
    add_record(t, 2, 1, 3, {0.08f, 300.0f}, {2.5f});
    return t;
  }();
  return table;
}

// Thermal option of a benchmark case: 0 to 4, or 5 for option 4 with mixed_table().
BlockRequest request(int option) {
  BlockRequest r;
  r.ntypes = 2;
  r.partials = {{1, 1}, {2, 2}, {1, 2}};
  r.bbar = {3.63f, 9.577f};
  r.weight = {3.63f * 3.63f * 0.01f, 9.577f * 9.577f * 0.01f, 3.63f * 9.577f * 0.01f};
  r.total_weight = 1.0f;
  r.thermal.option = static_cast<ThermalOption>(std::min(option, 4));
  r.thermal.uij[0] = 0.08f;
  r.thermal.uij[1] = 0.11f;
  r.thermal.uij[2] = 0.1f;
  r.thermal.rcut = 3.0f;
  if (option == 4) r.thermal.urms = &debye_table();
  if (option == 5) r.thermal.urms = &mixed_table();
  return r;
}

// Largest difference, over the blocks, between `blocks` and a term-by-term double-precision
// evaluation at every 250th Q value, relative to the block's largest |i(Q)|. Under option 4
// the u of a pair is the engine's (model-3 tails tabulated within 4e-7 of urms_at).
double sampled_error(const util::Model& model, const std::vector<float>& q, const BlockRequest& req,
                     const std::vector<std::vector<float>>& blocks, std::size_t stride = 250) {
  std::vector<float> sub;
  std::vector<std::size_t> at;
  for (std::size_t k = 0; k < q.size(); k += stride) {
    sub.push_back(q[k]);
    at.push_back(k);
  }
  const Thermal& th = req.thermal;
  // u of a pair from the record of (t1, t2), as the engine evaluates it.
  std::vector<detail::UrmsEval> evals;
  std::vector<std::unique_ptr<RecordEvaluator>> exact;
  if (th.urms != nullptr) {
    evals.resize(th.urms->records.size());
    for (std::size_t e = 0; e < evals.size(); ++e) {
      exact.push_back(detail::make_urms_eval(th.urms->records[e], 200.0, evals[e]));
    }
  }
  auto urms_u = [&](float r, int t1, int t2) {
    const UrmsRecord* rec = th.urms != nullptr ? find_record(*th.urms, t1, t2) : nullptr;
    if (rec == nullptr) return 0.05;
    float u = 0.05f;
    evals[static_cast<std::size_t>(rec - th.urms->records.data())].classify(r, u);
    return static_cast<double>(u);
  };
  const auto want = test_support::double_eval(
      model, sub, req, urms_u, static_cast<int>(std::max(1u, std::thread::hardware_concurrency())));
  const std::size_t nb = blocks.size(), ns = sub.size();
  double worst = 0;
  for (std::size_t b = 0; b < nb; ++b) {
    double scale = 0, err = 0;
    for (float v : blocks[b]) scale = std::max(scale, static_cast<double>(std::abs(v)));
    for (std::size_t m = 0; m < ns; ++m) {
      err = std::max(err, std::abs(static_cast<double>(blocks[b][at[m]]) - want[b][m]));
    }
    if (scale > 0) worst = std::max(worst, err / scale);
  }
  return worst;
}

void run(benchmark::State& state, Impl impl) {
  const int n = static_cast<int>(state.range(0));
  const int nq = static_cast<int>(state.range(1));
  const int option = static_cast<int>(state.range(2));
  const int threads = static_cast<int>(state.range(3));
  const util::Model model = random_model(n);
  const std::vector<float> q = grid(nq);
  const BlockRequest req = request(option);
  std::vector<std::vector<float>> blocks;
  for (auto _ : state) {
    blocks = compute_blocks(impl, model, q, req, threads);
    benchmark::DoNotOptimize(blocks.data());
  }
  const double terms = 0.5 * n * (n - 1.0) * nq;
  state.counters["terms/s"] = benchmark::Counter(terms * static_cast<double>(state.iterations()),
                                                 benchmark::Counter::kIsRate);
  if (impl == Impl::Pairs) {
    const detail::PairsReport rep = detail::last_pairs_report();
    state.counters["passes"] = rep.passes;
    state.counters["mode"] = rep.final_mode;
    state.counters["threads"] = rep.threads;
    state.counters["rel_err"] = sampled_error(model, q, req, blocks);
  }
  if (impl == Impl::Moments) {
    const detail::MomentsReport rep = detail::last_moments_report();
    double bound = 0;
    for (double b : rep.bound) bound = std::max(bound, b);
    state.counters["accepted"] = rep.accepted ? 1 : 0;
    state.counters["bound"] = bound;
    state.counters["hist_MiB"] = static_cast<double>(rep.histogram_bytes) / (1 << 20);
    // Every 25th Q value on the smaller models (Q = 0.5, 1.0, ... 50 on the default grid).
    state.counters["rel_err"] = sampled_error(model, q, req, blocks, n <= 8000 ? 25 : 250);
  }
}

void BM_Reference(benchmark::State& state) { run(state, Impl::Reference); }
void BM_Fast(benchmark::State& state) { run(state, Impl::Pairs); }
void BM_Moments(benchmark::State& state) { run(state, Impl::Moments); }

// One pass in the given mode (args: atoms, Q values, thermal option, mode), whatever the
// error bounds would choose: the cost of each fallback.
void BM_FastMode(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const int nq = static_cast<int>(state.range(1));
  const util::Model model = random_model(n);
  const std::vector<float> q = grid(nq);
  const BlockRequest req = request(static_cast<int>(state.range(2)));
  const detail::ForcedPairsMode forced(static_cast<int>(state.range(3)));
  for (auto _ : state) {
    auto blocks = compute_blocks(Impl::Pairs, model, q, req, 0);
    benchmark::DoNotOptimize(blocks.data());
  }
  const double terms = 0.5 * n * (n - 1.0) * nq;
  state.counters["terms/s"] = benchmark::Counter(terms * static_cast<double>(state.iterations()),
                                                 benchmark::Counter::kIsRate);
}

// Args: atoms, Q values, thermal option, threads (0: all).
BENCHMARK(BM_Reference)->ArgsProduct({{200}, {500}, {0, 1, 4}, {1}})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Fast)
    ->ArgsProduct({{2000, 8000}, {2500}, {0, 1, 2, 3, 4, 5}, {0}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_Fast)
    ->ArgsProduct({{8000}, {2500}, {0, 4}, {1}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_FastMode)
    ->ArgsProduct({{4000}, {2500}, {0, 4}, {0, 1, 2, 3}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_Fast)
    ->ArgsProduct({{1000}, {100, 501}, {0}, {0}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
// The moments engine: every option, the sizes of the targets, and a long grid.
BENCHMARK(BM_Moments)
    ->ArgsProduct({{8000, 34500}, {2500}, {0, 1, 2, 3, 4, 5}, {0}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_Moments)
    ->ArgsProduct({{10000}, {20000}, {0}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
}  // namespace zalmor::scatter

BENCHMARK_MAIN();
