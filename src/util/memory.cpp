// Running out of memory, reported like every other fatal failure: what and how much.
#include "util/memory.hpp"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <limits>
#include <sstream>

namespace zalmor::util {

namespace {

std::atomic<const char*> g_purpose{"the run"};
std::atomic<std::size_t> g_failed_bytes{0};

// The first number of a line starting with `key` in a /proc or /sys file, times `unit`;
// SIZE_MAX where there is none.
std::size_t number_after(const char* path, std::string_view key, std::size_t unit) {
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, key.size(), key) != 0) continue;
    std::istringstream rest(line.substr(key.size()));
    unsigned long long value = 0;
    if (rest >> value) return static_cast<std::size_t>(value) * unit;
  }
  return SIZE_MAX;
}

}  // namespace

std::string readable_size(std::size_t bytes) {
  constexpr const char* kUnits[] = {"bytes", "kB", "MB", "GB", "TB", "PB", "EB"};
  double size = static_cast<double>(bytes);
  std::size_t unit = 0;
  while (size >= 1000.0 && unit + 1 < std::size(kUnits)) {
    size /= 1000.0;
    ++unit;
  }
  char text[64];
  if (unit == 0) {
    std::snprintf(text, sizeof text, "%zu bytes", bytes);
  } else {
    std::snprintf(text, sizeof text, "%.1f %s (%zu bytes)", size, kUnits[unit], bytes);
  }
  return text;
}

std::size_t available_memory() {
  std::size_t free = number_after("/proc/meminfo", "MemAvailable:", 1024);
  // A control group's limit (containers, CI runners) binds before the machine's memory.
  const std::size_t max = number_after("/sys/fs/cgroup/memory.max", "", 1);
  const std::size_t used = number_after("/sys/fs/cgroup/memory.current", "", 1);
  if (max != SIZE_MAX && used != SIZE_MAX) free = std::min(free, max > used ? max - used : 0);
  rlimit limit{};
  if (getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
    const long page = sysconf(_SC_PAGESIZE);
    const std::size_t mapped =
        number_after("/proc/self/statm", "", page > 0 ? static_cast<std::size_t>(page) : 4096);
    const auto cap = static_cast<std::size_t>(limit.rlim_cur);
    if (mapped != SIZE_MAX) free = std::min(free, cap > mapped ? cap - mapped : 0);
  }
  return free;
}

void check_available_memory(std::size_t bytes, std::string_view what) {
  const std::size_t free = available_memory();
  if (bytes <= free) return;
  throw OutOfMemory(" Out of memory: " + std::string(what) + " needs about " +
                    readable_size(bytes) + ", more than the " + readable_size(free) + " available");
}

std::string out_of_memory_message(std::string_view what, std::size_t bytes) {
  std::string message = " Out of memory: cannot allocate ";
  message += bytes > 0 ? readable_size(bytes) : std::string("more");
  message += " for ";
  message += what;
  return message;
}

OutOfMemory::OutOfMemory(std::string_view what, std::size_t bytes)
    : FatalError(out_of_memory_message(what, bytes)) {}

AllocationPurpose::AllocationPurpose(const char* what) noexcept
    : previous_(g_purpose.exchange(what)) {}

AllocationPurpose::~AllocationPurpose() { g_purpose.store(previous_); }

const char* allocation_purpose() noexcept { return g_purpose.load(); }

void note_failed_allocation(std::size_t bytes) noexcept { g_failed_bytes.store(bytes); }

std::size_t last_failed_allocation() noexcept { return g_failed_bytes.load(); }

}  // namespace zalmor::util
