// The pass over pairs alone, in ns per accepted pair: a periodic box (cell lists up to a
// cutoff) and a finite model (every pair), each through the whole calculation on a single Q
// value, so that the sums in Q cost next to nothing and the pass is what is timed.
//
//   pass_bench [--atoms N] [--cutoff RC] [--finite-atoms M] [--threads T] [--repeats K]
//
// The box is bench/periodic_bench.py's: a simple cubic lattice at 0.07 atoms per cubic
// Angstrom, every site moved by a normal of 0.25 of the spacing per coordinate, one atom in
// three of type 1. The finite model is the same lattice without its images. Accepted pairs are
// counted once, by the pair-distance histograms (not timed). Prints the best of K runs (the
// machine is shared: the least disturbed run is the closest to the pass's own cost) as wall
// time, ns per pair of wall time and ns per pair of one thread (wall x threads).
#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "scatter/engine.hpp"
#include "scatter/pair_histogram.hpp"
#include "scatter/periodic.hpp"
#include "scatter/request.hpp"

namespace zalmor::scatter {
namespace {

constexpr double kDensity = 0.07;

struct Box {
  util::Model model;
  double length = 0;
};

Box lattice_box(int n) {
  Box b;
  b.length = std::cbrt(n / kDensity);
  const int m = static_cast<int>(std::ceil(std::cbrt(static_cast<double>(n)) - 1e-9));
  const double spacing = b.length / m;
  std::mt19937_64 rng(1);
  std::vector<int> sites(static_cast<std::size_t>(m) * m * m);
  std::iota(sites.begin(), sites.end(), 0);
  std::shuffle(sites.begin(), sites.end(), rng);
  sites.resize(static_cast<std::size_t>(n));
  std::sort(sites.begin(), sites.end());
  std::normal_distribution<double> jitter(0.0, 0.25);
  for (int s : sites) {
    const std::array<int, 3> ijk = {s / (m * m), (s / m) % m, s % m};
    for (int k : ijk) {
      const double x = std::fmod(((k + 0.5) + jitter(rng)) * spacing + b.length, b.length);
      b.model.xyz.push_back(static_cast<float>(x));
    }
    b.model.type.push_back(b.model.type.size() % 3 == 0 ? 1 : 2);
  }
  return b;
}

double seconds_of(const auto& run, int repeats) {
  double best = 1e300;
  for (int k = 0; k < repeats; ++k) {
    const auto t0 = std::chrono::steady_clock::now();
    run();
    best = std::min(best,
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
  }
  return best;
}

void report(const char* what, double pairs, double wall, int threads) {
  std::printf("%-34s %12.4g pairs %9.3f s %8.3f ns/pair %8.3f ns/pair/thread\n", what, pairs, wall,
              1e9 * wall / pairs, 1e9 * wall * threads / pairs);
}

int run(int argc, char** argv) {
  int natoms = 200000, finite_atoms = 34500, threads = 1, repeats = 3;
  double cutoff = 20;
  for (int k = 1; k + 1 < argc; k += 2) {
    const std::string opt = argv[k];
    const char* v = argv[k + 1];
    if (opt == "--atoms")
      natoms = std::atoi(v);
    else if (opt == "--cutoff")
      cutoff = std::atof(v);
    else if (opt == "--finite-atoms")
      finite_atoms = std::atoi(v);
    else if (opt == "--threads")
      threads = std::atoi(v);
    else if (opt == "--repeats")
      repeats = std::atoi(v);
    else {
      std::fprintf(stderr, "pass_bench: unknown option %s\n", opt.c_str());
      return 2;
    }
  }
  const std::vector<float> q = {1.0f};
  const BlockRequest request = make_block_request(2, {4.1491f, 5.803f}, 1.0f, Thermal{});
  if (natoms > 0) {
    const Box box = lattice_box(natoms);
    const std::array<double, 9> cell = {box.length, 0, 0, 0, box.length, 0, 0, 0, box.length};
    const PairHistogram h = periodic_pair_histogram(box.model, cell, 2, cutoff, 1, threads);
    const auto pairs = static_cast<double>(std::accumulate(h.count.begin(), h.count.end(), 0LL));
    const double wall = seconds_of(
        [&] { compute_periodic_blocks(box.model, cell, cutoff, q, request, threads); }, repeats);
    const std::string what = "periodic " + std::to_string(natoms) + " atoms, r_c " +
                             std::to_string(static_cast<int>(cutoff)) + " A";
    report(what.c_str(), pairs, wall, threads);
  }
  if (finite_atoms > 0) {
    const Box box = lattice_box(finite_atoms);
    const double pairs = 0.5 * finite_atoms * (finite_atoms - 1.0);
    const double wall =
        seconds_of([&] { compute_blocks(Impl::Moments, box.model, q, request, threads); }, repeats);
    const std::string what = "finite " + std::to_string(finite_atoms) + " atoms (moments)";
    report(what.c_str(), pairs, wall, threads);
  }
  return 0;
}

}  // namespace
}  // namespace zalmor::scatter

int main(int argc, char** argv) { return zalmor::scatter::run(argc, argv); }
