// The periodic pass over pairs alone (no sums in Q), per search: wall time, pairs within the
// cutoff, partners tested per pair, and ns of CPU per pair, on the box of
// bench/periodic_bench.py (a jittered simple cubic lattice at 0.07 atoms per A^3, one atom in
// three of type 1, the rest type 2), or a triclinic cell of the same volume.
//
//   periodic_pass_bench ATOMS CUTOFF [THREADS [REPEATS [bins|columns] [triclinic]]]
//
// Each search (or the one named) runs REPEATS times in turn; the best time of each is printed. Run
// it under `perf record` to see the candidate tests (HomePairs, ClusterPairs), the binning and
// adding (Flush) and the search's own bookkeeping apart.
#include <omp.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "scatter/periodic_pairs.hpp"

namespace {

using zalmor::scatter::detail::PairSearch;

struct Box {
  zalmor::util::Model model;
  std::array<double, 9> cell{};
};

Box lattice_box(int n, bool triclinic) {
  const double length = std::cbrt(n / 0.07);
  const int m = static_cast<int>(std::ceil(std::cbrt(static_cast<double>(n)) - 1e-9));
  std::mt19937_64 rng(1);
  std::normal_distribution<double> jitter(0.0, 0.25);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::vector<int> sites(static_cast<std::size_t>(m) * m * m);
  for (std::size_t k = 0; k < sites.size(); ++k) sites[k] = static_cast<int>(k);
  std::shuffle(sites.begin(), sites.end(), rng);
  sites.resize(static_cast<std::size_t>(n));
  std::sort(sites.begin(), sites.end());
  Box b;
  // Sheared as LAMMPS writes a triclinic cell (b tilted in x-y, c out of z): no axis upright.
  b.cell = {length,
            0,
            0,
            triclinic ? 0.2 * length : 0.0,
            length,
            0,
            triclinic ? 0.15 * length : 0.0,
            triclinic ? -0.1 * length : 0.0,
            length};
  for (const int s : sites) {
    const std::array<double, 3> f = {(s / (m * m) + 0.5 + jitter(rng)) / m,
                                     ((s / m) % m + 0.5 + jitter(rng)) / m,
                                     (s % m + 0.5 + jitter(rng)) / m};
    for (std::size_t k = 0; k < 3; ++k) {
      b.model.xyz.push_back(
          static_cast<float>(f[0] * b.cell[k] + f[1] * b.cell[3 + k] + f[2] * b.cell[6 + k]));
    }
    b.model.type.push_back(unit(rng) < 1.0 / 3.0 ? 1 : 2);
  }
  return b;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s ATOMS CUTOFF [THREADS [REPEATS [triclinic]]]\n", argv[0]);
    return 2;
  }
  const int n = std::atoi(argv[1]);
  const double cutoff = std::atof(argv[2]);
  const int threads = argc > 3 ? std::atoi(argv[3]) : 2;
  const int repeats = argc > 4 ? std::atoi(argv[4]) : 3;
  bool triclinic = false;
  std::array<bool, 2> run = {true, true};
  for (int k = 5; k < argc; ++k) {
    const std::string word = argv[k];
    triclinic = triclinic || word == "triclinic";
    if (word == "bins" || word == "columns") run = {word == "bins", word == "columns"};
  }
  const Box box = lattice_box(n, triclinic);
  zalmor::scatter::BlockRequest req;
  req.ntypes = 2;
  req.partials = {{1, 1}, {2, 2}, {1, 2}};
  req.weight = {1.0f, 1.0f, 1.0f};
  req.bbar = {4.1491f, 5.803f};
  req.total_weight = 1.0f;
  const struct {
    const char* name;
    PairSearch search;
  } searches[] = {{"bins", PairSearch::kBins}, {"columns", PairSearch::kColumns}};
  std::array<double, 2> best = {std::numeric_limits<double>::infinity(),
                                std::numeric_limits<double>::infinity()};
  std::array<std::uint64_t, 2> pairs{}, tested{};
  for (int r = 0; r < repeats; ++r) {
    for (std::size_t s = 0; s < 2; ++s) {
      if (!run[s]) continue;
      const auto t0 = std::chrono::steady_clock::now();
      const auto got = zalmor::scatter::detail::periodic_pairs(box.model, box.cell, cutoff, req,
                                                               threads, searches[s].search);
      const double dt =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
      best[s] = std::min(best[s], dt);
      std::uint64_t found = got.direct.size();
      for (const auto& h : got.groups)
        for (const auto& m : h.bins) found += m.n;
      pairs[s] = found;
      tested[s] = got.candidates;
    }
  }
  std::printf("%d atoms, cutoff %g A, %d threads%s\n", n, cutoff, threads,
              triclinic ? ", triclinic" : "");
  for (std::size_t s = 0; s < 2; ++s) {
    if (!run[s]) continue;
    std::printf("%-8s %8.3f s  %12llu pairs  %5.3f tested per pair  %6.3f ns CPU per pair\n",
                searches[s].name, best[s], static_cast<unsigned long long>(pairs[s]),
                static_cast<double>(tested[s]) / static_cast<double>(pairs[s]),
                best[s] * threads * 1e9 / static_cast<double>(pairs[s]));
  }
  return run[0] && run[1] && pairs[0] != pairs[1] ? 1 : 0;
}
