// Building .urms records in tests, as the reader would have stored them.
#pragma once

#include <span>

#include "scatter/thermal.hpp"

namespace zalmor::scatter::test_records {

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

}  // namespace zalmor::scatter::test_records
