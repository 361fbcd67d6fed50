// Numbering of the pair groups and routing of pairs to them (docs/engines.md).
#include "scatter/groups.hpp"

#include <algorithm>
#include <bit>

#include "scatter/thermal.hpp"
#include "scatter/urms_eval.hpp"

namespace zalmor::scatter::detail {

namespace {

GroupSpec coefficients(const BlockRequest& req, const GroupPlan& plan, int tp, int a, int b) {
  GroupSpec g;
  g.partial = plan.block_of_tp[static_cast<std::size_t>(tp)];
  if (g.partial >= 0) {
    // A like partial counts every unordered pair twice, an unlike one once.
    g.c_partial =
        static_cast<double>(req.weight[static_cast<std::size_t>(g.partial)]) * (a == b ? 2.0 : 1.0);
  }
  g.c_total = 2.0 * static_cast<double>(req.total_weight) * 0.01 *
              static_cast<double>(req.bbar[static_cast<std::size_t>(a - 1)]) *
              static_cast<double>(req.bbar[static_cast<std::size_t>(b - 1)]);
  return g;
}

// Whether two records give bitwise the same u at every distance: the same steps and tail;
// a model-3 tail adds the two atoms' contributions, so their order does not matter.
bool same_values(const UrmsRecord& a, const UrmsRecord& b) {
  if (a.imode != b.imode || a.npoint != b.npoint || a.npoint < 1 || a.npoint > 100) return false;
  const auto n = static_cast<std::size_t>(a.npoint);
  if (!std::equal(a.urms.begin(), a.urms.begin() + static_cast<std::ptrdiff_t>(n),
                  b.urms.begin()) ||
      !std::equal(a.rbreak.begin(), a.rbreak.begin() + static_cast<std::ptrdiff_t>(n - 1),
                  b.rbreak.begin())) {
    return false;
  }
  if (a.imode == 2) return a.a1 == b.a1 && a.a2 == b.a2;
  if (a.imode != 3) return a.imode == 1;
  if (a.temp != b.temp) return false;
  const bool same = a.amass1 == b.amass1 && a.theta1 == b.theta1 && a.qdebye1 == b.qdebye1 &&
                    a.amass2 == b.amass2 && a.theta2 == b.theta2 && a.qdebye2 == b.qdebye2;
  const bool swapped = a.amass1 == b.amass2 && a.theta1 == b.theta2 && a.qdebye1 == b.qdebye2 &&
                       a.amass2 == b.amass1 && a.theta2 == b.theta1 && a.qdebye2 == b.qdebye1;
  return same || swapped;
}

void plan_table_groups(const BlockRequest& req, GroupPlan& plan) {
  const Thermal& th = req.thermal;
  const int nt = plan.ntypes;
  const int nsub = plan.classes();
  plan.groups.assign(static_cast<std::size_t>(plan.ntp * nsub), GroupSpec{});
  for (int a = 1; a <= nt; ++a) {
    for (int b = a; b <= nt; ++b) {
      const int tp = plan.type_pair(a, b);
      for (int sub = 0; sub < nsub; ++sub) {
        GroupSpec g = coefficients(req, plan, tp, a, b);
        g.damped = th.option != ThermalOption::kNone;
        if (th.option == ThermalOption::kOneU) g.u = th.uij[0];
        if (th.option == ThermalOption::kPerPartial)
          g.u = tp < static_cast<int>(th.uij.size()) ? th.uij[static_cast<std::size_t>(tp)] : 0.0f;
        if (th.option == ThermalOption::kShortLong) g.u = th.uij[static_cast<std::size_t>(sub)];
        plan.groups[static_cast<std::size_t>(tp * nsub + sub)] = g;
      }
    }
  }
}

// Option 4: one evaluator per record in use; groups for every type pair, role and class.
void plan_urms_groups(const BlockRequest& req, GroupPlan& plan, double r_max) {
  static const UrmsTable kEmpty{};
  const UrmsTable& table = req.thermal.urms != nullptr ? *req.thermal.urms : kEmpty;
  const int nt = plan.ntypes;
  std::vector<const UrmsRecord*> used;
  auto eval_of = [&](int t1, int t2) {
    const UrmsRecord* rec = find_record(table, t1, t2);
    if (rec == nullptr) return -1;
    // Records that give the same u at every distance share one evaluator, so that a pair
    // whose partial and total take such records stays in one group.
    const auto it = std::find_if(used.begin(), used.end(), [&](const UrmsRecord* other) {
      return other == rec || same_values(*other, *rec);
    });
    if (it != used.end()) return static_cast<int>(it - used.begin());
    used.push_back(rec);
    return static_cast<int>(used.size()) - 1;
  };
  const bool own = req.thermal.total_own_record;
  plan.rec_partial.assign(static_cast<std::size_t>(plan.ntp), -1);
  plan.rec_total.assign(static_cast<std::size_t>(2 * plan.ntp), -1);
  for (int a = 1; a <= nt; ++a) {
    for (int b = a; b <= nt; ++b) {
      const auto tp = static_cast<std::size_t>(plan.type_pair(a, b));
      plan.rec_partial[tp] = eval_of(a, b);
      plan.rec_total[2 * tp] = own ? eval_of(0, 0) : eval_of(a, b);
      plan.rec_total[2 * tp + 1] = own ? eval_of(0, 0) : eval_of(b, a);
    }
  }
  plan.evals.resize(used.size());
  for (std::size_t e = 0; e < used.size(); ++e) {
    const UrmsEval* same = nullptr;
    for (std::size_t f = 0; f < e && same == nullptr; ++f) {
      if (same_debye_tail(*used[e], *used[f])) same = &plan.evals[f];
    }
    plan.exact.push_back(make_urms_eval(*used[e], r_max, plan.evals[e], same));
  }
  plan.groups.assign(static_cast<std::size_t>(urms_group(plan.ntp, 0, 0)), GroupSpec{});
  auto class_u = [&](int eval, int cls, GroupSpec& g) {
    g.damped = true;
    g.record = eval;
    if (cls == kClassTail) {
      g.per_pair = true;
    } else if (cls == kClassDefault || eval < 0) {
      g.u = 0.05f;
    } else {
      g.u = plan.evals[static_cast<std::size_t>(eval)].urms[static_cast<std::size_t>(cls)];
    }
  };
  for (int a = 1; a <= nt; ++a) {
    for (int b = a; b <= nt; ++b) {
      const int tp = plan.type_pair(a, b);
      const GroupSpec base = coefficients(req, plan, tp, a, b);
      for (int role = 0; role < kRoles; ++role) {
        for (int cls = 0; cls < kClasses; ++cls) {
          GroupSpec g = base;
          if (role == 1) g.c_total = 0;
          if (role >= 2) {
            g.c_partial = 0;
            g.partial = -1;
          }
          const int eval = role < 2 ? plan.rec_partial[static_cast<std::size_t>(tp)]
                                    : plan.rec_total[static_cast<std::size_t>(2 * tp + role - 2)];
          class_u(eval, cls, g);
          plan.groups[static_cast<std::size_t>(urms_group(tp, role, cls))] = g;
        }
      }
    }
  }
}

}  // namespace

UrmsRoute route_urms(const GroupPlan& plan, int tp, int ti, int tj, bool i_first, float r) {
  int orient = 0;
  if (!plan.total_own_record && ti != tj) {
    // The type of the atom that comes first in the model.
    const int first = i_first ? ti : tj;
    orient = first == std::min(ti, tj) ? 0 : 1;
  }
  const int rp = plan.rec_partial[static_cast<std::size_t>(tp)];
  const int rt = plan.rec_total[static_cast<std::size_t>(2 * tp + orient)];
  UrmsRoute out;
  float& up = out.u[0];
  float& ut = out.u[1];
  const int cp = rp >= 0 ? plan.evals[static_cast<std::size_t>(rp)].classify(r, up) : kClassDefault;
  int ct = cp;
  if (rt != rp) {
    ct = rt >= 0 ? plan.evals[static_cast<std::size_t>(rt)].classify(r, ut) : kClassDefault;
  } else {
    ut = up;
  }
  if (std::bit_cast<std::uint32_t>(up) == std::bit_cast<std::uint32_t>(ut)) {
    out.n = 1;
    out.gid[0] = urms_group(tp, 0, cp);
  } else {
    out.n = 2;
    out.gid[0] = urms_group(tp, 1, cp);
    out.gid[1] = urms_group(tp, 2 + orient, ct);
  }
  return out;
}

void plan_groups(const BlockRequest& request, double r_max, GroupPlan& plan) {
  const int nt = std::max(1, request.ntypes);
  plan.ntypes = nt;
  plan.ntp = nt * (nt + 1) / 2;
  plan.option = request.thermal.option;
  plan.rcut = request.thermal.rcut;
  plan.total_own_record = request.thermal.total_own_record;
  plan.partial_of.assign(static_cast<std::size_t>((nt + 1) * (nt + 1)), 0);
  for (int a = 1; a <= nt; ++a) {
    for (int b = 1; b <= nt; ++b) {
      plan.partial_of[static_cast<std::size_t>(a * (nt + 1) + b)] = partial_number(a, b, nt) - 1;
    }
  }
  plan.block_of_tp.assign(static_cast<std::size_t>(plan.ntp), -1);
  for (std::size_t k = 0; k < request.partials.size(); ++k) {
    const auto [a, b] = request.partials[k];
    if (a >= 1 && b >= 1 && a <= nt && b <= nt) {
      plan.block_of_tp[static_cast<std::size_t>(plan.type_pair(a, b))] = static_cast<int>(k);
    }
  }
  if (plan.option == ThermalOption::kUrms) {
    plan_urms_groups(request, plan, r_max);
  } else {
    plan_table_groups(request, plan);
  }
}

void sort_atoms(const util::Model& model, int nt, PairSource& src) {
  std::vector<int> count(static_cast<std::size_t>(nt) + 2, 0);
  const int n = model.natoms();
  for (int i = 0; i < n; ++i) {
    const int t = model.type[static_cast<std::size_t>(i)];
    if (t >= 1 && t <= nt) ++count[static_cast<std::size_t>(t)];
  }
  src.run_begin.assign(static_cast<std::size_t>(nt) + 2, 0);
  for (int t = 1; t <= nt; ++t) {
    src.run_begin[static_cast<std::size_t>(t) + 1] =
        src.run_begin[static_cast<std::size_t>(t)] + count[static_cast<std::size_t>(t)];
  }
  const auto total = static_cast<std::size_t>(src.run_begin[static_cast<std::size_t>(nt) + 1]);
  src.x.resize(total);
  src.y.resize(total);
  src.z.resize(total);
  src.type.resize(total);
  src.orig.resize(total);
  std::vector<int> next(src.run_begin.begin(), src.run_begin.end());
  for (int i = 0; i < n; ++i) {
    const int t = model.type[static_cast<std::size_t>(i)];
    if (t < 1 || t > nt) continue;
    const auto at = static_cast<std::size_t>(next[static_cast<std::size_t>(t)]++);
    const auto base = static_cast<std::size_t>(i) * 3;
    src.x[at] = model.xyz[base];
    src.y[at] = model.xyz[base + 1];
    src.z[at] = model.xyz[base + 2];
    src.type[at] = t;
    src.orig[at] = i;
  }
}

double max_distance(const PairSource& a) {
  if (a.x.empty()) return 0.0;
  auto span = [](const std::vector<float>& v) {
    const auto [lo, hi] = std::minmax_element(v.begin(), v.end());
    return static_cast<double>(*hi) - static_cast<double>(*lo);
  };
  const double dx = span(a.x), dy = span(a.y), dz = span(a.z);
  return std::sqrt(dx * dx + dy * dy + dz * dz) * (1.0 + 1e-6) + 1e-6;
}

}  // namespace zalmor::scatter::detail
