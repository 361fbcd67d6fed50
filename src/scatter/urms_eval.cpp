// Option 4 for the pairs engine: .urms records as UrmsEval, with tabulated model-3 tails.
//
// The correlated Debye value v(r) = u^2 of a model-3 tail is smooth: it oscillates with the
// period 2 pi / qD of the Debye wave vectors and its oscillating part fades like 1 / r. It is
// tabulated at the exact values of the record (the same fixed quadratures as urms_at) on
// segments of 512 intervals, each segment with twice the spacing of the one before, and
// interpolated by cubics through four nodes. The first spacing resolves a period with about
// 40 nodes, which keeps u within about 2e-7 relative of the exact value from 1 Angstrom on.
#include "scatter/urms_eval.hpp"

#include <omp.h>

#include <algorithm>
#include <cmath>

namespace zalmor::scatter::detail {

namespace {

constexpr int kIntervals = 512;  // per segment
constexpr int kMaxSegments = 24;
// Below this distance (Angstrom) the record's own single-precision arithmetic cancels
// (1 - cos(qD r) rounds to 0 below qD r ~ 3e-4), so its values are not smooth enough to
// interpolate; the few pairs there are evaluated exactly.
constexpr double kTableFrom = 1.0;

}  // namespace

namespace {

// The cubic through the four table nodes around r of segment s.
double table_value(const UrmsEval::Segment& s, double rd) {
  const double x = (rd - s.r0) * s.inv_step;
  const auto j = std::min(static_cast<std::size_t>(x), std::size_t{kIntervals - 1});
  const double t = x - static_cast<double>(j);
  const double* f = s.v.data() + j;  // nodes at t = -1, 0, 1, 2
  const double tm1 = t - 1.0, tm2 = t - 2.0, tp1 = t + 1.0;
  const double a = tp1 * t, b = tm1 * tm2;
  return (-t * b * f[0] + 3.0 * tp1 * b * f[1] - 3.0 * a * tm2 * f[2] + a * tm1 * f[3]) *
         (1.0 / 6.0);
}

}  // namespace

double UrmsEval::tail_u2(double r) const {
  if (imode == 2) {
    const double last = urms[static_cast<std::size_t>(npoint - 1)];
    const double v = last * last - double{a1} / r - double{a2} / (r * r);
    return v > 0.0 ? v : 0.0;
  }
  for (const Segment& s : segments) {
    if (!(r >= s.r0)) break;
    if (r >= s.r1) continue;
    const double v = table_value(s, r);
    return v > 0.0 ? v : 0.0;
  }
  const double u = (*static_cast<const RecordEvaluator*>(exact))(static_cast<float>(r));
  return u * u;
}

float UrmsEval::tail_model3(float r) const {
  const double rd = r;
  for (const Segment& s : segments) {
    if (!(rd >= s.r0)) break;
    if (rd >= s.r1) continue;
    const double v = table_value(s, rd);
    return v > 0.0 ? std::sqrt(static_cast<float>(v)) : 0.0f;
  }
  return (*static_cast<const RecordEvaluator*>(exact))(r);
}

bool same_debye_tail(const UrmsRecord& a, const UrmsRecord& b) {
  auto last_break = [](const UrmsRecord& r) {
    return r.npoint >= 2 && r.npoint <= 100 ? r.rbreak[static_cast<std::size_t>(r.npoint - 2)]
                                            : 0.0f;
  };
  return a.imode == 3 && b.imode == 3 && a.amass1 == b.amass1 && a.amass2 == b.amass2 &&
         a.theta1 == b.theta1 && a.theta2 == b.theta2 && a.qdebye1 == b.qdebye1 &&
         a.qdebye2 == b.qdebye2 && a.temp == b.temp && last_break(a) == last_break(b);
}

std::unique_ptr<RecordEvaluator> make_urms_eval(const UrmsRecord& record, double r_max,
                                                UrmsEval& eval, const UrmsEval* same_tail) {
  eval.imode = record.imode;
  eval.npoint = std::clamp(record.npoint, 1, 100);
  eval.urms = record.urms;
  eval.rbreak = record.rbreak;
  eval.a1 = record.a1;
  eval.a2 = record.a2;
  if (record.imode != 3) return nullptr;
  if (same_tail != nullptr) {
    eval.segments = same_tail->segments;
    eval.r_end = same_tail->r_end;
    eval.exact = same_tail->exact;
    return nullptr;
  }

  // The tail alone: the same record without its steps.
  UrmsRecord tail = record;
  tail.npoint = 1;
  auto exact = std::make_unique<RecordEvaluator>(tail);
  eval.exact = exact.get();
  const double r_start =
      std::max(kTableFrom,
               eval.npoint >= 2
                   ? static_cast<double>(record.rbreak[static_cast<std::size_t>(eval.npoint - 2)])
                   : 0.0);
  const double qd = std::max(std::abs(record.qdebye1), std::abs(record.qdebye2));
  double step = std::isfinite(qd) && qd > 0.0 ? std::min(0.05, 0.15 / qd) : 0.05;
  double r0 = r_start;
  while (r0 < r_max && static_cast<int>(eval.segments.size()) < kMaxSegments) {
    UrmsEval::Segment s;
    s.r0 = r0;
    s.step = step;
    s.inv_step = 1.0 / step;
    s.r1 = r0 + kIntervals * step;
    s.v.resize(kIntervals + 4);
    const RecordEvaluator& ex = *exact;
    const int n = kIntervals + 4;
#pragma omp parallel for schedule(static)
    for (int i = 0; i < n; ++i) {
      const double r = r0 + (i - 1) * step;
      const double u = ex(static_cast<float>(r));
      s.v[static_cast<std::size_t>(i)] = u * u;
    }
    eval.segments.push_back(std::move(s));
    r0 += kIntervals * step;
    step *= 2.0;
  }
  eval.r_end = r0;
  return exact;
}

}  // namespace zalmor::scatter::detail
