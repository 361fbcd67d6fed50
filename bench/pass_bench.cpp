// The pass over pairs alone, in ns per accepted pair, stage by stage: where the time of a
// calculation goes (docs/engines.md records what these printed).
//
//   pass_bench [--atoms N] [--cutoff RC] [--triclinic] [--finite-atoms M] [--threads T]
//              [--repeats K]
//
// Periodic box (N atoms, default 2x10^5; 0 skips it): bench/periodic_bench.py's box, a simple
// cubic lattice at 0.07 atoms per cubic Angstrom, every site moved by a normal of 0.25 of the
// spacing per coordinate, one atom in three of type 1; --triclinic shears its cell as LAMMPS
// writes one (no axis upright). For each search the cell allows (bins; columns where c is
// upright) the pass runs whole and with the distances dropped once found: the search and the
// tests of the candidates, then the square roots, bins and additions as the difference. It
// prints partners tested per accepted pair and ns per accepted pair of one thread (wall time x
// threads).
//
// Finite model (M atoms, default 34500; 0 skips it): the same lattice without images, every
// pair, through the moments engine on a single Q value (the sums in Q then cost next to
// nothing).
//
// Each figure is the best of K runs (default 3): on a shared machine the least disturbed run
// is the closest to the pass's own cost.
#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "scatter/engine.hpp"
#include "scatter/periodic_pairs.hpp"
#include "scatter/request.hpp"

namespace zalmor::scatter {
namespace {

constexpr double kDensity = 0.07;

struct Box {
  util::Model model;
  std::array<double, 9> cell{};
};

Box lattice_box(int n, bool triclinic) {
  const double length = std::cbrt(n / kDensity);
  const int m = static_cast<int>(std::ceil(std::cbrt(static_cast<double>(n)) - 1e-9));
  std::mt19937_64 rng(1);
  std::vector<int> sites(static_cast<std::size_t>(m) * static_cast<std::size_t>(m) *
                         static_cast<std::size_t>(m));
  std::iota(sites.begin(), sites.end(), 0);
  std::shuffle(sites.begin(), sites.end(), rng);
  sites.resize(static_cast<std::size_t>(n));
  std::sort(sites.begin(), sites.end());
  std::normal_distribution<double> jitter(0.0, 0.25);
  Box b;
  const double tilt = triclinic ? length : 0.0;
  b.cell = {length, 0, 0, 0.2 * tilt, length, 0, 0.15 * tilt, -0.1 * tilt, length};
  for (const int s : sites) {
    const std::array<double, 3> f = {(s / (m * m) + 0.5 + jitter(rng)) / m,
                                     ((s / m) % m + 0.5 + jitter(rng)) / m,
                                     (s % m + 0.5 + jitter(rng)) / m};
    for (std::size_t k = 0; k < 3; ++k) {
      b.model.xyz.push_back(
          static_cast<float>(f[0] * b.cell[k] + f[1] * b.cell[3 + k] + f[2] * b.cell[6 + k]));
    }
    b.model.type.push_back(b.model.type.size() % 3 == 0 ? 1 : 2);
  }
  return b;
}

template <class Run>
double best_seconds(int repeats, Run&& run) {
  double best = 1e300;
  for (int k = 0; k < repeats; ++k) {
    const auto t0 = std::chrono::steady_clock::now();
    run();
    best = std::min(best,
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
  }
  return best;
}

struct Options {
  int atoms = 200000, finite_atoms = 34500, threads = 1, repeats = 3;
  double cutoff = 20;
  bool triclinic = false;
};

void periodic(const Options& o, const BlockRequest& request) {
  const Box box = lattice_box(o.atoms, o.triclinic);
  std::printf("periodic box, %d atoms, r_c %g A%s, %d thread(s): ns per pair of one thread\n",
              o.atoms, o.cutoff, o.triclinic ? ", triclinic" : "", o.threads);
  std::printf("  %-8s %12s %8s %10s %10s %10s\n", "search", "pairs", "tested", "search", "bin+add",
              "whole");
  const bool upright = box.cell[6] == 0.0 && box.cell[7] == 0.0;
  for (const auto& [name, search] : {std::pair{"bins", detail::PairSearch::kBins},
                                     std::pair{"columns", detail::PairSearch::kColumns}}) {
    if (search == detail::PairSearch::kColumns && !upright) continue;
    detail::PeriodicPairs got;
    const auto pass = [&](bool drop) {
      got = detail::periodic_pairs(box.model, box.cell, o.cutoff, request, o.threads, search, drop);
    };
    const double found_only = best_seconds(o.repeats, [&] { pass(true); });
    const double whole = best_seconds(o.repeats, [&] { pass(false); });
    auto pairs = static_cast<double>(got.direct.size());
    for (const auto& h : got.groups) {
      for (const auto& m : h.bins) pairs += static_cast<double>(m.n);
    }
    const double per = 1e9 * o.threads / pairs;
    std::printf("  %-8s %12.4g %8.3f %10.3f %10.3f %10.3f\n", name, pairs,
                static_cast<double>(got.candidates) / pairs, found_only * per,
                (whole - found_only) * per, whole * per);
  }
}

void finite(const Options& o, const BlockRequest& request) {
  const Box box = lattice_box(o.finite_atoms, false);
  const std::vector<float> q = {1.0f};
  const double seconds = best_seconds(
      o.repeats, [&] { compute_blocks(Impl::Moments, box.model, q, request, o.threads); });
  const double pairs = 0.5 * o.finite_atoms * (o.finite_atoms - 1.0);
  std::printf("finite model, %d atoms, every pair, %d thread(s): %.3f ns per pair of one thread\n",
              o.finite_atoms, o.threads, 1e9 * seconds * o.threads / pairs);
}

int run(int argc, char** argv) {
  Options o;
  for (int k = 1; k < argc; ++k) {
    const std::string opt = argv[k];
    const char* v = k + 1 < argc ? argv[k + 1] : "";
    if (opt == "--triclinic") {
      o.triclinic = true;
      continue;
    }
    if (opt == "--atoms")
      o.atoms = std::atoi(v);
    else if (opt == "--cutoff")
      o.cutoff = std::atof(v);
    else if (opt == "--finite-atoms")
      o.finite_atoms = std::atoi(v);
    else if (opt == "--threads")
      o.threads = std::max(1, std::atoi(v));
    else if (opt == "--repeats")
      o.repeats = std::max(1, std::atoi(v));
    else {
      std::fprintf(stderr, "pass_bench: unknown option %s\n", opt.c_str());
      return 2;
    }
    ++k;
  }
  const BlockRequest request = make_block_request(2, {4.1491f, 5.803f}, 1.0f, Thermal{});
  if (o.atoms > 0) periodic(o, request);
  if (o.finite_atoms > 0) finite(o, request);
  return 0;
}

}  // namespace
}  // namespace zalmor::scatter

int main(int argc, char** argv) { return zalmor::scatter::run(argc, argv); }
