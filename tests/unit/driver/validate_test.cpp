// The ranges within which a run's single-precision calculation stays finite: each refusal
// names its value and limit, and values just inside the limits pass.
#include "driver/validate.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <sstream>
#include <string>
#include <utility>

#include "driver/composition.hpp"
#include "driver/run.hpp"
#include "scatter/urms_reader.hpp"
#include "util/console.hpp"
#include "util/errors.hpp"

namespace zalmor::driver {
namespace {

// Atoms of types 1, 1, 2 along x, b_bar 1 fm, nnorm 3, Q from 0.5 to 1, no thermal factor.
RunState base() {
  RunState s;
  s.model.type = {1, 1, 2};
  s.model.xyz = {0, 0, 0, 1, 0, 0, 2, 0, 0};
  std::istringstream in("\n\n");
  std::ostringstream out, err;
  util::Console console(in, out, err);
  ask_composition(console, s);
  s.nnorm = 3.0f;
  s.q = {0.5f, 1.0f};
  return s;
}

std::string refusal(const RunState& s) {
  try {
    check_ranges(s);
  } catch (const util::FatalError& e) {
    return e.what();
  }
  return "";
}

TEST(CheckRanges, RefusesWhatWouldLeaveSinglePrecisionAndNamesValueAndLimit) {
  const std::vector<std::pair<std::function<void(RunState&)>, std::string>> cases = {
      {[](RunState& s) { s.model.xyz[3] = 1e38f; },
       " Largest distance squared in the model is 9.999999E+75 A^2, beyond the limit 1E+38 A^2: "
       "scale "
       "the coordinates down"},
      {[](RunState& s) { s.model.xyz[5] = std::numeric_limits<float>::infinity(); },
       " Atom 2 has a coordinate beyond single precision after scaling (limit 3.402823E+38 A)"},
      {[](RunState& s) { s.nnorm = 1e-39f; },
       " Number of atoms to normalise to is 1E-39, below the limit 1E-38"},
      {[](RunState& s) { s.bbar[0] = 2e20f; },
       " Block 1, i11(Q), could reach 1.333333E+38 with these b_bar values and 3 atoms to "
       "normalise to, beyond the limit 1E+38"},
      {[](RunState& s) {  // every partial fits; the total's (2/nnorm) b_i b_j does not
         s.bbar = {1e19f, 1e19f};
         s.nnorm = 0.1f;
       },
       " Block 4, the total i(Q), could reach 2E+39 with these b_bar values and 0.1 atoms to "
       "normalise to, beyond the limit 1E+38"},
      {[](RunState& s) { s.q = {1e38f}; },
       " Qmax 1E+38 times the largest distance 2 A is 2E+38, beyond the limit 1E+38"},
      {[](RunState& s) {
         s.thermal.option = scatter::ThermalOption::kOneU;
         s.thermal.uij[0] = 2e19f;
       },
       " RMS variation 2E+19 A times Qmax 1 is 2E+19, beyond the limit 1E+19"},
      {[](RunState& s) {
         s.thermal.option = scatter::ThermalOption::kShortLong;
         s.thermal.uij[1] = -1e25f;
       },
       " RMS variation in long distances 1E+25 A times Qmax 1 is 1E+25, beyond the limit 1E+19"},
      {[](RunState& s) {
         s.thermal.option = scatter::ThermalOption::kUrms;
         s.urms.records.resize(2);
         s.urms.records[1].imode = 2;
         s.urms.records[1].npoint = 1;
         s.urms.records[1].urms[0] = 3e19f;
       },
       " Largest u of .URMS record 2 3E+19 A times Qmax 1 is 3E+19, beyond the limit 1E+19"},
  };
  EXPECT_EQ(refusal(base()), "");
  for (const auto& [change, message] : cases) {
    RunState s = base();
    change(s);
    EXPECT_EQ(refusal(s), message);
  }
  // Just inside: distance squared 9.8e37, the total's (2/nnorm) b b at 1e38, u Qmax 1e19.
  RunState edge = base();
  edge.model.xyz = {0, 0, 0, 0, 0, 0, 9.9e18f, 0, 0};
  edge.bbar = {1e19f, 1e19f};
  edge.nnorm = 2.0f;
  edge.q = {1.0f};
  edge.thermal.option = scatter::ThermalOption::kOneU;
  edge.thermal.uij[0] = 1e19f;
  EXPECT_EQ(refusal(edge), "");
}

TEST(CheckQGrid, OnlyValuesThatAreNotFiniteAreRefused) {
  EXPECT_NO_THROW(check_q_grid(make_q_grid(1e33f, 100000, 0), 1e33f));
  EXPECT_NO_THROW(check_q_grid(make_q_grid(0.005f, 0, 1), 0.005f));  // the one point 0
  // (n Qmax) / n rounds to an ulp below Qmax for these: the grid is still a grid.
  for (const auto& [qmax, n] : {std::pair{0.9f, 9}, {3.6f, 36}, {31.4f, 1047}, {7.2f, 72}}) {
    for (const bool from_zero : {false, true}) {
      const std::vector<float> q = make_q_grid(qmax, n, from_zero);
      EXPECT_NO_THROW(check_q_grid(q, qmax)) << qmax << " / " << n;
      EXPECT_LE(std::fabs(q.back() - qmax), std::nextafter(qmax, 1e30f) - qmax);
    }
  }
  try {
    check_q_grid(make_q_grid(1e38f, 10, 1), 1e38f);
    FAIL() << "an infinite Q value passed";
  } catch (const util::FatalError& e) {
    EXPECT_STREQ(e.what(),
                 " Q value 5 of the grid is INF: Qmax 1E+38 times the number of steps is beyond "
                 "the limit 3.402823E+38");
  }
}

TEST(CheckBlocksFinite, StopsNamingTheBlockAndWhere) {
  const RunState s = base();
  std::vector<std::vector<float>> blocks(4, std::vector<float>{0.1f, 0.2f});
  std::vector<float> limits(4, 1.0f);
  EXPECT_NO_THROW(check_blocks_finite(s, blocks, limits));
  const auto message = [&] {
    try {
      check_blocks_finite(s, blocks, limits);
    } catch (const util::FatalError& e) {
      return std::string(e.what());
    }
    return std::string();
  };
  limits[3] = std::numeric_limits<float>::infinity();
  EXPECT_EQ(message(),
            " Block 4, the total i(Q), holds a value that is not finite (INF at its zero Q "
            "limit): no output file is written");
  blocks[2][1] = std::nanf("");
  EXPECT_EQ(message(),
            " Block 3, i12(Q), holds a value that is not finite (NAN at Q = 1): no output file "
            "is written");
}

}  // namespace
}  // namespace zalmor::driver
