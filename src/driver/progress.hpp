// Progress and time left of a long calculation, on standard error when it is a terminal.
#pragma once

#include <chrono>
#include <string>

namespace zalmor::driver {

class ProgressDisplay {
 public:
  // Shows nothing unless standard error is a terminal.
  ProgressDisplay();
  ~ProgressDisplay();  // erases the line
  ProgressDisplay(const ProgressDisplay&) = delete;
  ProgressDisplay& operator=(const ProgressDisplay&) = delete;

  void update(double fraction);

 private:
  using Clock = std::chrono::steady_clock;
  bool enabled_ = false;
  bool shown_ = false;
  Clock::time_point start_;
  Clock::time_point last_;
};

// "Calculating  42% (about 1 min 3 s left)"
std::string progress_text(double fraction, double elapsed_seconds);

}  // namespace zalmor::driver
