#include "persist.h"

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>

#include "cardsim/card.h"

namespace vemra::cardsim {

namespace {

using nlohmann::json;

constexpr int kFormatVersion = 1;
constexpr int kMaxDepth = 16;

std::string hex(std::span<const uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (uint8_t b : bytes) {
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 0x0F]);
  }
  return out;
}

std::vector<uint8_t> unhex(const std::string& text) {
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    throw std::runtime_error("not a hex digit in card state");
  };
  if (text.size() % 2 != 0) throw std::runtime_error("odd hex string in card state");
  std::vector<uint8_t> out(text.size() / 2);
  for (std::size_t i = 0; i < out.size(); ++i) {
    out[i] = static_cast<uint8_t>((nibble(text[2 * i]) << 4) | nibble(text[2 * i + 1]));
  }
  return out;
}

void require(bool condition, const char* what) {
  if (!condition) throw std::runtime_error(std::string("inconsistent card state: ") + what);
}

template <typename T>
T number(const json& j, const char* key) {
  const auto v = j.at(key).get<long long>();
  require(v >= 0 && static_cast<unsigned long long>(v) <= std::numeric_limits<T>::max(), key);
  return static_cast<T>(v);
}

constexpr std::pair<FileKind, const char*> kKindNames[] = {
    {FileKind::Df, "df"}, {FileKind::Transparent, "transparent"}, {FileKind::LinearFixed, "linear"},
    {FileKind::Key, "key"}};

json nodeToJson(const Node& n) {
  json j;
  j["fid"] = n.fid;
  for (const auto& [kind, name] : kKindNames) {
    if (kind == n.kind) j["kind"] = name;
  }
  j["lifeCycle"] = static_cast<int>(n.lifeCycle);
  j["security"] = hex(n.security);
  switch (n.kind) {
    case FileKind::Df: {
      j["dfName"] = hex(n.dfName);
      json children = json::array();
      for (const auto& c : n.children) children.push_back(nodeToJson(*c));
      j["children"] = std::move(children);
      break;
    }
    case FileKind::Transparent: j["data"] = hex(n.data); break;
    case FileKind::LinearFixed: {
      j["size"] = n.size;
      j["recordLength"] = n.recordLength;
      j["dataCoding"] = n.dataCoding;
      json records = json::array();
      for (const auto& r : n.records) records.push_back(hex(r));
      j["records"] = std::move(records);
      break;
    }
    case FileKind::Key:
      j["keyType"] = n.keyType;
      j["keyRef"] = n.keyRef;
      j["proprietary"] = hex(n.keyProprietary);
      if (n.key) {
        j["key"] = {{"modulus", hex(n.key->modulus)},
                    {"exponent", hex(n.key->exponent)},
                    {"privateExponent", hex(n.key->privateExponent)}};
      }
      break;
  }
  return j;
}

std::unique_ptr<Node> nodeFromJson(const json& j, Node* parent, int depth) {
  require(depth < kMaxDepth, "files nested too deep");
  auto n = std::make_unique<Node>();
  n->parent = parent;
  n->fid = number<uint16_t>(j, "fid");
  const std::string kind = j.at("kind").get<std::string>();
  bool known = false;
  for (const auto& [k, name] : kKindNames) {
    if (kind == name) {
      n->kind = k;
      known = true;
    }
  }
  require(known, "file kind");
  const auto lcs = number<uint8_t>(j, "lifeCycle");
  require(lcs == 0x01 || lcs == 0x03 || lcs == 0x05, "life cycle");
  n->lifeCycle = static_cast<LifeCycle>(lcs);
  n->security = unhex(j.at("security").get<std::string>());
  require(n->security.size() <= 16, "security attributes");
  switch (n->kind) {
    case FileKind::Df:
      n->dfName = unhex(j.at("dfName").get<std::string>());
      require(n->dfName.size() <= 16, "DF name");
      for (const auto& c : j.at("children")) n->children.push_back(nodeFromJson(c, n.get(), depth + 1));
      break;
    case FileKind::Transparent:
      n->data = unhex(j.at("data").get<std::string>());
      require(n->data.size() <= 0xFFFF, "EF size");
      n->size = static_cast<uint16_t>(n->data.size());
      break;
    case FileKind::LinearFixed:
      n->size = number<uint16_t>(j, "size");
      n->recordLength = number<uint8_t>(j, "recordLength");
      n->dataCoding = number<uint8_t>(j, "dataCoding");
      require(n->recordLength != 0, "record length");
      for (const auto& r : j.at("records")) {
        n->records.push_back(unhex(r.get<std::string>()));
        require(n->records.back().size() == n->recordLength, "record length");
      }
      require(n->records.size() * n->recordLength <= n->size, "records beyond the file size");
      break;
    case FileKind::Key:
      n->keyType = number<uint8_t>(j, "keyType");
      n->keyRef = number<uint8_t>(j, "keyRef");
      n->keyProprietary = unhex(j.at("proprietary").get<std::string>());
      require(n->keyBytes() != 0 && n->keyProprietary.size() <= 127, "key type");
      if (j.contains("key")) {
        const json& k = j.at("key");
        RsaKey key;
        key.modulus = unhex(k.at("modulus").get<std::string>());
        key.privateExponent = unhex(k.at("privateExponent").get<std::string>());
        const auto e = unhex(k.at("exponent").get<std::string>());
        require(e.size() == 4 && key.modulus.size() == n->keyBytes() &&
                    key.privateExponent.size() == n->keyBytes(),
                "key length");
        std::copy(e.begin(), e.end(), key.exponent.begin());
        n->key = std::move(key);
      }
      break;
  }
  return n;
}

json credentialToJson(const Credential& c) {
  return {{"secret", hex(c.secret)}, {"maxTries", c.maxTries}, {"triesLeft", c.triesLeft}};
}

Credential credentialFromJson(const json& j, std::size_t secretLength) {
  Credential c;
  c.secret = unhex(j.at("secret").get<std::string>());
  c.maxTries = number<uint8_t>(j, "maxTries");
  c.triesLeft = number<uint8_t>(j, "triesLeft");
  require(c.secret.size() == secretLength, "credential length");
  require(c.maxTries >= 1 && c.maxTries <= 15 && c.triesLeft <= c.maxTries, "retry counter");
  return c;
}

json configToJson(const CardConfig& c) {
  json j = {{"atr", hex(c.atr)},
          {"applicationName", c.applicationName},
          {"applicationFid", c.applicationFid},
          {"dirTableFid", c.dirTableFid},
          {"dirFidBase", c.dirFidBase},
          {"fileTableFidBase", c.fileTableFidBase},
          {"fileFidBase", c.fileFidBase},
          {"kxKeyFidBase", c.kxKeyFidBase},
          {"sigKeyFidBase", c.sigKeyFidBase},
          {"reservedWord1", c.reservedWord1},
          {"reservedWord2", c.reservedWord2},
          {"dirTableRecords", c.dirTableRecords},
          {"maxContainers", c.maxContainers},
          {"fileTableRecords", c.fileTableRecords},
          {"kxKeyRefBase", c.kxKeyRefBase},
          {"sigKeyRefBase", c.sigKeyRefBase},
          {"userPinRef", c.userPinRef},
          {"adminPinRef", c.adminPinRef},
          {"userAccess", c.userAccess},
          {"reservedByte", c.reservedByte},
          {"memoryCapacity", c.memoryCapacity},
          {"serialNumber", hex(c.serialNumber)}};
  // Only a card that models time says so; older files have no entry.
  if (c.timing.enabled()) j["timing"] = formatTimingProfile(c.timing);
  return j;
}

CardConfig configFromJson(const json& j) {
  CardConfig c;
  c.atr = unhex(j.at("atr").get<std::string>());
  require(c.atr.size() >= 2 && c.atr.size() <= 33, "ATR length");
  c.applicationName = j.at("applicationName").get<std::string>();
  c.applicationFid = number<uint16_t>(j, "applicationFid");
  c.dirTableFid = number<uint16_t>(j, "dirTableFid");
  c.dirFidBase = number<uint16_t>(j, "dirFidBase");
  c.fileTableFidBase = number<uint16_t>(j, "fileTableFidBase");
  c.fileFidBase = number<uint16_t>(j, "fileFidBase");
  c.kxKeyFidBase = number<uint16_t>(j, "kxKeyFidBase");
  c.sigKeyFidBase = number<uint16_t>(j, "sigKeyFidBase");
  c.reservedWord1 = number<uint16_t>(j, "reservedWord1");
  c.reservedWord2 = number<uint16_t>(j, "reservedWord2");
  c.dirTableRecords = number<uint8_t>(j, "dirTableRecords");
  c.maxContainers = number<uint8_t>(j, "maxContainers");
  c.fileTableRecords = number<uint8_t>(j, "fileTableRecords");
  c.kxKeyRefBase = number<uint8_t>(j, "kxKeyRefBase");
  c.sigKeyRefBase = number<uint8_t>(j, "sigKeyRefBase");
  c.userPinRef = number<uint8_t>(j, "userPinRef");
  c.adminPinRef = number<uint8_t>(j, "adminPinRef");
  c.userAccess = number<uint8_t>(j, "userAccess");
  c.reservedByte = number<uint8_t>(j, "reservedByte");
  c.memoryCapacity = number<uint32_t>(j, "memoryCapacity");
  c.serialNumber = unhex(j.at("serialNumber").get<std::string>());
  require(c.serialNumber.size() <= 255, "serial number length");
  if (j.contains("timing")) {
    const auto timing = parseTimingProfile(j.at("timing").get<std::string>());
    require(timing.has_value(), "timing profile");
    c.timing = *timing;
  }
  return c;
}

}  // namespace

std::string stateToJson(const CardState& s) {
  json j;
  j["format"] = "vemra-cardsim";
  j["version"] = kFormatVersion;
  j["config"] = configToJson(s.config);
  j["user"] = credentialToJson(s.user);
  j["admin"] = credentialToJson(s.admin);
  j["files"] = nodeToJson(*s.mf);
  return j.dump(2);
}

void stateFromJson(const std::string& text, CardState& out) {
  try {
    const json j = json::parse(text);
    require(j.at("format").get<std::string>() == "vemra-cardsim", "format");
    require(j.at("version").get<int>() == kFormatVersion, "version");
    CardState s;
    s.config = configFromJson(j.at("config"));
    s.user = credentialFromJson(j.at("user"), 8);
    s.admin = credentialFromJson(j.at("admin"), 16);
    s.mf = nodeFromJson(j.at("files"), nullptr, 0);
    require(s.mf->kind == FileKind::Df && s.mf->fid == kMfFid, "the MF");
    // Credentials in the configuration follow the loaded ones.
    s.config.userPin.assign(s.user.secret.begin(), s.user.secret.end());
    while (s.config.userPin.size() > 4 && s.config.userPin.back() == 0x00) s.config.userPin.pop_back();
    std::copy(s.admin.secret.begin(), s.admin.secret.end(), s.config.adminKey.begin());
    s.config.userPinMaxTries = s.user.maxTries;
    s.config.adminKeyMaxTries = s.admin.maxTries;
    s.powered = true;
    s.clearVolatile();
    out = std::move(s);
  } catch (const json::exception& e) {
    throw std::runtime_error(std::string("malformed card state: ") + e.what());
  }
}

void Card::saveFile(const std::string& path) const {
  const std::string text = toJson();
  const std::string temporary = path + ".tmp";
  {
    std::ofstream f(temporary, std::ios::binary | std::ios::trunc);
    f << text;
    if (!f.flush()) throw std::runtime_error("cannot write " + temporary);
  }
  std::filesystem::rename(temporary, path);
}

Card Card::loadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) throw std::runtime_error("cannot read " + path);
  std::ostringstream text;
  text << f.rdbuf();
  return fromJson(text.str());
}

}  // namespace vemra::cardsim
