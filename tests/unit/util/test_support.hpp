// Shared helpers of the util tests: a console over string streams and a scratch folder.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "util/console.hpp"

namespace zalmor::util::testing {

// A console fed with fixed answers, recording everything written.
struct Session {
  explicit Session(std::string answers = "") : in(std::move(answers)), console(in, out, err) {}
  std::istringstream in;
  std::ostringstream out;
  std::ostringstream err;  // warnings and failure details
  Console console;

  std::string rest() {  // the answers not read
    std::string r;
    std::getline(in, r, '\0');
    return r;
  }
};

// A fresh folder under the system temporary directory (or a sub-folder `sub` of it) is the
// working folder while this lives; then the folder goes with everything in it.
class ScratchDir {
 public:
  explicit ScratchDir(const std::string& sub = "") {
    std::string templ = (std::filesystem::temp_directory_path() / "zalmor_util_XXXXXX").string();
    if (::mkdtemp(templ.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    root_ = templ;
    std::filesystem::create_directories(root_ / sub);
    std::filesystem::current_path(root_ / sub);
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::current_path(saved_, ec);
    std::filesystem::remove_all(root_, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  // The full name of `name` in the working folder, after writing `content` there if given.
  static std::string file(const std::string& name, const char* content = nullptr) {
    if (content != nullptr) std::ofstream(name, std::ios::binary) << content;
    return (std::filesystem::current_path() / name).string();
  }

 private:
  std::filesystem::path saved_ = std::filesystem::current_path(), root_;
};

}  // namespace zalmor::util::testing
