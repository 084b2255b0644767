// A PKCS #11 client for the demo: loads the project's module with dlopen, as
// any PKCS #11 program does, and signs with a key of the card through it.
#ifndef VEMRA_CTL_PKCS11_CLIENT_H
#define VEMRA_CTL_PKCS11_CLIENT_H

#include <ostream>
#include <string>

#include "card.h"

namespace vemra::ctl {

// The module beside the running program (a build tree), else in
// <libdir>/pkcs11 of the installation.
std::string defaultPkcs11ModulePath();

// Signs `message` with CKM_SHA256_RSA_PKCS through the module at
// `modulePath`: C_Initialize, the slot of `reader`, a session logged in with
// `pin`, the private key whose CKA_ID is (container, keySpec), C_SignInit,
// C_Sign, then logout and C_Finalize. Says what it called on `out`; returns
// the signature, most significant byte first. Throws Error naming the call
// and the code that failed.
//
// The module opens its own connection to the card and logs the user out
// when it finishes, so a caller logged in on its own connection must log in
// again afterwards.
Bytes signThroughPkcs11(const std::string& modulePath, const std::string& reader, BYTE container, DWORD keySpec,
                        const Secret& pin, const Bytes& message, std::ostream& out);

// What the module shows of a container key without a login: the DER
// certificate whose CKA_ID is (container, keySpec) (empty when there is
// none), and whether the token offers RSA-PSS signatures (CKM_RSA_PKCS_PSS).
struct ModuleView {
  Bytes certificate;
  bool pss = false;
};
ModuleView viewThroughPkcs11(const std::string& modulePath, const std::string& reader, BYTE container,
                             DWORD keySpec);

}  // namespace vemra::ctl

#endif  // VEMRA_CTL_PKCS11_CLIENT_H
