// What each .ioq file records about the run that made it, and the program's version.
#pragma once

#include <chrono>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "driver/run_state.hpp"
#include "output/ioq_format.hpp"

namespace zalmor::driver {

// The version of the program, as the build sets it ("0.2.0").
std::string_view program_version();

// The time in UTC in ISO 8601 to the second: "2026-12-07T12:30:05Z".
std::string utc_timestamp(std::chrono::system_clock::time_point time);

// The name of this machine, or "" when it has none.
std::string host_name();

// The metadata lines of the run's .ioq file, in this order: program, version, created,
// host, model (full path of the .coords file), model_title (when a header line was
// skipped), urms (full path, thermal option 4 only), thermal_option, then one answer per
// console answer line read, in order, as typed.
std::vector<output::MetaEntry> run_metadata(const RunState& state,
                                            std::span<const std::string> answers,
                                            std::string_view created, std::string_view host);

}  // namespace zalmor::driver
