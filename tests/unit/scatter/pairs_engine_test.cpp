// The fast engine against a double-precision evaluation of the same terms at the stored Q
// values, against the literal kernels, and across thread counts.
#include "scatter/pairs_engine.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "scatter/engine.hpp"
#include "scatter/urms_eval.hpp"
#include "support/double_eval.hpp"

namespace zalmor::scatter {
namespace {

using namespace test_support;

struct Case {
  std::string name;
  util::Model model;
  std::vector<float> q;
  BlockRequest request;
  int want_mode = -1;  // the pass the bounds must settle on, or -1 for any
};

void expect_accurate(const Case& c, const std::vector<std::vector<double>>& want) {
  const auto got = compute_blocks(Impl::Pairs, c.model, c.q, c.request, 1);
  const auto report = detail::last_pairs_report();
  const auto err = relative_errors(got, want);
  for (std::size_t b = 0; b < err.size(); ++b) {
    EXPECT_LT(err[b], kTolerance) << c.name << ": block " << b + 1 << " (mode " << report.final_mode
                                  << ")";
  }
  if (c.want_mode >= 0) {
    EXPECT_EQ(report.final_mode, c.want_mode) << c.name;
  }
}

void expect_accurate(const Case& c) { expect_accurate(c, double_eval(c.model, c.q, c.request)); }

TEST(PairsEngine, EveryThermalOptionMatchesDoublePrecision) {
  // 250 atoms, two types, the driver's grid: the float recurrences suffice.
  const auto model = random_model(250, 18.0f, 2, 7);
  const auto q = driver_grid(50.0f, 2000, false);
  for (int option : {0, 1, 2, 3}) {
    Case c{"option " + std::to_string(option), model, q, request_for(2, {1.0f, 1.0f}, 250.0f), 0};
    c.request.thermal = thermal_option(option);
    expect_accurate(c);
  }
}

TEST(PairsEngine, UrmsRecordsOfEveryModelMatchDoublePrecision) {
  UrmsTable table;
  add_record(table, 1, 1, 1, {0.05f, 0.08f, 0.1f}, {2.0f, 3.0f});
  UrmsRecord& tail = add_record(table, 2, 2, 2, {0.05f, 0.09f}, {2.5f});
  tail.a1 = 0.001f;
  tail.a2 = 0.002f;
  add_record(table, 1, 2, 3, {0.06f, 300.0f}, {2.8f});
  add_record(table, 2, 1, 3, {0.07f, 200.0f}, {2.6f});  // the total's atom order matters
  add_record(table, 0, 0, 3, {0.05f, 0.0f}, {2.0f});    // zero-point only
  add_record(table, 3, 3, 7, {0.1f}, {});               // unknown model: 0.05
  const auto model = random_model(120, 14.0f, 3, 11);
  const auto q = driver_grid(40.0f, 1000, true);
  for (int topt : {0, 1}) {
    Case c{"topt " + std::to_string(topt), model, q, request_for(3, {2.0f, 1.0f, 3.0f}, 120.0f)};
    c.request.thermal.option = ThermalOption::kUrms;
    c.request.thermal.total_own_record = topt == 1;
    c.request.thermal.urms = &table;
    expect_accurate(c);
  }
  // No table at all: every pair takes 0.05.
  Case bare{"no records", model, q, request_for(3, {2.0f, 1.0f, 3.0f}, 120.0f)};
  bare.request.thermal.option = ThermalOption::kUrms;
  expect_accurate(bare);
}

TEST(PairsEngine, EveryRecurrencePassStaysAccurateOnSmallModels) {
  // Below the sizes where the bounds alone decide, each recurrence pass still has to be
  // within the tolerance on ordinary models.
  UrmsTable table;
  add_record(table, 1, 1, 3, {0.06f, 300.0f}, {2.4f});
  add_record(table, 1, 2, 1, {0.05f, 0.1f}, {2.5f});
  add_record(table, 2, 2, 3, {0.07f, 300.0f}, {2.6f});
  const auto model = random_model(120, 14.0f, 2, 5);
  const auto q = driver_grid(50.0f, 1000, false);
  for (int mode : {0, 1, 2}) {
    for (int option : {0, 1, 3, 4}) {
      Case c{"mode " + std::to_string(mode) + " option " + std::to_string(option), model, q,
             request_for(2, {1.0f, 2.0f}, 120.0f)};
      c.request.thermal = thermal_option(option);
      c.request.thermal.urms = &table;
      const detail::ForcedPairsMode forced(mode);
      expect_accurate(c);
    }
  }
}

TEST(PairsEngine, LongGridsRunInSlabs) {
  // 20001 Q values from 0: three passes over the pairs, each starting its recurrences anew.
  const auto model = random_model(30, 6.0f, 2, 59);
  const auto q = driver_grid(100.0f, 20000, true);
  Case c{"", model, q, request_for(2, {1.0f, 3.0f}, 30.0f)};
  c.request.thermal = thermal_option(2);
  const auto want = double_eval(c.model, c.q, c.request);
  for (int mode : {0, 1, 2, 3}) {
    c.name = "slabs, mode " + std::to_string(mode);
    const detail::ForcedPairsMode forced(mode);
    expect_accurate(c, want);
  }
}

TEST(PairsEngine, EdgeCasesOfGridAndGeometry) {
  std::vector<Case> cases;
  {
    // Coincident atoms, a pair exactly at the cutoff, and the grid from Q = 0.
    util::Model m = random_model(60, 9.0f, 2, 3);
    for (int i = 0; i < 4; ++i) {  // atoms 60..63 on top of atom 0
      m.xyz.insert(m.xyz.end(), {m.xyz[0], m.xyz[1], m.xyz[2]});
      m.type.push_back(1 + i % 2);
    }
    m.xyz.insert(m.xyz.end(), {m.xyz[0] + 3.0f, m.xyz[1], m.xyz[2]});  // at rcut from atom 0
    m.type.push_back(2);
    Case c{"coincident, cutoff, Q = 0", m, driver_grid(30.0f, 600, true),
           request_for(2, {1.0f, -0.5f}, 65.0f)};
    c.request.thermal = thermal_option(3);
    cases.push_back(c);
  }
  {
    // nQ not a multiple of any vector width, and too short for the recurrences.
    for (int n : {37, 1001}) {
      Case c{"nq " + std::to_string(n), random_model(80, 10.0f, 2, 9), driver_grid(20.0f, n, false),
             request_for(2, {1.0f, 1.0f}, 80.0f)};
      c.request.thermal = thermal_option(1);
      cases.push_back(c);
    }
  }
  {
    // An arbitrary grid: descending, uneven, with a zero and a negative value.
    std::vector<float> q = {12.0f, 7.5f, 7.4f, 3.3f, 1.0f, 0.0f, -2.0f, 0.25f, 30.0f};
    for (int k = 0; k < 60; ++k) q.push_back(0.37f * static_cast<float>(k * k % 53));
    Case c{"arbitrary grid", random_model(70, 10.0f, 2, 13), q,
           request_for(2, {1.0f, 1.0f}, 70.0f)};
    c.request.thermal = thermal_option(2);
    cases.push_back(c);
  }
  {
    // Coordinates up to 1e4: Q r beyond 1e5.
    util::Model m = random_model(60, 10.0f, 2, 17);
    for (std::size_t i = 0; i < m.xyz.size(); i += 9) m.xyz[i] *= 1000.0f;
    Case c{"huge distances", m, driver_grid(50.0f, 400, true), request_for(2, {1.0f, 1.0f}, 60.0f)};
    cases.push_back(c);
  }
  {
    // Scattering lengths of both signs that nearly cancel in the total.
    Case c{"cancelling total", random_model(150, 12.0f, 3, 21), driver_grid(50.0f, 800, false),
           request_for(3, {-3.74f, 6.65f, 0.0f}, 150.0f)};
    c.request.thermal = thermal_option(1);
    cases.push_back(c);
  }
  for (const Case& c : cases) expect_accurate(c);
}

TEST(PairsEngine, DistancesRoundExactlyAsDist) {
  // Cutoffs set to distances of the model: a pair whose distance rounds differently from
  // dist() lands on the wrong side and takes a very different u.
  const auto model = random_model(90, 11.0f, 2, 47);
  const auto q = driver_grid(30.0f, 80, false);
  std::mt19937 rng(53);
  for (int trial = 0; trial < 80; ++trial) {
    const int i = static_cast<int>(rng() % 90), j = static_cast<int>(rng() % 90);
    if (i == j) continue;
    Case c{"rcut = r(" + std::to_string(i) + ", " + std::to_string(j) + ")", model, q,
           request_for(2, {1.0f, 1.0f}, 90.0f)};
    c.request.thermal = thermal_option(3);
    c.request.thermal.uij[0] = 0.01f;
    c.request.thermal.uij[1] = 0.4f;
    c.request.thermal.rcut = dist(model.xyz, i, j);
    expect_accurate(c);
  }
}

TEST(PairsEngine, EmptyInputsGiveZeros) {
  const auto q = driver_grid(10.0f, 100, false);
  const BlockRequest req = request_for(2, {1.0f, 1.0f}, 1.0f);
  util::Model one = random_model(1, 5.0f, 1, 1);
  for (const util::Model& m : {util::Model{}, one}) {
    const auto blocks = compute_blocks(Impl::Pairs, m, q, req, 1);
    ASSERT_EQ(blocks.size(), 4u);
    for (const auto& b : blocks) EXPECT_EQ(b, std::vector<float>(q.size(), 0.0f));
  }
  // Type 2 has no atoms: its partials are zero; no Q values: empty blocks.
  util::Model m = random_model(30, 5.0f, 1, 1);
  const auto blocks = compute_blocks(Impl::Pairs, m, q, req, 1);
  EXPECT_EQ(blocks[1], std::vector<float>(q.size(), 0.0f));
  EXPECT_EQ(blocks[2], std::vector<float>(q.size(), 0.0f));
  EXPECT_NE(blocks[0], std::vector<float>(q.size(), 0.0f));
  for (const auto& b : compute_blocks(Impl::Pairs, m, std::span<const float>{}, req, 1)) {
    EXPECT_TRUE(b.empty());
  }
  const std::vector<float> single = {0.0f};
  const auto at_zero = compute_blocks(Impl::Pairs, m, single, req, 1);
  EXPECT_FLOAT_EQ(at_zero[0][0], 2.0f * req.weight[0] * 435.0f);  // 30 * 29 / 2 pairs
}

TEST(PairsEngine, EveryInstructionSetMatchesDoublePrecision) {
  UrmsTable table;
  add_record(table, 1, 1, 3, {0.06f, 300.0f}, {2.4f});
  add_record(table, 1, 2, 1, {0.05f, 0.1f}, {2.5f});
  const auto model = random_model(60, 9.0f, 2, 43);
  const auto q = driver_grid(50.0f, 320, false);
  const auto targets = detail::pairs_targets();
  ASSERT_FALSE(targets.empty());
  for (int option : {0, 3, 4}) {
    Case c{"", model, q, request_for(2, {1.0f, 2.0f}, 60.0f)};
    c.request.thermal = thermal_option(option);
    c.request.thermal.urms = &table;
    const auto want = double_eval(c.model, c.q, c.request);
    for (std::int64_t target : targets) {
      const detail::PairsTargetChoice chosen(target);
      for (int mode : {0, 1, 2, 3}) {
        c.name = detail::pairs_target_name(target) + " option " + std::to_string(option) +
                 " mode " + std::to_string(mode);
        const detail::ForcedPairsMode forced(mode);
        expect_accurate(c, want);
      }
    }
  }
}

TEST(PairsEngine, ResultsDoNotDependOnTheThreadCount) {
  // Large enough for two chunks, so that the chunks' order of addition matters.
  const auto model = random_model(1100, 27.0f, 2, 23);
  const auto q = driver_grid(50.0f, 1500, false);
  BlockRequest req = request_for(2, {1.0f, 1.5f}, 1100.0f);
  req.thermal = thermal_option(3);
  const auto one = compute_blocks(Impl::Pairs, model, q, req, 1);
  EXPECT_EQ(detail::last_pairs_report().threads, 1);
  for (int threads : {2, 3}) {
    EXPECT_EQ(compute_blocks(Impl::Pairs, model, q, req, threads), one) << threads << " threads";
  }
}

TEST(PairsEngine, AgreesWithTheLiteralKernels) {
  UrmsTable table;
  add_record(table, 1, 1, 1, {0.05f, 0.09f}, {2.2f});
  add_record(table, 1, 2, 3, {0.06f, 300.0f}, {2.5f});
  add_record(table, 2, 2, 2, {0.07f, 0.1f}, {2.4f});
  const auto model = random_model(40, 8.0f, 2, 29);
  const auto q = driver_grid(25.0f, 250, false);
  for (int option : {0, 1, 2, 3, 4}) {
    BlockRequest req = request_for(2, {1.2f, 0.7f}, 40.0f);
    req.thermal = thermal_option(option);
    req.thermal.urms = &table;
    const auto fast = compute_blocks(Impl::Pairs, model, q, req, 1);
    const auto ref = compute_blocks(Impl::Reference, model, q, req, 1);
    std::vector<std::vector<double>> ref_d;
    for (const auto& b : ref) ref_d.emplace_back(b.begin(), b.end());
    const auto err = relative_errors(fast, ref_d);
    for (std::size_t b = 0; b < err.size(); ++b) {
      EXPECT_LT(err[b], 2 * kTolerance) << "option " << option << " block " << b + 1;
    }
  }
}

TEST(PairsEngine, TotalIsLikePlusTwiceUnlikePartials) {
  const auto model = random_model(200, 15.0f, 3, 31);
  const auto q = driver_grid(50.0f, 1000, false);
  BlockRequest req = request_for(3, {2.0f, 5.0f, 1.0f}, 200.0f);
  req.thermal = thermal_option(3);
  const auto blocks = compute_blocks(Impl::Pairs, model, q, req, 1);
  double scale = 0, worst = 0;
  for (std::size_t k = 0; k < q.size(); ++k) {
    double sum = 0;
    for (std::size_t p = 0; p < 6; ++p) sum += (p < 3 ? 1.0 : 2.0) * double{blocks[p][k]};
    scale = std::max(scale, std::abs(sum));
    worst = std::max(worst, std::abs(sum - double{blocks[6][k]}));
  }
  EXPECT_LT(worst, 4e-7 * scale);
}

TEST(PairsEngine, ProgressRisesToOneFromOneThread) {
  const auto model = random_model(1100, 27.0f, 2, 37);
  const auto q = driver_grid(50.0f, 1500, false);
  const BlockRequest req = request_for(2, {1.0f, 1.0f}, 1100.0f);
  std::vector<double> seen;
  std::vector<std::thread::id> callers;
  compute_blocks(Impl::Pairs, model, q, req, 2, [&](double f) {
    seen.push_back(f);
    callers.push_back(std::this_thread::get_id());
  });
  ASSERT_FALSE(seen.empty());
  EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
  EXPECT_EQ(seen.back(), 1.0);
  EXPECT_GE(seen.front(), 0.0);
  for (const auto& id : callers) EXPECT_EQ(id, callers.front());
}

TEST(PairsEngine, TabulatedDebyeTailFollowsTheRecord) {
  for (float temp : {0.0f, 30.0f, 300.0f}) {
    UrmsTable table;
    UrmsRecord& rec = add_record(table, 1, 1, 3, {0.04f, temp}, {1.8f});
    detail::UrmsEval eval;
    const auto exact = detail::make_urms_eval(rec, 120.0, eval);
    std::mt19937 rng(41);
    std::uniform_real_distribution<float> dist_r(0.0f, 120.0f);
    for (int i = 0; i < 2000; ++i) {
      const float r = i < 20 ? 0.1f * static_cast<float>(i) : dist_r(rng);
      float u = 0.0f;
      eval.classify(r, u);
      const float want = evaluate_record(rec, r);
      EXPECT_NEAR(u, want, 1e-6 * double{want}) << "T = " << temp << ", r = " << r;
    }
  }
}

}  // namespace
}  // namespace zalmor::scatter
