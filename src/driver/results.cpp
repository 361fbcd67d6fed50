// The calculation and output phase: one block per partial, then the total.
#include "driver/results.hpp"

#include <array>
#include <csignal>
#include <string>

#include "driver/composition.hpp"
#include "driver/progress.hpp"
#include "output/block_writer.hpp"
#include "output/datafile.hpp"
#include "util/console.hpp"
#include "util/format.hpp"

namespace zalmor::driver {
namespace {

constexpr int kBlockParams = 30;
// Scattering lengths of at most this many types fit in the block parameters (21..30).
constexpr int kParamTypes = 10;

std::string partial_label(int a, int b) {
  return "i" + util::format_int(a) + util::format_int(b) + "(Q)";
}

scatter::BlockRequest block_request(const RunState& state) {
  scatter::BlockRequest request;
  request.ntypes = state.ntypes;
  request.partials = state.partials;
  for (int k = 1; k <= state.npart(); ++k) request.weight.push_back(partial_weight(state, k));
  request.bbar = state.bbar;
  request.total_weight = total_weight(state);
  request.thermal = state.thermal;
  return request;
}

extern "C" void abandon_and_reraise(int signal_number) {
  output::abandon_active_sessions();
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);
}

// While the output file is being written, an interrupt removes its temporary file, so a
// stopped run leaves neither a partial .ioq nor litter; the earlier file stays intact.
class SignalCleanup {
 public:
  SignalCleanup() {
    for (int s : kSignals) previous_[index(s)] = std::signal(s, abandon_and_reraise);
  }
  ~SignalCleanup() {
    for (int s : kSignals) std::signal(s, previous_[index(s)]);
  }
  SignalCleanup(const SignalCleanup&) = delete;
  SignalCleanup& operator=(const SignalCleanup&) = delete;

 private:
  static constexpr std::array<int, 3> kSignals{SIGINT, SIGTERM, SIGHUP};
  static std::size_t index(int s) { return s == SIGINT ? 0 : s == SIGTERM ? 1 : 2; }
  std::array<void (*)(int), 3> previous_{};
};

}  // namespace

std::vector<float> zero_q_limits(const RunState& state) {
  const int n = state.ntypes;
  const auto nt = static_cast<std::size_t>(n);
  // pairs[a][b]: pairs i < j with type a at i and type b at j. The total's term depends
  // on that order through its rounding, so the counts keep it.
  std::vector<double> pairs(nt * nt, 0.0);
  std::vector<double> seen(nt, 0.0);
  for (int t : state.model.type) {
    const auto tb = static_cast<std::size_t>(t - 1);
    for (std::size_t ta = 0; ta < nt; ++ta) pairs[ta * nt + tb] += seen[ta];
    seen[tb] += 1.0;
  }

  std::vector<float> limits;
  for (int k = 1; k <= state.npart(); ++k) {
    const auto a =
        static_cast<std::size_t>(state.partials[static_cast<std::size_t>(k - 1)].first - 1);
    const auto b =
        static_cast<std::size_t>(state.partials[static_cast<std::size_t>(k - 1)].second - 1);
    const double na = state.count[a];
    const double ordered = a == b ? na * (na - 1.0) : na * state.count[b];
    limits.push_back(static_cast<float>(static_cast<double>(partial_weight(state, k)) * ordered));
  }

  const float w2 = total_weight(state) * 2.0f;
  double total = 0.0;
  for (std::size_t ta = 0; ta < nt; ++ta) {
    for (std::size_t tb = 0; tb < nt; ++tb) {
      if (pairs[ta * nt + tb] == 0.0) continue;
      const float term = ((w2 * state.bbar[ta]) * state.bbar[tb]) * 0.01f;
      total += static_cast<double>(term) * pairs[ta * nt + tb];
    }
  }
  limits.push_back(static_cast<float>(total));
  return limits;
}

void write_results(util::Console& console, const RunState& state) {
  const int npart = state.npart();
  const auto nq = static_cast<std::size_t>(state.q.size());

  const SignalCleanup cleanup;
  output::DataLibrary library;
  output::BlockWriter writer(library);

  // The writer sends one x value more than there are points; it stays 0.
  std::vector<float> x(state.q);
  x.push_back(0.0f);
  const std::vector<float> e(nq, 0.0f);
  std::array<float, kBlockParams> params{};

  output::ResultBlock block;
  block.k2file = state.output_file;
  block.xlabel = "Q / Inverse Angstroms";
  block.user_name = "Orin";
  block.inst_name = "Model";
  block.title = ("Zalmor: " + state.model_file).substr(0, 80);
  block.x = x;
  block.e = e;
  block.ut = params;
  block.ntc = static_cast<int>(nq);
  block.nut = kBlockParams;

  library.activate_session("kavor", 0, 0.0f);
  params[0] = static_cast<float>(npart + 1);
  params[1] = static_cast<float>(state.ntypes);
  params[2] = 1.0f;
  for (int t = 1; t <= std::min(state.ntypes, kParamTypes); ++t) {
    params[static_cast<std::size_t>(19 + t)] = state.bbar[static_cast<std::size_t>(t - 1)];
  }
  block.inew = 1;
  block.idebug = 0;

  std::vector<std::vector<float>> blocks;
  {
    ProgressDisplay progress;
    blocks =
        scatter::compute_blocks(scatter::Impl::Auto, state.model, state.q, block_request(state), 0,
                                [&progress](double f) { progress.update(f); });
  }
  const std::vector<float> limits = zero_q_limits(state);

  for (int k = 1; k <= npart; ++k) {
    const auto idx = static_cast<std::size_t>(k - 1);
    const auto [a, b] = state.partials[idx];
    block.ylabel = partial_label(a, b);
    params[3] = state.frac[static_cast<std::size_t>(a - 1)];
    params[4] = state.frac[static_cast<std::size_t>(b - 1)];
    params[16] = limits[idx];
    console.line("Block " + util::format_int(k) + " contains " + block.ylabel +
                 ", zero Q limit = " + util::format_general(limits[idx]));
    block.y = blocks[idx];
    writer.write_block(console, block);
    block.inew = 0;
  }

  block.ylabel = "Total i(Q)";
  params[16] = limits.back();
  block.y = blocks.back();
  writer.write_block(console, block);
  console.line("Block " + util::format_int(npart + 1) +
               " contains total i(Q), zero Q limit = " + util::format_general(limits.back()));
  library.deactivate_session();
}

}  // namespace zalmor::driver
