// The session of one run (the card bound on first use, the logins of
// --login) and the helpers every command group shares.
#include "commands.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <fstream>
#include <iostream>
#include <iterator>

#include "error.h"
#include "keys.h"

namespace vemra::ctl {

using host::Error;

Bytes readAll(const std::string& path) {
  if (path.empty() || path == "-") {
    return Bytes(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) throw Error("cannot open " + path);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeAll(const std::string& path, const Bytes& data, std::ostream& out, FileAccess access) {
  if (path.empty() || path == "-") {
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    return;
  }
  const mode_t mode = access == FileAccess::OwnerOnly ? 0600 : 0666;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) throw Error("cannot write " + path);
  struct stat st {};
  bool ok = ::fstat(fd, &st) == 0;
  // A regular file that already existed keeps its mode unless only its
  // owner may read what goes in.
  if (ok && access == FileAccess::OwnerOnly && S_ISREG(st.st_mode) && (st.st_mode & 0077) != 0) {
    ok = ::fchmod(fd, 0600) == 0;
  }
  for (std::size_t done = 0; ok && done < data.size();) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    ok = n > 0;
    if (ok) done += static_cast<std::size_t>(n);
  }
  ok = ::close(fd) == 0 && ok;
  if (!ok) throw Error("cannot write " + path);
}

Card& Tool::card() {
  if (!card_) {
    std::string driver = options_.driver.empty() ? host::defaultDriverPath() : options_.driver;
    card_ = std::make_unique<Card>(driver, options_.reader);
    for (const std::string& role : options_.login) {
      if (role == "user") loginUser();
      if (role == "admin") loginAdmin();
    }
  }
  return *card_;
}

Tool::~Tool() {
  if (!card_ || keep_ || (!user_ && !admin_)) return;
  const PIN_SET roles = (user_ ? CREATE_PIN_SET(ROLE_USER) : 0) | (admin_ ? CREATE_PIN_SET(ROLE_ADMIN) : 0);
  try {
    card_->logout(roles);
  } catch (...) {
    // The card went, or the login already ended: nothing left to undo.
  }
}

void Tool::loginUser() {
  if (user_) return;
  Card& c = card();
  Secret pin = userPin();
  c.loginUser(pin);
  user_ = true;
}

Secret Tool::userPin() { return obtainPin(options_.pin, "VEMRA_PIN", "User PIN: "); }

void Tool::loginAdmin() {
  if (admin_) return;
  Card& c = card();
  Secret key = obtainAdminKey(options_.adminKey, "VEMRA_ADMIN_KEY", "Administrator key (hex): ");
  c.loginAdmin(key);
  admin_ = true;
}

void splitPath(const std::string& path, std::string& dir, std::string& name) {
  const auto slash = path.find('/');
  if (slash == std::string::npos) {
    dir.clear();
    name = path;
  } else {
    dir = path.substr(0, slash);
    name = path.substr(slash + 1);
  }
  if (name.empty() || name.find('/') != std::string::npos || (slash != std::string::npos && dir.empty())) {
    throw Error("\"" + path + "\" is not a file path: FILE or DIR/FILE");
  }
}

namespace {

struct AccessName {
  CARD_FILE_ACCESS_CONDITION access;
  const char* name;
};
constexpr std::array kAccessNames{
    AccessName{InvalidAc, "invalid"},
    AccessName{EveryoneReadUserWriteAc, "everyone-read-user-write"},
    AccessName{UserWriteExecuteAc, "user-write-execute"},
    AccessName{EveryoneReadAdminWriteAc, "everyone-read-admin-write"},
    AccessName{UnknownAc, "unknown"},
    AccessName{UserReadWriteAc, "user-read-write"},
    AccessName{AdminReadWriteAc, "admin-read-write"},
};

}  // namespace

CARD_FILE_ACCESS_CONDITION parseFileAccess(const std::string& text) {
  for (const AccessName& a : kAccessNames) {
    if (text == a.name && a.access != InvalidAc) return a.access;
  }
  throw Error("unknown access condition \"" + text + "\"");
}

std::string fileAccessName(CARD_FILE_ACCESS_CONDITION access) {
  for (const AccessName& a : kAccessNames) {
    if (a.access == access) return a.name;
  }
  return "invalid";
}

DWORD parseKeySpec(const std::string& text) {
  if (text == "kx") return AT_KEYEXCHANGE;
  if (text == "sig") return AT_SIGNATURE;
  throw Error("unknown key type \"" + text + "\" (kx or sig)");
}

}  // namespace vemra::ctl
