// Throughput of the Debye kernels in pair-Q terms per second (one unordered atom pair at
// one Q value), for the literal and the fast kernels, per thermal option and model size.
//
//   kernel_bench --benchmark_filter=Fast          the fast engine, all options
//   kernel_bench --benchmark_counters_tabular=true
//
// The counter "terms/s" is N (N - 1) / 2 x nQ per second for the whole compute_blocks call
// (all blocks), the measure the targets are stated in.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "scatter/kernel.hpp"
#include "scatter/kernel_fast.hpp"

namespace zalmor::scatter {
namespace {

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

// Records are filled in place: g++ 12.2 at -O3 (tree SRA) loses a field of a UrmsRecord
// returned by value and then copied into a vector.
void add_debye_record(UrmsTable& t, int t1, int t2, float u0, float rb) {
  UrmsRecord& rec = t.records.emplace_back();
  rec.itype1 = t1;
  rec.itype2 = t2;
  rec.imode = 3;
  rec.npoint = 2;
  rec.urms[0] = u0;
  rec.urms[1] = 300.0f;
  rec.rbreak[0] = rb;
  rec.temp = 300.0f;
  rec.amass1 = 22.99f;
  rec.amass2 = 35.45f;
  rec.theta1 = 320.0f;
  rec.theta2 = 280.0f;
  rec.qdebye1 = 1.38f;
  rec.qdebye2 = 1.5f;
}

const UrmsTable& urms_table() {
  static const UrmsTable table = [] {
    UrmsTable t;
    add_debye_record(t, 1, 1, 0.06f, 2.6f);
    add_debye_record(t, 2, 2, 0.07f, 2.6f);
    add_debye_record(t, 1, 2, 0.065f, 2.4f);
    add_debye_record(t, 2, 1, 0.065f, 2.4f);
    return t;
  }();
  return table;
}

BlockRequest request(int option) {
  BlockRequest r;
  r.ntypes = 2;
  r.ptype1 = {1, 2, 1};
  r.ptype2 = {1, 2, 2};
  r.bbar = {3.63f, 9.577f};
  r.weight = {3.63f * 3.63f * 0.01f, 9.577f * 9.577f * 0.01f, 3.63f * 9.577f * 0.01f};
  r.total_weight = 1.0f;
  r.thermal.option = option;
  r.thermal.uij[0] = 0.08f;
  r.thermal.uij[1] = 0.11f;
  r.thermal.uij[2] = 0.1f;
  r.thermal.rcut = 3.0f;
  if (option == 4) r.thermal.urms = &urms_table();
  return r;
}

void run(benchmark::State& state, Impl impl) {
  const int n = static_cast<int>(state.range(0));
  const int nq = static_cast<int>(state.range(1));
  const int option = static_cast<int>(state.range(2));
  const int threads = static_cast<int>(state.range(3));
  const util::Model model = random_model(n);
  const std::vector<float> q = grid(nq);
  const BlockRequest req = request(option);
  for (auto _ : state) {
    auto blocks = compute_blocks(impl, model, q, req, threads);
    benchmark::DoNotOptimize(blocks.data());
  }
  const double terms = 0.5 * n * (n - 1.0) * nq;
  state.counters["terms/s"] =
      benchmark::Counter(terms * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  if (impl == Impl::Fast) {
    const detail::FastReport rep = detail::last_fast_report();
    state.counters["passes"] = rep.passes;
    state.counters["mode"] = rep.final_mode;
    state.counters["threads"] = rep.threads;
  }
}

void BM_Reference(benchmark::State& state) { run(state, Impl::Reference); }
void BM_Fast(benchmark::State& state) { run(state, Impl::Fast); }

// Args: atoms, Q values, thermal option, threads (0: all).
BENCHMARK(BM_Reference)->ArgsProduct({{200}, {500}, {0, 1, 4}, {1}})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Fast)
    ->ArgsProduct({{2000, 8000}, {2500}, {0, 1, 2, 3, 4}, {0}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_Fast)->ArgsProduct({{8000}, {2500}, {0, 4}, {1}})->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Fast)->ArgsProduct({{1000}, {100, 501}, {0}, {0}})->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace zalmor::scatter

BENCHMARK_MAIN();
