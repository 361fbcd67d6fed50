// Thermal displacement model: RMS variation u of an interatomic distance from .urms
// records (step function, analytic tail, correlated Debye model).
#pragma once

#include <array>
#include <string>
#include <vector>

namespace zalmor::scatter {

inline constexpr int kMaxUrmsRecords = 25;
inline constexpr int kMaxUrmsPoints = 100;

// One record: an ordered pair of atom types ((0, 0) is the total function).
struct UrmsRecord {
  int itype1 = 0;
  int itype2 = 0;
  int imode = 0;   // 1 step function, 2 steps + analytic tail, 3 steps + correlated Debye
  int npoint = 0;  // number of displacement values, 1..100
  std::array<float, kMaxUrmsPoints> urms{};    // u(m), Angstrom
  std::array<float, kMaxUrmsPoints> rbreak{};  // r(m), m < npoint, Angstrom, increasing
  float a1 = 0, a2 = 0;                        // model 2: Angstrom^3, Angstrom^4
  float amass1 = 0, amass2 = 0;                // model 3: amu
  float theta1 = 0, theta2 = 0;                // model 3: Debye temperatures, K
  float qdebye1 = 0, qdebye2 = 0;              // model 3: Debye wave vectors, 1/Angstrom
  float temp = 0;                              // model 3: temperature, K (= u(npoint))
};

struct UrmsTable {
  std::vector<UrmsRecord> records;  // at most kMaxUrmsRecords after a successful load
};

struct UrmsValue {
  float u = 0.05f;      // Angstrom; 0.05 when there is no record or its model is unknown
  int ierr = 0;         // 0, 23 (no record for the pair) or 24 (unrecognised model)
  std::string message;  // set only when ierr != 0 (not blank-padded)
};

// u of the type pair (type1, type2), in that order, at distance r. The last matching
// record wins.
UrmsValue calcurms(const UrmsTable& table, float r, int type1, int type2);

// u of one record at distance r (the record-search step already done).
float evaluate_record(const UrmsRecord& record, float r);

// One atom's contribution to the mean-square relative displacement in the correlated
// Debye model, Angstrom^2. mass amu, temperature K, theta K, qdebye 1/Angstrom, r Angstrom.
float corru2deb_real(float mass, float temperature, float theta, float qdebye, float r);

// (1/x) * integral_0^x y/(e^y - 1) dy, by the fixed 10000-point trapezoid rule.
float u2debint_real(float x);

// (1/x) * integral_0^x sin(s y)/(s (e^y - 1)) dy, s = qdebye * r / x, same rule.
float corru2debint_real(float x, float qdebye, float r);

}  // namespace zalmor::scatter
