#include "cert_cli.h"

#include <iostream>

namespace vemra::ctl {

namespace {

// The options of the certificate commands; one command runs per process.
struct CertificateArguments {
  int container = -1;
  std::string keySpec;
  std::string file;
  std::string output;
  std::string passphraseEnv;
  std::string subject;
  bool force = false;
  bool der = false;
};

void addKeyOptions(CLI::App* command, CertificateArguments& a, bool containerRequired) {
  auto* container = command->add_option("--container", a.container, "Container index, 0 to 255")->check(CLI::Range(0, 255));
  if (containerRequired) container->required();
  auto* keySpec = command->add_option("--keyspec", a.keySpec,
                                      containerRequired ? "kx (key exchange) or sig (signature)"
                                                        : "kx (key exchange, the default) or sig (signature)")
                      ->check(CLI::IsMember({"kx", "sig"}));
  if (containerRequired) keySpec->required();
}

}  // namespace

void addCertificateCommands(CLI::App& app, Tool& tool, std::function<int()>& action) {
  static CertificateArguments a;
  a.keySpec = "kx";

  auto* importP12 = app.add_subcommand(
      "import-p12", "Import the RSA key (1024 or 2048 bits) and its certificate from a PKCS #12 file (.p12, .pfx): "
                    "the key into the next free container (or --container), the certificate beside it; logs the "
                    "user in. The file's CA chain is reported, not written");
  importP12->add_option("FILE", a.file, "The PKCS #12 file")->required();
  addKeyOptions(importP12, a, false);
  importP12->add_option("--passphrase-env", a.passphraseEnv,
                        "The environment variable holding the file's passphrase (else a prompt; empty without a "
                        "terminal)");
  importP12->add_flag("--force", a.force, "Replace a key the container already holds");
  importP12->callback([&] {
    action = [&] { cmdImportP12(tool, a.file, a.container, a.keySpec, a.passphraseEnv, a.force, std::cout); return 0; };
  });

  auto* putCert = app.add_subcommand("put-cert", "Write a certificate (PEM or DER) for a container's key, after "
                                                 "checking that it certifies that key; logs the user in");
  putCert->add_option("CERT", a.file, "The certificate file")->required();
  addKeyOptions(putCert, a, true);
  putCert->add_flag("--force", a.force, "Write it even when its public key is not the container key's");
  putCert->callback([&] {
    action = [&] { cmdPutCert(tool, a.container, a.keySpec, a.file, a.force, std::cout); return 0; };
  });

  auto* cert = app.add_subcommand("cert", "Print a container key's certificate (read back, decompressed) as PEM");
  addKeyOptions(cert, a, true);
  cert->add_option("-o,--output", a.output, "Write to this file instead of standard output");
  cert->add_flag("--der", a.der, "DER instead of PEM");
  cert->callback([&] {
    action = [&] { cmdCert(tool, a.container, a.keySpec, a.output, a.der, std::cout); return 0; };
  });

  auto* rmCert = app.add_subcommand("rm-cert", "Delete a container key's certificate; logs the user in");
  addKeyOptions(rmCert, a, true);
  rmCert->callback([&] { action = [&] { cmdRmCert(tool, a.container, a.keySpec, std::cout); return 0; }; });

  auto* certs = app.add_subcommand("certs", "Each container's keys with their certificates: subject, issuer, "
                                            "validity and whether the certificate matches the key");
  certs->add_flag("--json", tool.options().json, "Print JSON");
  certs->callback([&] { action = [&] { cmdCerts(tool, std::cout); return 0; }; });

  auto* csr = app.add_subcommand("csr", "A certificate request for a container's key, signed by the card "
                                        "(SHA-256, PKCS #1 v1.5) and verified with OpenSSL; logs the user in");
  addKeyOptions(csr, a, true);
  csr->add_option("--subject", a.subject, "The subject: /CN=…[/O=…]")->required();
  csr->add_option("-o,--output", a.output, "Write the request (PEM) to this file instead of standard output");
  csr->callback([&] {
    action = [&] { cmdCsr(tool, a.container, a.keySpec, a.subject, a.output, std::cout); return 0; };
  });
}

}  // namespace vemra::ctl
