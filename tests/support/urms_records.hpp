// .urms records for tests and benchmarks, as the reader would have stored them.
#pragma once

#include <span>
#include <vector>

#include "scatter/thermal.hpp"

namespace zalmor::test_support {

using scatter::UrmsRecord;
using scatter::UrmsTable;

// Displacement values u and break distances r of a record of model imode.
inline void fill_steps(UrmsRecord& record, int imode, std::span<const float> u,
                       std::span<const float> r) {
  record.imode = imode;
  record.npoint = static_cast<int>(u.size());
  for (std::size_t m = 0; m < u.size(); ++m) record.urms[m] = u[m];
  for (std::size_t m = 0; m < r.size(); ++m) record.rbreak[m] = r[m];
}

// A Na and a Cl atom of the correlated Debye model at temperature temp (K).
inline void set_debye_atoms(UrmsRecord& record, float temp) {
  record.temp = temp;
  record.amass1 = 22.99f;
  record.amass2 = 35.45f;
  record.theta1 = 320.0f;
  record.theta2 = 280.0f;
  record.qdebye1 = 1.38f;
  record.qdebye2 = 1.5f;
}

// The record of the ordered type pair (t1, t2); under model 3 the last u is the temperature,
// of a Na and a Cl atom.
inline UrmsRecord make_record(int t1, int t2, int imode, const std::vector<float>& u,
                              const std::vector<float>& r) {
  UrmsRecord rec;
  rec.itype1 = t1;
  rec.itype2 = t2;
  fill_steps(rec, imode, u, r);
  if (imode == 3 && !u.empty()) set_debye_atoms(rec, u.back());
  return rec;
}

inline UrmsRecord& add_record(UrmsTable& table, int t1, int t2, int imode,
                              const std::vector<float>& u, const std::vector<float>& r) {
  return table.records.emplace_back(make_record(t1, t2, imode, u, r));
}

}  // namespace zalmor::test_support
