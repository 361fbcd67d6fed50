// The contract every engine keeps, whichever the planner runs: blocks within 1e-6 of their
// largest |i(Q)| of a double-precision sum of the same terms under every thermal option,
// the same values for any number of threads, zeros where there is nothing to sum, and a
// refusal with its reason (never wrong blocks) where an engine gives a calculation back.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "scatter/engine.hpp"
#include "scatter/engines.hpp"
#include "scatter/moments_engine.hpp"
#include "scatter/pair_histogram.hpp"
#include "scatter/periodic.hpp"
#include "scatter/weights.hpp"
#include "support/double_eval.hpp"
#include "support/urms_records.hpp"

namespace zalmor::scatter {
namespace {

using namespace test_support;

std::string name_of(Impl impl) {
  switch (impl) {
    case Impl::Reference:
      return "reference";
    case Impl::Pairs:
      return "pairs";
    case Impl::Moments:
      return "moments";
    case Impl::Auto:
      break;
  }
  return "auto";
}

class EngineContract : public testing::TestWithParam<Impl> {};

TEST_P(EngineContract, EveryThermalOptionMatchesDoublePrecision) {
  UrmsTable table;
  add_record(table, 1, 1, 1, {0.05f, 0.08f}, {2.6f});
  add_record(table, 1, 2, 2, {0.05f, 0.09f}, {2.2f}).a1 = 0.02f;
  add_record(table, 2, 1, 2, {0.05f, 0.09f}, {2.2f}).a1 = 0.02f;
  add_record(table, 2, 2, 3, {0.06f, 300.0f}, {3.0f});
  // Small enough for the literal kernels, wide enough for the moments engine's bins to count.
  const util::Model model = random_model(90, 9.0f, 2, 17);
  const std::vector<float> q = driver_grid(30.0f, 240, true);
  for (int option : {0, 1, 2, 3, 4}) {
    SCOPED_TRACE("option " + std::to_string(option));
    BlockRequest req = request_for(2, {3.63f, -3.7f}, 90.0f);
    req.thermal = thermal_option(option);
    req.thermal.urms = &table;
    const auto got = compute_blocks(GetParam(), model, q, req, 2);
    ASSERT_EQ(got.size(), 4u);
    // The literal kernels round every term to float: a looser yardstick, not a contract.
    const double tolerance = GetParam() == Impl::Reference ? 2e-5 : kTolerance;
    const auto err = relative_errors(got, double_eval(model, q, req));
    for (std::size_t b = 0; b < err.size(); ++b) EXPECT_LT(err[b], tolerance) << "block " << b + 1;
  }
}

TEST_P(EngineContract, ValuesDoNotDependOnTheThreadCount) {
  const util::Model model = random_model(300, 14.0f, 3, 23);
  const std::vector<float> q = driver_grid(25.0f, 150, false);
  BlockRequest req = request_for(3, {1.0f, 2.0f, 0.5f}, 300.0f);
  req.thermal = thermal_option(3);
  EXPECT_EQ(compute_blocks(GetParam(), model, q, req, 1),
            compute_blocks(GetParam(), model, q, req, 2));
}

TEST_P(EngineContract, NothingToSumGivesZeros) {
  const BlockRequest req = request_for(2, {1.0f, 2.0f}, 1.0f);
  const std::vector<float> q = driver_grid(10.0f, 20, true);
  util::Model one;
  one.xyz = {0.0f, 0.0f, 0.0f};
  one.type = {1};
  for (const util::Model& model : {util::Model{}, one}) {
    const auto got = compute_blocks(GetParam(), model, q, req, 2);
    ASSERT_EQ(got.size(), 4u);
    for (const auto& block : got) EXPECT_EQ(block, std::vector<float>(q.size(), 0.0f));
  }
  const auto empty = compute_blocks(GetParam(), random_model(10, 3.0f, 2, 1), {}, req, 2);
  ASSERT_EQ(empty.size(), 4u);
  for (const auto& block : empty) EXPECT_TRUE(block.empty());
}

INSTANTIATE_TEST_SUITE_P(Engines, EngineContract,
                         testing::Values(Impl::Reference, Impl::Pairs, Impl::Moments, Impl::Auto),
                         [](const testing::TestParamInfo<Impl>& p) { return name_of(p.param); });

// An engine that gives a calculation back says why and hands over no blocks; the planner then
// delivers the pairs engine's.
TEST(EngineRefusal, ComesWithAReasonAndThePlannerFallsBack) {
  const BlockRequest req = request_for(2, {1.0f, 2.0f}, 120.0f);
  util::Model broken = random_model(50, 5.0f, 2, 4);
  broken.xyz[4] = std::numeric_limits<float>::infinity();
  const std::vector<float> q = driver_grid(10.0f, 40, false);
  const auto moments = detail::make_moments_engine({broken, q, req, 1});
  EXPECT_NE(moments->estimate().refusal, "");
  const detail::Outcome out = moments->compute({});
  EXPECT_NE(out.refusal, "");
  EXPECT_TRUE(out.blocks.empty());
  EXPECT_EQ(detail::make_pairs_engine({broken, q, req, 1})->estimate().refusal, "");

  // A total that is a small difference of opposite b, at Q up to 500: the moments engine's
  // bound fails after it has run: refused, then accurate.
  const util::Model model = random_model(120, 10.0f, 2, 3);
  const BlockRequest opposite = request_for(2, {3.0f, -3.0f}, 120.0f);
  const std::vector<float> wide{0.3f, 0.5f, 50.0f, 500.0f};
  const detail::Outcome late = detail::make_moments_engine({model, wide, opposite, 1})->compute({});
  EXPECT_NE(late.refusal, "");
  const auto blocks = compute_blocks(Impl::Moments, model, wide, opposite, 1);
  for (double e : relative_errors(blocks, double_eval(model, wide, opposite))) {
    EXPECT_LT(e, kTolerance);
  }
}

// What the planner does for every caller before and around an engine: a periodic box goes
// to its engine whatever is asked, a stop asked for ends the work with Stopped, and
// calculate() adds the zero-Q limits and the request's checks.
TEST(Planner, PeriodicBoxesStopsAndChecks) {
  const util::Model model = random_model(200, 12.0f, 2, 6);
  BlockRequest req = request_for(2, {1.0f, 2.0f}, 200.0f);
  req.box = PeriodicBox{{12, 0, 0, 0, 12, 0, 0, 0, 12}, 5.0, Modification::kNone};
  const std::vector<float> q = driver_grid(20.0f, 200, false);
  std::vector<double> zero;
  const auto direct = compute_periodic_blocks(model, req.box->cell, 5.0, q, req, 1, {}, &zero);
  for (const Impl impl : {Impl::Auto, Impl::Pairs, Impl::Reference}) {
    EXPECT_EQ(compute_blocks(impl, model, q, req, 1), direct) << name_of(impl);
  }
  const Calculation calc = calculate(Impl::Auto, model, q, req, 1);
  EXPECT_EQ(calc.blocks, direct);
  EXPECT_EQ(calc.zero_q, std::vector<float>(zero.begin(), zero.end()));

  StopFlag stop;
  stop.request();
  const StopScope scope(&stop);
  req.box.reset();
  for (const Impl impl : {Impl::Pairs, Impl::Moments, Impl::Reference}) {
    EXPECT_THROW(compute_blocks(impl, model, q, req, 2), Stopped) << name_of(impl);
  }
  EXPECT_THROW(pair_histogram(model, 2, 0.1, 100, 2), Stopped);

  std::vector<float> bad = q;
  bad[3] = std::numeric_limits<float>::quiet_NaN();
  EXPECT_THROW(calculate(Impl::Auto, model, bad, req, 1), RequestError);
}

// A grid far from Q = 0 (the data's own range, 10 to 60 1/A) holds none of the small-angle
// peak: its blocks are far smaller than the atoms' own scattering. Each engine is held to
// 1e-6 of the larger of the block's largest |i(Q)| and the size of 1 in its S(Q) (the unit
// the user compares), and the moments engine keeps such grids instead of handing them to
// term-by-term sums.
TEST(OffsetGrids, HeldToTheLargerOfTheBlockAndItsStructureFactorUnit) {
  const util::Model model = random_model(400, 20.0f, 2, 8);
  const BlockRequest req = request_for(2, {4.1491f, 5.803f}, 400.0f);
  std::vector<float> q;
  for (int k = 0; k < 2500; ++k) q.push_back(10.0f + 0.02f * static_cast<float>(k));
  const auto want = double_eval(model, q, req);
  std::vector<int> count(2, 0);
  for (const int t : model.type) ++count[static_cast<std::size_t>(t - 1)];
  const std::vector<double> unit = unit_scales(req, count);
  for (const Impl impl : {Impl::Pairs, Impl::Moments, Impl::Auto}) {
    const auto got = compute_blocks(impl, model, q, req, 2);
    for (std::size_t b = 0; b < want.size(); ++b) {
      double largest = unit[b], worst = 0;
      for (std::size_t k = 0; k < q.size(); ++k) {
        largest = std::max(largest, std::abs(want[b][k]));
        worst = std::max(worst, std::abs(double{got[b][k]} - want[b][k]));
      }
      EXPECT_LT(worst, 1e-6 * largest) << name_of(impl) << " block " << b;
    }
  }
  std::vector<std::vector<float>> blocks;
  EXPECT_TRUE(detail::compute_moments(model, q, req, 2, {}, blocks));
}

}  // namespace
}  // namespace zalmor::scatter
