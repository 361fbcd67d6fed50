// Existence check of a named file, with its full name, and a prompt for another name.
#include "util/check_file.hpp"

#include <filesystem>
#include <system_error>

#include "util/console.hpp"
#include "util/errors.hpp"
#include "util/format.hpp"
#include "util/limits.hpp"

namespace zalmor::util {

bool file_exists(const std::string& name) {
  // A directory of that name is no file that could be read.
  std::error_code ec;
  const auto status = std::filesystem::status(name, ec);
  return !ec && std::filesystem::exists(status) && !std::filesystem::is_directory(status);
}

std::string full_path(const std::string& name) {
  std::error_code ec;
  const std::filesystem::path absolute = std::filesystem::absolute(name, ec);
  if (ec) return name;  // an empty name has no absolute form
  return absolute.lexically_normal().string();
}

int check_file(Console& console, std::string& name, std::string& full_name, CheckOption option,
               bool messages) {
  int result = 0;
  const int code = static_cast<int>(option);
  if (code < 0 || code > 3) {
    result = 10;
    if (messages) print_with_int(console, "Unexpected option in check_file: iopt = ", code);
  }
  for (;;) {
    // Copied before full_name is written: the caller may pass one string for both.
    const std::string checked = name.substr(0, static_cast<std::size_t>(len_string(name)));
    const bool exists = file_exists(checked);
    full_name = full_path(checked);
    if (exists) {
      result += 1;
      if (messages) {
        console.raw_line(" File found : " +
                         full_name.substr(0, static_cast<std::size_t>(len_string(full_name))));
      }
      return result;
    }

    result += 2;
    if (option == CheckOption::NoEarlierVersion) {
      if (messages) console.line("No pre-existing version of file exists");
      return result;
    }
    const std::string failure = " Failure locating file " + checked;
    // The run ends here, so the failure line becomes the last word that main prints.
    if (option == CheckOption::StopIfMissing) throw FatalError(failure);
    if (messages) console.raw_line(failure);
    if (option != CheckOption::AskIfMissing || !messages) return result;

    std::string answer;
    do {
      console.write(" Give file name or return to stop > ");
      answer = console.read_line();
      // A longer name than the program keeps would be cut to another file's name.
    } while (answer.size() > static_cast<std::size_t>(kNameLength));
    if (answer.empty()) throw StopRequested("No file name given: stopping");
    name = answer;
    result -= 2;
  }
}

}  // namespace zalmor::util
