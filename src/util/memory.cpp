// Running out of memory, reported like every other fatal failure: what and how much.
#include "util/memory.hpp"

#include <atomic>
#include <cstdio>

namespace zalmor::util {

namespace {

std::atomic<const char*> g_purpose{"the run"};
std::atomic<std::size_t> g_failed_bytes{0};

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

}  // namespace

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
