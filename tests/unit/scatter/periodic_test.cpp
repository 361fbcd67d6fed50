// Periodic boxes: minimum images in skewed cells against a brute-force search over images
// (with and without the modification function), the continuum subtraction on an ideal gas, Bragg
// peaks of a crystal, thread independence and the refusals.
#include "scatter/periodic.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "scatter/engine.hpp"
#include "scatter/periodic_pairs.hpp"
#include "scatter/weights.hpp"

namespace zalmor::scatter {
namespace {

BlockRequest request_for(const std::vector<float>& b, float nnorm, ThermalOption option,
                         std::vector<float> u = {}) {
  BlockRequest req;
  req.ntypes = static_cast<int>(b.size());
  for (int t = 1; t <= req.ntypes; ++t) req.partials.push_back({t, t});
  for (int a = 1; a < req.ntypes; ++a)
    for (int c = a + 1; c <= req.ntypes; ++c) req.partials.push_back({a, c});
  for (const TypePair& p : req.partials) {
    req.weight.push_back(
        static_cast<float>(pair_weight(b[static_cast<std::size_t>(p.first - 1)],
                                       b[static_cast<std::size_t>(p.second - 1)], nnorm)));
  }
  req.bbar = b;
  req.total_weight = 1.0f / nnorm;
  req.thermal.option = option;
  req.thermal.uij.fill(0.05f);
  for (std::size_t k = 0; k < u.size(); ++k) req.thermal.uij[k] = u[k];
  return req;
}

util::Model random_box(int n, const std::array<double, 9>& cell, int ntypes, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  util::Model m;
  for (int i = 0; i < n; ++i) {
    const double s[3] = {unit(rng), unit(rng), unit(rng)};
    for (std::size_t k = 0; k < 3; ++k) {
      m.xyz.push_back(static_cast<float>(s[0] * cell[k] + s[1] * cell[3 + k] + s[2] * cell[6 + k]));
    }
    m.type.push_back(1 + i % ntypes);
  }
  return m;
}

std::vector<float> grid(double from, double to, double step) {
  std::vector<float> q;
  for (double v = from; v <= to + 1e-9; v += step) q.push_back(static_cast<float>(v));
  return q;
}

double largest(const std::vector<float>& v) {
  double m = 0;
  for (float x : v) m = std::max(m, static_cast<double>(std::abs(x)));
  return m;
}

TEST(PeriodicContinuum, SphereIntegralMatchesQuadratureAndItsLimit) {
  const double rc = 7.5;
  for (double q : {0.0, 1e-4, 0.003, 0.2, 1.0, 7.3}) {
    // Simpson's rule of 4 pi r^2 sinc(q r) over [0, rc].
    const int n = 20000;
    const double h = rc / n;
    double s = 0;
    for (int k = 0; k <= n; ++k) {
      const double r = k * h;
      const double x = q * r;
      const double f = 4.0 * std::numbers::pi * r * r * (x == 0.0 ? 1.0 : std::sin(x) / x);
      s += f * (k == 0 || k == n ? 1.0 : (k % 2 != 0 ? 4.0 : 2.0));
    }
    s *= h / 3.0;
    EXPECT_NEAR(continuum_sphere(q, rc), s, 1e-9 * 4.0 * std::numbers::pi * rc * rc * rc)
        << "q " << q;
  }
}

// The closed form of the continuum under sinc(pi r / rc), against quadrature, near its
// removable singularities (q = 0 and q = pi / rc) and on both sides of where it changes form.
TEST(PeriodicContinuum, SincWindowedSphereMatchesQuadrature) {
  const double rc = 7.5, a = std::numbers::pi / rc;
  for (double q : {0.0, 1e-7, 0.003, 0.5 * a * (1 - 1e-12), 0.5 * a, a * (1 - 1e-9), a,
                   a * (1 + 1e-6), 1.0, 7.3, 49.99}) {
    const int n = 200000;
    const double h = rc / n;
    double s = 0;
    for (int k = 0; k <= n; ++k) {
      const double r = k * h;
      const double x = q * r, y = a * r;
      const double f = 4.0 * std::numbers::pi * r * r * (x == 0.0 ? 1.0 : std::sin(x) / x) *
                       (y == 0.0 ? 1.0 : std::sin(y) / y);
      s += f * (k == 0 || k == n ? 1.0 : (k % 2 != 0 ? 4.0 : 2.0));
    }
    s *= h / 3.0;
    EXPECT_NEAR(continuum_sphere_sinc(q, rc), s, 1e-10 * rc * rc * rc) << "q " << q;
  }
  EXPECT_NEAR(continuum_sphere_sinc(0.0, rc), 4.0 * rc * rc * rc / std::numbers::pi, 1e-12 * rc);
  EXPECT_NEAR(continuum_sphere_sinc(a, rc), 2.0 * rc * rc * rc / std::numbers::pi, 1e-12 * rc);
}

// Cells with few atoms: every block against a double-precision sum over the one image of each
// pair within the cutoff, found by trying all nearby lattice vectors; with and without the
// modification function, which weights each pair at its own distance. A skewed cell with the
// cutoff at half its width (rows of bins that wrap onto themselves through two images), and
// with a short cutoff; a rectangular cell, whose corner bins beyond the cutoff are left out,
// with a short cutoff.
class PeriodicPairsBruteForce : public ::testing::TestWithParam<Modification> {};

TEST_P(PeriodicPairsBruteForce, CellsMatchBruteForceImages) {
  const Modification mod = GetParam();
  const std::array<double, 9> skewed = {14.0, 0.0, 0.0, 5.5, 12.0, 0.0, -3.0, 4.0, 13.0};
  const std::array<double, 9> rectangular = {16.0, 0.0, 0.0, 0.0, 19.0, 0.0, 0.0, 0.0, 14.5};
  const struct {
    std::array<double, 9> cell;
    double share;  // cutoff / half the smallest width
  } cases[] = {{skewed, 0.999}, {skewed, 0.47}, {rectangular, 0.81}};
  const std::vector<float> b = {3.6f, -2.1f};
  const std::vector<float> q = grid(0.0, 20.0, 0.05);
  for (const auto& setup : cases) {
    for (const ThermalOption option :
         {ThermalOption::kNone, ThermalOption::kPerPartial, ThermalOption::kShortLong}) {
      const std::array<double, 9>& cell = setup.cell;
      const CellShape shape = cell_shape(cell);
      const double rc = 0.5 * shape.smallest_width() * setup.share;
      const util::Model m = random_box(300, cell, 2, 7);
      const BlockRequest req = request_for(b, 300.0f, option, {0.07f, 0.11f, 0.09f});
      std::vector<double> zero;
      const auto got = compute_periodic_blocks(m, cell, rc, q, req, 2, {}, &zero, mod);
      ASSERT_EQ(got.size(), 4u);
      auto weight = [&](double r) {
        const double x = std::numbers::pi * r / rc;
        return mod == Modification::kSinc ? std::sin(x) / x : 1.0;
      };
      auto sphere = [&](double qv) {
        return mod == Modification::kSinc ? continuum_sphere_sinc(qv, rc)
                                          : continuum_sphere(qv, rc);
      };
      const std::vector<double> qd(q.begin(), q.end()), bd(b.begin(), b.end());
      const std::vector<double> wd(req.weight.begin(), req.weight.end());
      const double tw = req.total_weight;
      std::vector<std::vector<double>> want(4, std::vector<double>(q.size(), 0.0));
      std::vector<double> want_zero(4, 0.0);
      auto u_of = [&](int tp, double r) {
        if (option == ThermalOption::kNone) return 0.0;
        if (option == ThermalOption::kPerPartial)
          return double{req.thermal.uij[static_cast<std::size_t>(tp)]};
        return double{req.thermal.uij[r < double{req.thermal.rcut} ? 0 : 1]};
      };
      const auto n = static_cast<std::size_t>(m.natoms());
      for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = i + 1; j < n; ++j) {
          for (int sa = -2; sa <= 2; ++sa)
            for (int sb = -2; sb <= 2; ++sb)
              for (int sc = -2; sc <= 2; ++sc) {
                double d2 = 0;
                for (std::size_t k = 0; k < 3; ++k) {
                  const double d = double{m.xyz[3 * j + k]} - double{m.xyz[3 * i + k]} +
                                   sa * cell[k] + sb * cell[3 + k] + sc * cell[6 + k];
                  d2 += d * d;
                }
                if (d2 >= rc * rc) continue;
                const double r = static_cast<float>(std::sqrt(d2));
                const int ta = std::min(m.type[i], m.type[j]), tb = std::max(m.type[i], m.type[j]);
                const int tp = ta == tb ? ta - 1 : 2;
                const double wp = wd[static_cast<std::size_t>(tp)] * (ta == tb ? 2.0 : 1.0);
                const double wt = 2.0 * tw * 0.01 * bd[static_cast<std::size_t>(ta - 1)] *
                                  bd[static_cast<std::size_t>(tb - 1)];
                const double u = u_of(tp, r);
                const double w = weight(r);
                for (std::size_t k = 0; k < q.size(); ++k) {
                  const double x = qd[k] * r;
                  const double t = w * (x == 0.0 ? 1.0 : std::sin(x) / x) *
                                   std::exp(-0.5 * u * u * qd[k] * qd[k]);
                  want[static_cast<std::size_t>(tp)][k] += wp * t;
                  want[3][k] += wt * t;
                }
                want_zero[static_cast<std::size_t>(tp)] += wp * w;
                want_zero[3] += wt * w;
              }
        }
      }
      // The continuum: N_A N_B / V ordered pairs per unit volume, the long-distance u.
      const double nt[3] = {150.0, 150.0};
      for (int tp = 0; tp < 3; ++tp) {
        const int ta = tp == 2 ? 1 : tp + 1, tb = tp == 2 ? 2 : tp + 1;
        const double w = wd[static_cast<std::size_t>(tp)];
        const double wt = tw * 0.01 * bd[static_cast<std::size_t>(ta - 1)] *
                          bd[static_cast<std::size_t>(tb - 1)] * (ta == tb ? 1.0 : 2.0);
        const double dens = nt[ta - 1] * nt[tb - 1] / shape.volume;
        const double u = u_of(tp, 1e30);
        for (std::size_t k = 0; k < q.size(); ++k) {
          const double c = dens * sphere(qd[k]) * std::exp(-0.5 * u * u * qd[k] * qd[k]);
          want[static_cast<std::size_t>(tp)][k] -= w * c;
          want[3][k] -= wt * c;
        }
        want_zero[static_cast<std::size_t>(tp)] -= w * dens * sphere(0.0);
        want_zero[3] -= wt * dens * sphere(0.0);
      }
      for (std::size_t blk = 0; blk < 4; ++blk) {
        const double scale = largest(got[blk]);
        ASSERT_GT(scale, 0.0);
        for (std::size_t k = 0; k < q.size(); ++k) {
          ASSERT_NEAR(got[blk][k], want[blk][k], 2e-6 * scale)
              << "cutoff " << rc << " option " << static_cast<int>(option) << " block " << blk + 1
              << " Q " << q[k];
        }
        EXPECT_NEAR(zero[blk], want_zero[blk], 1e-9 * std::abs(want_zero[blk]) + 1e-9);
        EXPECT_NEAR(got[blk][0], want_zero[blk], 2e-6 * scale);
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Modifications, PeriodicPairsBruteForce,
                         ::testing::Values(Modification::kNone, Modification::kSinc),
                         [](const ::testing::TestParamInfo<Modification>& p) {
                           return p.param == Modification::kSinc ? "Sinc" : "None";
                         });

// Atoms given outside the cell are its images: wrapping them changes nothing but rounding.
TEST(PeriodicPairs, PositionsOutsideTheCellAreTheirImages) {
  const std::array<double, 9> cell = {20.0, 0.0, 0.0, 0.0, 20.0, 0.0, 0.0, 0.0, 20.0};
  util::Model m = random_box(400, cell, 1, 3);
  // On a grid of 2^-10 A the shifts below and the wrapping back are exact.
  for (float& v : m.xyz) v = std::round(v * 1024.0f) / 1024.0f;
  const std::vector<float> q = grid(0.5, 15.0, 0.1);
  const BlockRequest req = request_for({5.0f}, 400.0f, ThermalOption::kNone);
  const auto inside = compute_periodic_blocks(m, cell, 10.0, q, req, 1);
  for (std::size_t i = 0; i < m.xyz.size(); i += 2) m.xyz[i] += (i % 3 == 0 ? 40.0f : -20.0f);
  const auto shifted = compute_periodic_blocks(m, cell, 10.0, q, req, 1);
  const double scale = largest(inside[1]);
  for (std::size_t k = 0; k < q.size(); ++k) EXPECT_NEAR(shifted[1][k], inside[1][k], 1e-6 * scale);
}

// Uniform random positions: S(Q) = 1 + i(Q) 100 / b^2 scatters about 1 with no trend once the
// continuum is taken out.
TEST(PeriodicPhysics, IdealGasHasStructureFactorOne) {
  const int n = 20000;
  const double length = std::cbrt(n / 0.05);
  const std::array<double, 9> cell = {length, 0, 0, 0, length, 0, 0, 0, length};
  const util::Model m = random_box(n, cell, 1, 11);
  const float b = 5.0f;
  const BlockRequest req = request_for({b}, static_cast<float>(n), ThermalOption::kNone);
  const std::vector<float> q = grid(1.0, 20.0, 0.01);
  const auto got = compute_periodic_blocks(m, cell, 0.5 * length, q, req, 0);
  double mean = 0, low = 0, high = 0;
  const std::size_t nq = q.size();
  for (std::size_t k = 0; k < nq; ++k) {
    const double s = 1.0 + double{got[1][k]} * 100.0 / (double{b} * double{b});
    mean += s;
    (k < nq / 2 ? low : high) += s;
  }
  mean /= static_cast<double>(nq);
  EXPECT_NEAR(mean, 1.0, 0.003);
  EXPECT_NEAR(low / static_cast<double>(nq / 2), high / static_cast<double>(nq - nq / 2), 0.005);
}

// An fcc box: the largest values near the first two peaks sit at 2 pi sqrt(h^2+k^2+l^2) / a.
TEST(PeriodicPhysics, FccBoxHasBraggPeaksWhereExpected) {
  const int cells = 10;
  const double a = 3.6;
  util::Model m;
  const double basis[4][3] = {{0, 0, 0}, {0.5, 0.5, 0}, {0.5, 0, 0.5}, {0, 0.5, 0.5}};
  for (int x = 0; x < cells; ++x)
    for (int y = 0; y < cells; ++y)
      for (int z = 0; z < cells; ++z)
        for (const auto& p : basis) {
          m.xyz.push_back(static_cast<float>((x + p[0]) * a));
          m.xyz.push_back(static_cast<float>((y + p[1]) * a));
          m.xyz.push_back(static_cast<float>((z + p[2]) * a));
          m.type.push_back(1);
        }
  const double length = cells * a;
  const std::array<double, 9> cell = {length, 0, 0, 0, length, 0, 0, 0, length};
  const BlockRequest req =
      request_for({10.3f}, static_cast<float>(m.natoms()), ThermalOption::kOneU, {0.05f});
  const std::vector<float> q = grid(2.0, 4.5, 0.002);
  const auto got = compute_periodic_blocks(m, cell, 0.5 * length, q, req, 2);
  auto peak_in = [&](double from, double to) {
    double best = -1e300, at = 0;
    for (std::size_t k = 0; k < q.size(); ++k) {
      if (double{q[k]} < from || double{q[k]} > to) continue;
      if (double{got[1][k]} > best) {
        best = got[1][k];
        at = q[k];
      }
    }
    return std::pair{at, best};
  };
  const double q111 = 2.0 * std::numbers::pi * std::sqrt(3.0) / a;
  const double q200 = 2.0 * std::numbers::pi * 2.0 / a;
  const auto [at111, v111] = peak_in(2.2, 0.5 * (q111 + q200));
  const auto [at200, v200] = peak_in(0.5 * (q111 + q200), 4.2);
  EXPECT_NEAR(at111, q111, 0.02);
  EXPECT_NEAR(at200, q200, 0.02);
  // Peaks stand far above the background between and below them.
  const auto [at_low, v_low] = peak_in(2.0, 2.5);
  EXPECT_GT(v111, 10.0 * std::abs(v_low));
  EXPECT_GT(v200, 10.0 * std::abs(v_low));
}

// A skewed cell (bins) and an upright one (columns).
TEST(PeriodicPairs, BlocksAreBitwiseTheSameOnOneAndTwoThreads) {
  for (const std::array<double, 9>& cell :
       {std::array<double, 9>{30.0, 0.0, 0.0, 4.0, 28.0, 0.0, 2.0, -3.0, 27.0},
        std::array<double, 9>{30.0, 0.0, 0.0, 0.0, 28.0, 0.0, 0.0, 0.0, 27.0}}) {
    util::Model m = random_box(6000, cell, 3, 5);
    // Coincident and close atoms go to the terms summed one by one.
    for (int k = 0; k < 3; ++k)
      m.xyz[3 + static_cast<std::size_t>(k)] = m.xyz[static_cast<std::size_t>(k)];
    m.xyz[6] = m.xyz[0] + 0.3f;
    const std::vector<float> q = grid(0.0, 30.0, 0.01);
    const BlockRequest req =
        request_for({3.0f, 6.0f, -1.5f}, 6000.0f, ThermalOption::kShortLong, {0.04f, 0.09f});
    const double rc = 0.5 * cell_shape(cell).smallest_width();
    for (const Modification mod : {Modification::kNone, Modification::kSinc}) {
      std::vector<double> zero_one, zero_two;
      const auto one = compute_periodic_blocks(m, cell, rc, q, req, 1, {}, &zero_one, mod);
      const auto two = compute_periodic_blocks(m, cell, rc, q, req, 2, {}, &zero_two, mod);
      ASSERT_EQ(one.size(), two.size());
      for (std::size_t blk = 0; blk < one.size(); ++blk) {
        for (std::size_t k = 0; k < q.size(); ++k) {
          ASSERT_EQ(std::bit_cast<std::uint32_t>(one[blk][k]),
                    std::bit_cast<std::uint32_t>(two[blk][k]))
              << "block " << blk + 1 << " Q " << q[k];
        }
        EXPECT_EQ(std::bit_cast<std::uint64_t>(zero_one[blk]),
                  std::bit_cast<std::uint64_t>(zero_two[blk]));
      }
    }
  }
}

// Eight types with one scattering length are one type to the total; with a long cutoff their
// 36 type pairs' histograms take more than one pass over the pairs.
TEST(PeriodicPairs, TypePairsInSeveralPassesSumToTheOneTypeTotal) {
  const std::array<double, 9> cell = {34.0, 0, 0, 0, 34.0, 0, 0, 0, 34.0};
  util::Model m = random_box(3000, cell, 8, 21);
  const std::vector<float> q = grid(0.5, 25.0, 0.01);
  const std::vector<float> u = {0.06f, 0.06f};
  const auto many = compute_periodic_blocks(
      m, cell, 16.5, q,
      request_for(std::vector<float>(8, 4.0f), 3000.0f, ThermalOption::kShortLong, u), 2);
  std::fill(m.type.begin(), m.type.end(), 1);
  const auto one = compute_periodic_blocks(
      m, cell, 16.5, q, request_for({4.0f}, 3000.0f, ThermalOption::kShortLong, u), 2);
  ASSERT_EQ(many.size(), 37u);
  const double scale = largest(one[1]);
  for (std::size_t k = 0; k < q.size(); ++k) {
    ASSERT_NEAR(many[36][k], one[1][k], 2e-6 * scale) << "Q " << q[k];
    // The total is the like partials plus twice the unlike ones (one atom order each).
    double sum = 0;
    for (std::size_t blk = 0; blk < 36; ++blk) {
      sum += (blk < 8 ? 1.0 : 2.0) * static_cast<double>(many[blk][k]);
    }
    ASSERT_NEAR(sum, one[1][k], 2e-6 * scale) << "Q " << q[k];
  }
}

// Both searches against each other (the same pairs, each once, in the same bins with the same
// offsets) and against a double-precision count over the nearest images of every pair, on
// boxes that stress them: a cutoff at half the cell's width, columns of a few atoms, long
// cells, a hexagonal base (columns that are not rectangles), close pairs summed one by one,
// atoms on the faces of the cell and of the columns, two classes. A skewed cell has bins only.
TEST(PeriodicSearch, BinsAndColumnsFindEveryPairWithinTheCutoffOnce) {
  const double s3 = std::sqrt(3.0);
  const struct {
    const char* name;
    std::array<double, 9> cell;
    int atoms, types;
    double share;  // cutoff / half the smallest width
    ThermalOption option;
    bool grid;  // atoms on a grid of 2.5 A: on the cell's faces and the columns'
  } cases[] = {
      {"cube at half width",
       {20, 0, 0, 0, 20, 0, 0, 0, 20},
       400,
       1,
       1.0,
       ThermalOption::kNone,
       false},
      {"long in z", {16, 0, 0, 0, 17, 0, 0, 0, 60}, 500, 2, 0.93, ThermalOption::kShortLong, false},
      {"long in x", {61, 0, 0, 0, 15, 0, 0, 0, 16}, 500, 2, 0.6, ThermalOption::kNone, false},
      {"a few atoms", {12, 0, 0, 0, 13, 0, 0, 0, 14}, 5, 2, 1.0, ThermalOption::kNone, false},
      {"sparse", {40, 0, 0, 0, 40, 0, 0, 0, 40}, 60, 1, 0.99, ThermalOption::kNone, false},
      {"dense", {12, 0, 0, 0, 12, 0, 0, 0, 12}, 1500, 2, 1.0, ThermalOption::kShortLong, false},
      {"hexagonal", {18, 0, 0, -9, 9 * s3, 0, 0, 0, 21}, 600, 2, 0.9, ThermalOption::kNone, false},
      {"grid", {20, 0, 0, 0, 20, 0, 0, 0, 20}, 512, 1, 1.0, ThermalOption::kNone, true},
      {"skewed", {14, 0, 0, 5.5, 12, 0, -3, 4, 13}, 300, 2, 0.999, ThermalOption::kNone, false},
  };
  for (const auto& c : cases) {
    const CellShape shape = cell_shape(c.cell);
    const double rc = 0.5 * shape.smallest_width() * c.share;
    util::Model m = random_box(c.atoms, c.cell, c.types, 17);
    if (c.grid) {
      for (std::size_t i = 0; i < m.xyz.size(); ++i) {
        const auto k = static_cast<int>(i / 3), axis = static_cast<int>(i % 3);
        m.xyz[i] = 2.5f * static_cast<float>((axis == 0 ? k / 64 : axis == 1 ? k / 8 : k) % 8);
      }
    }
    const BlockRequest req =
        request_for(std::vector<float>(static_cast<std::size_t>(c.types), 1.0f), 1.0f, c.option);
    const bool upright = c.cell[2] == 0 && c.cell[5] == 0 && c.cell[6] == 0 && c.cell[7] == 0;
    const auto search = upright ? detail::PairSearch::kColumns : detail::PairSearch::kAuto;
    const auto bins = detail::periodic_pairs(m, c.cell, rc, req, 2, detail::PairSearch::kBins);
    const auto cols = detail::periodic_pairs(m, c.cell, rc, req, 2, search);
    const auto one = detail::periodic_pairs(m, c.cell, rc, req, 1, search);
    // Per type pair (classes together) and coarse bin of 0.25 A: whole fine bins, edges off the
    // distances of the grid.
    const int ntp = c.types * (c.types + 1) / 2,
              classes = c.option == ThermalOption::kShortLong ? 2 : 1;
    const auto coarse = [&](double r) { return static_cast<std::size_t>((r + 0.125) / 0.25); };
    const std::size_t nc = coarse(rc) + 1;
    std::vector<std::int64_t> got(static_cast<std::size_t>(ntp) * nc, 0);
    for (std::size_t g = 0; g < cols.groups.size(); ++g) {
      ASSERT_EQ(cols.groups[g].bins.size(), bins.groups[g].bins.size()) << c.name;
      for (std::size_t k = 0; k < cols.groups[g].bins.size(); ++k) {
        const detail::BinMoments &u = cols.groups[g].bins[k], &v = bins.groups[g].bins[k],
                                 &w = one.groups[g].bins[k];
        ASSERT_TRUE(u.n == v.n && u.m1 == v.m1 && u.m2 == v.m2 && u.m3 == v.m3)
            << c.name << " group " << g << " bin " << k;
        ASSERT_TRUE(u.n == w.n && u.m1 == w.m1 && u.m2 == w.m2 && u.m3 == w.m3)
            << c.name << " one thread, group " << g << " bin " << k;
        // The histograms run past the cutoff to a whole block of bins: those bins are empty.
        if (u.n == 0) continue;
        const double r = (static_cast<double>(k) + 0.5) / 1024.0;
        got[g / static_cast<std::size_t>(classes) * nc + coarse(r)] +=
            static_cast<std::int64_t>(u.n);
      }
    }
    ASSERT_EQ(cols.direct.size(), bins.direct.size()) << c.name;
    for (std::size_t k = 0; k < cols.direct.size(); ++k) {
      ASSERT_EQ(cols.direct[k].key(), bins.direct[k].key()) << c.name;
      const auto tp = static_cast<std::size_t>(cols.direct[k].gid / classes);
      ++got[tp * nc + coarse(cols.direct[k].r)];
    }
    std::vector<std::int64_t> want(got.size(), 0), near(got.size(), 0);
    const auto n = static_cast<std::size_t>(m.natoms());
    for (std::size_t i = 0; i < n; ++i) {
      for (std::size_t j = i + 1; j < n; ++j) {
        // A skewed cell's nearest image may lie two cells away.
        const int reach = upright ? 1 : 2, side = 2 * reach + 1;
        for (int image = 0; image < side * side * side; ++image) {
          const int sa = image / (side * side) - reach, sb = image / side % side - reach,
                    sc = image % side - reach;
          double d2 = 0;
          for (std::size_t k = 0; k < 3; ++k) {
            const double d = double{m.xyz[3 * j + k]} - double{m.xyz[3 * i + k]} + sa * c.cell[k] +
                             sb * c.cell[3 + k] + sc * c.cell[6 + k];
            d2 += d * d;
          }
          if (d2 >= rc * rc) continue;
          const double r = std::sqrt(d2);
          const int ta = std::min(m.type[i], m.type[j]), tb = std::max(m.type[i], m.type[j]);
          const auto tp = static_cast<std::size_t>(ta == tb ? ta - 1 : c.types + ta - 1);
          ++want[tp * nc + coarse(r)];
          // Rounded otherwise by the pass, r may cross an edge of its coarse bin.
          const double edge = std::round((r + 0.125) / 0.25) * 0.25 - 0.125;
          if (std::abs(r - edge) < 1e-4) ++near[tp * nc + coarse(r)];
        }
      }
    }
    std::int64_t total = 0;
    for (std::size_t k = 0; k < got.size(); ++k) {
      const std::int64_t slack =
          near[k] + (k > 0 ? near[k - 1] : 0) + (k + 1 < near.size() ? near[k + 1] : 0);
      EXPECT_LE(std::abs(got[k] - want[k]), slack)
          << c.name << " type pair " << k / nc << " from "
          << 0.25 * static_cast<double>(k % nc) - 0.125 << " A";
      total += want[k];
    }
    EXPECT_GT(total, 0) << c.name;
  }
}

TEST(PeriodicRefusals, BadCellsCutoffsAndTheUrmsOption) {
  const std::array<double, 9> cube = {10, 0, 0, 0, 12, 0, 0, 0, 14};
  const util::Model m = random_box(10, cube, 1, 1);
  const std::vector<float> q = {1.0f, 2.0f};
  const BlockRequest req = request_for({1.0f}, 10.0f, ThermalOption::kNone);
  try {
    compute_periodic_blocks(m, cube, 5.5, q, req);
    FAIL() << "a cutoff above half the smallest width was taken";
  } catch (const std::invalid_argument& e) {
    const std::string what = e.what();
    EXPECT_NE(what.find("5.5"), std::string::npos) << what;
    EXPECT_NE(what.find("5 A"), std::string::npos) << what;
  }
  EXPECT_THROW(compute_periodic_blocks(m, cube, 0.0, q, req), std::invalid_argument);
  EXPECT_NO_THROW(compute_periodic_blocks(m, cube, 5.0, q, req));
  const std::array<double, 9> flat = {10, 0, 0, 0, 12, 0, 5, 6, 0};
  EXPECT_THROW(compute_periodic_blocks(m, flat, 1.0, q, req), std::invalid_argument);
  std::array<double, 9> nan_cell = cube;
  nan_cell[4] = std::nan("");
  EXPECT_THROW(compute_periodic_blocks(m, nan_cell, 1.0, q, req), std::invalid_argument);
  BlockRequest urms = req;
  urms.thermal.option = ThermalOption::kUrms;
  try {
    compute_periodic_blocks(m, cube, 4.0, q, urms);
    FAIL() << "thermal option 4 was taken";
  } catch (const std::invalid_argument& e) {
    EXPECT_NE(std::string(e.what()).find("option 4"), std::string::npos) << e.what();
  }
}

}  // namespace
}  // namespace zalmor::scatter
