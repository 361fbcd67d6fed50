// Pair-distance histograms against brute force: every pair of a finite model at dist(), and
// every pair of a skewed periodic box at its minimum image found by searching the images;
// thread independence and the refusal of an r_max above half the cell's width.
#include "scatter/pair_histogram.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "scatter/engine.hpp"
#include "scatter/periodic.hpp"

namespace zalmor::scatter {
namespace {

constexpr std::array<double, 9> kSkewed = {13.0, 0.0, 0.0, 4.5, 12.0, 0.0, -3.0, 2.5, 14.0};
constexpr std::array<double, 9> kUpright = {13.0, 0.0, 0.0, 4.5, 12.0, 0.0, 0.0, 0.0, 14.0};

util::Model random_model(int n, const std::array<double, 9>& cell, int ntypes, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> unit(-0.3, 1.3);  // some atoms outside the cell
  util::Model m;
  for (int i = 0; i < n; ++i) {
    const double s[3] = {unit(rng), unit(rng), unit(rng)};
    for (std::size_t k = 0; k < 3; ++k) {
      m.xyz.push_back(static_cast<float>(s[0] * cell[k] + s[1] * cell[3 + k] + s[2] * cell[6 + k]));
    }
    m.type.push_back(1 + (i * 7) % ntypes);
  }
  return m;
}

std::size_t slot(const util::Model& m, int i, int j, int ntypes, int bin, int nbins) {
  const int a = m.type[static_cast<std::size_t>(i)], b = m.type[static_cast<std::size_t>(j)];
  const int k = partial_number(std::min(a, b), std::max(a, b), ntypes) - 1;
  return static_cast<std::size_t>(k) * static_cast<std::size_t>(nbins) +
         static_cast<std::size_t>(bin);
}

TEST(PairHistogram, FiniteModelCountsEveryPairAtItsDistance) {
  const int ntypes = 3, nbins = 300;
  const double dr = 0.05;
  const util::Model m = random_model(500, kSkewed, ntypes, 5);
  std::vector<std::int64_t> expect(6 * nbins, 0);
  for (int i = 0; i < m.natoms(); ++i) {
    for (int j = i + 1; j < m.natoms(); ++j) {
      const double bin = std::floor(static_cast<double>(dist(m.xyz, i, j)) / dr);
      if (bin < nbins) ++expect[slot(m, i, j, ntypes, static_cast<int>(bin), nbins)];
    }
  }
  const PairHistogram one = pair_histogram(m, ntypes, dr, nbins, 1);
  EXPECT_EQ(one.count, expect);
  EXPECT_EQ(pair_histogram(m, ntypes, dr, nbins, 3).count, expect);
}

// Every pair of a box against a double-precision count over the nearest images.
void counts_minimum_images(const std::array<double, 9>& cell) {
  const int ntypes = 2;
  const double dr = 0.05;
  const CellShape shape = cell_shape(cell);
  const int nbins = static_cast<int>(0.5 * shape.smallest_width() / dr);
  const util::Model m = random_model(400, cell, ntypes, 9);
  std::vector<std::int64_t> expect(3 * static_cast<std::size_t>(nbins), 0);
  for (int i = 0; i < m.natoms(); ++i) {
    for (int j = i + 1; j < m.natoms(); ++j) {
      double best = std::numeric_limits<double>::infinity();
      for (int na = -3; na <= 3; ++na) {
        for (int nb = -3; nb <= 3; ++nb) {
          for (int nc = -3; nc <= 3; ++nc) {
            double d2 = 0;
            for (std::size_t k = 0; k < 3; ++k) {
              const double d = static_cast<double>(m.xyz[3 * static_cast<std::size_t>(j) + k]) -
                               static_cast<double>(m.xyz[3 * static_cast<std::size_t>(i) + k]) +
                               na * cell[k] + nb * cell[3 + k] + nc * cell[6 + k];
              d2 += d * d;
            }
            best = std::min(best, d2);
          }
        }
      }
      const double bin = std::floor(std::sqrt(best) / dr);
      if (bin < nbins) ++expect[slot(m, i, j, ntypes, static_cast<int>(bin), nbins)];
    }
  }
  EXPECT_EQ(periodic_pair_histogram(m, cell, ntypes, dr, nbins, 1).count, expect);
  EXPECT_EQ(periodic_pair_histogram(m, cell, ntypes, dr, nbins, 3).count, expect);
  // A short r_max, below the spacing of the atoms: the cell lists take wider bins.
  const int few = 30;
  std::vector<std::int64_t> first(3 * few);
  for (std::size_t k = 0; k < 3; ++k) {
    const auto from =
        expect.begin() + static_cast<std::ptrdiff_t>(k * static_cast<std::size_t>(nbins));
    std::copy(from, from + few, first.begin() + static_cast<std::ptrdiff_t>(k * few));
  }
  EXPECT_EQ(periodic_pair_histogram(m, cell, ntypes, dr, few, 2).count, first);

  try {
    periodic_pair_histogram(m, cell, ntypes, dr, nbins + 2, 1);
    FAIL() << "an r_max above half the width was taken";
  } catch (const std::invalid_argument& e) {
    const std::string what = e.what();
    EXPECT_NE(what.find("above half the smallest width"), std::string::npos) << what;
  }
}

// A skewed cell (whose pairs are found by bins) and an upright one (by columns along z).
TEST(PairHistogram, PeriodicBoxCountsMinimumImages) {
  for (const auto& cell : {kSkewed, kUpright}) {
    SCOPED_TRACE(cell[3]);
    counts_minimum_images(cell);
  }
}

}  // namespace
}  // namespace zalmor::scatter
