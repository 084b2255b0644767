// The commands on containers and their keys: import-key, pubkey, sign,
// decrypt, rm-container.
#include "commands.h"

#include <openssl/crypto.h>

#include <iostream>

#include "error.h"
#include "keys.h"
#include "layout.h"

namespace vemra::ctl {

using host::Error;

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
  writeAll(output, bytes, out, FileAccess::OwnerOnly);
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
