// An exception may not leave an OpenMP region (the runtime would call std::terminate): each
// thread's work is guarded, the first failure is kept, the other threads skip what is left,
// and the calling thread rethrows it once the region has ended. So a std::bad_alloc inside
// the engines is reported as the program's own "Out of memory" like any other. A stop asked
// for on the calling thread's StopFlag counts as a failure (Stopped) at the next guard.
#pragma once

#include <atomic>
#include <exception>
#include <mutex>
#include <utility>

#include "scatter/engine.hpp"

namespace zalmor::scatter::detail {

class RegionFailure {
 public:
  // Runs work, keeping what it throws; nothing when an earlier work failed.
  // Made on the calling thread, which knows its stop flag.
  RegionFailure() noexcept : stop_(current_stop_flag()) {}

  template <class Work>
  void guard(Work&& work) noexcept {
    if (failed()) return;
    try {
      throw_if_stopped(stop_);
      std::forward<Work>(work)();
    } catch (...) {
      const std::lock_guard<std::mutex> lock(mutex_);
      if (!failure_) failure_ = std::current_exception();
      failed_.store(true, std::memory_order_relaxed);
    }
  }

  bool failed() const { return failed_.load(std::memory_order_relaxed); }

  // On the calling thread, after the region.
  void rethrow_if_failed() const {
    if (failure_) std::rethrow_exception(failure_);
  }

 private:
  const StopFlag* stop_;
  std::mutex mutex_;
  std::exception_ptr failure_;
  std::atomic<bool> failed_{false};
};

}  // namespace zalmor::scatter::detail
