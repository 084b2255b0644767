#include "cert_listing.h"

#include <algorithm>

#include "certificates.h"
#include "commands.h"
#include "error.h"

namespace vemra::ctl {

using host::Error;
using nlohmann::json;

namespace {

struct KeyKind {
  DWORD keyType;
  const char* bitsField;
  const char* certificateField;
  const char* name;
};
constexpr KeyKind kKinds[] = {
    {AT_KEYEXCHANGE, "keyExchangeBits", "keyExchangeCertificate", "key exchange"},
    {AT_SIGNATURE, "signatureBits", "signatureCertificate", "signature"},
};

std::optional<json> certificateEntry(Card& card, BYTE index, DWORD keyType, const Bytes& keyBlob) {
  json entry{{"file", certificatePath(index, keyType)}};
  try {
    const std::optional<Bytes> der = readCertificate(card, index, keyType);
    if (!der) return std::nullopt;
    const Certificate certificate = parseCertificate(*der, certificatePath(index, keyType));
    const CertificateFacts facts = certificateFacts(certificate.get());
    entry["subject"] = facts.subject;
    entry["issuer"] = facts.issuer;
    entry["notBefore"] = facts.notBefore;
    entry["notAfter"] = facts.notAfter;
    Pkey key = publicKeyFromBlob(keyBlob);
    entry["matchesKey"] = certifiesKey(certificate.get(), key.get());
  } catch (const Error& e) {
    entry["error"] = e.what();
  }
  return entry;
}

}  // namespace

std::vector<std::pair<BYTE, PublicKeys>> containersInUse(Card& card, const CARD_FREE_SPACE_INFO& space) {
  const DWORD slots = std::min<DWORD>(space.dwMaxKeyContainers, 256);
  // A count the card cannot give (or that makes no sense) asks every slot.
  const DWORD used = space.dwKeyContainersAvailable <= slots ? slots - space.dwKeyContainersAvailable : slots;
  std::vector<std::pair<BYTE, PublicKeys>> found;
  for (DWORD i = 0; i < slots && found.size() < used; ++i) {
    try {
      found.emplace_back(static_cast<BYTE>(i), card.publicKeys(static_cast<BYTE>(i)));
    } catch (const Error& e) {
      if (e.code() != SCARD_E_NO_KEY_CONTAINER) throw;
    }
  }
  return found;
}

json containerEntry(Card& card, BYTE index, const PublicKeys& keys) {
  json c{{"index", index}};
  for (const KeyKind& kind : kKinds) {
    const Bytes& blob = kind.keyType == AT_SIGNATURE ? keys.signature : keys.keyExchange;
    if (blob.empty()) continue;
    c[kind.bitsField] = (blob.size() - 20) * 8;
    if (auto entry = certificateEntry(card, index, kind.keyType, blob)) c[kind.certificateField] = *entry;
  }
  return c;
}

void printCertificates(const json& container, const std::string& indent, std::ostream& out) {
  for (const KeyKind& kind : kKinds) {
    if (!container.contains(kind.certificateField)) continue;
    const json& e = container[kind.certificateField];
    out << indent << kind.name << " certificate " << e["file"].get<std::string>() << ": ";
    if (e.contains("error")) {
      out << "unreadable (" << e["error"].get<std::string>() << ")\n";
      continue;
    }
    out << e["subject"].get<std::string>() << ", issued by " << e["issuer"].get<std::string>() << ", valid "
        << e["notBefore"].get<std::string>() << " to " << e["notAfter"].get<std::string>() << ", "
        << (e["matchesKey"].get<bool>() ? "matches the key" : "does NOT match the key") << "\n";
  }
}

void cmdCerts(Tool& tool, std::ostream& out) {
  Card& card = tool.card();
  const Card::Hold held = card.hold();
  const Card::KeptReads kept(card);
  const CARD_FREE_SPACE_INFO space = card.freeSpace();
  json containers = json::array();
  for (const auto& [index, keys] : containersInUse(card, space)) containers.push_back(containerEntry(card, index, keys));
  if (tool.options().json) {
    out << containers.dump(2) << "\n";
    return;
  }
  if (containers.empty()) out << "no container in use\n";
  for (const json& c : containers) {
    out << "container " << c["index"].get<int>() << ":";
    for (const KeyKind& kind : kKinds) {
      if (!c.contains(kind.bitsField)) continue;
      out << " " << kind.name << " key " << c[kind.bitsField].get<int>() << " bits"
          << (c.contains(kind.certificateField) ? "" : " (no certificate)") << ";";
    }
    out << "\n";
    printCertificates(c, "  ", out);
  }
}

}  // namespace vemra::ctl
