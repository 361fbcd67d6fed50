// Option 4 for the fast engine: .urms records as UrmsEval, with tabulated model-3 tails.
//
// The correlated Debye value v(r) = u^2 of a model-3 tail is smooth: it oscillates with the
// period 2 pi / qD of the Debye wave vectors and its oscillating part fades like 1 / r. It is
// tabulated at the exact values of the record (the same fixed quadratures as calcurms) on
// segments of 2048 intervals, each segment with twice the spacing of the one before, and
// interpolated by cubics through four nodes. The first spacing resolves a period with about
// 40 nodes, which keeps u within about 1e-7 relative of the exact value.
#include "scatter/kernel_fast_urms.hpp"

#include <omp.h>

#include <algorithm>
#include <cmath>

namespace zalmor::scatter::detail {

namespace {

constexpr int kIntervals = 2048;  // per segment
constexpr int kMaxSegments = 24;

}  // namespace

float UrmsEval::tail_model3(float r) const {
  const double rd = r;
  for (const Segment& s : segments) {
    const double x = (rd - s.r0) / s.step;
    if (!(x >= 0.0)) break;
    if (x >= kIntervals) continue;
    const auto j = static_cast<std::size_t>(x);
    const double t = x - static_cast<double>(j);
    const double* f = s.v.data() + j;  // nodes at t = -1, 0, 1, 2
    const double tm1 = t - 1.0, tm2 = t - 2.0, tp1 = t + 1.0;
    const double v = -t * tm1 * tm2 / 6.0 * f[0] + tp1 * tm1 * tm2 / 2.0 * f[1] -
                     tp1 * t * tm2 / 2.0 * f[2] + tp1 * t * tm1 / 6.0 * f[3];
    return v > 0.0 ? static_cast<float>(std::sqrt(v)) : 0.0f;
  }
  return (*static_cast<const RecordEvaluator*>(exact))(r);
}

std::unique_ptr<RecordEvaluator> make_urms_eval(const UrmsRecord& record, double r_max,
                                                UrmsEval& eval) {
  eval.imode = record.imode;
  eval.npoint = std::clamp(record.npoint, 1, 100);
  eval.urms = record.urms;
  eval.rbreak = record.rbreak;
  eval.a1 = record.a1;
  eval.a2 = record.a2;
  if (record.imode != 3) return nullptr;

  // The tail alone: the same record without its steps.
  UrmsRecord tail = record;
  tail.npoint = 1;
  auto exact = std::make_unique<RecordEvaluator>(tail);
  eval.exact = exact.get();
  const double r_start =
      eval.npoint >= 2 ? std::max(0.0f, record.rbreak[static_cast<std::size_t>(eval.npoint - 2)])
                       : 0.0;
  const double qd = std::max(std::abs(record.qdebye1), std::abs(record.qdebye2));
  double step = std::isfinite(qd) && qd > 0.0 ? std::min(0.05, 0.15 / qd) : 0.05;
  double r0 = r_start;
  while (r0 < r_max && static_cast<int>(eval.segments.size()) < kMaxSegments) {
    UrmsEval::Segment s;
    s.r0 = r0;
    s.step = step;
    s.v.resize(kIntervals + 4);
    const RecordEvaluator& ex = *exact;
    const int n = kIntervals + 4;
#pragma omp parallel for schedule(static)
    for (int i = 0; i < n; ++i) {
      // v is even in r, which gives the node before r = 0.
      const double r = std::abs(r0 + (i - 1) * step);
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
