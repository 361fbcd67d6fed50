// The chirp-z sums in Q against the direct sums (block_sum) and a long double evaluation of
// the same coefficients, on the driver's float grids; then whole blocks against double
// precision.
#include "scatter/moments_chirpz.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "scatter/moments_engine.hpp"
#include "support/double_eval.hpp"
#include "support/urms_records.hpp"

namespace zalmor::scatter {
namespace {

using namespace test_support;
using detail::BinCoefficients;

// A group's coefficients shaped like a histogram's: p0 about n / c, the others smaller by
// the powers of the bin width they carry, blocks left empty inside and at both ends.
BinCoefficients random_group(int lo, int blocks, unsigned stream) {
  std::mt19937 rng(stream);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  std::poisson_distribution<int> count(40.0);
  BinCoefficients c;
  c.lo = lo;
  c.count = blocks * detail::kBlockBins;
  const auto n = static_cast<std::size_t>(c.count);
  c.p0.assign(n, 0.0);
  c.p2.assign(n, 0.0);
  c.q1.assign(n, 0.0);
  c.q3.assign(n, 0.0);
  c.used.assign(static_cast<std::size_t>(blocks), 0);
  for (int b = 1; b + 1 < blocks; ++b) {
    if (b % 7 == 3) continue;
    c.used[static_cast<std::size_t>(b)] = 1;
    for (int k = 0; k < detail::kBlockBins; ++k) {
      const auto i = static_cast<std::size_t>(b * detail::kBlockBins + k);
      const double centre = (lo + static_cast<double>(i) + 0.5) * detail::kBinWidth;
      const double y = static_cast<double>(count(rng)) / centre;
      c.p0[i] = y * (1.0 + 1e-3 * unit(rng));
      c.p2[i] = y * 1e-4 * unit(rng);
      c.q1[i] = y * 1e-3 * unit(rng);
      c.q3[i] = y * 1e-6 * unit(rng);
    }
  }
  return c;
}

// The direct sums as the engine runs them, at the Q values `at`.
std::vector<double> direct_sums(const BinCoefficients& c, const std::vector<float>& q,
                                const std::vector<std::size_t>& at) {
  const int lanes = detail::double_lanes();
  std::vector<double> lre(static_cast<std::size_t>(lanes)), lim(lre.size()), out;
  for (std::size_t k : at) {
    const double qk = q[k], qw = qk * detail::kBinWidth;
    for (int l = 0; l < lanes; ++l) {
      lre[static_cast<std::size_t>(l)] = std::cos(qw * l);
      lim[static_cast<std::size_t>(l)] = std::sin(qw * l);
    }
    double s = 0;
    for (int b = 0; b < c.count / detail::kBlockBins; ++b) {
      if (c.used[static_cast<std::size_t>(b)] && qk != 0.0) {
        s += detail::block_sum(c, b, qk, lre.data(), lim.data(), std::cos(qw * lanes),
                               std::sin(qw * lanes));
      }
    }
    out.push_back(s);
  }
  return out;
}

// The same with phases exact to 1e-15 (formed and reduced in long double) and sums in long
// double: the yardstick of both.
double exact_sum(const BinCoefficients& c, double q) {
  if (q == 0.0) return 0.0;
  const long double ql = q, turn = 6.283185307179586476925286766559005768L;
  long double s = 0;
  for (std::size_t i = 0; i < c.p0.size(); ++i) {
    if (!c.used[i / detail::kBlockBins]) continue;
    const long double centre =
        (c.lo + static_cast<long double>(i) + 0.5L) * static_cast<long double>(detail::kBinWidth);
    const long double t = ql * centre / turn;
    const double x = static_cast<double>(t - std::nearbyint(t)) * 6.283185307179586;
    s += std::sin(x) * (c.p0[i] + q * q * c.p2[i]) + q * std::cos(x) * (c.q1[i] + q * q * c.q3[i]);
  }
  return static_cast<double>(s);
}

// Every Q value of short grids, about 100 spread over long ones (first and last included).
std::vector<std::size_t> sample(std::size_t n) {
  std::vector<std::size_t> at;
  const std::size_t step = std::max<std::size_t>(1, n / 100);
  for (std::size_t k = 0; k < n; k += step) at.push_back(k);
  if (at.back() != n - 1) at.push_back(n - 1);
  return at;
}

struct Grid {
  std::string name;
  std::vector<float> q;
};

std::vector<Grid> driver_grids() {
  std::vector<Grid> grids;
  for (bool zero : {false, true}) {
    const std::string from = zero ? " from 0" : " from dQ";
    for (int n : {1, 2, 3, 2500, 100000}) {
      grids.push_back({std::to_string(n) + from, driver_grid(50.0f, n, zero)});
    }
    // Qmax not a whole number of steps: the driver rounds the count, the step is Qmax / n.
    const auto n = static_cast<int>(std::llround(49.99f / 0.0007f));
    grids.push_back({"49.99 / 0.0007" + from, driver_grid(49.99f, n, zero)});
  }
  return grids;
}

TEST(ChirpzSums, MatchDirectAndExactSumsOnDriverGrids) {
  struct Group {
    std::string name;
    BinCoefficients c;
    double c_max;
  };
  // 0.5 to 100 Angstrom, where the float grid's phase errors reach 1e-3 radians; one block at
  // 200 Angstrom, where the phases are largest; one from bin 0.
  const std::vector<Group> groups = {{"0.5-100 A", random_group(512, 100, 3), 100.5},
                                     {"200 A", random_group(204800, 3, 5), 203.0},
                                     {"0-40 A", random_group(0, 40, 5), 40.0}};
  for (const Grid& g : driver_grids()) {
    detail::ChirpzSums sums(g.q);
    ASSERT_TRUE(sums.uniform()) << g.name;
    for (const Group& group : groups) {
      if (group.name != groups[0].name && g.q.size() != 2500) continue;
      SCOPED_TRACE(g.name + ", " + group.name);
      const BinCoefficients& c = group.c;
      std::vector<double> s, bound;
      ASSERT_TRUE(sums.transform(c, 2, s, bound));
      ASSERT_EQ(s.size(), g.q.size());
      const auto at = sample(g.q.size());
      const auto direct = direct_sums(c, g.q, at);
      double worst = 0;
      for (std::size_t i = 0; i < at.size(); ++i) {
        const std::size_t k = at[i];
        const double q = g.q[k];
        if (q == 0.0) {
          EXPECT_EQ(s[k], 0.0);
          continue;
        }
        const double err = std::abs(s[k] - exact_sum(c, q));
        ASSERT_LE(err, bound[k]) << "Q = " << q;
        worst = std::max(worst, err / bound[k]);
        // Plus the direct sums' own rounding, as the engine bounds it.
        double weight = 0;
        for (std::size_t b = 0; b < c.p0.size(); ++b) {
          weight += std::abs(c.p0[b]) + q * q * std::abs(c.p2[b]) +
                    q * (std::abs(c.q1[b]) + q * q * std::abs(c.q3[b]));
        }
        const double direct_round = (4e-13 + 4e-16 * q * group.c_max) * weight;
        EXPECT_NEAR(s[k], direct[i], bound[k] + direct_round) << "Q = " << q;
      }
      RecordProperty("worst_error_over_bound_" + g.name + "_" + group.name, std::to_string(worst));
      EXPECT_LT(worst, 0.5) << "the error uses more than half its bound";
    }
  }
}

TEST(ChirpzSums, RefuseWhatTheyCannotSum) {
  const BinCoefficients c = random_group(512, 40, 7);
  std::vector<double> s, bound;
  // Values that are no grid: a log scale, one value moved by 1e-4.
  std::vector<float> log_scale;
  for (int k = 0; k < 500; ++k) log_scale.push_back(0.01f * std::pow(1.01f, static_cast<float>(k)));
  std::vector<float> moved = driver_grid(50.0f, 2500, false);
  moved[1234] += 1e-4f;
  for (const auto& q : {log_scale, moved}) {
    detail::ChirpzSums sums(q);
    EXPECT_FALSE(sums.uniform());
    EXPECT_FALSE(sums.cheaper(c));
    EXPECT_FALSE(sums.transform(c, 1, s, bound));
  }
  // Thermal factors per bin do not factor out.
  const auto grid = driver_grid(50.0f, 2500, false);
  detail::ChirpzSums sums(grid);
  BinCoefficients tail = c;
  tail.tail = true;
  EXPECT_FALSE(sums.cheaper(tail));
  EXPECT_FALSE(sums.transform(tail, 1, s, bound));
  EXPECT_TRUE(s.empty() && bound.empty());
  // Short grids and narrow groups at few Q values stay with the direct sums; long grids do
  // not.
  const auto three = driver_grid(50.0f, 3, false), forty = driver_grid(50.0f, 40, false);
  EXPECT_FALSE(detail::ChirpzSums(three).cheaper(c));
  EXPECT_FALSE(detail::ChirpzSums(forty).cheaper(random_group(512, 3, 7)));
  EXPECT_TRUE(sums.cheaper(c));
  EXPECT_LT(detail::chirpz_seconds(150e3, 100000, 50.0),
            0.02 * detail::direct_sum_seconds(150e3, 100000));
}

// Whole blocks: the engine takes the transforms for long grids and stays within 1e-7 of
// double precision, inside its bound.
TEST(MomentsChirpz, WholeBlocksMatchDoublePrecision) {
  const util::Model model = random_model(40, 10.0f, 2, 23);
  // Option 3 splits each type pair into a narrow group of short distances and a wide one;
  // under option 4 the tails keep the direct sums, between groups that take the transforms.
  UrmsTable table;
  add_record(table, 1, 1, 1, {0.05f, 0.08f}, {2.5f});
  add_record(table, 2, 2, 1, {0.06f, 0.09f}, {3.0f});
  add_record(table, 1, 2, 3, {0.07f, 300.0f}, {3.5f});
  add_record(table, 2, 1, 3, {0.07f, 300.0f}, {3.5f});
  struct Run {
    Grid grid;
    int option;
  };
  const std::vector<Run> runs = {
      {{"2500 from dQ", driver_grid(50.0f, 2500, false)}, 0},
      {{"2500 from dQ", driver_grid(50.0f, 2500, false)}, 3},
      {{"2500 from dQ", driver_grid(50.0f, 2500, false)}, 4},
      {{"100000 from 0", driver_grid(50.0f, 100000, true)}, 0},
      {{"49.99 / 0.0007 from dQ", driver_grid(49.99f, 71414, false)}, 0}};
  for (const auto& [g, option] : runs) {
    SCOPED_TRACE(g.name + ", option " + std::to_string(option));
    BlockRequest req = request_for(2, {4.1491f, 5.803f}, 40.0f);
    req.thermal = thermal_option(option);
    req.thermal.urms = &table;
    std::vector<std::vector<float>> got, one;
    ASSERT_TRUE(detail::compute_moments(model, g.q, req, 2, {}, got));
    const auto report = detail::last_moments_report();
    EXPECT_GT(report.chirpz_groups, 0);
    const auto err = relative_errors(got, double_eval(model, g.q, req, UrmsOracle(&table), 2));
    for (std::size_t b = 0; b < err.size(); ++b) {
      EXPECT_LT(err[b], 1e-7) << "block " << b + 1;
      EXPECT_LE(err[b], report.bound[b] + 6e-8) << "block " << b + 1;
    }
    if (g.q.size() == 2500) {
      ASSERT_TRUE(detail::compute_moments(model, g.q, req, 1, {}, one));
      EXPECT_EQ(one, got) << "the thread count changed the blocks";
    }
  }
}

}  // namespace
}  // namespace zalmor::scatter
