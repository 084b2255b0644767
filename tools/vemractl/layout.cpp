#include "layout.h"

#include <openssl/rand.h>

#include <cstdio>

#include "error.h"

namespace vemra::ctl {

using host::Error;

namespace {

Bytes randomBytes(std::size_t n) {
  Bytes out(n);
  if (RAND_bytes(out.data(), static_cast<int>(n)) != 1) throw Error("OpenSSL has no random bytes");
  return out;
}

// 16 random bytes made a version-4 GUID.
Bytes newGuidBytes() {
  Bytes g = randomBytes(16);
  g[7] = static_cast<uint8_t>((g[7] & 0x0F) | 0x40);
  g[8] = static_cast<uint8_t>((g[8] & 0x3F) | 0x80);
  return g;
}

}  // namespace

std::u16string newContainerName() {
  const Bytes g = newGuidBytes();
  char text[40];
  std::snprintf(text, sizeof text, "{%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g[3],
                g[2], g[1], g[0], g[5], g[4], g[7], g[6], g[8], g[9], g[10], g[11], g[12], g[13], g[14], g[15]);
  std::u16string name;
  for (const char* c = text; *c != 0; ++c) name += static_cast<char16_t>(*c);
  return name;
}

std::string narrow(const std::u16string& text) {
  std::string out;
  for (char16_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
  return out;
}

bool bumpFreshness(Card& card, Freshness which) {
  if (!card.fileInfo("", "cardcf")) return false;
  Bytes cf = card.readFile("", "cardcf");
  if (cf.size() < 6) cf.resize(6, 0);
  switch (which) {
    case Freshness::Pins:
      cf[1] = static_cast<uint8_t>(cf[1] + 1);
      break;
    case Freshness::Containers: {
      const uint16_t v = static_cast<uint16_t>((cf[2] | cf[3] << 8) + 1);
      cf[2] = static_cast<uint8_t>(v);
      cf[3] = static_cast<uint8_t>(v >> 8);
      break;
    }
    case Freshness::Files: {
      const uint16_t v = static_cast<uint16_t>((cf[4] | cf[5] << 8) + 1);
      cf[4] = static_cast<uint8_t>(v);
      cf[5] = static_cast<uint8_t>(v >> 8);
      break;
    }
  }
  card.writeFile("", "cardcf", cf);
  return true;
}

namespace {

void ensureFile(Card& card, std::ostream& log, const std::string& dir, const std::string& name,
                CARD_FILE_ACCESS_CONDITION access, const Bytes& content) {
  const std::string path = dir.empty() ? name : dir + "/" + name;
  if (auto existing = card.fileInfo(dir, name)) {
    log << "    " << path << ": exists (" << existing->size << " bytes), kept\n";
    return;
  }
  card.createFile(dir, name, static_cast<DWORD>(content.size()), access);
  if (!content.empty()) card.writeFile(dir, name, content);
  log << "    " << path << ": created, " << content.size() << " bytes\n";
}

}  // namespace

void initLayout(Card& card, std::ostream& log) {
  ensureFile(card, log, "", "cardid", EveryoneReadAdminWriteAc, newGuidBytes());
  ensureFile(card, log, "", "cardcf", EveryoneReadUserWriteAc, Bytes(6, 0));
  ensureFile(card, log, "", "cardapps", EveryoneReadAdminWriteAc, Bytes{'m', 's', 'c', 'p', 0, 0, 0, 0});
  bool haveDirectory = true;
  try {
    card.listFiles("mscp");
  } catch (const Error& e) {
    if (e.code() != SCARD_E_DIR_NOT_FOUND) throw;
    haveDirectory = false;
  }
  if (haveDirectory) {
    log << "    mscp/: exists, kept\n";
  } else {
    card.createDirectory("mscp", UserCreateDeleteDirAc);
    log << "    mscp/: created\n";
  }
  ensureFile(card, log, "mscp", "cmapfile", EveryoneReadUserWriteAc, Bytes{});
}

std::optional<std::vector<ContainerRecord>> readContainerMap(Card& card) {
  try {
    if (!card.fileInfo("mscp", "cmapfile")) return std::nullopt;
  } catch (const Error& e) {
    if (e.code() == SCARD_E_DIR_NOT_FOUND) return std::nullopt;
    throw;
  }
  return parseContainerMap(card.readFile("mscp", "cmapfile"));
}

bool recordContainer(Card& card, BYTE index, DWORD keySpec, DWORD bits) {
  auto records = readContainerMap(card);
  if (!records) return false;
  if (records->size() <= index) records->resize(index + 1u);
  ContainerRecord& r = (*records)[index];
  if (!r.valid()) {
    r = ContainerRecord{};
    r.name = newContainerName();
    r.flags = kContainerValid;
    bool haveDefault = false;
    for (const ContainerRecord& other : *records) haveDefault = haveDefault || (other.valid() && (other.flags & kContainerDefault));
    if (!haveDefault) r.flags |= kContainerDefault;
  }
  if (keySpec == AT_SIGNATURE) {
    r.signatureBits = static_cast<uint16_t>(bits);
  } else {
    r.keyExchangeBits = static_cast<uint16_t>(bits);
  }
  card.writeFile("mscp", "cmapfile", encodeContainerMap(*records));
  return true;
}

bool forgetContainer(Card& card, BYTE index) {
  auto records = readContainerMap(card);
  if (!records) return false;
  if (index < records->size() && (*records)[index].valid()) {
    (*records)[index] = ContainerRecord{};
    card.writeFile("mscp", "cmapfile", encodeContainerMap(*records));
  }
  bumpFreshness(card, Freshness::Containers);
  return true;
}

}  // namespace vemra::ctl
