// Shared helpers of the util tests: a console over string streams and a scratch folder.
#pragma once

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "util/console.hpp"

namespace zalmor::util::testing {

// A console fed with fixed answers, recording everything written.
struct Session {
  explicit Session(std::string answers = "") : in(std::move(answers)), console(in, out) {}
  std::istringstream in;
  std::ostringstream out;
  Console console;

  // The answers not read.
  std::string rest() {
    std::string r;
    std::getline(in, r, '\0');
    return r;
  }
};

// A fresh folder under the system temporary directory, removed with everything in it.
class ScratchDir {
 public:
  ScratchDir() {
    std::random_device seed;
    path_ = std::filesystem::temp_directory_path() /
            ("zalmor_util_" + std::to_string(seed()) + "_" + std::to_string(seed()));
    std::filesystem::create_directories(path_);
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  // Writes a file in the folder and gives its path.
  std::string write(const std::string& name, const std::string& content) const {
    const auto file = path_ / name;
    std::ofstream(file, std::ios::binary) << content;
    return file.string();
  }
  std::string path(const std::string& name) const { return (path_ / name).string(); }
  const std::filesystem::path& root() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace zalmor::util::testing
