// Signal handling while the output file is being written.
#include "driver/signal_cleanup.hpp"

#include <signal.h>

#include <csignal>

#include "output/datafile.hpp"

namespace zalmor::driver {
namespace {

constexpr std::array<int, 3> kSignals{SIGINT, SIGTERM, SIGHUP};

extern "C" void abandon_and_reraise(int signal_number) {
  output::abandon_active_sessions();
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);
}

}  // namespace

SignalCleanup::SignalCleanup() {
  for (std::size_t i = 0; i < kSignals.size(); ++i) {
    // A signal ignored when we started (nohup, a shell's background job) stays ignored: the
    // user asked for the run to outlive it.
    struct sigaction current {};
    if (sigaction(kSignals[i], nullptr, &current) == 0 && current.sa_handler == SIG_IGN) {
      previous_[i] = SIG_IGN;
      continue;
    }
    previous_[i] = std::signal(kSignals[i], abandon_and_reraise);
  }
}

SignalCleanup::~SignalCleanup() {
  for (std::size_t i = 0; i < kSignals.size(); ++i) std::signal(kSignals[i], previous_[i]);
}

}  // namespace zalmor::driver
