// The calculation and output phase: one block per partial, then the total.
#include "driver/results.hpp"

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "driver/composition.hpp"
#include "driver/progress.hpp"
#include "driver/provenance.hpp"
#include "driver/signal_cleanup.hpp"
#include "driver/validate.hpp"
#include "output/block_params.hpp"
#include "output/block_writer.hpp"
#include "output/datafile.hpp"
#include "scatter/weights.hpp"
#include "util/console.hpp"
#include "util/format.hpp"

namespace zalmor::driver {
namespace {

std::string partial_label(int a, int b) {
  // Appended, not "i" + ...: g++ 12 -O3 warns of an overlapping copy (-Wrestrict) there.
  std::string label = "i";
  label += util::format_int(a);
  label += util::format_int(b);
  label += "(Q)";
  return label;
}

// The console line of a partial block, written before the block.
std::string partial_line(int block, std::string_view label, float limit) {
  return "Block " + util::format_int(block) + " contains " + std::string(label) +
         ", zero Q limit = " + util::format_general(limit);
}

// The console line of the total block, written after the block.
std::string total_line(int block, float limit) {
  return "Block " + util::format_int(block) +
         " contains total i(Q), zero Q limit = " + util::format_general(limit);
}

// Every partial block (index k-1 for partial k), then the total, with a progress line.
std::vector<std::vector<float>> compute_all_blocks(util::Console& console, const RunState& state) {
  const scatter::ThreadStart start = scatter::start_threads();
  if (start.threads < start.wanted) {
    console.note("warning: only " + util::format_int(start.threads) + " of " +
                 util::format_int(start.wanted) + " threads could be started (" + start.reason +
                 "): the calculation runs on " + util::format_int(start.threads));
  }
  ProgressDisplay progress;
  return scatter::compute_blocks(state.engine, state.model, state.q, block_request(state),
                                 start.threads, [&progress](double f) { progress.update(f); });
}

// The parameters that are the same in every block of the run.
output::BlockParams run_parameters(const RunState& state) {
  output::BlockParams params;
  params.set(output::BlockParam::kBlockCount, static_cast<float>(state.npart() + 1));
  params.set(output::BlockParam::kTypeCount, static_cast<float>(state.ntypes));
  params.set(output::BlockParam::kUnity, 1.0f);
  for (int t = 1; t <= state.ntypes; ++t) {
    params.set_bbar(t, state.bbar[static_cast<std::size_t>(t - 1)]);
  }
  return params;
}

// The output file of the run: one library session, and the block fields that stay the same
// from block to block. The block refers to the Q values, errors and parameters held here,
// so an OutputFile is neither copied nor moved.
class OutputFile {
 public:
  OutputFile(const RunState& state, std::vector<output::MetaEntry> metadata)
      : x_(state.q), e_(state.q.size(), 0.0f) {
    // The writer sends one x value more than there are points; it stays 0.
    x_.push_back(0.0f);
    block_.k2file = state.output_file;
    block_.xlabel = "Q / Inverse Angstroms";
    block_.user_name = "Orin";
    block_.inst_name = "Model";
    block_.title = ("Zalmor: " + state.model_file).substr(0, 80);
    block_.x = x_;
    block_.e = e_;
    block_.ut = params_.values();
    block_.ntc = static_cast<int>(state.q.size());
    block_.nut = output::kBlockParamCount;
    block_.inew = 1;
    block_.idebug = 0;
    library_.activate_session("kavor", 0, 0.0f);
    library_.set_file_metadata(std::move(metadata));
  }
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  output::BlockParams& params() { return params_; }

  // Writes the next block; the first one starts the file.
  void write(util::Console& console, std::string_view label, std::span<const float> y) {
    block_.ylabel = label;
    block_.y = y;
    writer_.write_block(console, block_);
    block_.inew = 0;
  }

  // Puts the finished file in place of any earlier one.
  void close() { library_.deactivate_session(); }

 private:
  output::DataLibrary library_;
  output::BlockWriter writer_{library_};
  std::vector<float> x_;
  std::vector<float> e_;
  output::BlockParams params_;
  output::ResultBlock block_;
};

}  // namespace

scatter::BlockRequest block_request(const RunState& state) {
  scatter::Thermal thermal = state.thermal;
  // The table stays in the state; the request lives only for the calculation.
  thermal.urms = &state.urms;
  return scatter::make_block_request(state.ntypes, state.bbar, state.nnorm, thermal);
}

std::vector<float> zero_q_limits(const RunState& state) {
  return scatter::zero_q_limits(state.count, state.partials, state.bbar, state.nnorm);
}

void write_results(util::Console& console, const RunState& state) {
  const SignalCleanup cleanup;
  // A destination that cannot be written fails now, not after a long calculation.
  output::check_destination(state.output_file);
  const std::vector<std::vector<float>> blocks = compute_all_blocks(console, state);
  const std::vector<float> limits = zero_q_limits(state);
  check_blocks_finite(state, blocks, limits);

  const std::string created = utc_timestamp(std::chrono::system_clock::now());
  OutputFile file(state, run_metadata(state, console.answers(), created, host_name()));
  output::BlockParams& params = file.params();
  params = run_parameters(state);
  const int npart = state.npart();
  for (int k = 1; k <= npart; ++k) {
    const auto idx = static_cast<std::size_t>(k - 1);
    const auto [a, b] = state.partials[idx];
    const std::string label = partial_label(a, b);
    params.set(output::BlockParam::kFractionA, state.frac[static_cast<std::size_t>(a - 1)]);
    params.set(output::BlockParam::kFractionB, state.frac[static_cast<std::size_t>(b - 1)]);
    params.set(output::BlockParam::kZeroQLimit, limits[idx]);
    console.line(partial_line(k, label, limits[idx]));
    file.write(console, label, blocks[idx]);
  }

  // The total keeps the fractions of the last partial.
  params.set(output::BlockParam::kZeroQLimit, limits.back());
  file.write(console, "Total i(Q)", blocks.back());
  console.line(total_line(npart + 1, limits.back()));
  file.close();
}

}  // namespace zalmor::driver
