// vemractl: a command-line provider for the minidriver. It loads the built
// driver as the platform's providers do and offers its operations to people
// and to scripts.
#include <CLI/CLI.hpp>
#include <iostream>

#include "cert_cli.h"
#include "commands.h"
#include "error.h"
#include "secrets.h"
#include "vemradrv/version.h"

using namespace vemra::ctl;

int main(int argc, char** argv) {
  protectProcess();
  Options options;
  CLI::App app{"vemractl: a command-line provider for the vemradrv smart-card minidriver.\n"
               "It loads the driver with dlopen, binds it to a card through PC/SC and calls its entry points.\n"
               "Secrets: the user PIN comes from --pin, VEMRA_PIN or a prompt; the administrator key (24 bytes,\n"
               "or 16, in hex) from --admin-key, VEMRA_ADMIN_KEY or a prompt.",
               "vemractl"};
  app.set_version_flag("--version", "vemractl " VEMRA_VERSION_STRING, "Print the version and exit");
  app.require_subcommand(1);
  app.fallthrough();  // the global options may also follow the command
  app.option_defaults()->always_capture_default(false);
  app.add_option("--driver", options.driver, "The driver library (default: the one beside vemractl)");
  app.add_option("--reader", options.reader,
                 "The reader to use (default: the first reader holding a card the driver supports)");
  app.add_option("--pin", options.pin, "The user PIN (else VEMRA_PIN, else a prompt)");
  app.add_option("--admin-key", options.adminKey, "The administrator key in hex (else VEMRA_ADMIN_KEY, else a prompt)");
  app.add_option("--login", options.login, "Log this role in before the command: user or admin (may be repeated)")
      ->check(CLI::IsMember({"user", "admin"}));

  std::function<int()> action;
  std::string path;
  std::string file;
  std::string output;
  std::string access;
  std::string role;
  std::string keySpec;
  std::string hash = "sha256";
  int container = -1;
  bool oaep = false;
  DemoOptions demo;

  auto* readers = app.add_subcommand("readers", "List the readers, the ATRs of their cards and whether the driver takes each");
  readers->add_flag("--json", options.json, "Print JSON");
  readers->callback([&] { action = [&] { Options& o = options; cmdReaders(o, std::cout); return 0; }; });

  Tool tool(options);
  auto* info = app.add_subcommand("info", "ATR, card identifier, serial number, free space, containers, PINs, who is logged in");
  info->add_flag("--json", options.json, "Print JSON");
  info->callback([&] { action = [&] { cmdInfo(tool, std::cout); return 0; }; });

  auto* ls = app.add_subcommand("ls", "List a directory's files (size, access condition); the root also lists the "
                                      "directories named in cardapps");
  ls->add_option("DIR", path, "The directory (default: the root)");
  ls->add_flag("--json", options.json, "Print JSON");
  ls->callback([&] { action = [&] { cmdLs(tool, path, std::cout); return 0; }; });

  auto* cat = app.add_subcommand("cat", "Print a file's content");
  cat->add_option("PATH", path, "FILE or DIR/FILE")->required();
  cat->add_option("-o,--output", output, "Write to this file instead of standard output");
  cat->callback([&] { action = [&] { cmdCat(tool, path, output, std::cout); return 0; }; });

  auto* put = app.add_subcommand("put", "Write a file, creating it (or growing it) as needed");
  put->add_option("PATH", path, "FILE or DIR/FILE")->required();
  put->add_option("-i,--input", file, "Read the content from this file (default: standard input)");
  access = "everyone-read-user-write";
  put->add_option("--access", access,
                  "Access condition of a new file: everyone-read-user-write (default), user-write-execute, "
                  "everyone-read-admin-write, unknown, user-read-write, admin-read-write");
  put->callback([&] { action = [&] { cmdPut(tool, path, file, access, std::cout); return 0; }; });

  std::string dirAccess = "user";
  auto* mkdir = app.add_subcommand("mkdir", "Create a directory");
  mkdir->add_option("DIR", path, "The directory's name")->required();
  mkdir->add_option("--access", dirAccess, "Who may create and delete in it: user (default) or admin")
      ->check(CLI::IsMember({"user", "admin"}));
  mkdir->callback([&] { action = [&] { cmdMkdir(tool, path, dirAccess, std::cout); return 0; }; });

  auto* rmdir = app.add_subcommand("rmdir", "Delete an empty directory");
  rmdir->add_option("DIR", path, "The directory's name")->required();
  rmdir->callback([&] { action = [&] { cmdRmdir(tool, path, std::cout); return 0; }; });

  auto* rm = app.add_subcommand("rm", "Delete a file");
  rm->add_option("PATH", path, "FILE or DIR/FILE")->required();
  rm->callback([&] { action = [&] { cmdRm(tool, path, std::cout); return 0; }; });

  auto* login = app.add_subcommand("login", "Log a role in: user (PIN) or admin (challenge-response with the key)");
  login->add_option("ROLE", role, "user or admin")->required()->check(CLI::IsMember({"user", "admin"}));
  login->callback([&] { action = [&] { cmdLogin(tool, role, std::cout); return 0; }; });

  role = "";
  auto* logout = app.add_subcommand("logout", "Log roles out (default: all)");
  logout->add_option("ROLE", role, "user, admin or all")->check(CLI::IsMember({"user", "admin", "all"}));
  logout->callback([&] { action = [&] { cmdLogout(tool, role.empty() ? "all" : role, std::cout); return 0; }; });

  auto* changePin = app.add_subcommand("change-pin", "Change the user PIN with the current one");
  changePin->add_option("--new-pin", options.newPin, "The new PIN (else VEMRA_NEW_PIN, else two prompts)");
  changePin->callback([&] { action = [&] { cmdChangePin(tool, std::cout); return 0; }; });

  auto* unblock = app.add_subcommand("unblock", "Unblock the user PIN and set a new one, with the administrator key");
  unblock->add_option("--new-pin", options.newPin, "The new PIN (else VEMRA_NEW_PIN, else two prompts)");
  unblock->callback([&] { action = [&] { cmdUnblock(tool, std::cout); return 0; }; });

  auto* changeKey = app.add_subcommand("change-admin-key", "Replace the administrator key");
  changeKey->add_option("--new-admin-key", options.newAdminKey,
                        "The new key in hex (else VEMRA_NEW_ADMIN_KEY, else a prompt)");
  changeKey->callback([&] { action = [&] { cmdChangeAdminKey(tool, std::cout); return 0; }; });

  auto* props = app.add_subcommand("props", "Every card property the driver answers");
  props->add_flag("--json", options.json, "Print JSON");
  props->callback([&] { action = [&] { cmdProps(tool, std::cout); return 0; }; });

  auto* init = app.add_subcommand("init", "Lay out the standard files providers expect (cardid, cardcf, cardapps, "
                                          "mscp/cmapfile); needs the administrator key; keeps what exists");
  init->callback([&] { action = [&] { cmdInit(tool, std::cout); return 0; }; });

  auto addKeyOptions = [&](CLI::App* command) {
    command->add_option("--container", container, "Container index, 0 to 255")->required()->check(CLI::Range(0, 255));
    command->add_option("--keyspec", keySpec, "kx (key exchange) or sig (signature)")
        ->required()
        ->check(CLI::IsMember({"kx", "sig"}));
  };
  auto* importKey = app.add_subcommand("import-key", "Import an RSA private key (1024 or 2048 bits, PEM) into a "
                                                     "container and record it in mscp/cmapfile; logs the user in");
  importKey->add_option("KEY", file, "The PEM private key file")->required();
  addKeyOptions(importKey);
  std::string keyRole = "user";
  importKey->add_option("--role", keyRole, "Whose PIN guards the key: user (default) or admin")
      ->check(CLI::IsMember({"user", "admin"}));
  bool force = false;
  importKey->add_flag("--force", force, "Replace the key of a container already in use");
  importKey->callback([&] {
    action = [&] { cmdImportKey(tool, file, container, keySpec, keyRole, force, std::cout); return 0; };
  });

  auto* pubkey = app.add_subcommand("pubkey", "Print a container key's public key as PEM");
  addKeyOptions(pubkey);
  pubkey->add_option("-o,--output", output, "Write to this file instead of standard output");
  pubkey->callback([&] { action = [&] { cmdPubkey(tool, container, keySpec, output, std::cout); return 0; }; });

  auto* sign = app.add_subcommand("sign", "Hash a file with OpenSSL, have the card sign the hash (PKCS #1 v1.5, or PSS) and "
                                          "check the signature with the public key read back; logs the user in");
  sign->add_option("FILE", file, "The file to sign (- for standard input)")->required();
  addKeyOptions(sign);
  sign->add_option("--hash", hash, "sha256 (default), sha1, sha384, sha512 or md5")
      ->check(CLI::IsMember({"sha1", "sha256", "sha384", "sha512", "md5"}));
  sign->add_option("-o,--output", output,
                   "Write the signature (most significant byte first, as openssl pkeyutl takes it) to this "
                   "file; default: hex on standard output");
  bool pss = false;
  sign->add_flag("--pss", pss,
                 "An RSA-PSS signature (MGF1 with the same hash, salt as long as the hash) made by the card's raw "
                 "RSA operation; not with md5");
  sign->callback([&] {
    action = [&] { cmdSign(tool, container, keySpec, hash, file, output, pss, std::cout); return 0; };
  });

  auto* decrypt = app.add_subcommand("decrypt", "Decrypt an RSA-encrypted block with a container key (PKCS #1 v1.5 "
                                                "padding, or OAEP with SHA-256); logs the user in");
  decrypt->add_option("FILE", file, "The encrypted block (- for standard input)")->required();
  addKeyOptions(decrypt);
  decrypt->add_flag("--oaep", oaep, "The block has OAEP padding with SHA-256");
  decrypt->add_option("-o,--output", output, "Write to this file instead of standard output");
  decrypt->callback([&] { action = [&] { cmdDecrypt(tool, container, keySpec, oaep, file, output, std::cout); return 0; }; });

  auto* rmContainer = app.add_subcommand("rm-container", "Delete a container's keys and free it in mscp/cmapfile; "
                                                         "logs the user in");
  rmContainer->add_option("--container", container, "Container index, 0 to 255")->required()->check(CLI::Range(0, 255));
  rmContainer->callback([&] { action = [&] { cmdRmContainer(tool, container, std::cout); return 0; }; });

  auto* demoCommand = app.add_subcommand(
      "demo", "The whole story: init, login, key import, signature, decryption, a certificate request signed by "
              "the card and its certificate from a local CA, a file, free space, logout. Starts "
              "pcscd and the simulated card when no reader holds a supported card");
  demoCommand->add_option("--vcard", demo.vcard, "The simulated card's bridge (default: vemra-vcard beside vemractl)");
  demoCommand->add_option("--save-card", demo.saveCard,
                          "With the simulated card: keep the card in this file (the bridge's --state) for later runs");
  demoCommand->callback([&] { action = [&] { return cmdDemo(tool, demo, std::cout); }; });

  addCertificateCommands(app, tool, action);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
  }
  int status = 1;
  try {
    status = action();
  } catch (const std::exception& e) {
    // host::Error, and whatever else a hostile card or the system can cause
    // (a name that is not UTF-8 for JSON, memory, the file system).
    std::cout.flush();
    std::cerr << "vemractl: " << e.what() << "\n";
    status = 1;
  } catch (...) {
    std::cout.flush();
    std::cerr << "vemractl: unexpected failure\n";
    status = 1;
  }
  wipeString(options.pin);
  wipeString(options.adminKey);
  wipeString(options.newPin);
  wipeString(options.newAdminKey);
  return status;
}
