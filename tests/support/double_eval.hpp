// Models, requests, and every block evaluated in double precision term by term at the stored
// Q values: the yardstick of the engines in tests and benchmarks.
#pragma once

#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>
#include <random>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "scatter/engine.hpp"
#include "scatter/thermal.hpp"
#include "support/urms_records.hpp"

namespace zalmor::test_support {

constexpr double kTolerance = 1e-6;  // of the block's largest |i(Q)|

// The driver's grid: (i - ioff) Qmax / n in single precision.
inline std::vector<float> driver_grid(float qmax, int n, bool from_zero) {
  std::vector<float> q;
  const int ioff = from_zero ? 1 : 0;
  for (int i = 1; i <= n + ioff; ++i) {
    q.push_back(static_cast<float>(i - ioff) * qmax / static_cast<float>(n));
  }
  return q;
}

inline util::Model random_model(int n, float side, int ntypes, unsigned stream) {
  std::mt19937 rng(stream);
  std::uniform_real_distribution<float> pos(0.0f, side);
  util::Model m;
  for (int i = 0; i < n; ++i) {
    m.xyz.insert(m.xyz.end(), {pos(rng), pos(rng), pos(rng)});
    m.type.push_back(1 + static_cast<int>(rng() % static_cast<unsigned>(ntypes)));
  }
  return m;
}

inline scatter::BlockRequest request_for(int ntypes, std::vector<float> bbar, float nnorm) {
  scatter::BlockRequest r;
  r.ntypes = ntypes;
  r.bbar = std::move(bbar);
  for (int t = 1; t <= ntypes; ++t) {
    r.partials.push_back({t, t});
  }
  for (int a = 1; a < ntypes; ++a) {
    for (int b = a + 1; b <= ntypes; ++b) {
      r.partials.push_back({a, b});
    }
  }
  for (std::size_t k = 0; k < r.partials.size(); ++k) {
    const double w = double{r.bbar[std::size_t(r.partials[k].first - 1)]} *
                     double{r.bbar[std::size_t(r.partials[k].second - 1)]} * 0.01 / double{nnorm};
    r.weight.push_back(static_cast<float>(w));
  }
  r.total_weight = 1.0f / nnorm;
  return r;
}

inline scatter::Thermal thermal_option(int option) {
  scatter::Thermal th;
  th.option = static_cast<scatter::ThermalOption>(option);
  th.uij[0] = 0.08f;
  th.uij[1] = 0.12f;
  th.uij[2] = 0.1f;
  th.rcut = 3.0f;
  return th;
}

// u of the record of (t1, t2) at r as urms_at gives it, with one exact evaluator per record
// (the correlated Debye model costs two 10000-point quadratures per call).
class UrmsOracle {
 public:
  explicit UrmsOracle(const scatter::UrmsTable* table) : table_(table) {
    if (table_ == nullptr) return;
    for (const scatter::UrmsRecord& rec : table_->records) {
      evaluators_.push_back(std::make_unique<scatter::RecordEvaluator>(rec));
    }
  }
  double operator()(float r, int t1, int t2) const {
    if (table_ == nullptr) return 0.05;
    const scatter::UrmsRecord* rec = find_record(*table_, t1, t2);
    if (rec == nullptr || rec->imode < 1 || rec->imode > 3) return 0.05;
    return (*evaluators_[static_cast<std::size_t>(rec - table_->records.data())])(r);
  }

 private:
  const scatter::UrmsTable* table_;
  std::vector<std::unique_ptr<scatter::RecordEvaluator>> evaluators_;
};

// Every block in double precision, term by term at the Q values q, with the u of a pair under
// the .urms option from urms(r, t1, t2); rows of the pair matrix are shared out over `threads`.
template <class UrmsFn>
std::vector<std::vector<double>> double_eval(const util::Model& m, std::span<const float> q,
                                             const scatter::BlockRequest& req, const UrmsFn& urms,
                                             int threads = 1) {
  using scatter::ThermalOption;
  const scatter::Thermal& th = req.thermal;
  const std::size_t npart = req.partials.size();
  const int n = m.natoms();
  auto rows = [&](int first, int step, std::vector<std::vector<double>>& out) {
    for (int i = first; i < n; i += step) {
      for (int j = i + 1; j < n; ++j) {
        const int ti = m.type[std::size_t(i)], tj = m.type[std::size_t(j)];
        const float rf = scatter::dist(m.xyz, i, j);
        const double r = rf;
        const int a = std::min(ti, tj), b = std::max(ti, tj);
        const int k = scatter::partial_number(a, b, req.ntypes) - 1;
        double up = 0, ut = 0;
        switch (th.option) {
          case ThermalOption::kOneU:
            up = ut = th.uij[0];
            break;
          case ThermalOption::kPerPartial:
            up = ut = th.uij[std::size_t(k)];
            break;
          case ThermalOption::kShortLong:
            up = ut = rf < th.rcut ? th.uij[0] : th.uij[1];
            break;
          case ThermalOption::kUrms:
            up = urms(rf, a, b);
            ut = th.total_own_record ? urms(rf, 0, 0) : urms(rf, ti, tj);
            break;
          default:
            break;
        }
        const double cp = double{req.weight[std::size_t(k)]} * (a == b ? 2.0 : 1.0);
        const double ct = 2.0 * double{req.total_weight} * 0.01 *
                          double{req.bbar[std::size_t(ti - 1)]} *
                          double{req.bbar[std::size_t(tj - 1)]};
        for (std::size_t kq = 0; kq < q.size(); ++kq) {
          const double qk = q[kq], x = qk * r;
          const double s = x == 0.0 ? 1.0 : std::sin(x) / x;
          const double tp =
              th.option == ThermalOption::kNone ? 1.0 : std::exp(-0.5 * (up * qk) * (up * qk));
          const double tt =
              th.option == ThermalOption::kNone ? 1.0 : std::exp(-0.5 * (ut * qk) * (ut * qk));
          out[std::size_t(k)][kq] += cp * s * tp;
          out[npart][kq] += ct * s * tt;
        }
      }
    }
  };
  const auto zeros = [&] {
    return std::vector<std::vector<double>>(npart + 1, std::vector<double>(q.size(), 0.0));
  };
  std::vector<std::vector<std::vector<double>>> parts(std::size_t(std::max(threads, 1)), zeros());
  {
    std::vector<std::jthread> workers;
    for (std::size_t t = 1; t < parts.size(); ++t) {
      workers.emplace_back(rows, int(t), int(parts.size()), std::ref(parts[t]));
    }
    rows(0, int(parts.size()), parts[0]);
  }
  for (std::size_t t = 1; t < parts.size(); ++t) {
    for (std::size_t b = 0; b <= npart; ++b) {
      for (std::size_t kq = 0; kq < q.size(); ++kq) parts[0][b][kq] += parts[t][b][kq];
    }
  }
  return std::move(parts[0]);
}

// The same with the exact u of every .urms record.
inline std::vector<std::vector<double>> double_eval(const util::Model& m, std::span<const float> q,
                                                    const scatter::BlockRequest& req) {
  return double_eval(m, q, req, UrmsOracle(req.thermal.urms));
}

// Largest |fast - double| of each block over its largest |double|.
inline std::vector<double> relative_errors(const std::vector<std::vector<float>>& got,
                                           const std::vector<std::vector<double>>& want) {
  std::vector<double> err;
  for (std::size_t b = 0; b < want.size(); ++b) {
    double scale = 0, worst = 0;
    for (double v : want[b]) scale = std::max(scale, std::abs(v));
    for (std::size_t k = 0; k < want[b].size(); ++k) {
      worst = std::max(worst, std::abs(double(got[b][k]) - want[b][k]));
    }
    err.push_back(scale > 0 ? worst / scale : worst);
  }
  return err;
}

}  // namespace zalmor::test_support
