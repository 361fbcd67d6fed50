// The moments engine against a double-precision evaluation of the same terms at the stored Q
// values, on every thermal option and instruction set, on geometries that stress the bins,
// and across thread counts.
#include "scatter/moments_engine.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "scatter/engine.hpp"
#include "scatter/pairs_engine.hpp"
#include "support/double_eval.hpp"

namespace zalmor::scatter {
namespace {

using namespace test_support;

// What the engine must reach where its bound accepts (the contract is 1e-6).
constexpr double kMeasured = 1e-7;

struct MomentsCase {
  std::string name;
  util::Model model;
  std::vector<float> q;
  BlockRequest request;
};

// The moments engine accepts its own result and is within kMeasured of double precision.
void expect_moments_accurate(const MomentsCase& c, const std::vector<std::vector<double>>& want,
                             int threads = 1) {
  std::vector<std::vector<float>> got;
  const bool ok = detail::compute_moments(c.model, c.q, c.request, threads, {}, got);
  const auto report = detail::last_moments_report();
  ASSERT_TRUE(ok) << c.name << ": the bound refused the result";
  const auto err = relative_errors(got, want);
  for (std::size_t b = 0; b < err.size(); ++b) {
    EXPECT_LT(err[b], kMeasured) << c.name << ": block " << b + 1;
    // The bound covers the sums in double; the blocks are then rounded to float.
    EXPECT_LE(err[b], report.bound[b] + 6e-8) << c.name << ": block " << b + 1 << " past its bound";
  }
}

void expect_moments_accurate(const MomentsCase& c) {
  expect_moments_accurate(c, double_eval(c.model, c.q, c.request));
}

// Q up to 60 per Angstrom, past where histogram methods usually fail.
std::vector<float> wide_grid() { return driver_grid(60.0f, 800, true); }

util::Model crystal(int cells, float a) {
  util::Model m;
  for (int x = 0; x < cells; ++x)
    for (int y = 0; y < cells; ++y)
      for (int z = 0; z < cells; ++z) {
        const float fx = static_cast<float>(x) * a, fy = static_cast<float>(y) * a,
                    fz = static_cast<float>(z) * a;
        m.xyz.insert(m.xyz.end(), {fx, fy, fz});
        m.type.push_back(1 + (x + y + z) % 2);
        m.xyz.insert(m.xyz.end(), {fx + 0.5f * a, fy + 0.5f * a, fz + 0.5f * a});
        m.type.push_back(1 + (x + y + z + 1) % 2);
      }
  return m;
}

TEST(MomentsEngine, EveryThermalOptionMatchesDoublePrecision) {
  const util::Model model = random_model(150, 11.0f, 2, 7);
  for (int option : {0, 1, 2, 3}) {
    MomentsCase c{"option " + std::to_string(option), model, wide_grid(),
                  request_for(2, {4.1491f, 5.803f}, 300.0f)};
    c.request.thermal = thermal_option(option);
    expect_moments_accurate(c);
  }
}

TEST(MomentsEngine, UrmsRecordsWithBreaksInsideTheModel) {
  const util::Model model = random_model(110, 10.0f, 2, 11);
  UrmsTable table;
  add_record(table, 1, 1, 1, {0.05f, 0.08f, 0.1f}, {2.5f, 5.0f});
  add_record(table, 2, 2, 2, {0.06f, 0.09f, 0.11f}, {3.0f, 6.5f}).a1 = 0.004f;
  add_record(table, 1, 2, 3, {0.07f, 300.0f}, {3.5f});
  add_record(table, 2, 1, 3, {0.07f, 300.0f}, {3.5f});
  add_record(table, 0, 0, 3, {0.06f, 0.08f, 150.0f}, {2.0f, 4.0f});
  for (bool own : {false, true}) {
    MomentsCase c{own ? "total record" : "partial records", model, wide_grid(),
                  request_for(2, {4.1491f, 5.803f}, 110.0f)};
    c.request.thermal.option = ThermalOption::kUrms;
    c.request.thermal.urms = &table;
    c.request.thermal.total_own_record = own;
    expect_moments_accurate(c);
  }
}

TEST(MomentsEngine, CrystalWithManyEqualDistances) {
  MomentsCase c{"crystal", crystal(4, 2.82f), wide_grid(), request_for(2, {3.63f, 9.577f}, 250.0f)};
  for (int option : {0, 3}) {
    c.request.thermal = thermal_option(option);
    c.request.thermal.rcut = 2.82f * 0.8660254f;  // the nearest-neighbour distance
    expect_moments_accurate(c);
  }
}

TEST(MomentsEngine, PairsJustAcrossBinEdges) {
  // Atoms on a line whose distances fall 5e-5 Angstrom either side of bin edges (multiples of
  // 2^-10 Angstrom), and a few closer than the bins take, one pair coincident.
  util::Model m;
  float x = 0.0f;
  for (int k = 0; k < 40; ++k) {
    m.xyz.insert(m.xyz.end(), {x, 0.0f, 0.0f});
    m.type.push_back(1 + k % 2);
    const float edge = static_cast<float>((700 + 37 * k) / 1024.0);
    x += edge + (k % 2 == 0 ? 5e-5f : -5e-5f);
  }
  for (float d : {0.0f, 0.2f, 0.4999f}) {
    m.xyz.insert(m.xyz.end(), {1.0f, 2.0f + d, 0.0f});
    m.type.push_back(2);
  }
  m.xyz.insert(m.xyz.end(), {1.0f, 2.0f, 0.0f});
  m.type.push_back(1);
  for (int option : {0, 1, 3}) {
    MomentsCase c{"option " + std::to_string(option), m, wide_grid(),
                  request_for(2, {1.0f, 2.0f}, 44.0f)};
    c.request.thermal = thermal_option(option);
    expect_moments_accurate(c);
  }
  EXPECT_EQ(detail::last_moments_report().direct_pairs, 6);
}

TEST(MomentsEngine, PairAtExactlyTheCutoff) {
  // A cutoff equal to a distance of the model: the pair takes the long-distance u, and a
  // pair whose distance rounds differently from dist() would take the other one.
  const auto model = random_model(80, 9.0f, 2, 47);
  const auto q = driver_grid(40.0f, 400, false);
  for (auto [i, j] : {std::pair{3, 17}, std::pair{5, 61}, std::pair{0, 79}}) {
    MomentsCase c{"rcut = r(" + std::to_string(i) + ", " + std::to_string(j) + ")", model, q,
                  request_for(2, {1.0f, 1.0f}, 80.0f)};
    c.request.thermal = thermal_option(3);
    c.request.thermal.uij[0] = 0.01f;
    c.request.thermal.uij[1] = 0.4f;
    c.request.thermal.rcut = dist(model.xyz, i, j);
    expect_moments_accurate(c);
  }
}

TEST(MomentsEngine, CancellingScatteringLengthsStayWithinTheContract) {
  // b of opposite signs: the total is a small difference of large partial sums. Either the
  // bound accepts the moments or the pairs engine takes over; the blocks hold either way.
  const util::Model model = random_model(200, 10.0f, 2, 5);
  const auto q = driver_grid(50.0f, 800, true);
  BlockRequest req = request_for(2, {3.0f, -3.0f}, 200.0f);
  req.thermal = thermal_option(1);
  const auto want = double_eval(model, q, req);
  const auto got = compute_blocks(Impl::Moments, model, q, req, 1);
  for (double e : relative_errors(got, want)) EXPECT_LT(e, 1e-6);
}

TEST(MomentsEngine, RefusesWhereItsBoundFailsAndThePairsEngineTakesOver) {
  // Scattering lengths of opposite sign make the total a small difference, against which
  // the bins' rounding at Q up to 500 outgrows the tolerance: the engine must say so, and
  // compute_blocks must still deliver accurate blocks.
  const util::Model model = random_model(120, 10.0f, 2, 3);
  const std::vector<float> q{0.3f, 0.5f, 50.0f, 500.0f};
  const BlockRequest req = request_for(2, {3.0f, -3.0f}, 120.0f);
  std::vector<std::vector<float>> got;
  EXPECT_FALSE(detail::compute_moments(model, q, req, 1, {}, got));
  EXPECT_FALSE(detail::last_moments_report().accepted);
  std::vector<double> seen;
  const auto blocks =
      compute_blocks(Impl::Moments, model, q, req, 1, [&](double f) { seen.push_back(f); });
  for (double e : relative_errors(blocks, double_eval(model, q, req))) EXPECT_LT(e, 1e-6);
  ASSERT_FALSE(seen.empty());
  EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
  EXPECT_EQ(seen.back(), 1.0);
}

TEST(MomentsEngine, EveryInstructionSetMatchesDoublePrecision) {
  UrmsTable table;
  add_record(table, 1, 1, 3, {0.06f, 300.0f}, {2.4f});
  add_record(table, 1, 2, 1, {0.05f, 0.1f}, {2.5f});
  add_record(table, 2, 2, 2, {0.05f, 0.09f}, {3.1f}).a2 = 0.01f;
  // Small enough for the slowest targets in a sanitizer build: bins cost by the Angstrom.
  const auto model = random_model(50, 6.5f, 2, 43);
  const auto q = driver_grid(55.0f, 150, false);
  const auto targets = detail::pairs_targets();
  ASSERT_FALSE(targets.empty());
  for (int option : {0, 1, 2, 3, 4}) {
    MomentsCase c{"", model, q, request_for(2, {1.0f, 2.0f}, 50.0f)};
    c.request.thermal = thermal_option(option);
    c.request.thermal.urms = &table;
    const auto want = double_eval(c.model, c.q, c.request);
    for (std::int64_t target : targets) {
      const detail::PairsTargetChoice chosen(target);
      c.name = detail::pairs_target_name(target) + " option " + std::to_string(option);
      expect_moments_accurate(c, want);
    }
  }
}

// The vector kernels of the pass over pairs against the scalar rules they stand for, on every
// instruction set: each distance's bin (none below 0.5 Angstrom) and offset as
// bin_and_offset() rounds them, and its record added to its bin as add_moments() adds it,
// with the pairs outside the histogram counted and sent to the sink.
TEST(MomentsEngine, VectorKernelsAddWhatTheScalarRulesAdd) {
  detail::PairSource a;
  a.x = {0.0f};
  a.y = {0.0f};
  a.z = {0.0f};
  // Below the exact range, at its edge, at bin edges and centres, and spread up to 180
  // Angstrom, where offsets reach their largest magnitude (2^13 units).
  for (float r : {0.0f, 0.3f, 0.4999999f, 0.5f, 0.5004883f, 1.0f, 2.0f - 0x1p-23f, 37.0f,
                  100.00048828125f, 179.9995f}) {
    a.x.push_back(r);
    a.y.push_back(0.0f);
    a.z.push_back(0.0f);
  }
  std::uint64_t seed = 7;
  while (a.x.size() < 60) {
    auto next = [&] {
      seed = seed * 6364136223846793005ull + 1442695040888963407ull;
      return static_cast<float>(seed >> 40) / static_cast<float>(1 << 24);
    };
    a.x.push_back(100.0f * next());
    a.y.push_back(100.0f * next() - 50.0f);
    a.z.push_back(3.0f * next());
  }
  const int n = static_cast<int>(a.x.size()) - 1;  // no multiple of any vector length
  const auto nu = static_cast<std::size_t>(n);
  for (std::int64_t target : detail::pairs_targets()) {
    const detail::PairsTargetChoice chosen(target);
    SCOPED_TRACE(detail::pairs_target_name(target));
    std::vector<float> r(nu);
    std::vector<std::int32_t> bin(nu), off(nu);
    detail::bin_distances(a, 0, 1, n, r.data(), bin.data(), off.data());
    // A histogram that leaves out the shortest and the longest distances.
    detail::Histogram vec, scalar;
    vec.lo = scalar.lo = 600;
    vec.bins.assign(150 * 1024, {});
    scalar.bins = vec.bins;
    int outside = 0;
    detail::BinMoments sink;
    std::vector<detail::BinMoments*> to(nu, &sink);
    for (std::size_t m = 0; m < nu; ++m) {
      ASSERT_EQ(bin[m] < 0, !(r[m] >= detail::kExactFrom)) << "r = " << r[m];
      if (bin[m] >= 0) {
        std::int32_t b = 0, d = 0;
        detail::bin_and_offset(r[m], b, d);
        EXPECT_EQ(bin[m], b) << "r = " << r[m];
        EXPECT_EQ(off[m], d) << "r = " << r[m];
      }
      const auto at = static_cast<std::size_t>(bin[m] - scalar.lo);
      if (bin[m] < scalar.lo || at >= scalar.bins.size()) {
        ++outside;
      } else {
        detail::add_moments(scalar.bins[at], off[m]);
        to[m] = &vec.bins[at];
      }
    }
    ASSERT_GT(outside, 2);
    ASSERT_LT(outside, n);
    std::vector<detail::BinMoments*> at(nu);
    EXPECT_EQ(detail::bin_pointers(bin.data(), n, vec, &sink, at.data()), outside);
    EXPECT_EQ(at, to);
    detail::add_pairs(at.data(), off.data(), n);
    for (std::size_t k = 0; k < scalar.bins.size(); ++k) {
      const auto& v = vec.bins[k];
      const auto& s = scalar.bins[k];
      ASSERT_TRUE(v.n == s.n && v.m1 == s.m1 && v.m2 == s.m2 && v.m3 == s.m3) << "bin " << k;
    }
  }
}

TEST(MomentsEngine, ResultsDoNotDependOnTheThreadCount) {
  UrmsTable table;
  add_record(table, 1, 2, 3, {0.07f, 300.0f}, {3.0f});
  const auto model = random_model(400, 14.0f, 2, 19);
  const auto q = driver_grid(30.0f, 300, false);
  for (int option : {0, 3, 4}) {
    BlockRequest req = request_for(2, {1.0f, 2.0f}, 400.0f);
    req.thermal = thermal_option(option);
    req.thermal.urms = &table;
    std::vector<std::vector<float>> one, two;
    ASSERT_TRUE(detail::compute_moments(model, q, req, 1, {}, one));
    ASSERT_TRUE(detail::compute_moments(model, q, req, 2, {}, two));
    EXPECT_EQ(one, two) << "option " << option;
  }
}

TEST(MomentsEngine, CostModelPrefersBinsForLargeModelsAndPairsForSmallOnes) {
  const BlockRequest req = request_for(2, {1.0f, 2.0f}, 1.0f);
  const auto small = detail::estimate_costs(random_model(100, 12.0f, 2, 1), 2500, req, 2);
  EXPECT_LT(small.pairs, small.moments);
  const auto large = detail::estimate_costs(random_model(20000, 74.0f, 2, 1), 2500, req, 2);
  EXPECT_LT(large.moments, large.pairs);
  EXPECT_TRUE(large.moments_fits);
  EXPECT_LT(large.moments_bytes, std::size_t{64} << 20);
  // Far-apart atoms need more bins than memory allows.
  util::Model sparse = random_model(1000, 12.0f, 2, 1);
  sparse.xyz[0] = 1e6f;
  EXPECT_FALSE(detail::estimate_costs(sparse, 2500, req, 2).moments_fits);
}

TEST(MomentsEngine, CostModelCountsClosePairsAndLeavesPackedModelsToThePairsEngine) {
  // Pairs closer than 0.5 A are summed one by one over the whole grid: a model scaled by 0 or
  // packed into a fraction of an Angstrom must not be given to the moments engine.
  const BlockRequest req = request_for(2, {1.0f, 2.0f}, 1.0f);
  const std::vector<float> q = driver_grid(20.0f, 40, false);
  for (const float side : {0.0f, 0.25f, 1.0f, 4.0f, 12.0f, 40.0f}) {
    SCOPED_TRACE("side " + std::to_string(side));
    const util::Model model = random_model(1500, side, 2, 5);
    std::int64_t close = 0;
    for (int i = 0; i < model.natoms(); ++i) {
      for (int j = i + 1; j < model.natoms(); ++j) {
        double d2 = 0;
        for (int k = 0; k < 3; ++k) {
          const double d = double{model.xyz[static_cast<std::size_t>(3 * i + k)]} -
                           double{model.xyz[static_cast<std::size_t>(3 * j + k)]};
          d2 += d * d;
        }
        close += d2 < 0.25 ? 1 : 0;
      }
    }
    const auto costs = detail::estimate_costs(model, 2500, req, 2);
    EXPECT_GE(costs.close_pairs, static_cast<double>(close));
    if (side <= 1.0f) {
      EXPECT_TRUE(!costs.moments_fits || costs.moments > costs.pairs);
      const auto blocks = compute_blocks(Impl::Auto, model, q, req, 2);
      EXPECT_EQ(detail::last_moments_report().batches, 0) << "the moments engine ran";
      for (double e : relative_errors(blocks, double_eval(model, q, req))) EXPECT_LT(e, 1e-6);
    } else if (side >= 12.0f) {  // ordinary densities: hardly any
      EXPECT_LT(costs.close_pairs, 0.01 * 1500 * 1499 / 2);
    }
  }
  // Forced, the engine declines rather than collect millions of single terms.
  std::vector<std::vector<float>> got;
  EXPECT_FALSE(detail::compute_moments(random_model(3000, 0.0f, 2, 5), q, req, 2, {}, got));
}

}  // namespace
}  // namespace zalmor::scatter
