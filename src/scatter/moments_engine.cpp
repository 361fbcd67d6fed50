// The moments engine's first stage and its place behind the engine interface
// (docs/engines.md). One pass over the unordered pairs fills, for every group of pairs
// (groups.hpp), a histogram of 2^-10 Angstrom bins holding each bin's pair count and the sums
// of d, d^2 and d^3, d the offset of a distance from its bin's centre; the sums in Q over the
// bins are the second stage (moments_q_sums.cpp). Pairs closer than 0.5 Angstrom are kept
// apart and summed term by term. The engine gives the calculation back to the planner where
// the bound of the sums fails, a bin overflows, or memory runs out.
//
// Moments are integers (offsets in units of 2^-24 Angstrom) added modulo 2^64, so the
// histograms do not depend on how the pairs were shared among threads.
#include "scatter/moments_engine.hpp"

#include <omp.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <memory>
#include <new>
#include <tuple>
#include <utility>

#include "scatter/engines.hpp"
#include "scatter/groups.hpp"
#include "scatter/moments_q_sums.hpp"
#include "scatter/pairs_engine.hpp"
#include "scatter/region_failure.hpp"
#include "scatter/weights.hpp"

namespace zalmor::scatter::detail {

namespace {

thread_local MomentsReport last_report;

// Histogram memory of one batch of type pairs, all threads together.
constexpr std::size_t kHistogramBudget = std::size_t{32} << 20;
// Pairs per work item of the pass over pairs.
constexpr std::int64_t kItemPairs = 1 << 21;
constexpr int kRowBlock = 512;
// The moments engine runs only where its memory stays below this.
constexpr std::size_t kMemoryLimit = std::size_t{400} << 20;

// Cost model, seconds per unit of work on one core of the development machine.
constexpr double kMomentsPair = 1.0 / 2.5e8;  // pair of the pass over pairs
constexpr double kMomentsBinQ = 1.0 / 2.0e9;  // bin-Q term
constexpr double kMomentsTailBinQ = 1.0 / 6.0e8;
constexpr double kMomentsDirectTerm = 1.0 / 4.0e7;  // pair-Q term of a close pair
// Close pairs kept for the direct sums at most (12 bytes each); beyond, the pairs engine.
constexpr std::int64_t kMaxDirectTerms = std::int64_t{4} << 20;

// Sorted atoms: by type, then by cells of kCell Angstrom along a Morton (Z-order) curve, so
// that any run of consecutive atoms is a compact lump of space. The pass over pairs takes a
// run of rows against a run of partners at a time; compact runs keep the distances of such a
// tile within a narrow range, and the histogram bins they hit within the core's caches.
constexpr float kCell = 3.0f;

// The bits of v (21 of them) spread to every third bit.
std::uint64_t spread3(std::uint64_t v) {
  v &= 0x1fffff;
  v = (v | v << 32) & 0x1f00000000ffffull;
  v = (v | v << 16) & 0x1f0000ff0000ffull;
  v = (v | v << 8) & 0x100f00f00f00f00full;
  v = (v | v << 4) & 0x10c30c30c30c30c3ull;
  v = (v | v << 2) & 0x1249249249249249ull;
  return v;
}

void sort_spatially(PairSource& a) {
  const int nt = static_cast<int>(a.run_begin.size()) - 2;
  if (a.x.empty()) return;
  const float x0 = *std::min_element(a.x.begin(), a.x.end());
  const float y0 = *std::min_element(a.y.begin(), a.y.end());
  const float z0 = *std::min_element(a.z.begin(), a.z.end());
  // Cells past 2^21 per axis (models over 6000 km wide) merge, which only costs speed.
  auto index = [](float v, float v0) {
    return static_cast<std::uint64_t>(std::min((v - v0) / kCell, 2097151.0f));
  };
  auto cell = [&](std::size_t i) {
    return spread3(index(a.x[i], x0)) | spread3(index(a.y[i], y0)) << 1 |
           spread3(index(a.z[i], z0)) << 2;
  };
  // (cell, index) pairs: sorted, atoms of one cell keep their order.
  std::vector<std::pair<std::uint64_t, std::size_t>> order(a.x.size());
  for (std::size_t k = 0; k < order.size(); ++k) order[k] = {cell(k), k};
  for (int t = 1; t <= nt; ++t) {
    const auto b = order.begin() + a.run_begin[static_cast<std::size_t>(t)];
    const auto e = order.begin() + a.run_begin[static_cast<std::size_t>(t) + 1];
    std::sort(b, e);
  }
  PairSource s = a;
  for (std::size_t k = 0; k < order.size(); ++k) {
    const std::size_t from = order[k].second;
    s.x[k] = a.x[from];
    s.y[k] = a.y[from];
    s.z[k] = a.z[from];
    s.type[k] = a.type[from];
    s.orig[k] = a.orig[from];
  }
  a = std::move(s);
}

// An upper bound on the pairs closer than kExactFrom, which the engine sums one by one: the
// pairs within one cell of that width or two neighbouring ones, from the cells' counts.
double close_pair_bound(const PairSource& a) {
  using Cell = std::array<std::int64_t, 3>;
  // Far-apart cells that the clamp merges only make the bound larger.
  const auto index = [](float v) {
    const double c = std::floor(static_cast<double>(v) / static_cast<double>(kExactFrom));
    return static_cast<std::int64_t>(std::clamp(c, -1e15, 1e15));
  };
  std::vector<Cell> all(a.x.size());
  for (std::size_t i = 0; i < a.x.size(); ++i)
    all[i] = {index(a.x[i]), index(a.y[i]), index(a.z[i])};
  std::sort(all.begin(), all.end());
  // The occupied cells in order, with their counts.
  std::vector<Cell> cells;
  std::vector<double> count;
  for (const Cell& c : all) {
    if (cells.empty() || cells.back() != c) {
      cells.push_back(c);
      count.push_back(0.0);
    }
    count.back() += 1.0;
  }
  double pairs = 0.0;
  for (const double n : count) pairs += n * (n - 1.0) / 2.0;
  // Each neighbouring cell once: the 13 of the 26 that come after a cell. A fixed offset
  // keeps the order of cells, so one pass per offset finds every neighbour.
  for (std::int64_t dx = 0; dx <= 1; ++dx) {
    for (std::int64_t dy = -1; dy <= 1; ++dy) {
      for (std::int64_t dz = -1; dz <= 1; ++dz) {
        const bool after = dx > 0 || dy > 0 || (dy == 0 && dz > 0);
        if (!after) continue;
        std::size_t at = 0;
        for (std::size_t i = 0; i < cells.size(); ++i) {
          const Cell want = {cells[i][0] + dx, cells[i][1] + dy, cells[i][2] + dz};
          while (at < cells.size() && cells[at] < want) ++at;
          if (at < cells.size() && cells[at] == want) pairs += count[i] * count[at];
        }
      }
    }
  }
  return pairs;
}

bool finite_model(const util::Model& model) {
  return std::all_of(model.xyz.begin(), model.xyz.end(), [](float v) { return std::isfinite(v); });
}

class Moments {
 public:
  // With for_costs, only what the cost model needs: no tables of correlated Debye tails.
  Moments(const util::Model& model, std::span<const float> q, const BlockRequest& req, int threads,
          const Progress& progress, bool for_costs = false)
      : q_(q), progress_(progress) {
    nblocks_ = static_cast<int>(req.partials.size()) + 1;
    sort_atoms(model, std::max(1, req.ntypes), atoms_);
    sort_spatially(atoms_);
    r_max_ = max_distance(atoms_);
    close_pairs_ = close_pair_bound(atoms_);
    plan_groups(req, for_costs ? 0.0 : r_max_, plan_);
    // Models too wide for the bins are left to the pairs engine by the memory estimate.
    const double bins = std::min(r_max_ * kBinsPerAngstrom + 2.0, 1e9);
    nbins_ = (static_cast<int>(bins) + kBlockBins - 1) / kBlockBins * kBlockBins;
    ranges();
    threads_ = std::max(1, threads > 0 ? threads : omp_get_max_threads());
  }

  // Readies a state built for the estimate for the calculation itself: the tables of the
  // correlated Debye tails, and where progress goes.
  void complete(const BlockRequest& req, const Progress& progress) {
    plan_ = GroupPlan{};
    plan_groups(req, r_max_, plan_);
    ranges();
    progress_ = ThrottledProgress(progress);
    std::vector<int> count(static_cast<std::size_t>(std::max(1, req.ntypes)), 0);
    for (const int t : atoms_.type) ++count[static_cast<std::size_t>(t - 1)];
    scales_ = unit_scales(req, count);
  }

  bool run(std::vector<std::vector<float>>& out) {
    QSums sums(q_, plan_, nblocks_, threads_);
    for (int k = 0; k < nblocks_; ++k)
      sums.set_scale_floor(k, scales_[static_cast<std::size_t>(k)]);
    std::vector<std::vector<int>> batches = plan_batches();
    report_.batches = static_cast<int>(batches.size());
    std::vector<DirectTerm> direct;
    nbatches_ = static_cast<double>(batches.size());
    for (std::size_t b = 0; b < batches.size(); ++b) {
      batch_ = static_cast<double>(b);
      stage_ = 0.0;
      std::vector<Histogram> hist = pass(batches[b], direct);
      if (too_many_direct_) {
        why_ = "more than 4 Mi pairs to sum one by one";
        return false;
      }
      std::size_t groups = 0, done = 0;
      for (const Histogram& h : hist) groups += h.bins.empty() ? 0 : 1;
      for (std::size_t gid = 0; gid < hist.size(); ++gid) {
        if (hist[gid].bins.empty()) continue;
        stage_ = 0.5 + 0.5 * static_cast<double>(done++) / static_cast<double>(groups);
        stage_share_ = 0.5 / static_cast<double>(groups);
        if (!sums.add_group(static_cast<int>(gid), hist[gid],
                            [this](double f) { report_within(stage_share_ * f); })) {
          why_ = "a bin holds too many pairs for its moments";
          return false;
        }
        hist[gid] = Histogram{};
      }
    }
    sums.add_direct(direct);
    report_.direct_pairs = static_cast<std::int64_t>(direct.size());
    std::vector<std::vector<float>> blocks;
    const bool ok = sums.finish(blocks, report_);
    if (!ok) why_ = "its error bound is not well inside the tolerance";
    if (ok) {
      out = std::move(blocks);
      report(1.0);
    }
    return ok;
  }

  MomentsReport moments_report() const { return report_; }
  const char* refusal() const { return why_; }

  // The cost model: both engines' estimated times (seconds of one core) and this engine's
  // memory.
  EngineCosts costs(std::size_t nq, bool urms, std::size_t nblocks) const {
    EngineCosts costs;
    const auto n = static_cast<double>(atoms_.x.size());
    const double pairs = n * (n - 1.0) / 2.0;
    const double nqd = static_cast<double>(nq);
    costs.pairs = pairs_seconds(pairs, nq, urms);
    double sums = 0, tail_bins = 0, chirpz_widest = 0, qmax = 0;
    for (float v : q_) qmax = std::max(qmax, std::abs(static_cast<double>(v)));
    std::size_t widest = 0;
    for (int tp = 0; tp < plan_.ntp; ++tp) {
      widest = std::max(widest, tp_bytes(tp));
      for (int gid : groups_of(tp)) {
        const auto g = static_cast<std::size_t>(gid);
        const double b = hi_[g] - lo_[g];
        if (plan_.groups[g].per_pair) {
          tail_bins += b;
        } else if (chirpz_seconds(b, nq, qmax) < b * nqd * kMomentsBinQ) {
          sums += chirpz_seconds(b, nq, qmax);
          chirpz_widest = std::max(chirpz_widest, b);
        } else {
          sums += b * nqd * kMomentsBinQ;
        }
      }
    }
    // A batch holds at least one type pair's histograms per thread; then the blocks' values
    // and bounds in double, and one group's coefficients.
    const std::size_t batch =
        std::max(kHistogramBudget, widest * static_cast<std::size_t>(threads_));
    // The sums' values and bounds, and their tables of exp(i Q w l) for each lane and Q.
    const auto lanes = static_cast<std::size_t>(double_lanes());
    costs.moments_bytes = batch + nq * nblocks * 2 * sizeof(double) +
                          nq * (lanes + 1) * 2 * sizeof(double) +
                          static_cast<std::size_t>(nbins_) * 8 * sizeof(double) +
                          (chirpz_widest > 0 ? chirpz_bytes(chirpz_widest, nq, qmax, threads_) : 0);
    // Close pairs are summed one by one in double, each over the whole grid: with many
    // of them (a model scaled by 0, atoms packed in a small box) this engine is the slow one.
    costs.close_pairs = close_pairs_;
    costs.moments_bytes += static_cast<std::size_t>(std::min(close_pairs_, 1e15) *
                                                    static_cast<double>(sizeof(DirectTerm)));
    costs.moments_fits =
        costs.moments_bytes <= kMemoryLimit && close_pairs_ <= static_cast<double>(kMaxDirectTerms);
    costs.moments = pairs * kMomentsPair + sums + tail_bins * nqd * kMomentsTailBinQ +
                    close_pairs_ * nqd * kMomentsDirectTerm;
    return costs;
  }

 private:
  int bin_of(double r) const {
    if (!(r > 0.0)) return 0;
    return static_cast<int>(std::min(r * kBinsPerAngstrom, static_cast<double>(nbins_)));
  }

  // Bins [lo, hi) of every group: a class of u covers only its distances.
  void ranges() {
    const auto ng = plan_.groups.size();
    lo_.assign(ng, 0);
    hi_.assign(ng, nbins_);
    auto set = [&](std::size_t gid, double from, double to) {
      const int lo = std::max(0, bin_of(from) - 1) / kBlockBins * kBlockBins;
      const int hi = std::min(nbins_, (bin_of(to) + 1 + kBlockBins) / kBlockBins * kBlockBins);
      lo_[gid] = lo;
      hi_[gid] = std::max(lo, hi);
    };
    const double far = static_cast<double>(nbins_) * kBinWidth;
    if (plan_.option == ThermalOption::kShortLong) {
      for (int tp = 0; tp < plan_.ntp; ++tp) {
        set(static_cast<std::size_t>(2 * tp), 0.0, plan_.rcut);
        set(static_cast<std::size_t>(2 * tp + 1), plan_.rcut, far);
      }
    }
    if (plan_.option != ThermalOption::kUrms) return;
    for (std::size_t gid = 0; gid < ng; ++gid) {
      const GroupSpec& g = plan_.groups[gid];
      const int cls = static_cast<int>(gid % kClasses);
      if (g.record < 0 || cls == kClassDefault) continue;
      const UrmsEval& e = plan_.evals[static_cast<std::size_t>(g.record)];
      auto brk = [&](int m) {
        if (m < 0) return 0.0;
        if (m >= e.npoint - 1) return far;
        return static_cast<double>(e.rbreak[static_cast<std::size_t>(m)]);
      };
      if (cls == kClassTail) {
        set(gid, brk(e.npoint - 2), far);
      } else {
        set(gid, brk(cls - 1), brk(cls));
      }
    }
  }

  // Groups a type pair may fill.
  std::vector<int> groups_of(int tp) const {
    std::vector<int> out;
    if (plan_.option != ThermalOption::kUrms) {
      for (int s = 0; s < plan_.classes(); ++s) out.push_back(tp * plan_.classes() + s);
      return out;
    }
    const auto t = static_cast<std::size_t>(tp);
    const int rp = plan_.rec_partial[t];
    const bool shared = plan_.rec_total[2 * t] == rp && plan_.rec_total[2 * t + 1] == rp;
    for (int role = 0; role < (shared ? 1 : kRoles); ++role) {
      const int rec = role < 2 ? rp : plan_.rec_total[2 * t + static_cast<std::size_t>(role - 2)];
      std::vector<int> classes;
      const UrmsEval* e = rec >= 0 ? &plan_.evals[static_cast<std::size_t>(rec)] : nullptr;
      if (e != nullptr && e->imode == 1) {
        for (int c = 0; c < e->npoint; ++c) classes.push_back(c);
      } else if (e != nullptr && (e->imode == 2 || e->imode == 3)) {
        for (int c = 0; c < e->npoint - 1; ++c) classes.push_back(c);
        classes.push_back(kClassTail);
      } else {
        classes.push_back(kClassDefault);
      }
      for (int c : classes) out.push_back(urms_group(tp, role, c));
    }
    return out;
  }

  std::size_t tp_bytes(int tp) const {
    std::size_t bins = 0;
    for (int gid : groups_of(tp)) {
      const auto g = static_cast<std::size_t>(gid);
      bins += static_cast<std::size_t>(hi_[g] - lo_[g]);
    }
    return bins * sizeof(BinMoments);
  }

  // Type pairs in batches whose histograms (one set per thread) fit the budget.
  std::vector<std::vector<int>> plan_batches() {
    std::vector<std::vector<int>> out;
    std::size_t used = 0;
    for (int tp = 0; tp < plan_.ntp; ++tp) {
      const std::size_t bytes = tp_bytes(tp) * static_cast<std::size_t>(threads_);
      if (out.empty() || (used + bytes > kHistogramBudget && !out.back().empty())) {
        out.emplace_back();
        used = 0;
      }
      out.back().push_back(tp);
      used += bytes;
      report_.histogram_bytes = std::max(report_.histogram_bytes, used);
    }
    return out;
  }

  struct Item {
    int tp, ta, tb, row_begin, row_end;
  };

  std::vector<Item> work_items(const std::vector<int>& tps) const {
    std::vector<Item> items;
    const int nt = plan_.ntypes;
    const auto& rb = atoms_.run_begin;
    for (int a = 1; a <= nt; ++a) {
      for (int b = a; b <= nt; ++b) {
        const int tp = plan_.type_pair(a, b);
        if (std::find(tps.begin(), tps.end(), tp) == tps.end()) continue;
        const int ib = rb[static_cast<std::size_t>(a)], ie = rb[static_cast<std::size_t>(a) + 1];
        const int jb = rb[static_cast<std::size_t>(b)], je = rb[static_cast<std::size_t>(b) + 1];
        int start = ib;
        std::int64_t pairs = 0;
        for (int i = ib; i < ie; ++i) {
          pairs += std::max(0, je - std::max(jb, i + 1));
          if (pairs >= kItemPairs || i + 1 == ie) {
            items.push_back({tp, a, b, start, i + 1});
            start = i + 1;
            pairs = 0;
          }
        }
      }
    }
    return items;
  }

  // One pass over the pairs of the type pairs tps: every group's histogram.
  std::vector<Histogram> pass(const std::vector<int>& tps, std::vector<DirectTerm>& direct) {
    const auto direct_so_far = static_cast<std::int64_t>(direct.size());
    const std::vector<Item> items = work_items(tps);
    const auto ng = plan_.groups.size();
    std::vector<std::vector<Histogram>> per_thread(static_cast<std::size_t>(threads_));
    std::vector<std::vector<DirectTerm>> direct_of(static_cast<std::size_t>(threads_));
    const int n_items = static_cast<int>(items.size());
    std::atomic<int> done{0};
    RegionFailure failure;
    std::atomic<std::int64_t> direct_count{direct_so_far};
#pragma omp parallel num_threads(threads_)
    {
      const auto me = static_cast<std::size_t>(omp_get_thread_num());
      std::vector<Histogram>& hist = per_thread[me];
      std::unique_ptr<RowScratch> scratch;
      failure.guard([&] {
        hist.resize(ng);
        scratch = std::make_unique<RowScratch>();
      });
#pragma omp for schedule(dynamic, 1)
      for (int it = 0; it < n_items; ++it) {
        if (too_many_direct_.load(std::memory_order_relaxed)) continue;
        failure.guard([&] {
          std::vector<DirectTerm>& mine = direct_of[me];
          const std::size_t before = mine.size();
          run_item(items[static_cast<std::size_t>(it)], hist, mine, *scratch);
          const auto added = static_cast<std::int64_t>(mine.size() - before);
          if (direct_count += added; direct_count > kMaxDirectTerms) too_many_direct_ = true;
        });
        const int n = ++done;
        if (me == 0) report_within(0.5 * n / n_items);
      }
    }
    failure.rethrow_if_failed();
    // Integer sums: the order of the threads does not matter.
    std::vector<Histogram> total = std::move(per_thread[0]);
    total.resize(ng);
    for (std::size_t t = 1; t < per_thread.size(); ++t) {
      for (std::size_t gid = 0; gid < per_thread[t].size(); ++gid) {
        Histogram& from = per_thread[t][gid];
        if (from.bins.empty()) continue;
        add_histogram(total[gid], from);
      }
    }
    for (auto& d : direct_of) direct.insert(direct.end(), d.begin(), d.end());
    return total;
  }

  Histogram& hist_of(std::vector<Histogram>& hist, int gid) const {
    Histogram& h = hist[static_cast<std::size_t>(gid)];
    if (h.bins.empty()) {
      const auto g = static_cast<std::size_t>(gid);
      h.lo = lo_[g];
      h.bins.assign(static_cast<std::size_t>(hi_[g] - lo_[g]), BinMoments{});
    }
    return h;
  }

  // Scratch of one thread for a row block: distances, bins, offsets, and the bins the pairs
  // go to (second: option 4's total-only group, or the sink).
  struct RowScratch {
    std::vector<float> r = std::vector<float>(kRowBlock);
    std::vector<std::int32_t> bin = std::vector<std::int32_t>(kRowBlock);
    std::vector<std::int32_t> off = std::vector<std::int32_t>(kRowBlock);
    std::vector<BinMoments*> first = std::vector<BinMoments*>(kRowBlock);
    std::vector<BinMoments*> second = std::vector<BinMoments*>(kRowBlock);
  };

  // The bin of a pair in a histogram (prefetched for the additions that follow), or null
  // when its distance is outside the histogram's bins.
  static BinMoments* bin_in(Histogram& h, float r, std::int32_t bin) {
    const auto at = static_cast<std::size_t>(bin - h.lo);
    if (!(r >= kExactFrom) || bin < h.lo || at >= h.bins.size()) return nullptr;
    BinMoments* m = h.bins.data() + at;
    __builtin_prefetch(m, 1);
    return m;
  }

  static int class_at(const UrmsEval& e, float r) { return e.segment(r); }

  int class_of(int rec, float r) const {
    return rec < 0 ? kClassDefault : class_at(plan_.evals[static_cast<std::size_t>(rec)], r);
  }

  // Each row block in two steps: the pairs' bins are found (and prefetched), then their
  // moments are added, so that many cache misses are in flight at once.
  void run_item(const Item& item, std::vector<Histogram>& hist, std::vector<DirectTerm>& direct,
                RowScratch& sc) const {
    const auto& rb = atoms_.run_begin;
    const int jb0 = rb[static_cast<std::size_t>(item.tb)];
    const int je = rb[static_cast<std::size_t>(item.tb) + 1];
    const auto tpu = static_cast<std::size_t>(item.tp);
    // Option 4: a pair goes to one group when the partial and the total take the same
    // record, else to a partial-only and a total-only group (sums are linear, so this
    // grouping gives the same blocks as routing by equal u).
    const int rp = plan_.option == ThermalOption::kUrms ? plan_.rec_partial[tpu] : -1;
    const bool like = item.ta == item.tb || plan_.total_own_record;
    float* r = sc.r.data();
    std::int32_t* bin = sc.bin.data();
    std::int32_t* off = sc.off.data();
    BinMoments** first = sc.first.data();
    BinMoments** second = sc.second.data();
    // Where the records of pairs left out of every histogram go (and are never read).
    BinMoments sink;
    auto to_direct = [&](int gid, float rr) {
      const GroupSpec& g = plan_.groups[static_cast<std::size_t>(gid)];
      float u = g.u;
      if (g.per_pair) {
        const UrmsEval& e = plan_.evals[static_cast<std::size_t>(g.record)];
        e.classify(rr, u);
      }
      direct.push_back({gid, rr, u});
    };
    // Option 4: the item's histograms by role and class, looked up once.
    const int rec_t[2] = {plan_.option == ThermalOption::kUrms ? plan_.rec_total[2 * tpu] : -1,
                          plan_.option == ThermalOption::kUrms ? plan_.rec_total[2 * tpu + 1] : -1};
    std::array<Histogram*, kRoles * kClasses> slots{};
    const bool shared = rec_t[0] == rp && rec_t[1] == rp;
    const UrmsEval* ep = rp >= 0 ? &plan_.evals[static_cast<std::size_t>(rp)] : nullptr;
    auto place = [&](int role, int cls, int m) {
      Histogram*& h = slots[static_cast<std::size_t>(role * kClasses + cls)];
      if (h == nullptr) h = &hist_of(hist, urms_group(item.tp, role, cls));
      BinMoments* at = bin_in(*h, r[m], bin[m]);
      if (at != nullptr) return at;
      to_direct(urms_group(item.tp, role, cls), r[m]);
      return &sink;
    };
    // Options 0 to 3: the group (option 3: the short one; the long one follows it).
    const bool urms = plan_.option == ThermalOption::kUrms;
    const int gid0 = plan_.group_of(item.tp, 0.0f);
    Histogram* plain = urms ? nullptr : &hist_of(hist, gid0);
    Histogram* far = plan_.option == ThermalOption::kShortLong ? &hist_of(hist, gid0 + 1) : plain;
    // A block of partners against all the item's rows, then the next block: the rows and the
    // block are compact lumps of space (sort_spatially), so each such tile's distances fall
    // in a narrow window of bins, and neighbouring blocks' windows overlap.
    const int j_first = std::max(jb0, item.row_begin + 1);
    for (int jt = j_first; jt < je; jt += kRowBlock) {
      const int jt_end = std::min(je, jt + kRowBlock);
      for (int i = item.row_begin; i < item.row_end; ++i) {
        const int j0 = std::max(jt, i + 1);
        if (j0 >= jt_end) continue;
        const int n = jt_end - j0;
        bin_distances(atoms_, i, j0, n, r, bin, off);
        bool two = false;
        switch (plan_.option) {
          case ThermalOption::kUrms:
            if (shared) {
              // One record for the partial and both atom orders of the total.
              for (int m = 0; m < n; ++m) {
                first[m] = place(0, ep != nullptr ? class_at(*ep, r[m]) : kClassDefault, m);
              }
              break;
            }
            for (int m = 0; m < n; ++m) {
              int orient = 0;
              if (!like) {
                const bool i_first = atoms_.orig[static_cast<std::size_t>(i)] <
                                     atoms_.orig[static_cast<std::size_t>(j0 + m)];
                orient = i_first ? 0 : 1;
              }
              const int rt = rec_t[orient];
              const int cp = class_of(rp, r[m]);
              if (rt == rp) {
                first[m] = place(0, cp, m);
                second[m] = &sink;
              } else {
                first[m] = place(1, cp, m);
                second[m] = place(2 + orient, class_of(rt, r[m]), m);
                two = true;
              }
            }
            break;
          case ThermalOption::kShortLong: {
            const float rcut = plan_.rcut;
            for (int m = 0; m < n; ++m) {
              const bool near = r[m] < rcut;
              first[m] = bin_in(near ? *plain : *far, r[m], bin[m]);
              if (first[m] == nullptr) {
                to_direct(near ? gid0 : gid0 + 1, r[m]);
                first[m] = &sink;
              }
            }
            break;
          }
          default:
            // One histogram: the bins' addresses by SIMD; the few pairs outside it are
            // found afterwards.
            if (bin_pointers(bin, n, *plain, &sink, first) > 0) {
              for (int m = 0; m < n; ++m) {
                if (first[m] == &sink) to_direct(gid0, r[m]);
              }
            }
            break;
        }
        add_pairs(first, off, n);
        if (two) add_pairs(second, off, n);
      }
    }
  }

  // Progress from the calling thread (thread 0 of the teams), at most every 100 ms and
  // rising: the batches share the run equally, each half pass and half sums in Q.
  void report_within(double in_stage) {
    report((batch_ + stage_ + in_stage) / std::max(1.0, nbatches_));
  }

  void report(double fraction) { progress_(fraction); }

  std::span<const float> q_;
  ThrottledProgress progress_;
  int nblocks_ = 1;
  int threads_ = 1;
  PairSource atoms_;
  std::vector<double> scales_;  // the size of 1 in each block's S(Q): its bound's floor
  double r_max_ = 0;
  double close_pairs_ = 0;  // bound on the pairs summed one by one
  GroupPlan plan_;
  int nbins_ = 0;
  std::vector<int> lo_, hi_;
  MomentsReport report_;
  std::atomic<bool> too_many_direct_{false};
  const char* why_ = "";
  double nbatches_ = 1, batch_ = 0, stage_ = 0, stage_share_ = 0;
};

}  // namespace

MomentsReport last_moments_report() { return last_report; }

namespace {

// The engine behind the planner's interface: the atoms are sorted and the groups planned once,
// for the estimate; the calculation completes that state.
class MomentsEngine final : public Engine {
 public:
  explicit MomentsEngine(const EngineInput& calc) : calc_(calc) {
    // Planned but not run (the planner chose the pairs engine) must not leave an earlier
    // calculation's report behind.
    last_report = MomentsReport{};
    if (calc.model.natoms() < 2 || calc.q.empty()) {
      trivial_ = true;
    } else if (!finite_model(calc.model)) {
      refusal_ = "coordinates that are not finite";
    } else {
      state_ = std::make_unique<Moments>(calc.model, calc.q, calc.request, calc.threads, Progress{},
                                         true);
    }
  }

  EngineCosts costs() const {
    if (!state_) {
      EngineCosts c;
      c.moments = trivial_ ? 0.0 : 1e300;
      c.moments_fits = trivial_;
      return c;
    }
    return state_->costs(calc_.q.size(), calc_.request.thermal.option == ThermalOption::kUrms,
                         calc_.request.partials.size() + 1);
  }

  Estimate estimate() const override {
    const EngineCosts c = costs();
    Estimate e{c.moments, c.moments_bytes, refusal_};
    if (e.refusal.empty() && !c.moments_fits) {
      e.refusal = c.close_pairs > static_cast<double>(kMaxDirectTerms)
                      ? "too many pairs closer than 0.5 A"
                      : "its histograms would need more memory than it may take";
    }
    return e;
  }

  Outcome compute(const Progress& progress) override {
    last_report = MomentsReport{};
    Outcome out;
    const std::size_t nb = calc_.request.partials.size() + 1;
    if (trivial_) {
      out.blocks.assign(nb, std::vector<float>(calc_.q.size(), 0.0f));
      last_report.accepted = true;
      if (progress) progress(1.0);
      return out;
    }
    out.refusal = estimate().refusal;
    if (!out.refusal.empty()) return out;
    // Out of memory here is not the end: the pairs engine needs far less.
    try {
      state_->complete(calc_.request, progress);
      const bool ok = state_->run(out.blocks);
      last_report = state_->moments_report();
      if (!ok) out.refusal = state_->refusal();
    } catch (const std::bad_alloc&) {
      out.refusal = "out of memory";
    }
    if (!out.refusal.empty()) out.blocks.clear();
    state_.reset();
    return out;
  }

 private:
  EngineInput calc_;
  bool trivial_ = false;  // nothing to sum: no pairs or no Q values
  std::string refusal_;
  std::unique_ptr<Moments> state_;
};

}  // namespace

std::unique_ptr<Engine> make_moments_engine(const EngineInput& calc) {
  return std::make_unique<MomentsEngine>(calc);
}

EngineCosts estimate_costs(const util::Model& model, std::size_t nq, const BlockRequest& request,
                           int threads) {
  const std::vector<float> q(nq, 1.0f);
  return MomentsEngine({model, q, request, threads}).costs();
}

bool compute_moments(const util::Model& model, std::span<const float> q,
                     const BlockRequest& request, int threads, const Progress& progress,
                     std::vector<std::vector<float>>& out) {
  Outcome o = MomentsEngine({model, q, request, threads}).compute(progress);
  if (!o.refusal.empty()) return false;
  out = std::move(o.blocks);
  return true;
}

}  // namespace zalmor::scatter::detail
