// The literal Debye-equation kernels: the yardstick every faster evaluation is tested against.
//
// Built with -ffp-contract=off so that every product and sum below is rounded to float
// exactly where it is written. Each element of the result is the sum over pairs, taken in
// model order (i outer, j inner), of a pair term formed in single precision; the sum itself
// runs in double and is rounded once, because a float running sum over the ~1e9 pairs of a
// large model loses most of its digits.
//
// The loops run pairs outermost and Q innermost. Each Q element still receives its terms in
// exactly the model order, so the values equal a Q-outermost evaluation bit for bit, while
// the distance and, under option 4, the thermal displacement are found once per pair.
#include <cmath>
#include <limits>
#include <vector>

#include "scatter/engine.hpp"

namespace zalmor::scatter {

float dist(std::span<const float> xyz, int i, int j) {
  const auto a = static_cast<std::size_t>(i) * 3;
  const auto b = static_cast<std::size_t>(j) * 3;
  const float dx = xyz[a] - xyz[b];
  const float dy = xyz[a + 1] - xyz[b + 1];
  const float dz = xyz[a + 2] - xyz[b + 2];
  return std::sqrt(dx * dx + dy * dy + dz * dz);
}

int partial_number(int a, int b, int ntypes) {
  if (a == b) return a;
  if (a > b) std::swap(a, b);
  return a * ntypes - a * (a - 1) / 2 + (b - a);
}

namespace {

// u of one pair under options 1 to 3 (option 0 has no thermal factor; option 4 asks the
// .urms table). `partial` is the 1-based number of the partial whose u option 2 takes.
float table_u(const Thermal& thermal, int partial, float r) {
  switch (thermal.option) {
    case ThermalOption::kOneU:
      return thermal.uij[0];
    case ThermalOption::kPerPartial:
      return partial >= 1 && partial <= static_cast<int>(thermal.uij.size())
                 ? thermal.uij[static_cast<std::size_t>(partial - 1)]
                 : 0.0f;
    case ThermalOption::kShortLong:
      return r < thermal.rcut ? thermal.uij[0] : thermal.uij[1];
    default:
      return 0.0f;
  }
}

float urms_u(const Thermal& thermal, float r, int type1, int type2) {
  static const UrmsTable kEmpty{};
  return urms_at(thermal.urms != nullptr ? *thermal.urms : kEmpty, r, type1, type2).u;
}

// sin(x) p / x with the x = 0 limit, in single precision as the Debye sum defines it.
// Where x or sin(x) p falls below the smallest normal float it keeps too few bits for the
// quotient to mean anything (Q = 1e-45 gave 0.0149 for 54.86); sin(x) / x is 1 in float long
// before that, so the limit is the term.
float sinc_term(float q, float r, float p) {
  const float x = q * r;
  if (x == 0.0f) return p;
  const float s = static_cast<float>(std::sin(x) * p);
  constexpr float kSmallest = std::numeric_limits<float>::min();
  if (std::fabs(x) < kSmallest || std::fabs(s) < kSmallest) return p;
  return s / x;
}

float thermal_factor(float u, float q) {
  const float a = u * q;
  return std::exp(-(0.5f * a) * a);
}

}  // namespace

void zalmor_partial(const util::Model& model, std::span<const float> q, std::span<float> out,
                    float w, int partial, int type_a, int type_b, const Thermal& thermal) {
  const auto nq = q.size();
  std::vector<double> sum(nq, 0.0);
  const int n = model.natoms();
  for (int i = 0; i < n; ++i) {
    if (model.type[static_cast<std::size_t>(i)] != type_a) continue;
    for (int j = 0; j < n; ++j) {
      if (j == i || model.type[static_cast<std::size_t>(j)] != type_b) continue;
      const float r = dist(model.xyz, i, j);
      const bool damped = thermal.option != ThermalOption::kNone;
      const float u = thermal.option == ThermalOption::kUrms ? urms_u(thermal, r, type_a, type_b)
                                                             : table_u(thermal, partial, r);
      for (std::size_t k = 0; k < nq; ++k) {
        const float s = sinc_term(q[k], r, w);
        const float t = damped ? thermal_factor(u, q[k]) : 1.0f;
        sum[k] += static_cast<double>(s * t);
      }
    }
  }
  for (std::size_t k = 0; k < nq && k < out.size(); ++k) out[k] = static_cast<float>(sum[k]);
}

void zalmor_total(const util::Model& model, std::span<const float> q, std::span<float> out,
                  std::span<const float> bbar, float w, int ntypes, const Thermal& thermal) {
  const auto nq = q.size();
  std::vector<double> sum(nq, 0.0);
  const int n = model.natoms();
  const float p = 2.0f * w;
  for (int i = 0; i < n - 1; ++i) {
    const int ti = model.type[static_cast<std::size_t>(i)];
    const float bi = bbar[static_cast<std::size_t>(ti - 1)];
    for (int j = i + 1; j < n; ++j) {
      const int tj = model.type[static_cast<std::size_t>(j)];
      const float bj = bbar[static_cast<std::size_t>(tj - 1)];
      const float r = dist(model.xyz, i, j);
      const bool damped = thermal.option != ThermalOption::kNone;
      float u = 0.0f;
      if (thermal.option == ThermalOption::kUrms) {
        u = thermal.total_own_record ? urms_u(thermal, r, 0, 0) : urms_u(thermal, r, ti, tj);
      } else if (damped) {
        u = table_u(thermal, partial_number(ti, tj, ntypes), r);
      }
      for (std::size_t k = 0; k < nq; ++k) {
        const float s = sinc_term(q[k], r, p);
        const float t = damped ? thermal_factor(u, q[k]) : 1.0f;
        sum[k] += static_cast<double>((((s * t) * bi) * bj) * 0.01f);
      }
    }
  }
  for (std::size_t k = 0; k < nq && k < out.size(); ++k) out[k] = static_cast<float>(sum[k]);
}

}  // namespace zalmor::scatter
