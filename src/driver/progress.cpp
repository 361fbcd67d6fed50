// Progress and time left of a long calculation, on standard error when it is a terminal.
#include "driver/progress.hpp"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace zalmor::driver {

std::string progress_text(double fraction, double elapsed_seconds) {
  const double f = std::clamp(fraction, 0.0, 1.0);
  std::string text = "Calculating " + std::to_string(static_cast<int>(std::floor(f * 100))) + "%";
  // A guess from the first percent of the work would be noise.
  if (f >= 0.01 && f < 1.0) {
    const long left = std::lround(elapsed_seconds * (1.0 - f) / f);
    text += " (about ";
    if (left >= 60) text += std::to_string(left / 60) + " min ";
    text += std::to_string(left % 60) + " s left)";
  }
  return text;
}

ProgressDisplay::ProgressDisplay()
    : enabled_(isatty(STDERR_FILENO) == 1), start_(Clock::now()), last_(start_) {}

ProgressDisplay::~ProgressDisplay() {
  if (shown_) {
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
  }
}

void ProgressDisplay::update(double fraction) {
  if (!enabled_) return;
  const auto now = Clock::now();
  // A few refreshes a second are enough to look alive, and short runs show nothing.
  if (now - last_ < std::chrono::milliseconds(250)) return;
  last_ = now;
  const double elapsed = std::chrono::duration<double>(now - start_).count();
  const std::string text = progress_text(fraction, elapsed);
  std::fprintf(stderr, "\r %s\033[K", text.c_str());
  std::fflush(stderr);
  shown_ = true;
}

}  // namespace zalmor::driver
