// CardCreateContainer and CardCreateContainerEx: an RSA key pair imported
// into a key file of a container. The card never generates keys for us; the
// key file is created from a fixed template and the key loaded into it in a
// chained stream of pieces, all inside one outer transaction.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "card/bytes.h"
#include "card/commands.h"
#include "card/secret_bytes.h"
#include "card/status.h"
#include "card/tables.h"
#include "common/entry.h"
#include "common/entry_points.h"
#include "keys/key_preparation.h"

namespace vemra::keys {
namespace {

// The key file's FCP template. The card reads the ten security attributes
// under 86 0A as the key file's access conditions and the A5 entries as the
// key's type and card key reference; the values we do not put in are the
// card's and are sent unchanged.
constexpr std::array<std::uint8_t, 41> kKeyFileTemplate = {
    0x62, 0x27,                                                        // FCP template
    0x82, 0x01, 0x11,                                                  // file descriptor: key file, transparent
    0x83, 0x02, 0xFF, 0xFF,                                            // FID
    0x86, 0x0A, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,  // security attributes 1-10
    0x8A, 0x01, 0x05,                                                  // operational, activated
    0xA5, 0x0F,                                                        // proprietary information
    0x85, 0x01, 0x24,                                                  // key type
    0x86, 0x01, 0x8F,                                                  //
    0x87, 0x01, 0xFF,                                                  // card key reference
    0x88, 0x01, 0xFF,                                                  // card key reference
    0x89, 0x01, 0x0F,                                                  //
};
namespace at {
constexpr std::size_t kFidHigh = 7;
constexpr std::size_t kFidLow = 8;
// Security attribute n (from 1) sits at 10 + n.
constexpr std::size_t kAttribute3 = 13;  // A: who may delete the key file
constexpr std::size_t kAttribute4 = 14;  // P: who may sign with the key
constexpr std::size_t kAttribute5 = 15;  // P: who may load the key
constexpr std::size_t kAttribute8 = 18;  // anyone may read the public key
constexpr std::size_t kAttribute9 = 19;  // P: who may decrypt with the key
constexpr std::size_t kKeyType = 28;
constexpr std::size_t kReference1 = 34;
constexpr std::size_t kReference2 = 37;
}  // namespace at

constexpr std::uint8_t kKeyType1024 = 0x22;
constexpr std::uint8_t kKeyType2048 = 0x24;

// PRIVATEKEYBLOB: BLOBHEADER (8 bytes), RSAPUBKEY (magic, bitlen, pubexp; 12
// bytes), then modulus (k), prime1, prime2, exponent1, exponent2,
// coefficient (k/2 each) and private exponent (k), least significant byte
// first.
constexpr std::size_t kBitlenOffset = 12;
constexpr std::size_t kPubexpOffset = 16;
constexpr std::size_t kModulusOffset = 20;
constexpr std::size_t kMaxModulus = 256;
[[nodiscard]] constexpr std::size_t privateExponentOffset(std::size_t k) { return kModulusOffset + k + 5 * (k / 2); }
[[nodiscard]] constexpr std::size_t blobSize(std::size_t k) { return privateExponentOffset(k) + k; }
static_assert(privateExponentOffset(128) == 468 && privateExponentOffset(256) == 916);
static_assert(blobSize(128) == 596 && blobSize(256) == 1172);

// The key-load stream: pieces of at most this many bytes.
constexpr std::size_t kMaxPiece = 200;
// The exponent field in front of the modulus: four zero bytes, then pubexp.
constexpr std::size_t kExponentField = 8;

// The six arguments' checks that need no card, in their order: key
// type, PIN role (giving P and A), flags.
Result checkRequest(const card::CardConfig& config, DWORD dwKeySpec, BYTE role, DWORD dwFlags, std::uint8_t& pinRef,
                    std::uint8_t& accessRef) {
  if (dwKeySpec >= AT_ECDSA_P256 && dwKeySpec <= AT_ECDHE_P521) return SCARD_E_UNSUPPORTED_FEATURE;
  if (!isRsaKeySpec(dwKeySpec)) return SCARD_E_INVALID_PARAMETER;
  if (role == ROLE_USER) {
    pinRef = config.userPinRef;
    accessRef = config.userAccess;
  } else if (role == ROLE_ADMIN) {
    pinRef = config.adminPinRef;
    accessRef = config.adminPinRef;
  } else {
    return SCARD_E_INVALID_PARAMETER;
  }
  if (dwFlags == CARD_CREATE_CONTAINER_KEY_GEN) {
    trace::step("\tCARD_CREATE_CONTAINER_KEY_GEN");
    return SCARD_E_UNSUPPORTED_FEATURE;
  }
  if (dwFlags != CARD_CREATE_CONTAINER_KEY_IMPORT) {
    trace::step("\tdwFlags isn't checked");
    return SCARD_E_INVALID_PARAMETER;
  }
  return 0;
}

// A little-endian 32-bit value of the blob.
[[nodiscard]] bool readLittleEndian32(card::ByteReader& reader, std::uint32_t& out) {
  std::array<std::uint8_t, 4> bytes{};
  if (!reader.readBytes(bytes)) return false;
  out = static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8) |
        (static_cast<std::uint32_t>(bytes[2]) << 16) | (static_cast<std::uint32_t>(bytes[3]) << 24);
  return true;
}

// The modulus length k of the blob from its bitlen: 128 or 256, otherwise
// SCARD_E_INVALID_PARAMETER. Reads only the blob's first 20 bytes.
Result blobModulusBytes(const BYTE* pbKeyData, std::size_t& k, std::uint32_t& bitlen) {
  card::ByteReader header({pbKeyData, kModulusOffset});
  if (!header.skip(kBitlenOffset) || !readLittleEndian32(header, bitlen)) return SCARD_E_INVALID_PARAMETER;
  // The length is worked out in full: a bitlen that only matches a key size
  // once cut to 16 bits describes no blob we know how to read.
  const std::uint32_t bytes = bitlen / 8;
  if (bytes != 128 && bytes != 256) return SCARD_E_INVALID_PARAMETER;
  k = bytes;
  return 0;
}

// The two parts of the key-load stream, most significant byte first: the
// exponent field and the modulus, then the private exponent. Both are wiped
// when the import ends, however it ends.
struct KeyStream {
  card::SecretBytes<kExponentField + kMaxModulus> publicPart;
  card::SecretBytes<kMaxModulus> privatePart;
  std::size_t k = 0;

  [[nodiscard]] std::span<const std::uint8_t> publicBytes() const {
    return std::span<const std::uint8_t>(publicPart.view()).first(kExponentField + k);
  }
  [[nodiscard]] std::span<const std::uint8_t> privateBytes() const {
    return std::span<const std::uint8_t>(privatePart.view()).first(k);
  }
};

// Fills `stream` from the blob of modulus length `k`, which it reads exactly
// as far as the end of the private exponent.
[[nodiscard]] bool buildKeyStream(const BYTE* pbKeyData, std::size_t k, KeyStream& stream) {
  const std::span<const std::uint8_t> blob(pbKeyData, blobSize(k));
  card::ByteReader reader(blob.subspan(kPubexpOffset, 4));
  std::uint32_t pubexp = 0;
  if (!readLittleEndian32(reader, pubexp)) return false;
  stream.k = k;
  card::ByteWriter field(stream.publicPart.bytes().first(kExponentField));
  if (!field.putU16(0) || !field.putU16(0) || !field.putU16(static_cast<std::uint16_t>(pubexp >> 16)) ||
      !field.putU16(static_cast<std::uint16_t>(pubexp)))
    return false;
  return card::reverseBytes(stream.publicPart.bytes().subspan(kExponentField, k), blob.subspan(kModulusOffset, k)) &&
         card::reverseBytes(stream.privatePart.bytes().first(k), blob.subspan(privateExponentOffset(k), k));
}

// Deletes the key file whose load the card refused. The card's refusal makes
// the request's own result SCARD_E_INVALID_PARAMETER once the file is gone.
Result removeRefusedKeyFile(card::Handle card, std::uint16_t fid) {
  std::uint16_t sw = 0;
  if (const Result rc = card::transmit(card, card::command::deleteFile(0x00, 0x00, fid), sw)) return rc;
  return sw == card::sw::kSuccess ? SCARD_E_INVALID_PARAMETER : SCARD_F_INTERNAL_ERROR;
}

// Sends the key-load stream into the current key file: each part cut into
// pieces of at most 200 bytes, front first, only the very last piece without
// the chaining class.
Result loadKey(card::Handle card, std::uint16_t fid, const KeyStream& stream) {
  const std::span<const std::uint8_t> parts[] = {stream.publicBytes(), stream.privateBytes()};
  for (std::size_t p = 0; p < std::size(parts); ++p) {
    for (std::size_t sent = 0; sent < parts[p].size();) {
      const std::size_t length = std::min(kMaxPiece, parts[p].size() - sent);
      const bool last = p + 1 == std::size(parts) && sent + length == parts[p].size();
      std::uint16_t sw = 0;
      if (const Result rc = card::transmit(card, card::command::loadKey(last, parts[p].subspan(sent, length)), sw))
        return rc;  // the partly loaded key file stays
      if (sw != card::sw::kSuccess) return removeRefusedKeyFile(card, fid);
      sent += length;
    }
  }
  return 0;
}

// Removes the key file `fid` when it exists, so that the import replaces it.
Result removeExistingKeyFile(card::Handle card, std::uint16_t fid) {
  const Result selected = card::selectFile(card, fid);
  if (selected == SCARD_E_FILE_NOT_FOUND) return 0;
  if (selected != 0) return selected;
  std::uint16_t sw = 0;
  if (const Result rc = card::transmit(card, card::command::deleteCurrentFile(), sw)) return rc;
  return card::mapStatus(sw, {{card::sw::kSecurityNotSatisfied, SCARD_W_SECURITY_VIOLATION}}, SCARD_F_INTERNAL_ERROR);
}

Result createKeyFile(card::Handle card, std::uint16_t fid, std::uint8_t reference, std::uint8_t pinRef,
                     std::uint8_t accessRef, std::size_t k) {
  std::array<std::uint8_t, kKeyFileTemplate.size()> fcp = kKeyFileTemplate;
  fcp[at::kFidHigh] = card::highByte(fid);
  fcp[at::kFidLow] = card::lowByte(fid);
  fcp[at::kAttribute3] = accessRef;
  fcp[at::kAttribute4] = pinRef;
  fcp[at::kAttribute5] = pinRef;
  fcp[at::kAttribute8] = 0x00;
  fcp[at::kAttribute9] = pinRef;
  fcp[at::kKeyType] = k == 128 ? kKeyType1024 : kKeyType2048;
  fcp[at::kReference1] = reference;
  fcp[at::kReference2] = reference;
  std::uint16_t sw = 0;
  if (const Result rc = card::transmit(card, card::command::createFile(fcp), sw)) return rc;
  return card::mapStatus(sw, {{card::sw::kSecurityNotSatisfied, SCARD_W_SECURITY_VIOLATION}}, SCARD_F_INTERNAL_ERROR);
}

// The import once the transaction is open: blob checks, the user PIN, the old
// key file removed, the new one created and loaded.
Result importKey(const common::Session& session, BYTE bContainerIndex, DWORD dwKeySpec, const BYTE* pbKeyData,
                 std::uint8_t pinRef, std::uint8_t accessRef) {
  const KeyLocation key = locateKey(session.config, bContainerIndex, dwKeySpec);
  if (pbKeyData == nullptr) return SCARD_E_INVALID_PARAMETER;
  std::size_t k = 0;
  std::uint32_t bitlen = 0;
  if (const Result rc = blobModulusBytes(pbKeyData, k, bitlen)) return rc;
  trace::value("\tpriv_blob->rsapubkey.bitlen %d", static_cast<long>(bitlen));

  if (const Result rc = requireUserPin(session.config, session.card)) return rc;
  if (const Result rc = removeExistingKeyFile(session.card, key.ownFid)) return rc;
  if (const Result rc = createKeyFile(session.card, key.ownFid, key.reference, pinRef, accessRef, k)) return rc;
  KeyStream stream;
  if (!buildKeyStream(pbKeyData, k, stream)) return SCARD_F_INTERNAL_ERROR;
  return loadKey(session.card, key.ownFid, stream);
}

}  // namespace

// The routine behind both entry points; `role` is the PIN role (ROLE_USER or
// ROLE_ADMIN) whose PIN guards the new key. Success leaves the key file of
// the key loaded; a failure after its creation may leave it partly loaded
// (a transmission failed) or removed (the card refused the key).
DWORD CardCreateContainerCommon(PCARD_DATA pCardData, BYTE bContainerIndex, DWORD dwFlags, DWORD dwKeySpec, DWORD,
                                PBYTE pbKeyData, BYTE role) {
  return common::runEntryPoint(
      "Function CardCreateContainerCommon called", "\tFunction CardCreateContainerCommon is done", pCardData,
      [&](const common::Session& session) -> DWORD {
        std::uint8_t pinRef = 0;
        std::uint8_t accessRef = 0;
        if (const Result rc = checkRequest(session.config, dwKeySpec, role, dwFlags, pinRef, accessRef)) return rc;
        card::OuterTransaction tx{session.card};
        if (const Result rc = tx.begin()) return rc;
        return tx.finish(importKey(session, bContainerIndex, dwKeySpec, pbKeyData, pinRef, accessRef));
      });
}

}  // namespace vemra::keys

extern "C" {

// Imports the RSA key pair `pbKeyData` as key `dwKeySpec` (AT_KEYEXCHANGE or
// AT_SIGNATURE) of container `bContainerIndex`, guarded by the user PIN.
// `dwFlags` must be CARD_CREATE_CONTAINER_KEY_IMPORT; `dwKeySize` is not
// read, the size comes from the blob. `pbKeyData` is a PRIVATEKEYBLOB of a
// 1024- or 2048-bit key; it comes without a length, so exactly the blob that
// its bitlen describes is read (header, modulus, primes, CRT values and
// private exponent: 596 or 1172 bytes) and nothing beyond. A key file the
// key already has is replaced. The user PIN must be verified.
//
// Returns 0, or: SCARD_E_UNSUPPORTED_FEATURE for an elliptic-curve key
// type or a request to generate the key; SCARD_E_INVALID_PARAMETER
// for any other key type, other flags, a NULL blob, a key size
// other than 1024 or 2048 bits, or a key the card refuses (its key file is
// then removed); SCARD_W_SECURITY_VIOLATION when the user PIN is not
// verified or the card refuses to delete or create the key file;
// SCARD_F_INTERNAL_ERROR for any other unexpected answer; a PC/SC failure
// unchanged; and the prologue's errors.
DWORD WINAPI CardCreateContainer(PCARD_DATA pCardData, BYTE bContainerIndex, DWORD dwFlags, DWORD dwKeySpec,
                                 DWORD dwKeySize, PBYTE pbKeyData) {
  vemra::trace::function("Function CardCreateContainer called");
  const DWORD rc = vemra::keys::CardCreateContainerCommon(pCardData, bContainerIndex, dwFlags, dwKeySpec, dwKeySize,
                                                          pbKeyData, ROLE_USER);
  if (rc == 0) vemra::trace::function("\tFunction CardCreateContainer is done");
  return rc;
}

// CardCreateContainer with the key guarded by the PIN of `PinId`: ROLE_USER
// or ROLE_ADMIN in its low-order byte (the higher bytes are not read). Any
// other role gives SCARD_E_INVALID_PARAMETER; otherwise the results of
// CardCreateContainer.
DWORD WINAPI CardCreateContainerEx(PCARD_DATA pCardData, BYTE bContainerIndex, DWORD dwFlags, DWORD dwKeySpec,
                                   DWORD dwKeySize, PBYTE pbKeyData, PIN_ID PinId) {
  vemra::trace::function("Function CardCreateContainerEx called");
  const DWORD rc = vemra::keys::CardCreateContainerCommon(pCardData, bContainerIndex, dwFlags, dwKeySpec, dwKeySize,
                                                          pbKeyData, static_cast<BYTE>(PinId));
  if (rc == 0) vemra::trace::function("Function CardCreateContainerEx done");
  return rc;
}

}  // extern "C"
