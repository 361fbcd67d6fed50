// Running out of memory, reported like every other fatal failure: what and how much.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "util/errors.hpp"

namespace zalmor::util {

// An allocation the run could not get. what() is one console line naming what was being
// allocated and its size; exit status 1 like every FatalError.
struct OutOfMemory : FatalError {
  OutOfMemory(std::string_view what, std::size_t bytes);
  explicit OutOfMemory(const std::string& message) : FatalError(message) {}
};

// " Out of memory: cannot allocate 1.5 GB (1500000000 bytes) for <what>"
std::string out_of_memory_message(std::string_view what, std::size_t bytes);

// 1.5 GB (1500000000 bytes)
std::string readable_size(std::size_t bytes);

// The memory this process can still take, in bytes: the least of what the system has
// available (MemAvailable), what the control group allows beyond its use, and what the
// address-space limit (ulimit -v) leaves; SIZE_MAX where none of them can be read.
std::size_t available_memory();

// Refuses a piece of work before it starts when the memory it will need (its estimate,
// `bytes`) is more than the process can still take: OutOfMemory with the line
// " Out of memory: <what> needs about 15.6 GB (15600000000 bytes), more than the 3.1 GB
// (...) available".
void check_available_memory(std::size_t bytes, std::string_view what);

// What the run is allocating for while this lives ("the calculation", ...), for the report
// of an allocation that failed deep inside a library container. Not nested across threads:
// the driver sets it, other threads only read it.
class AllocationPurpose {
 public:
  explicit AllocationPurpose(const char* what) noexcept;
  ~AllocationPurpose();
  AllocationPurpose(const AllocationPurpose&) = delete;
  AllocationPurpose& operator=(const AllocationPurpose&) = delete;

 private:
  const char* previous_;
};
const char* allocation_purpose() noexcept;

// The program's operator new records the size of a request it could not meet here, so
// that a std::bad_alloc can still be reported with its size.
void note_failed_allocation(std::size_t bytes) noexcept;
std::size_t last_failed_allocation() noexcept;

}  // namespace zalmor::util
