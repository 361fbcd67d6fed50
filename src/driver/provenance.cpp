// What each .ioq file records about the run that made it, and the program's version.
#include "driver/provenance.hpp"

#include <unistd.h>

#include <charconv>
#include <ctime>

#include "util/check_file.hpp"
#include "util/format.hpp"

#ifndef ZALMOR_VERSION
#error "the build defines ZALMOR_VERSION from the project version"
#endif

namespace zalmor::driver {

namespace {

// The shortest text that reads back as the same float, as the block values are written.
std::string shortest(float value) {
  char text[32];
  const auto result = std::to_chars(text, text + sizeof text, value);
  return std::string(text, result.ptr);
}

}  // namespace

std::string_view program_version() { return ZALMOR_VERSION; }

std::string utc_timestamp(std::chrono::system_clock::time_point time) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
  std::tm utc{};
  if (::gmtime_r(&seconds, &utc) == nullptr) return "";
  char text[32];
  const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return std::string(text, n);
}

std::string host_name() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return "";
  return name;
}

std::vector<output::MetaEntry> run_metadata(const RunState& state,
                                            std::span<const std::string> answers,
                                            std::string_view created, std::string_view host) {
  std::vector<output::MetaEntry> meta{
      {"program", "zalmor"},
      {"version", std::string(program_version())},
      {"created", std::string(created)},
      {"host", std::string(host)},
      {"model", util::full_path(state.model_file)},
  };
  if (state.model.title) meta.push_back({"model_title", *state.model.title});
  meta.push_back({"natoms", util::format_int(state.model.natoms())});
  meta.push_back({"nnorm", shortest(state.nnorm)});
  if (state.thermal.option == scatter::ThermalOption::kUrms)
    meta.push_back({"urms", state.urms_file});
  meta.push_back({"thermal_option", util::format_int(static_cast<int>(state.thermal.option))});
  for (const std::string& answer : answers) meta.push_back({"answer", answer});
  return meta;
}

}  // namespace zalmor::driver
