// The commands on containers and their keys: import-key, pubkey, sign,
// decrypt, rm-container.
#include "commands.h"

#include <openssl/crypto.h>

#include <iostream>

#include "error.h"
#include "keys.h"
#include "layout.h"
#include "transaction.h"

namespace vemra::ctl {

using host::Error;

BYTE containerIndex(int container, DWORD maxContainers) {
  if (container < 0 || container > 255) throw Error("a container index is 0 to 255");
  if (maxContainers == 0) throw Error("the card has no key containers");
  if (static_cast<DWORD>(container) >= maxContainers) {
    throw Error("container " + std::to_string(container) + " is past the card's " + std::to_string(maxContainers) +
                " key containers (0 to " + std::to_string(maxContainers - 1) + ")");
  }
  return static_cast<BYTE>(container);
}

// The index checked against the card's container count before anything else
// happens: the card's key references wrap at 256, so an index past the count
// can name another container's key.
BYTE cardContainerIndex(Tool& tool, int container) {
  if (container < 0 || container > 255) return containerIndex(container, 256);
  return containerIndex(container, tool.card().freeSpace().dwMaxKeyContainers);
}

namespace {

// Whether a container is taken: recorded in the map, or holding a key the
// map does not record (imported before the map, or orphaned).
bool containerTaken(Card& card, BYTE index) {
  if (const auto records = readContainerMap(card); records && index < records->size() && (*records)[index].valid()) {
    return true;
  }
  try {
    const PublicKeys keys = card.publicKeys(index);
    return !keys.signature.empty() || !keys.keyExchange.empty();
  } catch (const Error& e) {
    if (e.code() == SCARD_E_NO_KEY_CONTAINER || e.code() == SCARD_E_FILE_NOT_FOUND) return false;
    throw;
  }
}

// Records an imported key in the map; a key no map names is lost to every
// provider, so one imported into a free container goes again when the map
// cannot be written.
void recordImport(Card& card, BYTE index, DWORD keyType, DWORD bits, bool wasFree, std::ostream& out) {
  bool recorded = false;
  try {
    recorded = recordContainer(card, index, keyType, bits);
  } catch (const Error& e) {
    if (!wasFree) throw;
    try {
      card.deleteContainer(index);
      out << "undid the import: container " << int(index) << " deleted\n";
    } catch (const Error& undo) {
      out << "note: the import could not be undone: " << undo.what() << "\n";
    }
    throw;
  }
  if (!recorded) {
    out << "note: the card has no mscp/cmapfile (run init): the container is not recorded for providers\n";
    return;
  }
  out << "recorded container " << int(index) << " in mscp/cmapfile\n";
  try {
    bumpFreshness(card, Freshness::Containers);
  } catch (const Error& e) {
    out << "note: cardcf not updated: " << e.what() << "\n";
  }
}

}  // namespace

BYTE containerIndex(int container) {
  if (container < 0 || container > 255) throw Error("a container index is 0 to 255");
  return static_cast<BYTE>(container);
}

void installKey(Card& card, BYTE index, DWORD keyType, const Secret& blob, DWORD bits, PIN_ID role, std::ostream& out) {
  const int container = index;
  card.importKey(index, keyType, blob, bits, role);
  out << "imported a " << bits << "-bit " << (keyType == AT_SIGNATURE ? "signature" : "key-exchange")
      << " key into container " << container << " (used under the " << (role == ROLE_ADMIN ? "admin" : "user")
      << "'s PIN)\n";
  if (recordContainer(card, index, keyType, bits)) {
    out << "recorded container " << container << " in mscp/cmapfile\n";
    bumpFreshness(card, Freshness::Containers);
  } else {
    out << "note: the card has no mscp/cmapfile (run init): the container is not recorded for providers\n";
  }
}

void cmdImportKey(Tool& tool, const std::string& pem, int container, const std::string& keySpec,
                  const std::string& role, bool force, std::ostream& out) {
  const BYTE index = cardContainerIndex(tool, container);
  const DWORD keyType = parseKeySpec(keySpec);
  PIN_ID pinId = ROLE_USER;
  if (role == "admin") {
    pinId = ROLE_ADMIN;
  } else if (role != "user") {
    throw Error("unknown role \"" + role + "\" (user or admin)");
  }
  Pkey key = loadPrivateKeyPem(pem);
  DWORD bits = 0;
  Secret blob = privateKeyBlob(key.get(), keyType, bits);
  tool.loginUser();
  Card& card = tool.card();
  // The check, the import and the map's update as one: another importer
  // cannot take the container in between.
  const Card::Hold held = card.hold();
  const bool taken = containerTaken(card, index);
  if (taken && !force) {
    throw Error("container " + std::to_string(container) +
                " is in use (a key, or a record in mscp/cmapfile); --force replaces its key");
  }
  card.importKey(index, keyType, blob, bits, pinId);
  out << "imported a " << bits << "-bit " << (keyType == AT_SIGNATURE ? "signature" : "key-exchange")
      << " key into container " << container << " (used under the " << role << "'s PIN)\n";
  recordImport(card, index, keyType, bits, !taken, out);
}

Pkey containerKey(Card& card, BYTE index, DWORD keyType) {
  const PublicKeys keys = card.publicKeys(index);
  const Bytes& blob = keyType == AT_SIGNATURE ? keys.signature : keys.keyExchange;
  if (blob.empty()) {
    throw Error("container " + std::to_string(index) + " has no " +
                (keyType == AT_SIGNATURE ? "signature" : "key-exchange") + " key");
  }
  return publicKeyFromBlob(blob);
}

void cmdPubkey(Tool& tool, int container, const std::string& keySpec, const std::string& output,
               std::ostream& out) {
  Card& card = tool.card();
  const Card::Hold held = card.hold();
  Pkey key = containerKey(card, cardContainerIndex(tool, container), parseKeySpec(keySpec));
  const std::string pem = publicKeyPem(key.get());
  writeAll(output, Bytes(pem.begin(), pem.end()), out);
}

namespace {

// A PSS signature by the card's raw operation on the block OpenSSL encodes
// with the public key read back; the card is held from the key's reading to
// the signature.
Bytes pssSignature(Card& card, BYTE index, DWORD keyType, const HashAlgorithm& algorithm, const Bytes& digestValue) {
  host::CardTransaction hold(card.cardHandle());
  if (!hold.held()) host::check(hold.status(), "cannot hold the card");
  Pkey key = containerKey(card, index, keyType);
  const Bytes block = pssBlock(key.get(), algorithm, digestValue);
  const Secret raw = card.decrypt(index, keyType, block, CARD_PADDING_NONE, u"");
  return Bytes(raw.data(), raw.data() + raw.size());
}

}  // namespace

void cmdSign(Tool& tool, int container, const std::string& keySpec, const std::string& hash, const std::string& file,
             const std::string& output, bool pss, std::ostream& out) {
  const BYTE index = cardContainerIndex(tool, container);
  const DWORD keyType = parseKeySpec(keySpec);
  const HashAlgorithm algorithm = hashAlgorithm(hash);
  if (pss && std::string(algorithm.name) == "md5") throw Error("PSS takes sha1, sha256, sha384 or sha512");
  const Bytes digestValue = digest(algorithm, readAll(file));
  tool.loginUser();
  Card& card = tool.card();
  const Card::Hold held = card.hold();
  const Bytes signature = pss ? pssSignature(card, index, keyType, algorithm, digestValue)
                              : reversed(card.sign(index, keyType, algorithm.algId, digestValue));
  Pkey key = containerKey(card, index, keyType);
  const bool verified = pss ? verifyPssSignature(key.get(), algorithm, digestValue, signature)
                            : verifySignature(key.get(), algorithm, digestValue, signature);
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
  const BYTE index = cardContainerIndex(tool, container);
  const DWORD keyType = parseKeySpec(keySpec);
  const Bytes block = readAll(file);
  tool.loginUser();
  const Card::Hold held = tool.card().hold();
  Secret plain = tool.card().decrypt(index, keyType, block, oaep ? CARD_PADDING_OAEP : CARD_PADDING_PKCS1, u"SHA256");
  Bytes bytes(plain.data(), plain.data() + plain.size());
  writeAll(output, bytes, out, FileAccess::OwnerOnly);
  if (!bytes.empty()) OPENSSL_cleanse(bytes.data(), bytes.size());
}

void cmdRmContainer(Tool& tool, int container, std::ostream& out) {
  const BYTE index = cardContainerIndex(tool, container);
  tool.loginUser();
  Card& card = tool.card();
  const Card::Hold held = card.hold();
  card.deleteContainer(index);
  out << "deleted container " << container << "\n";
  if (forgetContainer(card, index)) out << "freed container " << container << " in mscp/cmapfile\n";
}

}  // namespace vemra::ctl
