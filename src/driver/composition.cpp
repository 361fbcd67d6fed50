// Model composition: atom types, unique partials, fractions, scattering lengths.
#include "driver/composition.hpp"

#include <algorithm>
#include <string>

#include "scatter/request.hpp"
#include "util/console.hpp"
#include "util/errors.hpp"
#include "util/format.hpp"
#include "util/limits.hpp"

namespace zalmor::driver {

void check_model(const util::Model& model) {
  if (model.natoms() == 0) {
    throw util::FatalError(" The model has no atoms: nothing to calculate");
  }
  for (int i = 0; i < model.natoms(); ++i) {
    const int t = model.type[static_cast<std::size_t>(i)];
    if (t < 1) {
      throw util::FatalError(" Atom " + util::format_int(i + 1) + " has type " +
                             util::format_int(t) + ": atom types must be 1 or more");
    }
    if (t > kMaxTypes) {
      throw util::FatalError(" Atom " + util::format_int(i + 1) + " has type " +
                             util::format_int(t) + ": at most " + util::format_int(kMaxTypes) +
                             " atom types are allowed");
    }
  }
}

void ask_composition(util::Console& console, RunState& state) {
  const util::Model& model = state.model;
  // The number of types is the largest type number, so absent types still get partials.
  state.ntypes = std::max(1, *std::max_element(model.type.begin(), model.type.end()));
  const int n = state.ntypes;
  util::print_with_int(console, "Number of atom types in model = ", n);

  state.partials = scatter::partial_pairs(n);
  util::print_with_int(console, "Number of unique partials = ", state.npart());

  state.count.assign(static_cast<std::size_t>(n), 0);
  for (int t : model.type) ++state.count[static_cast<std::size_t>(t - 1)];
  state.frac.assign(static_cast<std::size_t>(n), 0.0f);
  for (int t = 1; t <= n; ++t) {
    const auto idx = static_cast<std::size_t>(t - 1);
    state.frac[idx] = static_cast<float>(static_cast<double>(state.count[idx]) / model.natoms());
    console.line("The atomic fraction for atom type " + util::format_int(t) + " is " +
                 util::format_fixed(static_cast<double>(state.frac[idx]), 8, 6));
  }

  state.bbar.assign(static_cast<std::size_t>(n), 1.0f);
  for (int t = 1; t <= n; ++t) {
    util::ask_real(console, state.bbar[static_cast<std::size_t>(t - 1)],
                   "b_bar in fm for atom type " + util::format_int(t));
  }
}

}  // namespace zalmor::driver
