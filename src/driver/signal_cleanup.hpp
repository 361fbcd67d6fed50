// Signal handling while the output file is being written.
#pragma once

#include <array>

namespace zalmor::driver {

// While one lives, SIGINT, SIGTERM and SIGHUP remove the temporary output file before the
// signal ends the process as it would have: a stopped run leaves neither a partial .ioq
// nor litter, and the earlier file of that name stays intact. A signal that was ignored
// stays ignored. The previous handlers come back when it goes.
class SignalCleanup {
 public:
  SignalCleanup();
  ~SignalCleanup();
  SignalCleanup(const SignalCleanup&) = delete;
  SignalCleanup& operator=(const SignalCleanup&) = delete;

 private:
  std::array<void (*)(int), 3> previous_{};
};

}  // namespace zalmor::driver
