// The commands about the card as a whole: readers, info, props and init.
#include "commands.h"

#include <nlohmann/json.hpp>

#include "cert_listing.h"
#include "error.h"
#include "layout.h"

namespace vemra::ctl {

using host::Error;
using nlohmann::json;

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
  const Card::Hold held = card.hold();
  const Card::KeptReads kept(card);
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
  try {
    for (const auto& [index, keys] : containersInUse(card, space)) containers.push_back(containerEntry(card, index, keys));
  } catch (const Error& e) {
    containersError = host::describeCode(e.code());
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
      printCertificates(c, "                 ", out);
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
  const Card::Hold held = card.hold();
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
  const Card::Hold held = tool.card().hold();
  out << "laying out the standard files:\n";
  initLayout(tool.card(), out);
  tool.card().logout(CREATE_PIN_SET(ROLE_ADMIN));
  out << "administrator logged out\n";
}

}  // namespace vemra::ctl
