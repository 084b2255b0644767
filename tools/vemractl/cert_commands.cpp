// The certificate commands: import-p12 (a key and its certificate in one
// step), put-cert, cert, rm-cert, certs, csr, and the certificates that info
// lists. Certificates live in "mscp/kxcNN" and "mscp/kscNN", compressed as
// the platform's providers store them when the card says it takes
// compressed certificates; both forms are read.
#include <iostream>

#include "cert_listing.h"
#include "certificate_file.h"
#include "certificates.h"
#include "commands.h"
#include "error.h"
#include "layout.h"
#include "transaction.h"

namespace vemra::ctl {

using host::Error;

namespace {

constexpr const char* kDirectory = "mscp";

const char* keyTypeName(DWORD keyType) { return keyType == AT_SIGNATURE ? "signature" : "key-exchange"; }

// Holds the card from here to the end of the scope, so that no other
// program's commands come between those of one change.
class Hold {
 public:
  explicit Hold(Card& card) : transaction_(card.cardHandle()) {
    if (!transaction_.held()) host::check(transaction_.status(), "cannot hold the card");
  }

 private:
  host::CardTransaction transaction_;
};

// Whether the card takes certificates compressed ("Capabilities").
bool takesCompressedCertificates(Card& card) {
  Bytes value;
  if (card.property(u"Capabilities", 0, value, Bytes{1, 0, 0, 0}) != 0 || value.size() < 8) return false;
  return (value[4] | value[5] | value[6] | value[7]) != 0;
}

// The file content for a certificate: compressed when the card takes that
// and the certificate fits the form, else the DER as it is.
Bytes certificateFileContent(Card& card, const Bytes& der) {
  if (takesCompressedCertificates(card)) {
    if (auto compressed = host::compressCertificate(der)) return *compressed;
  }
  return der;
}

void requireLayout(Card& card) {
  bool present = false;
  try {
    present = card.fileInfo(kDirectory, "cmapfile").has_value();
  } catch (const Error& e) {
    if (e.code() != SCARD_E_DIR_NOT_FOUND) throw;
  }
  if (!present) throw Error("the card has no mscp/cmapfile: run init first");
}

}  // namespace

std::string certificatePath(BYTE index, DWORD keyType) {
  return std::string(kDirectory) + "/" + host::certificateFileName(index, keyType);
}

std::optional<Bytes> readCertificate(Card& card, BYTE index, DWORD keyType) {
  const std::string name = host::certificateFileName(index, keyType);
  // Read at once: asking first whether the file is there would cost the
  // card's directory walk twice.
  Bytes content;
  try {
    content = card.readFile(kDirectory, name);
  } catch (const Error& e) {
    if (e.code() == SCARD_E_FILE_NOT_FOUND || e.code() == SCARD_E_DIR_NOT_FOUND) return std::nullopt;
    throw;
  }
  auto der = host::certificateFromFile(content);
  if (!der) throw Error(certificatePath(index, keyType) + " holds neither a DER certificate nor a compressed one");
  return der;
}

namespace {

// A certificate file as it was before a write replaced it.
struct FormerFile {
  std::optional<FileEntry> entry;  // nothing when there was none
  Bytes content;
};

// Puts a certificate file back as it was: removed when there was none.
void restoreCertificate(Card& card, const std::string& name, const FormerFile& former) {
  if (card.fileInfo(kDirectory, name)) card.deleteFile(kDirectory, name);
  if (former.entry) {
    card.createFile(kDirectory, name, static_cast<DWORD>(former.content.size()), former.entry->access);
    card.writeFile(kDirectory, name, former.content);
  }
}

// Writes a certificate file, replacing what is there, and bumps the files'
// counter of cardcf. Refused before anything is written when the card has no
// room; on a failed write the card is left as it was. Returns what was there.
FormerFile storeCertificate(Card& card, BYTE index, DWORD keyType, const Bytes& der, std::ostream& out) {
  const std::string name = host::certificateFileName(index, keyType);
  const Bytes content = certificateFileContent(card, der);
  FormerFile former{card.fileInfo(kDirectory, name), {}};
  const CARD_FREE_SPACE_INFO space = card.freeSpace();
  const std::size_t reclaimed = former.entry ? former.entry->size : 0;
  constexpr DWORD kUnknown = 0xFFFFFFFF;  // the card does not say
  if (space.dwBytesAvailable != kUnknown &&
      content.size() > static_cast<std::size_t>(space.dwBytesAvailable) + reclaimed) {
    throw Error("the certificate file takes " + std::to_string(content.size()) + " bytes; the card has " +
                std::to_string(space.dwBytesAvailable + reclaimed) + " free");
  }
  if (former.entry) {
    former.content = card.readFile(kDirectory, name);
    card.deleteFile(kDirectory, name);
  }
  try {
    card.createFile(kDirectory, name, static_cast<DWORD>(content.size()), EveryoneReadUserWriteAc);
    card.writeFile(kDirectory, name, content);
  } catch (const Error&) {
    try {
      restoreCertificate(card, name, former);
    } catch (const Error&) {  // the write's failure is the one to report
    }
    throw;
  }
  bumpFreshness(card, Freshness::Files);
  out << "wrote the certificate to " << certificatePath(index, keyType) << " (" << content.size() << " bytes"
      << (content.size() != der.size() ? ", compressed from " + std::to_string(der.size()) : std::string()) << ")\n";
  return former;
}

}  // namespace

void writeCertificate(Card& card, BYTE index, DWORD keyType, const Bytes& der, std::ostream& out) {
  storeCertificate(card, index, keyType, der, out);
}

namespace {

// A free container for import-p12: neither valid in the map nor holding a
// key on the card.
BYTE freeContainer(Card& card) {
  const auto records = parseContainerMap(card.readFile(kDirectory, "cmapfile"));
  const DWORD most = card.freeSpace().dwMaxKeyContainers;
  for (DWORD i = 0; i < most && i < 256; ++i) {
    if (i < records.size() && records[i].valid()) continue;
    try {
      card.publicKeys(static_cast<BYTE>(i));
    } catch (const Error& e) {
      if (e.code() == SCARD_E_NO_KEY_CONTAINER) return static_cast<BYTE>(i);
      throw;
    }
  }
  throw Error("the card has no free container");
}

bool holdsKey(Card& card, BYTE index, DWORD keyType) {
  try {
    const PublicKeys keys = card.publicKeys(index);
    return !(keyType == AT_SIGNATURE ? keys.signature : keys.keyExchange).empty();
  } catch (const Error& e) {
    if (e.code() == SCARD_E_NO_KEY_CONTAINER) return false;
    throw;
  }
}

void reportChain(const Pkcs12Contents& contents, std::ostream& out) {
  if (contents.chain.empty()) return;
  out << "the file's CA chain (" << contents.chain.size() << " certificate" << (contents.chain.size() == 1 ? "" : "s")
      << ") is not written to the card:\n";
  for (const Certificate& c : contents.chain) out << "  " << certificateFacts(c.get()).subject << "\n";
}

}  // namespace

void cmdImportP12(Tool& tool, const std::string& p12, int container, const std::string& keySpec,
                  const std::string& passphraseEnv, bool force, std::ostream& out) {
  const DWORD keyType = parseKeySpec(keySpec);
  const Bytes file = readAll(p12);
  const Secret passphrase = obtainPassphrase(passphraseEnv, "Passphrase of " + p12 + ": ");
  const Pkcs12Contents contents = loadPkcs12(file, passphrase, p12);
  DWORD bits = 0;
  const Secret blob = privateKeyBlob(contents.key.get(), keyType, bits);
  const Bytes der = certificateDer(contents.certificate.get());

  Card& card = tool.card();
  Hold hold(card);
  tool.loginUser();
  requireLayout(card);
  const BYTE index = container < 0 ? freeContainer(card) : cardContainerIndex(tool, container);
  if (!force && holdsKey(card, index, keyType)) {
    throw Error("container " + std::to_string(index) + " already holds a " + keyTypeName(keyType) +
                " key (--force replaces it)");
  }
  // The certificate first: a failed key import then leaves nothing behind
  // but a file to delete, where a map grown for the key would keep its room.
  const Bytes map = card.readFile(kDirectory, "cmapfile");
  const bool emptyBefore = !holdsKey(card, index, AT_SIGNATURE) && !holdsKey(card, index, AT_KEYEXCHANGE);
  const FormerFile former = storeCertificate(card, index, keyType, der, out);
  try {
    installKey(card, index, keyType, blob, bits, ROLE_USER, out);
  } catch (const Error&) {
    // Without its key the certificate goes again (a key it replaced cannot
    // come back), and the map is as it was.
    try {
      if (emptyBefore && (holdsKey(card, index, AT_SIGNATURE) || holdsKey(card, index, AT_KEYEXCHANGE))) {
        card.deleteContainer(index);
      }
      if (card.readFile(kDirectory, "cmapfile") != map) card.writeFile(kDirectory, "cmapfile", map);
      restoreCertificate(card, host::certificateFileName(index, keyType), former);
      bumpFreshness(card, Freshness::Files);
      out << "the certificate was taken off the card again\n";
    } catch (const Error&) {  // the import's failure is the one to report
    }
    throw;
  }
  reportChain(contents, out);
}

void cmdPutCert(Tool& tool, int container, const std::string& keySpec, const std::string& file, bool force,
                std::ostream& out) {
  const BYTE index = cardContainerIndex(tool, container);
  const DWORD keyType = parseKeySpec(keySpec);
  const Certificate certificate = parseCertificate(readAll(file), file);
  const Bytes der = certificateDer(certificate.get());
  Card& card = tool.card();
  Hold hold(card);
  tool.loginUser();
  requireLayout(card);
  Pkey key = containerKey(card, index, keyType);
  if (!certifiesKey(certificate.get(), key.get())) {
    if (!force) {
      throw Error("the certificate's public key is not the key of container " + std::to_string(index) +
                  " (--force writes it all the same)");
    }
    out << "note: the certificate's public key is not the container's key (written as --force asks)\n";
  }
  storeCertificate(card, index, keyType, der, out);
}

void cmdCert(Tool& tool, int container, const std::string& keySpec, const std::string& output, bool der,
             std::ostream& out) {
  const BYTE index = cardContainerIndex(tool, container);
  const DWORD keyType = parseKeySpec(keySpec);
  const std::optional<Bytes> certificate = readCertificate(tool.card(), index, keyType);
  if (!certificate) throw Error("no certificate in " + certificatePath(index, keyType));
  if (der) {
    writeAll(output, *certificate, out);
    return;
  }
  const Certificate parsed = parseCertificate(*certificate, certificatePath(index, keyType));
  const std::string pem = certificatePem(parsed.get());
  writeAll(output, Bytes(pem.begin(), pem.end()), out);
}

void cmdRmCert(Tool& tool, int container, const std::string& keySpec, std::ostream& out) {
  const BYTE index = cardContainerIndex(tool, container);
  const DWORD keyType = parseKeySpec(keySpec);
  Card& card = tool.card();
  Hold hold(card);
  tool.loginUser();
  bool present = false;
  try {
    present = card.fileInfo(kDirectory, host::certificateFileName(index, keyType)).has_value();
  } catch (const Error& e) {
    if (e.code() != SCARD_E_DIR_NOT_FOUND) throw;
  }
  if (!present) throw Error("no certificate in " + certificatePath(index, keyType));
  card.deleteFile(kDirectory, host::certificateFileName(index, keyType));
  bumpFreshness(card, Freshness::Files);
  out << "deleted " << certificatePath(index, keyType) << "\n";
}

void cmdCsr(Tool& tool, int container, const std::string& keySpec, const std::string& subject,
            const std::string& output, bool pss, std::ostream& out) {
  const BYTE index = cardContainerIndex(tool, container);
  const DWORD keyType = parseKeySpec(keySpec);
  Card& card = tool.card();
  Hold hold(card);
  tool.loginUser();
  Pkey key = containerKey(card, index, keyType);
  const HashAlgorithm sha256 = hashAlgorithm("sha256");
  const std::string pem = makeCertificateRequest(
      key.get(), subject,
      [&](const Bytes& hash) {
        if (!pss) return reversed(card.sign(index, keyType, sha256.algId, hash));
        const Secret raw = card.decrypt(index, keyType, pssBlock(key.get(), sha256, hash), CARD_PADDING_NONE, u"");
        return Bytes(raw.data(), raw.data() + raw.size());
      },
      pss);
  writeAll(output, Bytes(pem.begin(), pem.end()), out);
  std::cerr << "the card signed the request; OpenSSL verifies its signature with the container's key\n";
}

}  // namespace vemra::ctl
