// Shared pieces of the fuzz harnesses: a scratch file that holds the current input, and a
// check that aborts (so libFuzzer keeps the input) with a readable reason.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

namespace zalmor::fuzz {

// Aborts with `why` when `condition` fails; libFuzzer reports the abort as a crash.
inline void require(bool condition, const char* why) {
  if (condition) return;
  std::fprintf(stderr, "fuzz check failed: %s\n", why);
  std::abort();
}

inline std::string_view as_text(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// One file per process under the temporary folder, rewritten for every input; the readers
// under test take file names, not streams.
class ScratchFile {
 public:
  explicit ScratchFile(std::string_view extension)
      : path_((std::filesystem::temp_directory_path() /
               ("zalmor_fuzz_" + std::to_string(::getpid()) + std::string(extension)))
                  .string()) {}
  ~ScratchFile() {
    std::error_code ec;
    std::filesystem::remove(path_, ec);
  }
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;

  const std::string& write(std::string_view content) const {
    std::ofstream out(path_, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    out.close();
    require(!out.fail(), "cannot write the scratch file");
    return path_;
  }

 private:
  std::string path_;
};

}  // namespace zalmor::fuzz
