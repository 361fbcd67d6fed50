// Debye-equation kernels: partial functions i_AB(Q) and the total i(Q) of a model. How the
// engines behind compute_blocks work and are chosen: docs/engines.md.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "scatter/request.hpp"
#include "scatter/thermal.hpp"
#include "util/coords_reader.hpp"

namespace zalmor::scatter {

// Euclidean distance between atoms i and j (0-based), squares added in the order x, y, z.
float dist(std::span<const float> xyz, int i, int j);

// Number (1-based) of the unique partial of the unordered type pair {a, b}: like pairs
// (t, t) are 1..ntypes, then the unlike pairs in row order.
int partial_number(int a, int b, int ntypes);

// The literal reference kernels, the yardstick of every faster one: each Q value's terms
// added over the pairs in model order (the loops run pairs outermost, which gives the same
// sums bit for bit), each pair term formed and rounded as the Debye sum is defined, summed
// in double and rounded to float once.
// i_AB(Q) = w * sum over ordered pairs (i != j, type_i = A, type_j = B) of sinc(Q r) T.
void zalmor_partial(const util::Model& model, std::span<const float> q, std::span<float> out,
                    float w, int partial, int type_a, int type_b, const Thermal& thermal);
// i(Q) = 2w * sum over pairs i < j of 0.01 bbar(t_i) bbar(t_j) sinc(Q r) T.
// bbar[t-1] is the scattering length of type t, fm.
void zalmor_total(const util::Model& model, std::span<const float> q, std::span<float> out,
                  std::span<const float> bbar, float w, int ntypes, const Thermal& thermal);

// The engines (docs/engines.md).
enum class Impl {
  Reference,  // the literal kernels above, block by block
  Pairs,      // one visit per unordered pair for all blocks, recurrences in Q
  Moments,    // distance histograms with moments, sums in Q over bins; Pairs where its
              // error bound fails
  Auto,       // the cheaper of Pairs and Moments by a cost model of the run (N, nQ, groups,
              // thermal option, memory)
};

// The engine of a name as users give it (the program's ZALMOR_ENGINE): auto (or nothing),
// pairs, moments or reference; nullopt for any other name.
std::optional<Impl> engine_named(std::string_view name);

// How many threads the calculation can have: `wanted` (0: the machine's count), or fewer
// when the machine has fewer cores (more would only wait on each other) or the system
// cannot start more (a tight address-space limit); `reason` says why.
struct ThreadStart {
  int wanted = 1;
  int threads = 1;
  std::string reason;
};
ThreadStart start_threads(int wanted = 0);

// Called now and then from the calculating thread with the fraction of work done, 0..1.
using Progress = std::function<void(double)>;

// Asks a calculation running on another thread to stop early (an interrupt). The engines
// look at it between pieces of their work (a chunk of pairs, a few Q values) and then give
// up; the calculation throws Stopped.
class StopFlag {
 public:
  void request() noexcept { stop_.store(true, std::memory_order_relaxed); }
  bool requested() const noexcept { return stop_.load(std::memory_order_relaxed); }

 private:
  std::atomic<bool> stop_{false};
};

// A calculation given up at its StopFlag's request.
struct Stopped : std::runtime_error {
  Stopped() : std::runtime_error("the calculation was stopped") {}
};

// Makes `flag` the stop flag of the calculations the calling thread runs while this lives.
class StopScope {
 public:
  explicit StopScope(const StopFlag* flag) noexcept;
  ~StopScope();
  StopScope(const StopScope&) = delete;
  StopScope& operator=(const StopScope&) = delete;

 private:
  const StopFlag* previous_;
};
// The stop flag of the calling thread's calculation, or null. Read it on that thread (the
// engines' worker threads do not have it) and hand it to the workers.
const StopFlag* current_stop_flag() noexcept;
// Throws Stopped when the flag (may be null) asks for a stop.
void throw_if_stopped(const StopFlag* flag);

// Passes a calculation's progress on at most ten times a second, never going backwards
// (an engine that falls back to another keeps rising), and always passes the end.
class ThrottledProgress {
 public:
  explicit ThrottledProgress(Progress progress) : progress_(std::move(progress)) {}
  void operator()(double fraction) {
    if (!progress_) return;
    const auto now = std::chrono::steady_clock::now();
    fraction = std::clamp(fraction, last_fraction_, 1.0);
    if (fraction < 1.0 && now - last_report_ < std::chrono::milliseconds(100)) return;
    last_report_ = now;
    last_fraction_ = fraction;
    progress_(fraction);
  }

 private:
  Progress progress_;
  double last_fraction_ = 0.0;
  std::chrono::steady_clock::time_point last_report_{};
};

// Computes every partial block (index k-1 for partial k) and the total (last index), each
// q.size() values. threads = 0 picks the machine's count; the values do not depend on it.
// Every engine but Reference gives values within 1e-6 of the block's largest |i(Q)|, or of the
// size of 1 in its S(Q) where that is larger (unit_scales), of a double-precision evaluation
// of the same terms at the stored Q values (u of
// correlated-Debye .urms tails within 4e-7 of urms_at). progress is called from the
// calling thread only, now and then, with a rising fraction that ends at 1.
// A periodic request (request.box) goes to the periodic engine whatever `impl` says. The
// memory the calculation will need is estimated first: more than the process can take is
// refused at once (util::OutOfMemory naming the estimate), before any work.
std::vector<std::vector<float>> compute_blocks(Impl impl, const util::Model& model,
                                               std::span<const float> q,
                                               const BlockRequest& request, int threads = 0,
                                               const Progress& progress = {});

// How a finite model's pairs are shared out as jobs, for a cluster's workers or one after
// another: the atoms in k blocks of consecutive atoms A_1..A_k, every pair lies within one
// block or between two, and (every term being one pair's) the sums over all pairs are
//   S = sum_{i<j} S(A_i + A_j) - (k - 2) sum_i S(A_i).
// Each job is one of those sums: the index ranges [first, end) of its atoms and its weight.
struct PairBlockJob {
  std::vector<std::pair<int, int>> ranges;
  double weight = 1.0;
};
// Blocks of atoms at most: some 20000 jobs.
inline constexpr int kMaxPairBlocks = 200;
// The jobs of `natoms` atoms in `blocks` blocks (none given: enough for twice as many jobs
// joining two blocks as `workers`, at least 3), in the order their sums are to be added; a
// single job for fewer than 3 blocks. RequestError for blocks outside 1..kMaxPairBlocks.
std::vector<PairBlockJob> plan_pair_blocks(int natoms, int workers,
                                           std::optional<long long> blocks);

// What calculate() gives: every block as compute_blocks does, each block's limit at Q = 0
// (the same order), and how many threads ran and why not more.
struct Calculation {
  std::vector<std::vector<float>> blocks;
  std::vector<float> zero_q;
  ThreadStart threads;
};

// The whole calculation for a caller outside the program's dialogue (the Python package):
// the request checked (check_request), the threads started (at most the machine's cores), the
// memory estimated, with `caller_bytes` the caller will hold beside it, the blocks computed
// and checked finite (check_blocks_finite). Throws RequestError, util::OutOfMemory, Stopped
// (at the calling thread's StopFlag's request) and what the engines throw.
Calculation calculate(Impl impl, const util::Model& model, std::span<const float> q,
                      const BlockRequest& request, int threads = 0, const Progress& progress = {},
                      std::size_t caller_bytes = 0);

}  // namespace zalmor::scatter
