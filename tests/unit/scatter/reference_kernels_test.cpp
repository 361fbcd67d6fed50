// The literal kernels: pair counting, prefactors, thermal options and the once-rounded sum.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "scatter/engine.hpp"

namespace zalmor::scatter {
namespace {

util::Model model_of(std::vector<float> xyz, std::vector<int> type) {
  util::Model model;
  model.xyz = std::move(xyz);
  model.type = std::move(type);
  return model;
}

double sinc(double x) { return x == 0.0 ? 1.0 : std::sin(x) / x; }

// Close to a double evaluation: a few float roundings of each term plus a floor for the
// zero crossings of sinc.
void expect_near_all(std::span<const float> got, const std::vector<double>& want, double scale) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t k = 0; k < want.size(); ++k) {
    EXPECT_NEAR(got[k], want[k], 4e-7 * std::abs(want[k]) + 1e-7 * scale) << "k = " << k;
  }
}

TEST(PartialNumber, LikeThenUnlikeInRowOrder) {
  struct Case {
    int a, b, n, want;
  };
  const Case cases[] = {{1, 1, 3, 1}, {3, 3, 3, 3}, {1, 2, 3, 4}, {1, 3, 3, 5},  {2, 3, 3, 6},
                        {3, 2, 3, 6}, {1, 4, 4, 7}, {2, 3, 4, 8}, {3, 4, 4, 10}, {19, 20, 20, 210}};
  for (const Case& c : cases) {
    EXPECT_EQ(partial_number(c.a, c.b, c.n), c.want) << c.a << "," << c.b << " of " << c.n;
  }
}

TEST(Dist, SquaresAddedInOrderXyz) {
  const std::vector<float> xyz = {0, 0, 0, 3, 4, 12, 1e4f, 0, 1e-4f};
  EXPECT_EQ(dist(xyz, 0, 1), 13.0f);
  EXPECT_EQ(dist(xyz, 1, 0), 13.0f);
  const float dx = 1e4f, dz = 1e-4f;
  EXPECT_EQ(dist(xyz, 0, 2), std::sqrt(dx * dx + 0.0f + dz * dz));
}

TEST(ReferenceKernels, TwoAtomsGiveTheDebyeTermOfTheirDistance) {
  const float r = 2.5f;
  const auto model = model_of({0, 0, 0, 0, 0, r}, {1, 1});
  // The smallest Q values (subnormal, and Q r below the smallest normal float) still give
  // the prefactor, not what the few bits left of sin(x) p / x make of it.
  const std::vector<float> q = {0.0f, 1.4e-45f, 1e-39f, 1e-30f, 0.1f, 1.0f, 3.7f, 20.0f};
  const float w = 0.3f;
  std::vector<float> part(q.size()), total(q.size());
  zalmor_partial(model, q, part, w, 1, 1, 1, Thermal{});
  const std::vector<float> bbar = {5.0f};
  zalmor_total(model, q, total, bbar, w, 1, Thermal{});
  std::vector<double> want_part, want_total;
  for (float qk : q) {
    want_part.push_back(2.0 * double{w} * sinc(double(qk) * double{r}));  // (1,2) and (2,1)
    want_total.push_back(2.0 * double{w} * 0.01 * 25.0 * sinc(double(qk) * double{r}));
  }
  expect_near_all(part, want_part, 1.0);
  expect_near_all(total, want_total, 1.0);
  EXPECT_EQ(part[0], 2.0f * w);  // Q = 0: exactly the prefactor per ordered pair
}

TEST(ReferenceKernels, UnlikePartialCountsEachPairOnceWithTypeAFirst) {
  // Types 2, 1, 2: the (1,2) partial has two unordered pairs, each counted once.
  const auto model = model_of({0, 0, 0, 1, 0, 0, 0, 2, 0}, {2, 1, 2});
  const std::vector<float> q = {0.0f, 1.5f};
  std::vector<float> p12(2), p21(2), p11(2), p22(2);
  zalmor_partial(model, q, p12, 1.0f, 3, 1, 2, Thermal{});
  zalmor_partial(model, q, p21, 1.0f, 3, 2, 1, Thermal{});
  zalmor_partial(model, q, p11, 1.0f, 1, 1, 1, Thermal{});
  zalmor_partial(model, q, p22, 1.0f, 2, 2, 2, Thermal{});
  EXPECT_EQ(p12[0], 2.0f);
  EXPECT_EQ(p21[0], 2.0f);
  EXPECT_EQ(p11[0], 0.0f);
  EXPECT_EQ(p22[0], 2.0f);
  EXPECT_NEAR(p12[1], sinc(1.5) + sinc(1.5 * std::sqrt(5.0)), 1e-6);
  EXPECT_NEAR(p22[1], 2.0 * sinc(3.0), 1e-6);
}

TEST(ReferenceKernels, EmptyModelsAndEmptyGridsLeaveZerosOrTheOutputAlone) {
  const std::vector<float> q = {0.0f, 1.0f};
  const std::vector<float> bbar = {1.0f, 1.0f};
  for (const auto& model : {model_of({}, {}), model_of({1, 2, 3}, {1})}) {
    std::vector<float> out = {7.0f, 7.0f};
    zalmor_partial(model, q, out, 1.0f, 1, 1, 1, Thermal{});
    EXPECT_EQ(out, (std::vector<float>{0.0f, 0.0f}));
    out = {7.0f, 7.0f};
    zalmor_total(model, q, out, bbar, 1.0f, 2, Thermal{});
    EXPECT_EQ(out, (std::vector<float>{0.0f, 0.0f}));
  }
  // A partial of a type without atoms.
  const auto model = model_of({0, 0, 0, 1, 1, 1}, {1, 1});
  std::vector<float> out = {7.0f, 7.0f};
  zalmor_partial(model, q, out, 1.0f, 3, 1, 2, Thermal{});
  EXPECT_EQ(out, (std::vector<float>{0.0f, 0.0f}));
  // nq = 0 writes nothing.
  std::vector<float> untouched = {7.0f};
  zalmor_partial(model, std::span<const float>{}, untouched, 1.0f, 1, 1, 1, Thermal{});
  EXPECT_EQ(untouched[0], 7.0f);
}

TEST(ReferenceKernels, CoincidentAtomsContributeThePrefactorTimesTheThermalFactor) {
  const auto model = model_of({1, 2, 3, 1, 2, 3}, {1, 1});
  const std::vector<float> q = {0.0f, 2.0f, 40.0f};
  Thermal thermal;
  thermal.option = ThermalOption::kOneU;
  thermal.uij[0] = 0.1f;
  std::vector<float> out(q.size());
  zalmor_partial(model, q, out, 0.5f, 1, 1, 1, thermal);
  for (std::size_t k = 0; k < q.size(); ++k) {
    const double u = 0.1, qk = q[k];
    EXPECT_NEAR(out[k], 2 * 0.5 * std::exp(-0.5 * u * u * qk * qk), 1e-6) << k;
  }
}

TEST(ReferenceKernels, ThermalOptionsChooseTheirDisplacement) {
  // Atoms 1 (type 2) and 2 (type 1) exactly rcut apart, atom 3 (type 1) close to atom 2.
  const auto model = model_of({0, 0, 0, 1.5f, 0, 0, 1.5f, 0.5f, 0}, {2, 1, 1});
  const std::vector<float> q = {3.0f};
  const std::vector<float> bbar = {1.0f, 1.0f};
  Thermal thermal;
  thermal.rcut = 1.5f;
  thermal.uij[0] = 0.1f;  // partial 1 (1,1); short distances
  thermal.uij[1] = 0.2f;  // partial 2 (2,2); long distances
  thermal.uij[2] = 0.3f;  // partial 3 (1,2)
  auto gauss = [](double u) { return std::exp(-0.5 * 9.0 * u * u); };
  const double r13 = std::sqrt(1.5 * 1.5 + 0.25);
  const double s12 = sinc(3.0 * 1.5), s13 = sinc(3.0 * r13), s23 = sinc(3.0 * 0.5);
  struct Case {
    int option;
    double total;  // / (2 w 0.01)
  };
  const Case cases[] = {
      {0, s12 + s13 + s23},
      {1, (s12 + s13 + s23) * gauss(0.1)},
      // The (2,1) pairs take the u of partial (1,2).
      {2, (s12 + s13) * gauss(0.3) + s23 * gauss(0.1)},
      // r = rcut is a long distance.
      {3, (s12 + s13) * gauss(0.2) + s23 * gauss(0.1)},
      // No .urms records: 0.05 for every pair.
      {4, (s12 + s13 + s23) * gauss(0.05)},
  };
  for (const Case& c : cases) {
    thermal.option = static_cast<ThermalOption>(c.option);
    std::vector<float> out(1);
    zalmor_total(model, q, out, bbar, 1.0f, 2, thermal);
    EXPECT_NEAR(out[0], 2 * 0.01 * c.total, 1e-8) << "option " << c.option;
  }
}

TEST(ReferenceKernels, TotalIsLikePartialsPlusTwiceUnlikeWhenThermalFactorsAgree) {
  std::vector<float> xyz;
  std::vector<int> type;
  for (int i = 0; i < 40; ++i) {
    xyz.insert(xyz.end(), {0.37f * float(i % 7), 0.91f * float(i % 5), 1.3f * float(i % 3)});
    type.push_back(1 + (i * 7) % 3);
  }
  const auto model = model_of(xyz, type);
  std::vector<float> q;
  for (int k = 0; k < 30; ++k) q.push_back(0.5f * float(k));
  const std::vector<float> bbar = {3.0f, -2.0f, 6.0f};
  const int ptype1[] = {1, 2, 3, 1, 1, 2}, ptype2[] = {1, 2, 3, 2, 3, 3};
  for (int option : {0, 1, 2, 3}) {
    Thermal thermal;
    thermal.option = static_cast<ThermalOption>(option);
    for (int k = 0; k < 6; ++k)
      thermal.uij[static_cast<std::size_t>(k)] = 0.05f + 0.01f * static_cast<float>(k);
    std::vector<double> sum(q.size(), 0.0);
    for (int k = 0; k < 6; ++k) {
      const float w = bbar[ptype1[k] - 1] * bbar[ptype2[k] - 1] * 0.01f;
      std::vector<float> out(q.size());
      zalmor_partial(model, q, out, w, k + 1, ptype1[k], ptype2[k], thermal);
      for (std::size_t j = 0; j < q.size(); ++j) sum[j] += (k < 3 ? 1.0 : 2.0) * double{out[j]};
    }
    std::vector<float> total(q.size());
    zalmor_total(model, q, total, bbar, 1.0f, 3, thermal);
    expect_near_all(total, sum, std::abs(sum[0]));
  }
}

TEST(ReferenceKernels, SumIsRoundedOnceNotRunInSinglePrecision) {
  // 3000 coincident atoms: 8997000 ordered pairs each adding w. A float running sum stalls
  // far below the product; the once-rounded sum is the product rounded to float.
  const int n = 3000;
  const auto model = model_of(std::vector<float>(3 * n, 1.0f), std::vector<int>(n, 1));
  const std::vector<float> q = {0.0f};
  std::vector<float> out(1);
  const float w = 0.1f;
  zalmor_partial(model, q, out, w, 1, 1, 1, Thermal{});
  EXPECT_EQ(out[0], static_cast<float>(double(n) * (n - 1) * double(w)));
}

}  // namespace
}  // namespace zalmor::scatter
