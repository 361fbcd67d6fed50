// A scratch folder per test, and whole-file reads and writes for the files put in it.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace zalmor::test_support {

inline std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void spit(const std::string& path, std::string_view text) {
  std::ofstream(path, std::ios::binary) << text;
}

// A fresh, empty folder under the system temporary directory. It goes, with everything in
// it, when this goes; a folder entered with enter() is left first.
class ScratchDir {
 public:
  ScratchDir() {
    std::string templ = (std::filesystem::temp_directory_path() / "zalmor-test-XXXXXX").string();
    if (::mkdtemp(templ.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    root_ = templ;
    here_ = root_;
  }
  ~ScratchDir() {
    std::error_code ec;
    if (!saved_.empty()) std::filesystem::current_path(saved_, ec);
    std::filesystem::remove_all(root_, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  // Makes the folder, or its sub-folder `sub` (created as needed), the working folder while
  // this lives, for code that reads and writes relative names. file() then names files there.
  void enter(const std::string& sub = "") {
    here_ = root_ / sub;
    std::filesystem::create_directories(here_);
    if (saved_.empty()) saved_ = std::filesystem::current_path();
    std::filesystem::current_path(here_);
  }

  // The full name of `name` in the folder (the entered one, if any).
  std::string file(const std::string& name) const { return (here_ / name).string(); }

  // Writes `text` to `name` in the folder; returns its full name.
  std::string write(const std::string& name, std::string_view text) const {
    const std::string path = file(name);
    spit(path, text);
    return path;
  }

  // Every entry of the folder (the entered one, if any), hidden ones included.
  std::vector<std::string> entries() const {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(here_)) {
      names.push_back(e.path().filename().string());
    }
    return names;
  }

 private:
  std::filesystem::path root_, here_, saved_;
};

}  // namespace zalmor::test_support
