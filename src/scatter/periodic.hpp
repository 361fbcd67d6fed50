// The Debye sums of a periodic box (docs/engines.md, "Periodic boxes"): every pair of atoms at
// its minimum-image distance, when that is below a cutoff, less the same sums over a uniform
// continuum of the box's density within the cutoff. Reached only from the library and the
// Python package; the program's dialogue knows nothing of it.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <vector>

#include "scatter/engine.hpp"

namespace zalmor::scatter {

// The volume of a cell (rows a, b, c, Angstrom) and its widths between opposite faces.
struct CellShape {
  double volume = 0;
  std::array<double, 3> width{};  // across the faces spanned by (b, c), (c, a), (a, b)
  double smallest_width() const;
};
// Throws std::invalid_argument for a cell that is not finite or has no volume.
CellShape cell_shape(const std::array<double, 9>& cell);

// 4 pi integral_0^rc r^2 sin(q r) / (q r) dr: the share of a uniform density of one pair per
// unit volume in the sums at q, within rc.
double continuum_sphere(double q, double rc);

// The same with every pair weighted by the modification function sinc(pi r / rc):
// 4 pi integral_0^rc r^2 sinc(pi r / rc) sin(q r) / (q r) dr = 4 pi sin(q rc) / (q (a^2 - q^2)),
// a = pi / rc (4 rc^3 / pi at q = 0, 2 rc^3 / pi at q = a).
double continuum_sphere_sinc(double q, double rc);

// Every partial block (index k-1 for partial k) and the total (last index), as compute_blocks
// gives them for a finite model, of the periodic box `cell` holding the model's atoms (any
// position: they are wrapped into the cell), with pairs up to `cutoff` and the continuum
// within it subtracted, both weighted by `modification`. Thermal options 0 to 3. The values do not
// depend on `threads`. zero_q, when given, gets each block's limit at Q = 0 (the same order).
// Throws std::invalid_argument for a bad cell, a cutoff that is not positive or above half
// the cell's smallest width, or thermal option 4; std::runtime_error where the sums' error
// bound is not well inside the tolerance.
std::vector<std::vector<float>> compute_periodic_blocks(
    const util::Model& model, const std::array<double, 9>& cell, double cutoff,
    std::span<const float> q, const BlockRequest& request, int threads = 0,
    const Progress& progress = {}, std::vector<double>* zero_q = nullptr,
    Modification modification = Modification::kNone);

// The memory compute_periodic_blocks will take at most for this box, grid (nq values up to
// |Q| = qmax) and request, in bytes.
std::size_t periodic_bytes(const util::Model& model, const PeriodicBox& box, std::size_t nq,
                           double qmax, const BlockRequest& request, int threads);

}  // namespace zalmor::scatter
