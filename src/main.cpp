// zalmor: Debye-equation partial and total scattering functions of an atomistic model.
#include <iostream>
#include <string_view>
#include <vector>

#include "driver/command_line.hpp"
#include "driver/run.hpp"
#include "util/console.hpp"
#include "util/errors.hpp"

int main(int argc, char** argv) {
  const std::vector<std::string_view> args(argv + 1, argv + argc);
  if (const auto status = zalmor::driver::handle_arguments(args, std::cout, std::cerr)) {
    return *status;
  }
  std::ios::sync_with_stdio(false);
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
  }
}
