// Everything one run of the dialogue decides, owned by the driver from the first prompt on.
#pragma once

#include <string>
#include <vector>

#include "scatter/engine.hpp"
#include "scatter/thermal.hpp"
#include "util/coords_reader.hpp"

namespace zalmor::driver {

struct RunState {
  std::string model_stem;  // the model answer without a typed ".coords"
  std::string model_file;  // stem + ".coords"
  util::Model model;
  float nnorm = 0;  // number of atoms to normalise to

  int ntypes = 1;
  std::vector<int> count;                   // atoms of type t at index t-1
  std::vector<float> frac;                  // atomic fraction of type t at index t-1
  std::vector<float> bbar;                  // fm, type t at index t-1
  std::vector<scatter::TypePair> partials;  // types of partial k at index k-1
  int npart() const { return static_cast<int>(partials.size()); }

  scatter::Thermal thermal;  // its urms pointer stays null: the calculation is given `urms`
  scatter::UrmsTable urms;   // the records of the .urms file under thermal option 4
  std::string urms_file;     // its full path

  bool grid_from_zero = false;  // the grid starts at Q = 0, else at the first step
  std::vector<float> q;         // the nq Q values, 1/Angstrom
  std::string output_file;      // answer + ".ioq"

  scatter::Impl engine = scatter::Impl::Auto;  // ZALMOR_ENGINE's choice, else the cost model's
};

}  // namespace zalmor::driver
