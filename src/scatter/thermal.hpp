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
UrmsValue urms_at(const UrmsTable& table, float r, int type1, int type2);

// u of one record at distance r (the record-search step already done).
float evaluate_record(const UrmsRecord& record, float r);

// An upper bound of u of one record over all distances, Angstrom, in double (infinite when
// a model-2 tail grows without bound towards r = 0). For model 3 it is the square root of
// twice the two atoms' uncorrelated mean-square displacements: the correlation terms can
// at most double it.
double largest_u(const UrmsRecord& record);

// The record urms_at uses for (type1, type2): the last one of that ordered pair, or
// nullptr when there is none.
const UrmsRecord* find_record(const UrmsTable& table, int type1, int type2);

// evaluate_record for many distances of one record, with bit-for-bit the same result. What
// the correlated Debye model needs that does not depend on r (the quadrature grid, its
// exponentials, the uncorrelated integral) is computed once here, and the Debye model is
// not evaluated where a step value applies. Holds its own copy of the record.
class RecordEvaluator {
 public:
  explicit RecordEvaluator(const UrmsRecord& record);
  float operator()(float r) const;

 private:
  // One atom of a model-3 record at the record's temperature.
  struct DebyeAtom {
    float mass = 0, theta = 0, qdebye = 0;
    float x = 0;               // theta / T
    float scale = 0;           // K T / (M theta^2)
    float full = 0;            // D1, the uncorrelated mean-square displacement
    float zero_point = 0;      // the T = 0 value
    std::vector<float> y;      // grid points up to the first at or above the cutoff
    std::vector<float> expm1;  // exp(y) - 1 where y is below the cutoff
    float contribution(float temperature, float r) const;
  };
  DebyeAtom prepare(float mass, float theta, float qdebye) const;

  UrmsRecord record_;
  DebyeAtom atom1_, atom2_;
};

// One atom's contribution to the mean-square relative displacement in the correlated
// Debye model, Angstrom^2. mass amu, temperature K, theta K, qdebye 1/Angstrom, r Angstrom.
float corru2deb_real(float mass, float temperature, float theta, float qdebye, float r);

// (1/x) * integral_0^x y/(e^y - 1) dy, by the fixed 10000-point trapezoid rule.
float u2debint_real(float x);

// (1/x) * integral_0^x sin(s y)/(s (e^y - 1)) dy, s = qdebye * r / x, same rule.
float corru2debint_real(float x, float qdebye, float r);

}  // namespace zalmor::scatter
