// zalmor: Debye-equation partial and total scattering functions of an atomistic model.
#include <iostream>

#include "driver/run.hpp"
#include "util/console.hpp"
#include "util/errors.hpp"

int main() {
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
