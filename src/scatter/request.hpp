// What a calculation of blocks is asked (the types, their weights and scattering lengths, the
// thermal model) and the ranges within which its single-precision sums stay finite. The
// program's dialogue and the Python package both build their request here and have it
// checked here, so a limit and its message exist once.
//
// The kernels form, per pair, r^2 = dx^2 + dy^2 + dz^2, x = Q r, sin(x) w / x, u Q and
// (u Q)^2 / 2, and for the total ((2 / nnorm) b_i) b_j 0.01; a block's sum is at most the sum
// of its terms' magnitudes, which the zero-Q limits are. Each of these is kept at or below
// kFiniteLimit (a third of the largest float), so rounding can never tip one over.
#pragma once

#include <array>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "scatter/thermal.hpp"
#include "util/coords_reader.hpp"

namespace zalmor::scatter {

// Headroom kept below the largest float (3.4e38) by every product the kernels form.
inline constexpr double kFiniteLimit = 1.0e38;
// Largest u * Q: the thermal factor squares it.
inline constexpr double kMaxUQ = 1.0e19;

// How interatomic-distance broadening is applied: T(Q) = exp(-(u Q)^2 / 2). The values are
// the numbers the user answers.
enum class ThermalOption : int {
  kNone = 0,        // T = 1
  kOneU = 1,        // uij[0] for every pair
  kPerPartial = 2,  // uij of the pair's partial
  kShortLong = 3,   // uij[0] below rcut, uij[1] from rcut on
  kUrms = 4,        // u(r) from the .urms records of the pair's types
};

struct Thermal {
  ThermalOption option = ThermalOption::kNone;
  std::array<float, 100> uij{};     // Angstrom; uij[k-1] belongs to partial k (option 2),
                                    // uij[0] / uij[1] short / long distances (option 3)
  float rcut = 1.7f;                // Angstrom, option 3: r < rcut is short
  bool total_own_record = false;    // option 4: the total takes the (0, 0) record
  const UrmsTable* urms = nullptr;  // option 4
};

// The two atom types of a partial.
struct TypePair {
  int first = 1;
  int second = 1;
  friend bool operator==(const TypePair&, const TypePair&) = default;
};

// The partials of `ntypes` types in block order: like pairs (t, t), then the unlike pairs in
// row order (1, 2), (1, 3), ..., (ntypes - 1, ntypes).
std::vector<TypePair> partial_pairs(int ntypes);

// How the pairs within a periodic box's cutoff, and the continuum, are weighted.
enum class Modification {
  kNone,  // 1
  kSinc,  // sinc(pi r / rc), which takes the step at the cutoff down to zero smoothly
};

// A periodic box (docs/engines.md, "Periodic boxes"): every pair at its minimum-image distance
// below the cutoff, less the same sums over a uniform continuum of the box's density.
struct PeriodicBox {
  std::array<double, 9> cell{};  // rows a, b, c, Angstrom
  double cutoff = 0;             // Angstrom, at most half the cell's smallest width
  Modification modification = Modification::kNone;
};

// Everything the calculation phase needs for all blocks of a run.
struct BlockRequest {
  int ntypes = 1;
  std::vector<TypePair> partials;  // types of partial k at index k-1
  std::vector<float> weight;       // weight of partial k at index k-1
  std::vector<float> bbar;         // bbar[t-1], fm
  float nnorm = 1.0f;              // the number of atoms the blocks are normalised to
  float total_weight = 1.0f;
  Thermal thermal;
  std::optional<PeriodicBox> box;  // a periodic box; a finite model without
};

// The request of a model of `ntypes` types with scattering lengths bbar (fm, bbar[t-1]),
// normalised to nnorm atoms: every partial of partial_pairs, each weighted by its pair weight
// rounded to float, the total by 1 / nnorm. Throws RequestError for ntypes outside
// 1..kMaxTypes or a bbar of another length.
BlockRequest make_block_request(int ntypes, std::vector<float> bbar, float nnorm,
                                const Thermal& thermal);

// A request the calculation refuses; what() is one line naming the value and its limit.
struct RequestError : std::invalid_argument {
  using std::invalid_argument::invalid_argument;
};

// Refuses (RequestError) a request whose sums could leave the float range: a coordinate that
// is not finite or a model too large to square its distances, weights whose zero-Q limits
// would overflow, a Q value that is not finite, Q times the largest distance, u times Qmax;
// also types outside 1..ntypes and more than kMaxTypes types. A periodic box's cutoff bounds
// the distances its sums take; a finite model's extent bounds its own.
void check_request(const util::Model& model, std::span<const float> q, const BlockRequest& request);

// A grid formed as (i Qmax) / n in float: every value finite (its last may lie an ulp from
// Qmax), else RequestError naming the value and Qmax.
void check_grid_steps(std::span<const float> q, float qmax);

// The net behind check_request: every value of every block and every zero-Q limit finite,
// else RequestError naming the block, the value and its Q.
void check_blocks_finite(const BlockRequest& request, std::span<const float> q,
                         const std::vector<std::vector<float>>& blocks,
                         std::span<const float> limits);

}  // namespace zalmor::scatter
