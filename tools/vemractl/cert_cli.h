// The command line of the certificate commands, added to vemractl's.
#ifndef VEMRA_CTL_CERT_CLI_H
#define VEMRA_CTL_CERT_CLI_H

#include <CLI/CLI.hpp>
#include <functional>

#include "commands.h"

namespace vemra::ctl {

// Adds import-p12, put-cert, cert, rm-cert, certs and csr; the chosen one
// sets `action`.
void addCertificateCommands(CLI::App& app, Tool& tool, std::function<int()>& action);

}  // namespace vemra::ctl

#endif  // VEMRA_CTL_CERT_CLI_H
