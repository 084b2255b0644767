#include "commands.h"

#include <array>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <openssl/crypto.h>

#include "error.h"
#include "keys.h"
#include "layout.h"

namespace vemra::ctl {

using host::Error;
using nlohmann::json;

std::string hex(const Bytes& bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string text;
  for (uint8_t b : bytes) {
    text += digits[b >> 4];
    text += digits[b & 0x0F];
  }
  return text;
}

Bytes readAll(const std::string& path) {
  if (path.empty() || path == "-") {
    return Bytes(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) throw Error("cannot open " + path);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeAll(const std::string& path, const Bytes& data, std::ostream& out) {
  if (path.empty() || path == "-") {
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    return;
  }
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  if (!f) throw Error("cannot write " + path);
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

void cmdReaders(Options& options, std::ostream& out) {
  host::PcscContext pcsc;
  const auto readers = pcsc.readers();
  // Whether the driver takes each card: binding to it is the only test.
  std::unique_ptr<host::DriverLibrary> driver;
  try {
    driver = std::make_unique<host::DriverLibrary>(options.driver.empty() ? host::defaultDriverPath()
                                                                          : options.driver);
  } catch (const Error&) {
  }
  json list = json::array();
  for (const auto& r : readers) {
    json entry{{"reader", r.name}, {"card", r.cardPresent}, {"atr", hex(r.atr)}};
    if (r.cardPresent && driver) {
      try {
        host::CardConnection connection(pcsc, r.name);
        host::DriverContext context(*driver, pcsc, connection);
        entry["supported"] = true;
      } catch (const Error& e) {
        entry["supported"] = false;
        entry["reason"] = e.what();
      }
    }
    list.push_back(entry);
  }
  if (options.json) {
    out << list.dump(2) << "\n";
    return;
  }
  if (readers.empty()) out << "no reader\n";
  for (const json& e : list) {
    out << e["reader"].get<std::string>() << "\n";
    if (!e["card"].get<bool>()) {
      out << "  no card\n";
      continue;
    }
    out << "  ATR " << e["atr"].get<std::string>() << "\n";
    if (e.contains("supported")) {
      out << "  " << (e["supported"].get<bool>() ? "supported by the driver" : "not supported by the driver")
          << "\n";
    }
  }
}

namespace {

std::string propertyFailure(DWORD rc) { return host::describeCode(rc); }

uint32_t le32(const Bytes& b, std::size_t at) {
  return at + 4 <= b.size() ? (static_cast<uint32_t>(b[at]) | static_cast<uint32_t>(b[at + 1]) << 8 |
                               static_cast<uint32_t>(b[at + 2]) << 16 | static_cast<uint32_t>(b[at + 3]) << 24)
                            : 0;
}

std::string roleNames(uint32_t set) {
  std::string text;
  if (set & (1u << ROLE_USER)) text += "user";
  if (set & (1u << ROLE_ADMIN)) text += text.empty() ? "admin" : ", admin";
  return text.empty() ? "none" : text;
}

}  // namespace

void cmdInfo(Tool& tool, std::ostream& out) {
  Card& card = tool.card();
  json info;
  info["reader"] = card.readerName();
  info["atr"] = hex(card.atr());

  Bytes value;
  DWORD rc = card.property(u"Card Identifier", 0, value);
  if (rc == SCARD_E_UNSUPPORTED_FEATURE) {
    // Without the property, the identifier is the root file "cardid".
    rc = 0;
    try {
      value = card.readFile("", "cardid");
    } catch (const Error& e) {
      rc = e.code();
    }
  }
  info["cardIdentifier"] = rc == 0 ? json(hex(value)) : json(nullptr);
  if (rc != 0) info["cardIdentifierError"] = propertyFailure(rc);

  rc = card.property(u"Card Serial Number", 0, value);
  info["serialNumber"] = rc == 0 ? json(hex(value)) : json(nullptr);
  if (rc != 0) info["serialNumberError"] = propertyFailure(rc);

  const CARD_FREE_SPACE_INFO space = card.freeSpace();
  info["freeBytes"] = space.dwBytesAvailable;
  info["freeContainers"] = space.dwKeyContainersAvailable;
  info["maxContainers"] = space.dwMaxKeyContainers;

  json containers = json::array();
  std::string containersError;
  for (DWORD i = 0; i < space.dwMaxKeyContainers && i < 256; ++i) {
    try {
      const PublicKeys keys = card.publicKeys(static_cast<BYTE>(i));
      json c{{"index", i}};
      if (!keys.keyExchange.empty()) c["keyExchangeBits"] = (keys.keyExchange.size() - 20) * 8;
      if (!keys.signature.empty()) c["signatureBits"] = (keys.signature.size() - 20) * 8;
      containers.push_back(c);
    } catch (const Error& e) {
      if (e.code() == SCARD_E_NO_KEY_CONTAINER) continue;
      containersError = host::describeCode(e.code());
      break;
    }
  }
  if (containersError.empty()) {
    info["containers"] = containers;
  } else {
    info["containers"] = nullptr;
    info["containersError"] = containersError;
  }

  rc = card.property(u"PIN List", 0, value);
  if (rc == 0) {
    info["pins"] = json::array();
    const uint32_t set = le32(value, 0);
    for (PIN_ID id : {ROLE_USER, ROLE_ADMIN}) {
      if (!(set & (1u << id))) continue;
      Bytes pinInfo;
      const Bytes version{6, 0, 0, 0};
      json p{{"role", id == ROLE_USER ? "user" : "admin"}};
      if (card.property(u"PIN Information", id, pinInfo, version) == 0) {
        const uint32_t type = le32(pinInfo, 4);
        p["type"] = type == AlphaNumericPinType        ? "PIN"
                    : type == ChallengeResponsePinType ? "challenge-response key"
                                                       : "other";
      }
      info["pins"].push_back(p);
    }
  } else {
    info["pins"] = nullptr;
    info["pinsError"] = propertyFailure(rc);
  }
  rc = card.property(u"Authenticated State", 0, value);
  if (rc == 0) {
    const uint32_t set = le32(value, 0);
    info["authenticated"] = json::array();
    if (set & (1u << ROLE_USER)) info["authenticated"].push_back("user");
    if (set & (1u << ROLE_ADMIN)) info["authenticated"].push_back("admin");
  } else {
    info["authenticated"] = nullptr;
    info["authenticatedError"] = propertyFailure(rc);
  }

  if (tool.options().json) {
    out << info.dump(2) << "\n";
    return;
  }
  auto line = [&out](const char* label, const std::string& text) { out << label << text << "\n"; };
  auto orError = [&info](const char* key, const char* errorKey) {
    return info[key].is_null() ? "unavailable (" + info[errorKey].get<std::string>() + ")"
                               : info[key].get<std::string>();
  };
  line("reader:          ", card.readerName());
  line("ATR:             ", info["atr"].get<std::string>());
  line("card identifier: ", orError("cardIdentifier", "cardIdentifierError"));
  line("serial number:   ", orError("serialNumber", "serialNumberError"));
  line("free space:      ", std::to_string(space.dwBytesAvailable) + " bytes, " +
                                std::to_string(space.dwKeyContainersAvailable) + " of " +
                                std::to_string(space.dwMaxKeyContainers) + " key containers free");
  if (info["containers"].is_null()) {
    line("containers:      ", "unavailable (" + containersError + ")");
  } else if (containers.empty()) {
    line("containers:      ", "none in use");
  } else {
    for (const json& c : containers) {
      std::string text = std::to_string(c["index"].get<int>()) + ":";
      if (c.contains("keyExchangeBits")) text += " key exchange " + std::to_string(c["keyExchangeBits"].get<int>()) + " bits";
      if (c.contains("signatureBits")) text += " signature " + std::to_string(c["signatureBits"].get<int>()) + " bits";
      line("container        ", text);
    }
  }
  if (info["pins"].is_null()) {
    line("PINs:            ", "unavailable (" + info["pinsError"].get<std::string>() + ")");
  } else {
    std::string text;
    for (const json& p : info["pins"]) {
      if (!text.empty()) text += ", ";
      text += p["role"].get<std::string>();
      if (p.contains("type")) text += " (" + p["type"].get<std::string>() + ")";
    }
    line("PINs:            ", text);
  }
  if (info["authenticated"].is_null()) {
    line("authenticated:   ", "unavailable (" + info["authenticatedError"].get<std::string>() + ")");
  } else {
    uint32_t set = 0;
    for (const json& r : info["authenticated"]) set |= r == "user" ? 2u : 4u;
    line("authenticated:   ", roleNames(set));
  }
}

namespace {

// The directories the card lists as applications in "cardapps" and that
// exist; the driver has no listing of directories.
std::vector<std::string> knownDirectories(Card& card) {
  std::vector<std::string> dirs;
  Bytes apps;
  try {
    if (!card.fileInfo("", "cardapps")) return dirs;
    apps = card.readFile("", "cardapps");
  } catch (const Error&) {
    return dirs;
  }
  for (std::size_t at = 0; at + 8 <= apps.size(); at += 8) {
    std::string name;
    for (std::size_t i = 0; i < 8 && apps[at + i] != 0; ++i) name += static_cast<char>(apps[at + i]);
    if (name.empty()) continue;
    try {
      card.listFiles(name);
      dirs.push_back(name);
    } catch (const Error&) {
    }
  }
  return dirs;
}

}  // namespace

void cmdLs(Tool& tool, const std::string& dir, std::ostream& out) {
  Card& card = tool.card();
  json files = json::array();
  for (const std::string& name : card.listFiles(dir)) {
    const auto entry = card.fileInfo(dir, name);
    if (!entry) continue;
    files.push_back({{"name", name}, {"size", entry->size}, {"access", fileAccessName(entry->access)}});
  }
  json dirs = json::array();
  if (dir.empty()) {
    for (const std::string& d : knownDirectories(card)) dirs.push_back(d);
  }
  if (tool.options().json) {
    out << json{{"directory", dir}, {"files", files}, {"directories", dirs}}.dump(2) << "\n";
    return;
  }
  for (const json& f : files) {
    std::string name = f["name"].get<std::string>();
    std::string size = std::to_string(f["size"].get<DWORD>());
    name.resize(10, ' ');
    size.insert(0, size.size() < 7 ? 7 - size.size() : 0, ' ');
    out << name << size << "  " << f["access"].get<std::string>() << "\n";
  }
  for (const json& d : dirs) out << d.get<std::string>() << "/\n";
}

namespace {

// Tells providers that the files changed; a card without "cardcf" has no
// cache to invalidate.
void filesChanged(Card& card, const std::string& dir, const std::string& name, std::ostream& out) {
  if (dir.empty() && name == "cardcf") return;
  try {
    bumpFreshness(card, Freshness::Files);
  } catch (const Error& e) {
    out << "note: cardcf not updated: " << e.what() << "\n";
  }
}

}  // namespace

void cmdCat(Tool& tool, const std::string& path, const std::string& output, std::ostream& out) {
  std::string dir;
  std::string name;
  splitPath(path, dir, name);
  writeAll(output, tool.card().readFile(dir, name), out);
}

void cmdPut(Tool& tool, const std::string& path, const std::string& input, const std::string& access,
            std::ostream& out) {
  std::string dir;
  std::string name;
  splitPath(path, dir, name);
  const CARD_FILE_ACCESS_CONDITION condition = parseFileAccess(access);
  const Bytes content = readAll(input);
  Card& card = tool.card();
  const auto existing = card.fileInfo(dir, name);
  if (!existing) {
    // A new file is created with room for its content (the driver creates
    // at most 32768 bytes; writing grows it further).
    card.createFile(dir, name, static_cast<DWORD>(std::min<std::size_t>(content.size(), 0x8000)), condition);
  } else if (content.empty()) {
    throw Error("cannot write " + path + ": the content is empty (remove the file instead)");
  }
  if (!content.empty()) card.writeFile(dir, name, content);
  out << (existing ? "wrote " : "created ") << path << ", " << content.size() << " bytes\n";
  filesChanged(card, dir, name, out);
}

void cmdMkdir(Tool& tool, const std::string& dir, const std::string& access, std::ostream& out) {
  CARD_DIRECTORY_ACCESS_CONDITION condition = UserCreateDeleteDirAc;
  if (access == "admin") {
    condition = AdminCreateDeleteDirAc;
  } else if (access != "user") {
    throw Error("unknown directory access \"" + access + "\" (user or admin)");
  }
  Card& card = tool.card();
  card.createDirectory(dir, condition);
  out << "created directory " << dir << "\n";
  filesChanged(card, dir, "", out);
}

void cmdRmdir(Tool& tool, const std::string& dir, std::ostream& out) {
  Card& card = tool.card();
  card.deleteDirectory(dir);
  out << "deleted directory " << dir << "\n";
  filesChanged(card, dir, "", out);
}

void cmdRm(Tool& tool, const std::string& path, std::ostream& out) {
  std::string dir;
  std::string name;
  splitPath(path, dir, name);
  Card& card = tool.card();
  card.deleteFile(dir, name);
  out << "deleted " << path << "\n";
  filesChanged(card, dir, name, out);
}

void cmdLogin(Tool& tool, const std::string& role, std::ostream& out) {
  if (role == "user") {
    tool.loginUser();
  } else if (role == "admin") {
    tool.loginAdmin();
  } else {
    throw Error("unknown role \"" + role + "\" (user or admin)");
  }
  out << role << " logged in; the card keeps the login until logout, a reset or power-off\n";
}

void cmdLogout(Tool& tool, const std::string& role, std::ostream& out) {
  PIN_SET set = PIN_SET_ALL_ROLES;
  if (role == "user") {
    set = CREATE_PIN_SET(ROLE_USER);
  } else if (role == "admin") {
    set = CREATE_PIN_SET(ROLE_ADMIN);
  } else if (role != "all") {
    throw Error("unknown role \"" + role + "\" (user, admin or all)");
  }
  tool.card().logout(set);
  out << (role == "all" ? std::string("everyone") : role) << " logged out\n";
}

namespace {

Secret newPin(Options& options) {
  if (!options.newPin.empty() || std::getenv("VEMRA_NEW_PIN") != nullptr) {
    return obtainPin(options.newPin, "VEMRA_NEW_PIN", "");
  }
  Secret first = obtainPin("", "VEMRA_NEW_PIN", "New PIN: ");
  Secret again = obtainPin("", "VEMRA_NEW_PIN", "New PIN again: ");
  if (first.size() != again.size() || std::memcmp(first.data(), again.data(), first.size()) != 0) {
    throw Error("the two new PINs differ");
  }
  return first;
}

void pinsChanged(Card& card, std::ostream& out) {
  try {
    bumpFreshness(card, Freshness::Pins);
  } catch (const Error& e) {
    out << "note: cardcf not updated: " << e.what() << "\n";
  }
}

}  // namespace

void cmdChangePin(Tool& tool, std::ostream& out) {
  Card& card = tool.card();
  Secret current = obtainPin(tool.options().pin, "VEMRA_PIN", "Current PIN: ");
  Secret next = newPin(tool.options());
  card.changePin(current, next);
  out << "user PIN changed\n";
  pinsChanged(card, out);
}

void cmdUnblock(Tool& tool, std::ostream& out) {
  Card& card = tool.card();
  Secret key = obtainAdminKey(tool.options().adminKey, "VEMRA_ADMIN_KEY", "Administrator key (hex): ");
  Secret next = newPin(tool.options());
  card.unblockPin(key, next);
  out << "user PIN unblocked and set\n";
  // The unblock leaves nobody logged in; the user's new PIN opens cardcf for
  // the counter, and the user is logged out again afterwards.
  try {
    card.loginUser(next);
    pinsChanged(card, out);
    card.logout(CREATE_PIN_SET(ROLE_USER));
  } catch (const Error& e) {
    out << "note: cardcf not updated: " << e.what() << "\n";
  }
}

void cmdChangeAdminKey(Tool& tool, std::ostream& out) {
  Card& card = tool.card();
  Secret current = obtainAdminKey(tool.options().adminKey, "VEMRA_ADMIN_KEY", "Current administrator key (hex): ");
  Secret next = obtainAdminKey(tool.options().newAdminKey, "VEMRA_NEW_ADMIN_KEY", "New administrator key (hex): ");
  card.changeAdminKey(current, next);
  out << "administrator key changed\n";
  pinsChanged(card, out);
  // The change leaves the administrator authenticated on the card.
  card.logout(CREATE_PIN_SET(ROLE_ADMIN));
  out << "administrator logged out\n";
}

namespace {

struct PropertyQuery {
  const char16_t* name;
  DWORD flags;
  const char* label;     // the property and, where the flags choose, which
  Bytes version;         // the record version set before the call
};

std::string ascii(const char16_t* text) {
  std::string out;
  for (; *text != 0; ++text) out += static_cast<char>(*text);
  return out;
}

// The value of one property, decoded for people and scripts.
json decodeProperty(const PropertyQuery& q, const Bytes& v) {
  const std::string name = ascii(q.name);
  if (name == "Free Space") {
    return {{"bytesAvailable", le32(v, 4)}, {"keyContainersAvailable", le32(v, 8)}, {"maxKeyContainers", le32(v, 12)}};
  }
  if (name == "Capabilities") return {{"certificateCompression", le32(v, 4) != 0}, {"keyGeneration", le32(v, 8) != 0}};
  if (name == "Key Sizes") {
    return {{"minimum", le32(v, 4)}, {"default", le32(v, 8)}, {"maximum", le32(v, 12)}, {"increment", le32(v, 16)}};
  }
  if (name == "PIN Information") {
    return {{"type", le32(v, 4)},           {"purpose", le32(v, 8)},
            {"changePermission", le32(v, 12)}, {"unblockPermission", le32(v, 16)},
            {"cachePolicy", le32(v, 24)},   {"flags", le32(v, 32)}};
  }
  if (name == "Card Identifier" || name == "Card Serial Number") return hex(v);
  if (name == "Chaining Modes") {
    std::string text;
    for (std::size_t i = 0; i + 1 < v.size() && (v[i] | v[i + 1]) != 0; i += 2) text += static_cast<char>(v[i]);
    return text;
  }
  if (name == "Algorithms") return hex(v);
  if (name == "PIN List" || name == "Authenticated State") return roleNames(le32(v, 0));
  return le32(v, 0);
}

std::string showProperty(const json& value) {
  if (value.is_string()) return value.get<std::string>();
  if (!value.is_object()) return value.dump();
  std::string text;
  for (auto it = value.begin(); it != value.end(); ++it) {
    if (!text.empty()) text += ", ";
    text += it.key() + " " + it.value().dump();
  }
  return text;
}

}  // namespace

void cmdProps(Tool& tool, std::ostream& out) {
  const Bytes v1{1, 0, 0, 0};
  const Bytes v6{6, 0, 0, 0};
  const std::array<PropertyQuery, 23> queries{{
      {u"Free Space", 0, "Free Space", v1},
      {u"Capabilities", 0, "Capabilities", v1},
      {u"Key Sizes", AT_KEYEXCHANGE, "Key Sizes (key exchange)", v1},
      {u"Key Sizes", AT_SIGNATURE, "Key Sizes (signature)", v1},
      {u"Read Only Mode", 0, "Read Only Mode", {}},
      {u"Cache Mode", 0, "Cache Mode", {}},
      {u"Supports Windows x.509 Enrollment", 0, "Supports Windows x.509 Enrollment", {}},
      {u"Card Identifier", 0, "Card Identifier", {}},
      {u"Card Serial Number", 0, "Card Serial Number", {}},
      {u"PIN Information", ROLE_USER, "PIN Information (user)", v6},
      {u"PIN Information", ROLE_ADMIN, "PIN Information (admin)", v6},
      {u"PIN List", 0, "PIN List", {}},
      {u"Authenticated State", 0, "Authenticated State", {}},
      {u"PIN Strength Verify", ROLE_USER, "PIN Strength Verify (user)", {}},
      {u"PIN Strength Verify", ROLE_ADMIN, "PIN Strength Verify (admin)", {}},
      {u"Key Import Support", 0, "Key Import Support", {}},
      {u"Algorithms", 1, "Algorithms (1)", {}},
      {u"Algorithms", 2, "Algorithms (2)", {}},
      {u"Padding Schemes", 1, "Padding Schemes (1)", {}},
      {u"Padding Schemes", 2, "Padding Schemes (2)", {}},
      {u"Chaining Modes", 0, "Chaining Modes", {}},
      {u"PIN Strength Change", 0, "PIN Strength Change", {}},
      {u"PIN Strength Unblock", 0, "PIN Strength Unblock", {}},
  }};
  Card& card = tool.card();
  json all = json::object();
  for (const PropertyQuery& q : queries) {
    Bytes value;
    const DWORD rc = card.property(q.name, q.flags, value, q.version);
    if (rc == 0) {
      all[q.label] = {{"value", decodeProperty(q, value)}};
    } else {
      all[q.label] = {{"error", host::codeName(rc)}, {"meaning", host::codeMeaning(rc)}};
    }
  }
  if (tool.options().json) {
    out << all.dump(2) << "\n";
    return;
  }
  for (const PropertyQuery& q : queries) {
    const json& entry = all[q.label];
    std::string label = std::string(q.label) + ":";
    label.resize(36, ' ');
    out << label
        << (entry.contains("value") ? showProperty(entry["value"])
                                    : entry["error"].get<std::string>() + ": " + entry["meaning"].get<std::string>())
        << "\n";
  }
}

void cmdInit(Tool& tool, std::ostream& out) {
  tool.loginAdmin();
  out << "laying out the standard files:\n";
  initLayout(tool.card(), out);
  tool.card().logout(CREATE_PIN_SET(ROLE_ADMIN));
  out << "administrator logged out\n";
}

namespace {

BYTE containerIndex(int container) {
  if (container < 0 || container > 255) throw Error("a container index is 0 to 255");
  return static_cast<BYTE>(container);
}

}  // namespace

void cmdImportKey(Tool& tool, const std::string& pem, int container, const std::string& keySpec,
                  const std::string& role, std::ostream& out) {
  const BYTE index = containerIndex(container);
  const DWORD spec = parseKeySpec(keySpec);
  PIN_ID pinId = ROLE_USER;
  if (role == "admin") {
    pinId = ROLE_ADMIN;
  } else if (role != "user") {
    throw Error("unknown role \"" + role + "\" (user or admin)");
  }
  Pkey key = loadPrivateKeyPem(pem);
  DWORD bits = 0;
  Secret blob = privateKeyBlob(key.get(), spec, bits);
  tool.loginUser();
  Card& card = tool.card();
  card.importKey(index, spec, blob, bits, pinId);
  out << "imported a " << bits << "-bit " << (spec == AT_SIGNATURE ? "signature" : "key-exchange")
      << " key into container " << container << " (used under the " << role << "'s PIN)\n";
  if (recordContainer(card, index, spec, bits)) {
    out << "recorded container " << container << " in mscp/cmapfile\n";
  } else {
    out << "note: the card has no mscp/cmapfile (run init): the container is not recorded for providers\n";
  }
}

namespace {

Pkey containerKey(Card& card, BYTE index, DWORD spec) {
  const PublicKeys keys = card.publicKeys(index);
  const Bytes& blob = spec == AT_SIGNATURE ? keys.signature : keys.keyExchange;
  if (blob.empty()) {
    throw Error("container " + std::to_string(index) + " has no " +
                (spec == AT_SIGNATURE ? "signature" : "key-exchange") + " key");
  }
  return publicKeyFromBlob(blob);
}

}  // namespace

void cmdPubkey(Tool& tool, int container, const std::string& keySpec, const std::string& output,
               std::ostream& out) {
  Pkey key = containerKey(tool.card(), containerIndex(container), parseKeySpec(keySpec));
  const std::string pem = publicKeyPem(key.get());
  writeAll(output, Bytes(pem.begin(), pem.end()), out);
}

void cmdSign(Tool& tool, int container, const std::string& keySpec, const std::string& hash, const std::string& file,
             const std::string& output, std::ostream& out) {
  const BYTE index = containerIndex(container);
  const DWORD spec = parseKeySpec(keySpec);
  const HashAlgorithm algorithm = hashAlgorithm(hash);
  const Bytes digestValue = digest(algorithm, readAll(file));
  tool.loginUser();
  Card& card = tool.card();
  const Bytes signature = reversed(card.sign(index, spec, algorithm.algId, digestValue));
  Pkey key = containerKey(card, index, spec);
  const bool verified = verifySignature(key.get(), algorithm, digestValue, signature);
  if (output.empty() || output == "-") {
    out << hex(signature) << "\n";
  } else {
    writeAll(output, signature, out);
    out << "signature (" << signature.size() << " bytes) written to " << output << "\n";
  }
  if (!verified) throw Error("OpenSSL does NOT verify the signature with the public key read back from the card");
  std::cerr << "OpenSSL verifies the signature with the public key read back from the card\n";
}

void cmdDecrypt(Tool& tool, int container, const std::string& keySpec, bool oaep, const std::string& file,
                const std::string& output, std::ostream& out) {
  const BYTE index = containerIndex(container);
  const DWORD spec = parseKeySpec(keySpec);
  const Bytes block = readAll(file);
  tool.loginUser();
  Secret plain = tool.card().decrypt(index, spec, block, oaep ? CARD_PADDING_OAEP : CARD_PADDING_PKCS1, u"SHA256");
  Bytes bytes(plain.data(), plain.data() + plain.size());
  writeAll(output, bytes, out);
  if (!bytes.empty()) OPENSSL_cleanse(bytes.data(), bytes.size());
}

void cmdRmContainer(Tool& tool, int container, std::ostream& out) {
  const BYTE index = containerIndex(container);
  tool.loginUser();
  Card& card = tool.card();
  card.deleteContainer(index);
  out << "deleted container " << container << "\n";
  if (forgetContainer(card, index)) out << "freed container " << container << " in mscp/cmapfile\n";
}

}  // namespace vemra::ctl
