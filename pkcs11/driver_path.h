// Where the PKCS #11 module finds the driver it loads.
#ifndef VEMRA_P11_DRIVER_PATH_H
#define VEMRA_P11_DRIVER_PATH_H

#include <string>

namespace vemra::p11 {

// $VEMRA_DRIVER, except in a process running with privileges its user
// lacks (setuid or setgid, file capabilities: there it is the user's
// choice of code to run with them, and ignored); else the driver beside the
// module (a build tree), else the one in the library directory above it (an
// installation, where the module sits in <libdir>/pkcs11), else the name
// for the loader's search path.
std::string driverPath();

}  // namespace vemra::p11

#endif  // VEMRA_P11_DRIVER_PATH_H
