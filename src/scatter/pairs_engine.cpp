// The pairs engine (docs/engines.md): one pass over the unordered pairs computes every block.
//
// Pairs are sorted into groups (pairs_kernels.hpp) whose sums are formed by float
// recurrences in Q on the uniform grid that the stored Q values round. How far those sums
// can be from a double-precision evaluation at the stored Q values is estimated per group
// and per Q while they are formed (worst case for the systematic parts, in quadrature for
// roundings); when a block's estimate is not well inside 1e-6 of its largest |i(Q)|, all
// blocks are computed again: with the first-order move to the stored Q values if only that
// was missing, else with double-precision recurrences, and, should even those not do (or
// the grid not be uniform), term by term in double precision.
//
// Threads share a fixed partition of the rows into chunks (independent of the thread count);
// each chunk is summed from zero and the chunks' sums are added along a fixed binary tree, so
// the result does not depend on how many threads ran or in which order chunks finished.
#include "scatter/pairs_engine.hpp"

#include <omp.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "scatter/engines.hpp"
#include "scatter/groups.hpp"
#include "scatter/pairs_kernels.hpp"
#include "scatter/region_failure.hpp"
#include "scatter/thermal.hpp"
#include "scatter/urms_eval.hpp"
#include "scatter/weights.hpp"

namespace zalmor::scatter::detail {

void ChunkState::reset() {
  const auto n = static_cast<std::size_t>(len_pad);
  for (auto& g : slots) {
    if (g->s64) std::memset(g->s64.get(), 0, n * sizeof(double));
    if (g->v64) std::memset(g->v64.get(), 0, n * sizeof(double));
    if (g->c64) std::memset(g->c64.get(), 0, n * sizeof(double));
    if (g->u64) std::memset(g->u64.get(), 0, n * sizeof(double));
    if (g->d64) std::memset(g->d64.get(), 0, n * sizeof(double));
    g->n_all = g->n_rec = g->n_zero = 0;
    g->k2 = 0;
    g->kr2 = 0;
    g->rmax = 0;
    g->batches = 0;
    g->npend = 0;
    for (auto& list : g->ready) list.count = 0;
  }
  zero_pairs.clear();
}

GroupAcc& ChunkState::slot(int gid) {
  int& index = slot_of[static_cast<std::size_t>(gid)];
  if (index < 0) {
    index = static_cast<int>(slots.size());
    slots.push_back(std::make_unique<GroupAcc>());
    slots.back()->gid = gid;
  }
  return *slots[static_cast<std::size_t>(index)];
}

namespace {

thread_local int forced_mode = -1;

constexpr double kTolerance = 1e-6;  // of the block's largest |i(Q)|
constexpr double kSafety = 0.25;     // share of the tolerance the bound may use
constexpr int kSlabMax = 8192;       // Q values per pass over the pairs
constexpr double kChunkWork = 5e8;   // pair-Q terms per chunk
constexpr int kMaxChunks = 4096;
constexpr double kParallelWork = 2e7;  // below this, one thread

// The grid as the recurrences see it.
struct GridFit {
  bool uniform = false;
  double q0 = 0, h = 0;
  std::vector<double> dev;  // stored minus uniform Q
  double qmax_abs = 0;
};

GridFit fit_grid(std::span<const float> q) {
  GridFit g;
  const auto n = q.size();
  for (float v : q) g.qmax_abs = std::max(g.qmax_abs, static_cast<double>(std::abs(v)));
  if (n < 2) return g;
  g.q0 = q[0];
  g.h = (static_cast<double>(q[n - 1]) - g.q0) / static_cast<double>(n - 1);
  if (!std::isfinite(g.h) || !std::isfinite(g.qmax_abs)) return g;
  g.dev.resize(n);
  for (std::size_t k = 0; k < n; ++k) {
    const double uniform = g.q0 + static_cast<double>(k) * g.h;
    const double d = static_cast<double>(q[k]) - uniform;
    // Rounding a uniform grid to float moves each value by about an ulp.
    if (!(std::abs(d) <= 1e-6 * (std::abs(static_cast<double>(q[k])) + std::abs(g.h)))) return g;
    g.dev[k] = d;
  }
  g.uniform = true;
  return g;
}

struct Setup {
  GroupPlan plan;
  PairSource atoms;
  std::int64_t npairs = 0;
  std::vector<std::int64_t> row_prefix;  // pairs before sorted row i
};

// Sums of one slab, over all chunks.
struct GroupTotal {
  std::vector<double> s, c, u, d, v;
  std::int64_t n_all = 0, n_rec = 0, n_zero = 0;
  double k2 = 0, kr2 = 0, rmax = 0;
  bool used = false;
};

void add_into(std::vector<double>& dst, const double* src, int n) {
  if (src == nullptr) return;
  if (dst.empty()) {
    dst.assign(src, src + n);
    return;
  }
  for (int k = 0; k < n; ++k) dst[static_cast<std::size_t>(k)] += src[k];
}

void add_into(std::vector<double>& dst, const std::vector<double>& src) {
  if (src.empty()) return;
  add_into(dst, src.data(), static_cast<int>(src.size()));
}

// The sums of a set of chunks.
struct ChunkSums {
  std::map<int, GroupTotal> groups;
  std::map<std::pair<int, std::uint32_t>, std::int64_t> zero_pairs;
};

// Moves the sums of the chunk just done out of the thread's state.
ChunkSums take_sums(ChunkState& st, int len) {
  ChunkSums out;
  for (const auto& gp : st.slots) {
    const GroupAcc& g = *gp;
    if (g.n_all == 0) continue;
    GroupTotal& t = out.groups[g.gid];
    t.used = true;
    if (g.n_rec > 0) {
      add_into(t.s, g.s64.get(), len);
      add_into(t.v, g.v64.get(), len);
      if (g.c64) {
        add_into(t.c, g.c64.get(), len);
        add_into(t.u, g.u64.get(), len);
      }
    }
    if (g.d64) add_into(t.d, g.d64.get(), len);
    t.n_all = g.n_all;
    t.n_rec = g.n_rec;
    t.n_zero = g.n_zero;
    t.k2 = g.k2;
    t.kr2 = g.kr2;
    t.rmax = g.rmax;
  }
  out.zero_pairs = st.zero_pairs;
  st.reset();
  return out;
}

// left += right.
void combine(ChunkSums& left, ChunkSums& right) {
  for (auto& [gid, r] : right.groups) {
    GroupTotal& t = left.groups[gid];
    t.used = true;
    add_into(t.s, r.s);
    add_into(t.v, r.v);
    add_into(t.c, r.c);
    add_into(t.u, r.u);
    add_into(t.d, r.d);
    t.n_all += r.n_all;
    t.n_rec += r.n_rec;
    t.n_zero += r.n_zero;
    t.k2 += r.k2;
    t.kr2 += r.kr2;
    t.rmax = std::max(t.rmax, r.rmax);
  }
  for (const auto& [key, count] : right.zero_pairs) left.zero_pairs[key] += count;
}

// Adds the chunks' sums along a fixed binary tree over the chunk numbers, whatever order
// they arrive in, so that the result does not depend on which thread did what and no
// thread waits for another.
class ChunkTree {
 public:
  explicit ChunkTree(int nchunks) : nchunks_(nchunks) {}

  void add(int chunk, ChunkSums sums) {
    std::lock_guard<std::mutex> lock(mutex_);
    int level = 0;
    int index = chunk;
    for (;;) {
      if ((1LL << level) >= nchunks_) {
        root_ = std::move(sums);
        return;
      }
      const int sibling = index ^ 1;
      if ((static_cast<long long>(sibling) << level) >= nchunks_) {
        // No chunks on the sibling's side: the node is this side alone.
      } else {
        const auto it = waiting_.find({level, sibling});
        if (it == waiting_.end()) {
          waiting_.emplace(std::make_pair(level, index), std::move(sums));
          return;
        }
        ChunkSums other = std::move(it->second);
        waiting_.erase(it);
        if (index < sibling) {
          combine(sums, other);
        } else {
          combine(other, sums);
          sums = std::move(other);
        }
      }
      ++level;
      index >>= 1;
    }
  }

  ChunkSums& root() { return root_; }

 private:
  int nchunks_;
  std::mutex mutex_;
  std::map<std::pair<int, int>, ChunkSums> waiting_;
  ChunkSums root_;
};

// Per block: sums of the slab in double, the largest |value| and the largest error bound
// (with and without the part that the move to the stored Q values removes).
struct BlockCheck {
  double max_value = 0;
  double max_bound = 0;
  double max_bound_no_grid = 0;
};

class Calculation {
 public:
  Calculation(const util::Model& model, std::span<const float> q, const BlockRequest& req,
              int threads, const Progress& progress)
      : q_(q), progress_(progress) {
    nblocks_ = static_cast<int>(req.partials.size()) + 1;
    sort_atoms(model, std::max(1, req.ntypes), setup_.atoms);
    std::vector<int> count(static_cast<std::size_t>(std::max(1, req.ntypes)), 0);
    for (const int t : setup_.atoms.type) ++count[static_cast<std::size_t>(t - 1)];
    scales_ = unit_scales(req, count);
    const auto n = static_cast<std::int64_t>(setup_.atoms.type.size());
    setup_.npairs = n * (n - 1) / 2;
    setup_.row_prefix.resize(static_cast<std::size_t>(n) + 1, 0);
    for (std::int64_t i = 0; i < n; ++i) {
      setup_.row_prefix[static_cast<std::size_t>(i) + 1] =
          setup_.row_prefix[static_cast<std::size_t>(i)] + (n - 1 - i);
    }
    plan_groups(req, max_distance(setup_.atoms), setup_.plan);
    job_.atoms = &setup_.atoms;
    job_.plan = &setup_.plan;
    job_.q = q;

    const double work = static_cast<double>(setup_.npairs) * static_cast<double>(q.size());
    threads_ = threads > 0 ? threads : omp_get_max_threads();
    if (work < kParallelWork) threads_ = 1;
    threads_ = std::max(1, threads_);
  }

  std::vector<std::vector<float>> run() {
    std::vector<std::vector<float>> out(static_cast<std::size_t>(nblocks_),
                                        std::vector<float>(q_.size(), 0.0f));
    if (q_.empty() || setup_.npairs == 0) {
      report(1.0);
      return out;
    }
    grid_ = fit_grid(q_);
    job_.qmax_abs = grid_.qmax_abs;
    const int lanes = float_lanes();
    Mode mode = Mode::kRecurrence;
    if (!grid_.uniform || static_cast<int>(q_.size()) < 4 * lanes) mode = Mode::kDirect;
    const bool forced = forced_mode >= 0 && forced_mode <= 3;
    if (forced && grid_.uniform) mode = static_cast<Mode>(forced_mode);
    // Passes: the fast one, then as accurate as the bounds demand: the move to the stored Q
    // values when only that is missing, else double precision, and at last term by term.
    passes_planned_ = mode == Mode::kDirect ? 1 : 2;
    for (;;) {
      const std::vector<BlockCheck> checks = pass(mode, out);
      report_.passes = passes_done_;
      report_.final_mode = static_cast<int>(mode);
      report_.bound.clear();
      // Each block is judged against its largest |i(Q)|, or the size of 1 in its S(Q) where
      // that is larger (a grid far from Q = 0).
      std::vector<double> scale(checks.size());
      for (std::size_t b = 0; b < checks.size(); ++b) {
        scale[b] = std::max(checks[b].max_value, scales_[b]);
        report_.bound.push_back(scale[b] > 0 ? checks[b].max_bound / scale[b]
                                             : checks[b].max_bound);
      }
      if (mode == Mode::kDirect || forced) break;
      bool ok = true, ok_on_stored_grid = true;
      for (std::size_t b = 0; b < checks.size(); ++b) {
        const BlockCheck& c = checks[b];
        const double limit = kSafety * kTolerance * scale[b];
        if (c.max_bound > limit) ok = false;
        if (c.max_bound_no_grid > limit) ok_on_stored_grid = false;
      }
      if (ok) break;
      if (mode == Mode::kRecurrence && ok_on_stored_grid) {
        mode = Mode::kRecurrenceCos;
      } else if (mode != Mode::kRecurrenceDouble) {
        mode = Mode::kRecurrenceDouble;
      } else {
        mode = Mode::kDirect;
      }
      ++passes_planned_;
    }
    report(1.0);
    return out;
  }

  PairsReport pairs_report() const {
    PairsReport r = report_;
    r.threads = threads_;
    return r;
  }

 private:
  std::vector<BlockCheck> pass(Mode mode, std::vector<std::vector<float>>& out) {
    std::vector<BlockCheck> checks(static_cast<std::size_t>(nblocks_));
    const int nq = static_cast<int>(q_.size());
    const int lanes = float_lanes();
    job_.mode = mode;
    job_.q0 = grid_.q0;
    job_.h = grid_.h;
    const int nslabs = (nq + kSlabMax - 1) / kSlabMax;
    for (int sl = 0; sl < nslabs; ++sl) {
      job_.k0 = sl * kSlabMax;
      job_.len = std::min(kSlabMax, nq - job_.k0);
      job_.len_pad = (job_.len + kPad - 1) / kPad * kPad;
      grid_factors(lanes);
      run_slab(sl, nslabs);
      assemble(mode, out, checks);
    }
    ++passes_done_;
    return checks;
  }

  // Bounds of k_v / |Q| over the slab (k_v: steps from the slab start), with which the
  // drift of a recurrence, an error in the angle, becomes an error in sinc units.
  void grid_factors(int lanes) {
    double g1 = 0, g2 = 0;
    for (int k = 0; k < job_.len; ++k) {
      const double qk = std::abs(static_cast<double>(q_[static_cast<std::size_t>(job_.k0 + k)]));
      if (qk == 0.0) continue;
      const int kv = k / lanes;
      g1 = std::max(g1, kv / qk);
      if (kv > 0 || job_.k0 > 0) g2 = std::max(g2, std::max(1.0, std::sqrt(double(kv))) / qk);
    }
    job_.g1 = g1;
    job_.g2 = g2;
  }

  void run_slab(int sl, int nslabs) {
    const std::int64_t npairs = setup_.npairs;
    const double work = static_cast<double>(npairs) * job_.len;
    const int nchunks = static_cast<int>(
        std::clamp(std::ceil(work / kChunkWork), 1.0, static_cast<double>(kMaxChunks)));
    const int nrows = static_cast<int>(setup_.atoms.type.size());
    std::vector<int> bounds(static_cast<std::size_t>(nchunks) + 1, nrows);
    bounds[0] = 0;
    for (int c = 1; c < nchunks; ++c) {
      const std::int64_t target = npairs * c / nchunks;
      const auto it = std::lower_bound(setup_.row_prefix.begin(), setup_.row_prefix.end(), target);
      bounds[static_cast<std::size_t>(c)] =
          std::max(bounds[static_cast<std::size_t>(c) - 1],
                   static_cast<int>(it - setup_.row_prefix.begin()));
    }
    RegionFailure failure;
    std::atomic<int> done{0};
    ChunkTree tree(nchunks);
    const int nthreads = std::min(threads_, nchunks);
#pragma omp parallel num_threads(nthreads)
    {
      ChunkState st;
      failure.guard([&] {
        st.slot_of.assign(setup_.plan.groups.size(), -1);
        st.len_pad = job_.len_pad;
      });
#pragma omp for schedule(dynamic, 1)
      for (int c = 0; c < nchunks; ++c) {
        Job job = job_;
        job.row_begin = bounds[static_cast<std::size_t>(c)];
        job.row_end = bounds[static_cast<std::size_t>(c) + 1];
        failure.guard([&] {
          if (job.row_begin < job.row_end) process_chunk(job, st);
          tree.add(c, take_sums(st, job_.len));
        });
        const int n = ++done;
        if (omp_get_thread_num() == 0) {
          report(progress_fraction(sl, nslabs, static_cast<double>(n) / nchunks));
        }
      }
    }
    failure.rethrow_if_failed();
    totals_.assign(setup_.plan.groups.size(), GroupTotal{});
    for (auto& [gid, t] : tree.root().groups) totals_[static_cast<std::size_t>(gid)] = std::move(t);
    zero_pairs_ = std::move(tree.root().zero_pairs);
  }

  double progress_fraction(int sl, int nslabs, double in_slab) const {
    const double pass = (sl + in_slab) / nslabs;
    return (passes_done_ + pass) / std::max(passes_planned_, passes_done_ + 1);
  }

  void report(double fraction) { progress_(fraction); }

  // Block values of the slab from the group sums, and the error bounds.
  void assemble(Mode mode, std::vector<std::vector<float>>& out, std::vector<BlockCheck>& checks) {
    const int len = job_.len;
    const auto nb = static_cast<std::size_t>(nblocks_);
    std::vector<double> value(nb * static_cast<std::size_t>(len), 0.0);
    std::vector<double> lin_grid(value.size(), 0.0), lin_cut(value.size(), 0.0);
    std::vector<double> quad(value.size(), 0.0);
    const bool cos = mode == Mode::kRecurrenceCos || mode == Mode::kRecurrenceDouble;
    const bool cut = mode == Mode::kRecurrence || mode == Mode::kRecurrenceCos;
    const std::size_t total = nb - 1;
    for (std::size_t gid = 0; gid < totals_.size(); ++gid) {
      const GroupTotal& t = totals_[gid];
      if (!t.used) continue;
      const GroupSpec& gs = setup_.plan.groups[gid];
      const double cp = gs.partial >= 0 ? gs.c_partial : 0.0;
      const double ct = gs.c_total;
      const auto bp = static_cast<std::size_t>(gs.partial);
      std::vector<std::pair<double, std::int64_t>> zeros;  // (u, count) of coincident pairs
      for (auto it = zero_pairs_.lower_bound({static_cast<int>(gid), 0});
           it != zero_pairs_.end() && it->first.first == static_cast<int>(gid); ++it) {
        zeros.emplace_back(std::bit_cast<float>(it->first.second), it->second);
      }
      const double grid_share = gs.per_pair ? 2.0 : 1.0;
      for (int k = 0; k < len; ++k) {
        const std::size_t kk = static_cast<std::size_t>(job_.k0 + k);
        const double qk = q_[kk];
        const double tg = gs.damped && !gs.per_pair
                              ? std::exp(-0.5 * (double{gs.u} * qk) * (double{gs.u} * qk))
                              : 1.0;
        double r = t.d.empty() ? 0.0 : t.d[static_cast<std::size_t>(k)];
        double rho = 0.0;
        if (t.n_rec > 0) {
          if (qk == 0.0) {
            r += static_cast<double>(t.n_rec);
          } else {
            double sum = t.s[static_cast<std::size_t>(k)];
            const double dev = grid_.dev.empty() ? 0.0 : grid_.dev[kk];
            if (cos) {
              const double qu = qk - dev;
              sum +=
                  dev * (t.c[static_cast<std::size_t>(k)] - qu * t.u[static_cast<std::size_t>(k)]);
            }
            r += tg * sum / qk;
            rho = std::abs(dev / qk);
          }
        }
        r += static_cast<double>(t.n_zero) * tg;
        for (const auto& [u, count] : zeros)
          r += static_cast<double>(count) * std::exp(-0.5 * (u * qk) * (u * qk));
        // Error bound parts: systematic (stored-grid offset, thermal factors left out) and
        // random (recurrences).
        const double n_rec = static_cast<double>(t.n_rec);
        const double grid_err =
            cos ? rho * (rho * std::abs(qk) * t.rmax + rho) * n_rec : rho * grid_share * n_rec;
        const double cut_err = gs.per_pair && cut ? kGaussFloor * n_rec : 0.0;
        // Rounding of the float sums: a lane's sum takes at most 3 kFlushBatches additions
        // between moves into double, each rounding by up to eps/2 of the sum so far; in
        // quadrature that is about (eps^2 / 12) (n / 3 + 1) times the moved sum squared
        // (v holds those squares, summed over lanes and moves).
        double acc2 = 0.0;
        if (!t.v.empty() && qk != 0.0) {
          constexpr double kEps = 5.9604644775390625e-8;
          acc2 = kEps * kEps / 12.0 * (kFlushBatches + 1.0) * t.v[static_cast<std::size_t>(k)] /
                 (qk * qk);
        }
        // Each term rounded to float: eps of its size, at most min(1, 1 / (Q r)) in sinc units.
        constexpr double kTermEps = 2.0 * 5.9604644775390625e-8;
        const double n_rec_d = static_cast<double>(t.n_rec);
        const double own2 =
            kTermEps * kTermEps * (qk != 0.0 ? std::min(n_rec_d, t.kr2 / (qk * qk)) : n_rec_d);
        const double rand2 = tg * tg * (t.k2 + own2 + acc2);
        auto add = [&](std::size_t b, double c) {
          const std::size_t at = b * static_cast<std::size_t>(len) + static_cast<std::size_t>(k);
          value[at] += c * r;
          lin_grid[at] += std::abs(c) * tg * grid_err;
          lin_cut[at] += std::abs(c) * cut_err;
          quad[at] += c * c * rand2;
        };
        if (cp != 0.0) add(bp, cp);
        if (ct != 0.0) add(total, ct);
      }
    }
    for (std::size_t b = 0; b < nb; ++b) {
      BlockCheck& ch = checks[b];
      for (int k = 0; k < len; ++k) {
        const std::size_t at = b * static_cast<std::size_t>(len) + static_cast<std::size_t>(k);
        const float v = static_cast<float>(value[at]);
        out[b][static_cast<std::size_t>(job_.k0 + k)] = v;
        ch.max_value = std::max(ch.max_value, static_cast<double>(std::abs(v)));
        const double rest = 3.0 * std::sqrt(quad[at]) + lin_cut[at];
        ch.max_bound = std::max(ch.max_bound, lin_grid[at] + rest);
        ch.max_bound_no_grid = std::max(ch.max_bound_no_grid, rest);
      }
    }
  }

  std::span<const float> q_;
  ThrottledProgress progress_;
  std::vector<double> scales_;  // the size of 1 in each block's S(Q): its bound's floor
  int nblocks_ = 1;
  int threads_ = 1;
  Setup setup_;
  Job job_;
  GridFit grid_;
  std::vector<GroupTotal> totals_;
  std::map<std::pair<int, std::uint32_t>, std::int64_t> zero_pairs_;
  int passes_done_ = 0;
  int passes_planned_ = 1;
  PairsReport report_;
};

}  // namespace

namespace {
thread_local PairsReport last_report;
}  // namespace

PairsReport last_pairs_report() { return last_report; }

void force_pairs_mode(int mode) { forced_mode = mode; }
int forced_pairs_mode() { return forced_mode; }

std::vector<std::vector<float>> compute_pairs(const util::Model& model, std::span<const float> q,
                                              const BlockRequest& request, int threads,
                                              const Progress& progress) {
  Calculation calc(model, q, request, threads, progress);
  auto blocks = calc.run();
  last_report = calc.pairs_report();
  return blocks;
}

double pairs_seconds(double pairs, std::size_t nq, bool urms) {
  // Pair-Q terms per second and core, measured; a per-pair u costs the Gaussian's recurrence.
  // Each pair also costs its preparation (distance, grouping, the recurrences' start), which
  // dominates short grids: 34500 atoms at one Q value take about 10 s of one core.
  constexpr double kTerm = 1.0 / 3.5e10, kTailTerm = 1.0 / 1.2e10, kPair = 1.0 / 5.5e7;
  return pairs * (kPair + static_cast<double>(nq) * (urms ? kTailTerm : kTerm));
}

namespace {

class PairsEngine final : public Engine {
 public:
  explicit PairsEngine(const EngineInput& in) : in_(in) {}
  Estimate estimate() const override {
    const auto n = static_cast<double>(in_.model.natoms());
    // Its sums are kept per slab of Q values and thread; beyond the blocks themselves, only
    // the grid's tables grow with the grid (measured: 4 to 6 bytes per Q value).
    const std::size_t per_q = 2 * sizeof(double);
    return {pairs_seconds(n * (n - 1.0) / 2.0, in_.q.size(),
                          in_.request.thermal.option == ThermalOption::kUrms),
            in_.q.size() * per_q + static_cast<std::size_t>(n) * 64, ""};
  }
  Outcome compute(const Progress& progress) override {
    return {compute_pairs(in_.model, in_.q, in_.request, in_.threads, progress), ""};
  }

 private:
  EngineInput in_;
};

}  // namespace

std::unique_ptr<Engine> make_pairs_engine(const EngineInput& in) {
  return std::make_unique<PairsEngine>(in);
}

}  // namespace zalmor::scatter::detail
