// Where the PKCS #11 module finds the driver it loads, and what it takes
// from the environment.
#ifndef VEMRA_P11_DRIVER_PATH_H
#define VEMRA_P11_DRIVER_PATH_H

#include <chrono>
#include <string>

namespace vemra::p11 {

// $VEMRA_DRIVER, except in a process running with privileges its user
// lacks (setuid or setgid, file capabilities: there it is the user's
// choice of code to run with them, and ignored); else the driver beside the
// module (a build tree), else the one in the library directory above it (an
// installation, where the module sits in <libdir>/pkcs11), else the name
// for the loader's search path.
std::string driverPath();

// How long a token's card stays held after a call, for the next call of a
// program that makes several in a row: $VEMRA_CARD_LINGER_MS (whole
// milliseconds, 0 to 5000; 0 lets go after every call), read as
// $VEMRA_DRIVER is, else 100 ms.
std::chrono::milliseconds lingerFromEnvironment();

}  // namespace vemra::p11

#endif  // VEMRA_P11_DRIVER_PATH_H
