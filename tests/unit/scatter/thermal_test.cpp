// Thermal displacement model: step models, correlated Debye model, quadratures, record lookup.
#include "scatter/thermal.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <vector>

#include "support/urms_records.hpp"

namespace zalmor::scatter {
namespace {

UrmsRecord steps(int imode, std::initializer_list<float> u, std::initializer_list<float> r) {
  UrmsRecord record;
  test_support::fill_steps(record, imode, {u.begin(), u.size()}, {r.begin(), r.size()});
  return record;
}

UrmsRecord debye(float temp, std::initializer_list<float> u, std::initializer_list<float> r) {
  UrmsRecord record = steps(3, u, r);
  test_support::set_debye_atoms(record, temp);
  return record;
}

struct StepCase {
  const char* what;
  UrmsRecord record;
  float r;
  float u;
};

TEST(EvaluateRecord, StepModelsAtAndAroundBreaks) {
  const UrmsRecord m1 = steps(1, {0.05f, 0.08f, 0.1f}, {2.0f, 3.0f});
  const UrmsRecord m2 = steps(2, {0.05f, 0.08f, 0.1f}, {2.0f, 3.0f});
  UrmsRecord tail = m2;
  tail.a1 = 0.001f;
  tail.a2 = 0.01f;
  UrmsRecord gone = m2;
  gone.a1 = 0.05f;  // v = 0.01 - 0.05 / r is negative up to r = 5
  UrmsRecord from_zero = m2;
  from_zero.rbreak = {0.0f, 3.0f};
  const UrmsRecord single = steps(2, {0.12f}, {});
  const std::vector<StepCase> cases = {
      {"m1 below first break", m1, 1.5f, 0.05f},
      {"m1 at a break keeps the lower segment", m1, 2.0f, 0.05f},
      {"m1 middle segment", m1, 2.5f, 0.08f},
      {"m1 at second break", m1, 3.0f, 0.08f},
      {"m1 beyond the last break", m1, 3.5f, 0.1f},
      {"m2 below first break", m2, 1.0f, 0.05f},
      {"m2 at a break takes the upper segment", m2, 2.0f, 0.08f},
      {"m2 tail at the last break", m2, 3.0f, 0.1f},
      {"m2 tail formula", tail, 5.0f, std::sqrt(0.1f * 0.1f - 0.001f / 5.0f - 0.01f / 25.0f)},
      {"m2 negative tail gives 0", gone, 4.0f, 0.0f},
      {"m2 tail everywhere with one value", single, 0.7f, 0.12f},
      {"m2 at r = 0 without a positive break", single, 0.0f, 0.0f},
      {"m2 at r = 0 skips a zero break", from_zero, 0.0f, 0.08f},
      {"m3 at r = 0 without breaks", debye(300.0f, {300.0f}, {}), 0.0f, 0.0f},
      {"m3 at r = 0 skips a zero break", debye(300.0f, {0.0f, 0.07f, 300.0f}, {0.0f, 2.5f}), 0.0f,
       0.07f},
      {"m3 step below the Debye range", debye(300.0f, {0.08f, 300.0f}, {2.5f}), 2.4f, 0.08f},
  };
  for (const StepCase& c : cases) {
    EXPECT_FLOAT_EQ(evaluate_record(c.record, c.r), c.u) << c.what;
    EXPECT_EQ(RecordEvaluator(c.record)(c.r), evaluate_record(c.record, c.r)) << c.what;
  }
}

TEST(CorrDebye, ZeroTemperatureIsTheZeroPointValueAtEveryDistance) {
  const UrmsRecord record = debye(0.0f, {0.0f}, {});
  const float v = 36.3875f / (22.99f * 320.0f) + 36.3875f / (35.45f * 280.0f);
  for (float r : {0.5f, 2.82f, 1000.0f}) {
    EXPECT_FLOAT_EQ(evaluate_record(record, r), std::sqrt(v)) << r;
  }
}

TEST(CorrDebye, NoContributionAtOrBelowZeroDistance) {
  EXPECT_EQ(corru2deb_real(22.99f, 300.0f, 320.0f, 1.38f, 0.0f), 0.0f);
  EXPECT_EQ(corru2deb_real(22.99f, 300.0f, 320.0f, 1.38f, -1.0f), 0.0f);
  EXPECT_EQ(corru2deb_real(22.99f, 0.0f, 320.0f, 1.38f, 0.0f), 0.0f);
}

// The physics the three terms must add up to: full correlation (nothing left) as r goes to
// 0; far apart, at T >> theta, the classical K T / (M theta^2) with its first quantum
// correction (1 + x^2 / 36), less the long-range thermal correlation pi / (2 qD r).
TEST(CorrDebye, LimitsAtShortAndLongDistance) {
  const float far = corru2deb_real(22.99f, 300.0f, 320.0f, 1.38f, 1.0e4f);
  for (float r : {1.0e-3f, 0.01f}) {
    const float near = corru2deb_real(22.99f, 300.0f, 320.0f, 1.38f, r);
    EXPECT_GE(near, 0.0f) << r;  // rounding in the cancellation must not go below 0
    EXPECT_LT(near, 1.0e-3f * far) << r;
  }
  const double x = 300.0 / 3000.0;
  const double r = 1000.0;
  const double pi = std::acos(-1.0);
  const double expected =
      145.55 * 3000.0 / (22.99 * 300.0 * 300.0) * (1.0 + x * x / 36.0 - pi / (2.0 * 1.38 * r));
  EXPECT_NEAR(corru2deb_real(22.99f, 3000.0f, 300.0f, 1.38f, static_cast<float>(r)), expected,
              1.0e-5 * expected);
}

// Composite Simpson in double on [0, min(x, 80)], fine enough to be exact to ~1e-12.
template <class F>
double reference_integral(double x, F f) {
  const double top = std::min(x, 80.0);
  const int n = 200000;
  const double h = top / n;
  double sum = f(0.0) + f(top);
  for (int i = 1; i < n; ++i) sum += (i % 2 == 1 ? 4.0 : 2.0) * f(i * h);
  return sum * h / 3.0 / x;
}

TEST(DebyeIntegrals, AgreeWithDoublePrecisionQuadrature) {
  EXPECT_NEAR(u2debint_real(1.0f), 0.7775, 5.0e-5);
  for (float x : {0.05f, 0.5f, 1.0f, 1.0667f, 4.0f, 25.0f, 150.0f}) {
    const double ref =
        reference_integral(x, [](double y) { return y == 0.0 ? 1.0 : y / std::expm1(y); });
    EXPECT_NEAR(u2debint_real(x), ref, 1.0e-5 * ref) << "x = " << x;
  }
  struct Case {
    float x, qdebye, r;
  };
  for (const Case c : {Case{1.0667f, 1.38f, 2.82f}, Case{1.0667f, 1.38f, 30.0f},
                       Case{0.2f, 1.5f, 5.0f}, Case{4.0f, 1.5f, 1.0f}, Case{25.0f, 1.38f, 10.0f}}) {
    const double s = static_cast<double>(c.qdebye) * double{c.r} / double{c.x};
    const double ref = reference_integral(
        c.x, [s](double y) { return y == 0.0 ? 1.0 : std::sin(s * y) / s / std::expm1(y); });
    // The integrand oscillates, so the error is bounded against the size of the
    // uncorrelated integral rather than against the (possibly tiny) result.
    EXPECT_NEAR(corru2debint_real(c.x, c.qdebye, c.r), ref, 1.0e-5 * double{u2debint_real(c.x)})
        << "x = " << c.x << " r = " << c.r;
  }
}

// The fast evaluator must round exactly as evaluate_record, including where the grid meets
// the exponential cutoff (x = 80 puts only the last point on it; x = 200 cuts mid-grid).
TEST(RecordEvaluator, MatchesEvaluateRecordBitForBit) {
  UrmsRecord low_temp = debye(4.0f, {0.05f, 4.0f}, {1.0f});
  low_temp.theta1 = low_temp.theta2 = 320.0f;  // x = 80
  UrmsRecord colder = debye(1.6f, {1.6f}, {});
  const std::vector<UrmsRecord> records = {debye(300.0f, {0.08f, 300.0f}, {2.5f}),
                                           debye(300.0f, {300.0f}, {}),
                                           debye(0.0f, {0.0f}, {}),
                                           low_temp,
                                           colder,
                                           steps(1, {0.05f, 0.08f, 0.1f}, {2.0f, 3.0f}),
                                           steps(7, {0.05f}, {})};
  for (const UrmsRecord& record : records) {
    const RecordEvaluator fast(record);
    for (float r : {0.0f, 1.0e-3f, 0.3f, 1.0f, 2.5f, 2.82f, 5.0f, 10.0f, 30.0f, 811.0f}) {
      EXPECT_EQ(fast(r), evaluate_record(record, r)) << "T = " << record.temp << " r = " << r;
    }
  }
}

TEST(Calcurms, FindsTheLastRecordOfTheOrderedPair) {
  UrmsTable table;
  table.records = {steps(1, {0.05f}, {}), steps(1, {0.07f}, {}), steps(1, {0.09f}, {}),
                   steps(4, {0.2f}, {})};
  table.records[0].itype1 = 1, table.records[0].itype2 = 2;
  table.records[1].itype1 = 1, table.records[1].itype2 = 2;
  table.records[2].itype1 = 0, table.records[2].itype2 = 0;
  table.records[3].itype1 = 3, table.records[3].itype2 = 3;
  struct Case {
    int type1, type2;
    float u;
    int ierr;
    const char* message;
  };
  const Case cases[] = {
      {1, 2, 0.07f, 0, ""},
      {0, 0, 0.09f, 0, ""},
      {2, 1, 0.05f, 23, "Error in calcurms: No data for atom pair 2 1"},
      {12, -3, 0.05f, 23, "Error in calcurms: No data for atom pair 12 -3"},
      {3, 3, 0.05f, 24, "Error in calcurms: Unrecognised mode"},
  };
  for (const Case& c : cases) {
    const UrmsValue value = urms_at(table, 2.5f, c.type1, c.type2);
    EXPECT_EQ(value.u, c.u) << c.type1 << " " << c.type2;
    EXPECT_EQ(value.ierr, c.ierr) << c.type1 << " " << c.type2;
    EXPECT_EQ(value.message, c.message) << c.type1 << " " << c.type2;
  }
  EXPECT_EQ(find_record(table, 1, 2), &table.records[1]);
  EXPECT_EQ(find_record(table, 2, 1), nullptr);
}

}  // namespace
}  // namespace zalmor::scatter
