// The command line: --help and --version answer without a dialogue; nothing else is taken.
#pragma once

#include <iosfwd>
#include <optional>
#include <span>
#include <string_view>

namespace zalmor::driver {

// `args` are the arguments after the program name. With none, the dialogue runs: nullopt.
// --help or --version alone prints to `out` and gives exit status 0; anything else prints a
// usage message to `err` and gives 2.
std::optional<int> handle_arguments(std::span<const std::string_view> args, std::ostream& out,
                                    std::ostream& err);

}  // namespace zalmor::driver
