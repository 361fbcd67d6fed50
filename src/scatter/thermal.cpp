// Thermal displacement model: u(r) of a type pair from its .urms record, and the correlated
// Debye model with its two fixed-grid Debye integrals.
#include "scatter/thermal.hpp"

#include <algorithm>
#include <cmath>

#include "util/format.hpp"

namespace zalmor::scatter {

namespace {

// Debye-model constant, Angstrom^2 K amu, and its quarter kept as written (not K / 4 at run
// time, so the zero-point value rounds exactly as before).
constexpr float kDebyeK = 145.55f;
constexpr float kDebyeKQuarter = 36.3875f;

constexpr int kGridPoints = 10000;   // 9999 trapezoid intervals on [0, x]
constexpr float kExpCutoff = 80.0f;  // beyond, the integrands are taken as 0

// Grid point i of the quadrature on [0, x], rounded to single precision.
inline float grid_point(int i, float h) { return static_cast<float>(i) * h; }

// The downward step loop shared by models 2 and 3: the smallest m whose break lies above r
// overrides the tail value.
float steps_from_below(const UrmsRecord& record, float r, float tail) {
  float u = tail;
  for (int m = record.npoint - 1; m >= 1; --m) {
    if (r < record.rbreak[m - 1]) u = record.urms[m - 1];
  }
  return u;
}

float sqrt_or_zero(float v) { return v > 0.0f ? std::sqrt(v) : 0.0f; }

// D2 of the correlated Debye model: the zero-point correlation of an atom with the other
// atom at distance r.
float zero_point_correlation(float mass, float theta, float qdebye, float r) {
  const float numer = 0.5f * (1.0f - std::cos(qdebye * r));
  const float denom = qdebye * qdebye * r * r;
  return numer / denom * kDebyeK / (mass * theta);
}

}  // namespace

float u2debint_real(float x) {
  const float h = x / static_cast<float>(kGridPoints - 1);
  double sum = 0.0;
  float y_prev = 0.0f;
  float f_prev = 1.0f;  // limit of y / (e^y - 1) at y = 0
  for (int i = 1; i < kGridPoints; ++i) {
    const float y = grid_point(i, h);
    const float f = y < kExpCutoff ? y / (std::exp(y) - 1.0f) : 0.0f;
    sum += 0.5 * (static_cast<double>(y) - static_cast<double>(y_prev)) *
           (static_cast<double>(f_prev) + static_cast<double>(f));
    y_prev = y;
    f_prev = f;
  }
  return static_cast<float>(sum / static_cast<double>(x));
}

float corru2debint_real(float x, float qdebye, float r) {
  const float s = qdebye * r / x;
  const float h = x / static_cast<float>(kGridPoints - 1);
  double sum = 0.0;
  float y_prev = 0.0f;
  float f_prev = 1.0f;  // limit of sin(s y) / (s (e^y - 1)) at y = 0
  for (int i = 1; i < kGridPoints; ++i) {
    const float y = grid_point(i, h);
    const float f = y < kExpCutoff ? std::sin(s * y) / s / (std::exp(y) - 1.0f) : 0.0f;
    sum += 0.5 * (static_cast<double>(y) - static_cast<double>(y_prev)) *
           (static_cast<double>(f_prev) + static_cast<double>(f));
    y_prev = y;
    f_prev = f;
  }
  return static_cast<float>(sum / static_cast<double>(x));
}

float corru2deb_real(float mass, float temperature, float theta, float qdebye, float r) {
  if (r <= 0.0f) return 0.0f;
  if (temperature == 0.0f) return kDebyeKQuarter / (mass * theta);
  const float x = theta / temperature;
  const float f = kDebyeK * temperature / (mass * theta * theta);
  const float d1 = f * (u2debint_real(x) + 0.25f * theta / temperature);
  const float d2 = zero_point_correlation(mass, theta, qdebye, r);
  const float d3 = f * corru2debint_real(x, qdebye, r);
  const float d = d1 - d2 - d3;
  // Written so that a NaN from parameters outside the physical domain also gives 0.
  return d >= 0.0f ? d : 0.0f;
}

float evaluate_record(const UrmsRecord& record, float r) {
  switch (record.imode) {
    case 1: {
      float u = record.urms[0];
      for (int m = 1; m <= record.npoint - 1; ++m) {
        if (r > record.rbreak[m - 1]) u = record.urms[m];
      }
      return u;
    }
    case 2: {
      const float last = record.urms[record.npoint - 1];
      const float v = last * last - record.a1 / r - record.a2 / (r * r);
      return steps_from_below(record, r, sqrt_or_zero(v));
    }
    case 3: {
      const float v = corru2deb_real(record.amass1, record.temp, record.theta1, record.qdebye1, r) +
                      corru2deb_real(record.amass2, record.temp, record.theta2, record.qdebye2, r);
      return steps_from_below(record, r, sqrt_or_zero(v));
    }
    default:
      return UrmsValue{}.u;
  }
}

double largest_u(const UrmsRecord& record) {
  const auto n = static_cast<std::size_t>(std::max(record.npoint, 1));
  double steps = 0.0;
  for (std::size_t m = 0; m < n; ++m) steps = std::max(steps, std::fabs(double{record.urms[m]}));
  switch (record.imode) {
    case 1:
      return steps;
    case 2: {
      const double last = record.urms[n - 1];
      const double r_low = n >= 2 ? double{record.rbreak[n - 2]} : 0.0;
      const double grow = std::max(0.0, -double{record.a1}) + std::max(0.0, -double{record.a2});
      if (grow > 0.0 && r_low <= 0.0) return HUGE_VAL;
      double tail = last * last;
      if (r_low > 0.0) {
        tail += std::max(0.0, -double{record.a1}) / r_low +
                std::max(0.0, -double{record.a2}) / (r_low * r_low);
      }
      return std::max(steps, std::sqrt(tail));
    }
    case 3: {
      // The last value is the temperature, not a displacement.
      double step_u = 0.0;
      for (std::size_t m = 0; m + 1 < n; ++m) step_u = std::max(step_u, double{record.urms[m]});
      const auto msd = [&](float mass, float theta) -> double {
        const double t = record.temp;
        if (t == 0.0) return double{kDebyeKQuarter} / (double{mass} * double{theta});
        const double x = double{theta} / t;
        const double scale = double{kDebyeK} * t / (double{mass} * double{theta} * double{theta});
        return scale * (double{u2debint_real(static_cast<float>(x))} + 0.25 * x);
      };
      const double v =
          2.0 * (msd(record.amass1, record.theta1) + msd(record.amass2, record.theta2));
      return std::max(step_u, std::sqrt(std::max(v, 0.0)));
    }
    default:
      return UrmsValue{}.u;
  }
}

const UrmsRecord* find_record(const UrmsTable& table, int type1, int type2) {
  const UrmsRecord* found = nullptr;
  for (const UrmsRecord& record : table.records) {
    if (record.itype1 == type1 && record.itype2 == type2) found = &record;
  }
  return found;
}

UrmsValue urms_at(const UrmsTable& table, float r, int type1, int type2) {
  UrmsValue result;
  const UrmsRecord* found = find_record(table, type1, type2);
  if (found == nullptr) {
    result.ierr = 23;
    result.message = "Error in calcurms: No data for atom pair " + util::format_int(type1) + " " +
                     util::format_int(type2);
    return result;
  }
  if (found->imode < 1 || found->imode > 3) {
    result.ierr = 24;
    result.message = "Error in calcurms: Unrecognised mode";
    return result;
  }
  result.u = evaluate_record(*found, r);
  return result;
}

RecordEvaluator::RecordEvaluator(const UrmsRecord& record) : record_(record) {
  if (record_.imode == 3) {
    atom1_ = prepare(record_.amass1, record_.theta1, record_.qdebye1);
    atom2_ = prepare(record_.amass2, record_.theta2, record_.qdebye2);
  }
}

RecordEvaluator::DebyeAtom RecordEvaluator::prepare(float mass, float theta, float qdebye) const {
  DebyeAtom atom;
  atom.mass = mass;
  atom.theta = theta;
  atom.qdebye = qdebye;
  const float temperature = record_.temp;
  atom.zero_point = kDebyeKQuarter / (mass * theta);
  if (temperature == 0.0f) return atom;
  atom.x = theta / temperature;
  atom.scale = kDebyeK * temperature / (mass * theta * theta);
  atom.full = atom.scale * (u2debint_real(atom.x) + 0.25f * theta / temperature);
  // Every point past the first one at the cutoff adds an exact zero to the sum, so the
  // grid stops there.
  const float h = atom.x / static_cast<float>(kGridPoints - 1);
  atom.y.push_back(0.0f);
  atom.expm1.push_back(0.0f);  // unused: f(0) is the limit value
  for (int i = 1; i < kGridPoints; ++i) {
    const float y = grid_point(i, h);
    atom.y.push_back(y);
    if (!(y < kExpCutoff)) break;
    atom.expm1.push_back(std::exp(y) - 1.0f);
  }
  return atom;
}

// The same operations as corru2deb_real with corru2debint_real inlined, in the same order.
float RecordEvaluator::DebyeAtom::contribution(float temperature, float r) const {
  if (r <= 0.0f) return 0.0f;
  if (temperature == 0.0f) return zero_point;
  const float s = qdebye * r / x;
  const auto n_below = expm1.size();
  double sum = 0.0;
  float f_prev = 1.0f;
  for (std::size_t i = 1; i < y.size(); ++i) {
    const float f = i < n_below ? std::sin(s * y[i]) / s / expm1[i] : 0.0f;
    sum += 0.5 * (static_cast<double>(y[i]) - static_cast<double>(y[i - 1])) *
           (static_cast<double>(f_prev) + static_cast<double>(f));
    f_prev = f;
  }
  const float correlated = static_cast<float>(sum / static_cast<double>(x));
  const float d2 = zero_point_correlation(mass, theta, qdebye, r);
  const float d3 = scale * correlated;
  const float d = full - d2 - d3;
  return d >= 0.0f ? d : 0.0f;
}

float RecordEvaluator::operator()(float r) const {
  if (record_.imode != 3) return evaluate_record(record_, r);
  // The step loop runs downwards, so the smallest m with r < r(m) decides; only when there
  // is none is the Debye value kept.
  for (int m = 1; m <= record_.npoint - 1; ++m) {
    if (r < record_.rbreak[m - 1]) return record_.urms[m - 1];
  }
  const float v = atom1_.contribution(record_.temp, r) + atom2_.contribution(record_.temp, r);
  return sqrt_or_zero(v);
}

}  // namespace zalmor::scatter
