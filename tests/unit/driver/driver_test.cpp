// Driver rules that the transcripts cannot see: grid values, weights, zero-Q limits.
#include <gtest/gtest.h>

#include <sstream>

#include "driver/composition.hpp"
#include "driver/progress.hpp"
#include "driver/results.hpp"
#include "driver/run.hpp"
#include "util/console.hpp"
#include "util/errors.hpp"

namespace zalmor::driver {
namespace {

TEST(QGrid, UsesTheActualStepAndEndsAtQmax) {
  const std::vector<float> q = make_q_grid(1.0f, 3, 0);
  ASSERT_EQ(q.size(), 3u);
  EXPECT_EQ(q[0], 1.0f / 3.0f);
  EXPECT_EQ(q[1], 2.0f / 3.0f);
  EXPECT_EQ(q[2], 1.0f);
}

TEST(QGrid, DefaultGridFromZeroAndFromDeltaQ) {
  const std::vector<float> from_zero = make_q_grid(50.0f, 2500, 1);
  ASSERT_EQ(from_zero.size(), 2501u);
  EXPECT_EQ(from_zero.front(), 0.0f);
  EXPECT_EQ(from_zero.back(), 50.0f);
  const std::vector<float> from_dq = make_q_grid(50.0f, 2500, 0);
  ASSERT_EQ(from_dq.size(), 2500u);
  EXPECT_EQ(from_dq.front(), 0.02f);
  EXPECT_EQ(from_dq.back(), 50.0f);
}

TEST(QGrid, SinglePointAtZeroHasNoStep) {
  const std::vector<float> q = make_q_grid(0.005f, 0, 1);
  ASSERT_EQ(q.size(), 1u);
  EXPECT_EQ(q[0], 0.0f);
}

RunState state_with(std::vector<int> types, std::vector<float> bbar, float nnorm) {
  RunState s;
  s.model.type = std::move(types);
  s.model.xyz.assign(3 * s.model.type.size(), 0.0f);
  std::istringstream in;
  std::ostringstream out;
  std::string answers;
  for (float b : bbar) answers += std::to_string(b) + "\n";
  in.str(answers);
  util::Console console(in, out);
  ask_composition(console, s);
  s.nnorm = nnorm;
  return s;
}

TEST(Weights, PartialAndTotalWeights) {
  const RunState s = state_with({1, 2}, {5.0f, 10.0f}, 100.0f);
  EXPECT_FLOAT_EQ(partial_weight(s, 1), 0.0025f);  // (1,1)
  EXPECT_FLOAT_EQ(partial_weight(s, 3), 0.005f);   // (1,2)
  EXPECT_FLOAT_EQ(total_weight(s), 0.01f);
}

TEST(Composition, PartialsNumberedLikeFirstThenRowOrder) {
  const RunState s = state_with({4, 1}, {1, 1, 1, 1}, 2.0f);
  const std::vector<scatter::TypePair> pairs{{1, 1}, {2, 2}, {3, 3}, {4, 4}, {1, 2},
                                             {1, 3}, {1, 4}, {2, 3}, {2, 4}, {3, 4}};
  EXPECT_EQ(s.partials, pairs);
  EXPECT_EQ(s.count, (std::vector<int>{1, 0, 0, 1}));
}

TEST(ZeroQLimits, OneTypeThreeAtoms) {
  const RunState s = state_with({1, 1, 1}, {10.0f}, 3.0f);
  const std::vector<float> z = zero_q_limits(s);
  ASSERT_EQ(z.size(), 2u);
  EXPECT_EQ(z[0], 2.0f);
  EXPECT_EQ(z[1], 2.0f);
}

TEST(ZeroQLimits, TotalIsLikePlusTwiceUnlike) {
  const RunState s = state_with({1, 1, 2}, {1.0f, 1.0f}, 3.0f);
  const std::vector<float> z = zero_q_limits(s);
  ASSERT_EQ(z.size(), 4u);
  EXPECT_FLOAT_EQ(z[0], 2 * 0.01f / 3);
  EXPECT_EQ(z[1], 0.0f);
  EXPECT_FLOAT_EQ(z[2], 2 * 0.01f / 3);
  EXPECT_FLOAT_EQ(z[3], 6 * 0.01f / 3);
}

TEST(ZeroQLimits, StayExactForTheLargestModels) {
  // A float running sum would stop growing long before 34500 * 34499 terms.
  RunState s = state_with(std::vector<int>(34500, 1), {1.0f}, 34500.0f);
  const std::vector<float> z = zero_q_limits(s);
  const double pairs = 34500.0 * 34499.0;
  EXPECT_NEAR(z[0], pairs * static_cast<double>(partial_weight(s, 1)), 1e-6 * z[0]);
  EXPECT_NEAR(z[1], pairs * 0.01 / 34500.0, 1e-6 * z[1]);
}

TEST(CheckModel, RefusesWhatTheRunCannotHold) {
  util::Model m;
  EXPECT_THROW(check_model(m), util::FatalError);
  m.type = {1, 0};
  m.xyz.assign(6, 0.0f);
  EXPECT_THROW(check_model(m), util::FatalError);
  m.type = {1, 21};
  EXPECT_THROW(check_model(m), util::FatalError);
  m.type = {1, 20};
  EXPECT_NO_THROW(check_model(m));
}

TEST(Progress, TextShowsPercentAndTimeLeft) {
  EXPECT_EQ(progress_text(0.0, 0.0), "Calculating 0%");
  EXPECT_EQ(progress_text(0.5, 10.0), "Calculating 50% (about 10 s left)");
  EXPECT_EQ(progress_text(0.25, 30.0), "Calculating 25% (about 1 min 30 s left)");
}

}  // namespace
}  // namespace zalmor::driver
