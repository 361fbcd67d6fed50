// Driver rules that the transcripts cannot see: grid values, weights, zero-Q limits.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <optional>
#include <sstream>
#include <string_view>
#include <tuple>

#include "driver/command_line.hpp"
#include "driver/composition.hpp"
#include "driver/progress.hpp"
#include "driver/provenance.hpp"
#include "driver/results.hpp"
#include "driver/run.hpp"
#include "support/console_session.hpp"
#include "util/console.hpp"
#include "util/errors.hpp"
#include "util/format.hpp"

namespace zalmor::driver {
namespace {

TEST(QGrid, UsesTheActualStepAndEndsAtQmax) {
  const std::vector<float> q = make_q_grid(1.0f, 3, false);
  ASSERT_EQ(q.size(), 3u);
  EXPECT_EQ(q[0], 1.0f / 3.0f);
  EXPECT_EQ(q[1], 2.0f / 3.0f);
  EXPECT_EQ(q[2], 1.0f);
}

TEST(QGrid, DefaultGridFromZeroAndFromDeltaQ) {
  const std::vector<float> from_zero = make_q_grid(50.0f, 2500, true);
  ASSERT_EQ(from_zero.size(), 2501u);
  EXPECT_EQ(from_zero.front(), 0.0f);
  EXPECT_EQ(from_zero.back(), 50.0f);
  const std::vector<float> from_dq = make_q_grid(50.0f, 2500, false);
  ASSERT_EQ(from_dq.size(), 2500u);
  EXPECT_EQ(from_dq.front(), 0.02f);
  EXPECT_EQ(from_dq.back(), 50.0f);
}

TEST(QGrid, SinglePointAtZeroHasNoStep) {
  const std::vector<float> q = make_q_grid(0.005f, 0, true);
  ASSERT_EQ(q.size(), 1u);
  EXPECT_EQ(q[0], 0.0f);
}

RunState state_with(std::vector<int> types, std::vector<float> bbar, float nnorm) {
  RunState s;
  s.model.type = std::move(types);
  s.model.xyz.assign(3 * s.model.type.size(), 0.0f);
  std::string answers;
  for (float b : bbar) answers += std::to_string(b) + "\n";
  test_support::Session session(answers);
  ask_composition(session.console, s);
  s.nnorm = nnorm;
  return s;
}

TEST(Weights, PartialAndTotalWeights) {
  const RunState s = state_with({1, 2}, {5.0f, 10.0f}, 100.0f);
  const scatter::BlockRequest request = block_request(s);
  EXPECT_FLOAT_EQ(request.weight[0], 0.0025f);  // (1,1)
  EXPECT_FLOAT_EQ(request.weight[2], 0.005f);   // (1,2)
  EXPECT_FLOAT_EQ(request.total_weight, 0.01f);
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

TEST(ZeroQLimits, CancellingScatteringLengthsAreRoundedOnce) {
  // Per-type float terms times pair counts printed the last digit one off in both cases.
  const RunState opposite = state_with({1, 1, 3, 3, 3}, {2.0f, 1.0f, -3.0f}, 5.0f);
  EXPECT_EQ(util::format_general(zero_q_limits(opposite).back()), "-0.2000000E-01");
  const RunState same_sign = state_with({1, 1, 2, 2}, {5.0f, 10.0f}, 100.0f);
  EXPECT_EQ(util::format_general(zero_q_limits(same_sign).back()), " 0.6500000E-01");
}

TEST(ZeroQLimits, PartialsWithoutPairsArePlusZero) {
  // Type 2 has no atoms; its b is negative, so its weights are negative too.
  const RunState s = state_with({1, 3, 3}, {1.0f, -2.0f, 1.0f}, 3.0f);
  const std::vector<float> z = zero_q_limits(s);
  ASSERT_EQ(z.size(), 7u);
  for (std::size_t k : {1u, 3u, 5u}) {  // (2,2), (1,2), (2,3)
    EXPECT_EQ(z[k], 0.0f) << k;
    EXPECT_FALSE(std::signbit(z[k])) << k;
  }
}

TEST(ZeroQLimits, StayExactForTheLargestModels) {
  // A float running sum would stop growing long before 34500 * 34499 terms.
  RunState s = state_with(std::vector<int>(34500, 1), {1.0f}, 34500.0f);
  const std::vector<float> z = zero_q_limits(s);
  const double pairs = 34500.0 * 34499.0;
  EXPECT_NEAR(z[0], pairs * static_cast<double>(block_request(s).weight[0]), 1e-6 * double{z[0]});
  EXPECT_NEAR(z[1], pairs * 0.01 / 34500.0, 1e-6 * double{z[1]});
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

TEST(CommandLine, HelpAndVersionAnswerEverythingElseIsRefused) {
  // arguments, exit status (none: the dialogue runs), what standard output and error begin with
  const std::tuple<std::vector<std::string_view>, std::optional<int>, std::string, std::string>
      cases[] = {
          {{}, std::nullopt, "", ""},
          {{"--version"}, 0, "zalmor " + std::string(program_version()) + "\n", ""},
          {{"--help"}, 0, "Usage: zalmor [--help | --version]\n", ""},
          {{"-h"}, 2, "", "zalmor: unexpected argument '-h'\nUsage: zalmor"},
          {{"run.answers"}, 2, "", "zalmor: unexpected argument 'run.answers'\n"},
          {{"--help", "--version"}, 2, "", "zalmor: unexpected argument '--version'\n"},
          {{""}, 2, "", "zalmor: unexpected argument ''\n"},
      };
  for (const auto& [args, status, out_start, err_start] : cases) {
    std::ostringstream out, err;
    EXPECT_EQ(handle_arguments(args, out, err), status) << ::testing::PrintToString(args);
    EXPECT_TRUE(out.str().starts_with(out_start)) << out.str();
    EXPECT_TRUE(err.str().starts_with(err_start)) << err.str();
    EXPECT_EQ(out.str().empty(), out_start.empty());
    EXPECT_EQ(err.str().empty(), err_start.empty());
  }
  EXPECT_EQ(program_version(), "0.2.0");
}

TEST(Provenance, TimestampIsUtcIso8601ToTheSecond) {
  using namespace std::chrono;
  const sys_seconds t = sys_days{year{2026} / 12 / 7} + hours{12} + minutes{30} + seconds{5};
  EXPECT_EQ(utc_timestamp(t + milliseconds{999}), "2026-12-07T12:30:05Z");
}

TEST(Progress, TextShowsPercentAndTimeLeft) {
  EXPECT_EQ(progress_text(0.0, 0.0), "Calculating 0%");
  EXPECT_EQ(progress_text(0.5, 10.0), "Calculating 50% (about 10 s left)");
  EXPECT_EQ(progress_text(0.25, 30.0), "Calculating 25% (about 1 min 30 s left)");
}

}  // namespace
}  // namespace zalmor::driver
