// The one interface of the engines (docs/engines.md, "Adding an engine"). Each engine
// estimates what a calculation would cost it and computes its blocks, or gives the
// calculation back with the reason; the planner (planner.cpp) alone chooses among them and
// falls back. Private to the scatter library.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "scatter/engine.hpp"

namespace zalmor::scatter::detail {

// What one calculation asks; the referenced data outlive the engines made for it.
struct EngineInput {
  const util::Model& model;
  std::span<const float> q;
  const BlockRequest& request;
  int threads = 0;  // 0: the machine's count
};

struct Estimate {
  double seconds = 0;     // of one core, roughly (the cost model's constants)
  std::size_t bytes = 0;  // working memory
  std::string refusal;    // why the engine will not take the calculation; empty if it will
};

// The blocks (index k-1 for partial k, then the total), or empty blocks and the reason the
// engine gave the calculation back (its error bound, its memory).
struct Outcome {
  std::vector<std::vector<float>> blocks;
  std::string refusal;
};

class Engine {
 public:
  Engine() = default;
  virtual ~Engine() = default;
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  virtual Estimate estimate() const = 0;
  virtual Outcome compute(const Progress& progress) = 0;
};

// Each engine's state is built here once, for both its estimate and its calculation.
std::unique_ptr<Engine> make_reference_engine(const EngineInput& calc);
std::unique_ptr<Engine> make_pairs_engine(const EngineInput& calc);  // never refuses
std::unique_ptr<Engine> make_moments_engine(const EngineInput& calc);

}  // namespace zalmor::scatter::detail
