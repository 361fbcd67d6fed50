// zalmor: Debye-equation partial and total scattering functions of an atomistic model.
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <new>
#include <string_view>
#include <vector>

#include "driver/command_line.hpp"
#include "driver/run.hpp"
#include "util/console.hpp"
#include "util/errors.hpp"
#include "util/memory.hpp"

namespace {

// Signals that would end the run without a word are turned into errors the run reports.
void ignore_silent_signals() {
  // A file-size limit then makes the write fail with "File too large", and the run ends
  // with that message and no temporary file.
  std::signal(SIGXFSZ, SIG_IGN);
  // The .ioq file is the product and the console only its log: a reader of standard
  // output that goes away (| head) does not stop the run half-way. Lines written after
  // that are lost; the file is still finished or, on a failure, cleanly given up.
  std::signal(SIGPIPE, SIG_IGN);
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string_view> args(argv + 1, argv + argc);
  if (const auto status = zalmor::driver::handle_arguments(args, std::cout, std::cerr)) {
    return *status;
  }
  std::ios::sync_with_stdio(false);
  ignore_silent_signals();
  zalmor::util::Console console{std::cin, std::cout};
  try {
    return zalmor::driver::run(console);
  } catch (const zalmor::util::FatalError& e) {
    std::cout << e.what() << '\n' << std::flush;
    return 1;
  } catch (const zalmor::util::StopRequested& e) {
    std::cout << std::flush;
    std::cerr << "zalmor: " << e.what() << '\n';
    return 1;
  } catch (const zalmor::util::InputError& e) {
    std::cout << std::flush;
    std::cerr << "zalmor: " << e.what() << '\n';
    return 2;
  } catch (const std::bad_alloc&) {
    std::cout << zalmor::util::out_of_memory_message(zalmor::util::allocation_purpose(),
                                                     zalmor::util::last_failed_allocation())
              << '\n'
              << std::flush;
    return 1;
  }
}

// The program's own allocation functions, so that a request that cannot be met is
// reported with its size. Sanitizer builds keep theirs, which check every allocation.
#if !defined(__SANITIZE_ADDRESS__)
void* operator new(std::size_t size) {
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  zalmor::util::note_failed_allocation(size);
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#endif
