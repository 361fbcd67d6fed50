// Fixed capacities of a run.
#pragma once

#include <cstddef>

namespace zalmor {

inline constexpr int kMaxAtoms = 34500;
inline constexpr int kMaxTypes = 20;
inline constexpr int kMaxPartials = kMaxTypes * (kMaxTypes + 1) / 2;  // 210
// Options that keep one value per partial (per-partial u, .urms) have room for 100.
inline constexpr int kMaxPartialsPerPartialTables = 100;
inline constexpr int kMaxQValues = 100000;
inline constexpr int kNameLength = 80;  // file names and kept answer characters
// Longest line of a model or .urms file; past it the reader reports its read error.
inline constexpr std::size_t kMaxLineBytes = std::size_t{1} << 20;

}  // namespace zalmor
