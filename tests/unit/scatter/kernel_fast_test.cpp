// The fast engine against a double-precision evaluation of the same terms at the stored Q
// values, and against the literal kernels.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "scatter/kernel.hpp"
#include "scatter/kernel_fast.hpp"

namespace zalmor::scatter {
namespace {

struct Case {
  std::string name;
  util::Model model;
  std::vector<float> q;
  BlockRequest request;
};

// The driver's grid: (i - ioff) Qmax / n in single precision.
std::vector<float> driver_grid(float qmax, int n, bool from_zero) {
  std::vector<float> q;
  const int ioff = from_zero ? 1 : 0;
  for (int i = 1; i <= n + ioff; ++i) {
    q.push_back(static_cast<float>(i - ioff) * qmax / static_cast<float>(n));
  }
  return q;
}

util::Model random_model(int n, float side, int ntypes, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> pos(0.0f, side);
  util::Model m;
  for (int i = 0; i < n; ++i) {
    m.xyz.insert(m.xyz.end(), {pos(rng), pos(rng), pos(rng)});
    m.type.push_back(1 + static_cast<int>(rng() % static_cast<unsigned>(ntypes)));
  }
  return m;
}

BlockRequest request_for(int ntypes, std::vector<float> bbar, float nnorm) {
  BlockRequest r;
  r.ntypes = ntypes;
  r.bbar = std::move(bbar);
  for (int t = 1; t <= ntypes; ++t) {
    r.ptype1.push_back(t);
    r.ptype2.push_back(t);
  }
  for (int a = 1; a < ntypes; ++a) {
    for (int b = a + 1; b <= ntypes; ++b) {
      r.ptype1.push_back(a);
      r.ptype2.push_back(b);
    }
  }
  for (std::size_t k = 0; k < r.ptype1.size(); ++k) {
    const double w = double(r.bbar[std::size_t(r.ptype1[k] - 1)]) *
                     r.bbar[std::size_t(r.ptype2[k] - 1)] * 0.01 / nnorm;
    r.weight.push_back(static_cast<float>(w));
  }
  r.total_weight = 1.0f / nnorm;
  return r;
}

// Every block in double precision, term by term at the stored Q values.
std::vector<std::vector<double>> double_eval(const Case& c) {
  const util::Model& m = c.model;
  const BlockRequest& req = c.request;
  const Thermal& th = req.thermal;
  static const UrmsTable kEmpty{};
  const UrmsTable& table = th.urms != nullptr ? *th.urms : kEmpty;
  const std::size_t npart = req.ptype1.size();
  std::vector<std::vector<double>> out(npart + 1, std::vector<double>(c.q.size(), 0.0));
  const int n = m.natoms();
  for (int i = 0; i < n; ++i) {
    for (int j = i + 1; j < n; ++j) {
      const int ti = m.type[std::size_t(i)], tj = m.type[std::size_t(j)];
      const double r = dist(m.xyz, i, j);
      const int a = std::min(ti, tj), b = std::max(ti, tj);
      const int k = partial_number(a, b, req.ntypes) - 1;
      double up = 0, ut = 0;
      switch (th.option) {
        case 1: up = ut = th.uij[0]; break;
        case 2: up = ut = th.uij[std::size_t(k)]; break;
        case 3: up = ut = dist(m.xyz, i, j) < th.rcut ? th.uij[0] : th.uij[1]; break;
        case 4:
          up = calcurms(table, float(r), a, b).u;
          ut = th.topt == 1 ? calcurms(table, float(r), 0, 0).u : calcurms(table, float(r), ti, tj).u;
          break;
        default: break;
      }
      const double cp = req.weight[std::size_t(k)] * (a == b ? 2.0 : 1.0);
      const double ct = 2.0 * req.total_weight * 0.01 * req.bbar[std::size_t(ti - 1)] *
                        req.bbar[std::size_t(tj - 1)];
      for (std::size_t kq = 0; kq < c.q.size(); ++kq) {
        const double q = c.q[kq], x = q * r;
        const double s = x == 0.0 ? 1.0 : std::sin(x) / x;
        const double tp = th.option == 0 ? 1.0 : std::exp(-0.5 * (up * q) * (up * q));
        const double tt = th.option == 0 ? 1.0 : std::exp(-0.5 * (ut * q) * (ut * q));
        out[std::size_t(k)][kq] += cp * s * tp;
        out[npart][kq] += ct * s * tt;
      }
    }
  }
  return out;
}

// Largest |fast - double| of each block over its largest |double|.
std::vector<double> relative_errors(const std::vector<std::vector<float>>& got,
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

TEST(FastKernel, SmokeAgainstDouble) {
  Case c{"random", random_model(300, 20.0f, 2, 7), driver_grid(50.0f, 2500, false),
         request_for(2, {1.0f, 1.0f}, 300.0f)};
  for (int option : {0, 1, 2, 3}) {
    c.request.thermal.option = option;
    c.request.thermal.uij[0] = 0.08f;
    c.request.thermal.uij[1] = 0.12f;
    c.request.thermal.uij[2] = 0.1f;
    const auto want = double_eval(c);
    const auto got = compute_blocks(Impl::Fast, c.model, c.q, c.request, 1);
    const auto err = relative_errors(got, want);
    const auto rep = detail::last_fast_report();
    std::printf("option %d: passes %d mode %d\n", option, rep.passes, rep.final_mode);
    for (std::size_t b = 0; b < err.size(); ++b) {
      std::printf("  block %zu err %.3g bound %.3g\n", b, err[b], rep.bound[b]);
      EXPECT_LT(err[b], 1e-6) << "option " << option << " block " << b;
    }
  }
}

}  // namespace
}  // namespace zalmor::scatter

namespace zalmor::scatter {
namespace {

UrmsRecord record(int t1, int t2, int imode, std::vector<float> u, std::vector<float> r) {
  UrmsRecord rec;
  rec.itype1 = t1;
  rec.itype2 = t2;
  rec.imode = imode;
  rec.npoint = static_cast<int>(u.size());
  for (std::size_t m = 0; m < u.size(); ++m) rec.urms[m] = u[m];
  for (std::size_t m = 0; m < r.size(); ++m) rec.rbreak[m] = r[m];
  if (imode == 3) {
    rec.temp = u.back();
    rec.amass1 = 22.99f;
    rec.amass2 = 35.45f;
    rec.theta1 = 320.0f;
    rec.theta2 = 280.0f;
    rec.qdebye1 = 1.38f;
    rec.qdebye2 = 1.5f;
  }
  return rec;
}

TEST(FastKernel, SmokeOption4) {
  UrmsTable table;
  table.records.push_back(record(1, 1, 1, {0.05f, 0.08f, 0.1f}, {2.0f, 3.0f}));
  table.records.push_back(record(2, 2, 2, {0.05f, 0.09f}, {2.5f}));
  table.records.back().a1 = 0.001f;
  table.records.back().a2 = 0.002f;
  table.records.push_back(record(1, 2, 3, {0.06f, 300.0f}, {2.8f}));
  table.records.push_back(record(2, 1, 3, {0.07f, 300.0f}, {2.6f}));
  table.records.push_back(record(0, 0, 3, {0.05f, 200.0f}, {2.0f}));
  Case c{"random", random_model(300, 20.0f, 2, 7), driver_grid(50.0f, 2500, false),
         request_for(2, {1.0f, 1.0f}, 300.0f)};
  c.request.thermal.option = 4;
  c.request.thermal.urms = &table;
  for (int topt : {0, 1}) {
    c.request.thermal.topt = topt;
    const auto want = double_eval(c);
    const auto got = compute_blocks(Impl::Fast, c.model, c.q, c.request, 1);
    const auto err = relative_errors(got, want);
    const auto rep = detail::last_fast_report();
    std::printf("topt %d: passes %d mode %d\n", topt, rep.passes, rep.final_mode);
    for (std::size_t b = 0; b < err.size(); ++b) {
      std::printf("  block %zu err %.3g bound %.3g\n", b, err[b], rep.bound[b]);
      EXPECT_LT(err[b], 1e-6) << "topt " << topt << " block " << b;
    }
  }
}

}  // namespace
}  // namespace zalmor::scatter
