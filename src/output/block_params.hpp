// The block parameters: the 30 reals that every zalmor block stores in its field ut.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string_view>

namespace zalmor::output {

inline constexpr int kBlockParamCount = 30;
// Scattering lengths of at most this many types fit in the block parameters.
inline constexpr int kBlockParamTypes = 10;

// The slots of ut that hold something, by their index from 0; the others stay 0.
enum class BlockParam : std::size_t {
  kBlockCount = 0,   // number of blocks in the file (partials + 1)
  kTypeCount = 1,    // number of atom types
  kUnity = 2,        // always 1.0
  kFractionA = 3,    // atomic fraction of the partial's first type
  kFractionB = 4,    // atomic fraction of the partial's second type
  kZeroQLimit = 16,  // the block's zero-Q limit
  kBbar = 20,        // b_bar of type 1 in fm; type t at kBbar + t - 1, t <= kBlockParamTypes
};

// The names the slots go by in docs/ioq-format.md and in the Python tools.
struct BlockParamName {
  BlockParam slot;
  std::string_view name;
  int count;  // consecutive slots that carry the name
};
inline constexpr std::array<BlockParamName, 7> kBlockParamNames{{
    {BlockParam::kBlockCount, "nblocks", 1},
    {BlockParam::kTypeCount, "ntypes", 1},
    {BlockParam::kUnity, "unity", 1},
    {BlockParam::kFractionA, "frac_a", 1},
    {BlockParam::kFractionB, "frac_b", 1},
    {BlockParam::kZeroQLimit, "zero_q", 1},
    {BlockParam::kBbar, "bbar", kBlockParamTypes},
}};

// The parameter vector of a block, filled by slot name.
class BlockParams {
 public:
  void set(BlockParam slot, float value) { values_[static_cast<std::size_t>(slot)] = value; }
  // b_bar of type t (1-based); types beyond kBlockParamTypes have no slot and are left out.
  void set_bbar(int type, float value) {
    if (type >= 1 && type <= kBlockParamTypes) {
      values_[static_cast<std::size_t>(BlockParam::kBbar) + static_cast<std::size_t>(type - 1)] =
          value;
    }
  }
  float get(BlockParam slot) const { return values_[static_cast<std::size_t>(slot)]; }
  std::span<const float> values() const { return values_; }

 private:
  std::array<float, kBlockParamCount> values_{};
};

}  // namespace zalmor::output
