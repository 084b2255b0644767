// Prints the driver path the PKCS #11 module would load.
#include <iostream>

#include "driver_path.h"

int main() {
  std::cout << vemra::p11::driverPath() << "\n";
  return 0;
}
