// CardGetContainerInfo: the public halves of a container's two keys, read
// back from their key files and handed to the caller as CryptoAPI
// PUBLICKEYBLOBs in buffers from the provider's allocator.
#include <array>
#include <cstdint>
#include <span>

#include "card/bytes.h"
#include "card/commands.h"
#include "card/status.h"
#include "card/tables.h"
#include "common/caller_buffer.h"
#include "common/entry.h"
#include "common/trace.h"

namespace vemra::keys {
namespace {

using card::Result;

// The exponent field as the card answers it: four zero bytes, then the
// public exponent, most significant byte first.
constexpr std::size_t kExponentFieldSize = 8;
constexpr std::size_t kModulus1024 = 128;
constexpr std::size_t kModulus2048 = 256;
// BLOBHEADER and RSAPUBKEY in front of the modulus.
constexpr std::size_t kBlobHeaderSize = 16;
constexpr std::size_t kPublicExponentSize = 4;
constexpr std::size_t kBlobPrefixSize = kBlobHeaderSize + kPublicExponentSize;

// One key's public half as the card holds it.
struct PublicKey {
  std::array<std::uint8_t, kExponentFieldSize> exponentField{};
  std::array<std::uint8_t, kModulus2048> modulusBuffer{};
  std::size_t modulusSize = 0;
  [[nodiscard]] std::span<const std::uint8_t> modulus() const { return {modulusBuffer.data(), modulusSize}; }
};

// Sends the public-key read for `part` into `out`. Gives the number of
// data bytes the card sent in `length`, which may exceed out.size() (the
// excess is not stored). Errors: the exchange's failure, and
// SCARD_F_INTERNAL_ERROR for a status other than 0x9000.
Result readPart(card::Handle card, card::command::PublicKeyPart part, std::span<std::uint8_t> out,
                std::uint16_t& length) {
  length = 0;  // Le 00: whatever the card holds
  std::uint16_t sw = 0;
  if (const Result rc = card::transmit(card, card::command::readPublicKey(part), out, length, sw)) return rc;
  return card::mapStatus(sw, {}, SCARD_F_INTERNAL_ERROR);
}

// Reads the exponent field and the modulus of the current key file into
// `key`. Only an exponent field of exactly 8 bytes and a modulus of exactly
// 128 or 256 bytes are taken: any other length would make a blob whose
// header does not describe its modulus. Errors: the exchange's failure, and
// SCARD_F_INTERNAL_ERROR for a refused read or an answer of another length.
Result readPublicKey(card::Handle card, PublicKey& key) {
  std::uint16_t exponentLength = 0;
  if (const Result rc = readPart(card, card::command::PublicKeyPart::Exponent, key.exponentField, exponentLength))
    return rc;
  std::uint16_t modulusLength = 0;
  if (const Result rc = readPart(card, card::command::PublicKeyPart::Modulus, key.modulusBuffer, modulusLength))
    return rc;
  if (exponentLength != kExponentFieldSize) return SCARD_F_INTERNAL_ERROR;
  if (modulusLength != kModulus1024 && modulusLength != kModulus2048) return SCARD_F_INTERNAL_ERROR;
  key.modulusSize = modulusLength;
  return 0;
}

// The 16 bytes in front of the exponent: PUBLICKEYBLOB version 2, the key's
// algorithm, "RSA1" and the bit length (00 04 00 00 or 00 08 00 00).
std::array<std::uint8_t, kBlobHeaderSize> blobHeader(DWORD keySpec, std::size_t modulusSize) {
  const std::uint8_t algorithm = keySpec == AT_KEYEXCHANGE ? 0xA4 : 0x24;  // CALG_RSA_KEYX, CALG_RSA_SIGN
  const std::uint8_t bits = modulusSize == kModulus1024 ? 0x04 : 0x08;     // 1024 or 2048, little-endian
  return {0x06, 0x02, 0x00, 0x00, 0x00, algorithm, 0x00, 0x00, 'R', 'S', 'A', '1', 0x00, bits, 0x00, 0x00};
}

// Writes `key` as a PUBLICKEYBLOB into `blob` (exactly 20 + modulus bytes):
// the header, the exponent's last four bytes reversed, the modulus reversed.
[[nodiscard]] bool writeBlob(std::span<std::uint8_t> blob, DWORD keySpec, const PublicKey& key) {
  card::ByteReader field(key.exponentField);
  std::array<std::uint8_t, kPublicExponentSize> exponent{};
  if (!field.skip(kExponentFieldSize - kPublicExponentSize) || !field.readBytes(exponent)) return false;
  std::array<std::uint8_t, kPublicExponentSize> reversedExponent{};
  if (!card::reverseBytes(reversedExponent, exponent)) return false;

  if (blob.size() != kBlobPrefixSize + key.modulusSize) return false;
  card::ByteWriter writer(blob);
  if (!writer.putBytes(blobHeader(keySpec, key.modulusSize)) || !writer.putBytes(reversedExponent)) return false;
  return card::reverseBytes(blob.subspan(writer.size()), key.modulus());
}

// One pair of CONTAINER_INFO (pointer and length) while the call fills it.
// Until keep(), a failure of the call gives a placed blob back to
// pfnCspFree and leaves the pair NULL and 0, so the caller never holds half
// a result; a pair the call never reached stays as the caller left it.
class BlobSlot {
 public:
  BlobSlot(PCARD_DATA pCardData, PBYTE& pointer, DWORD& length) : buffer_(pCardData, &pointer), length_(length) {}
  BlobSlot(const BlobSlot&) = delete;
  BlobSlot& operator=(const BlobSlot&) = delete;
  ~BlobSlot() {
    if (placed_ && !kept_) length_ = 0;
  }

  // Allocates `size` bytes into the pair. False (pointer NULL) when the
  // provider gives nothing.
  [[nodiscard]] bool allocate(std::size_t size) {
    placed_ = true;
    if (!buffer_.allocate(size)) return false;
    length_ = static_cast<DWORD>(size);
    return true;
  }
  [[nodiscard]] std::span<std::uint8_t> bytes() const { return buffer_.bytes(); }
  void keep() {
    kept_ = true;
    buffer_.release();
  }

 private:
  common::CallerBuffer<BYTE> buffer_;
  DWORD& length_;
  bool placed_ = false;
  bool kept_ = false;
};

// The key `keySpec` of the container: selects its key file and, when the
// file exists, reads its public half into `slot` and sets `present`.
// Errors: those of the selection other than SCARD_E_FILE_NOT_FOUND (which
// only skips the key), of readPublicKey, and SCARD_E_NO_MEMORY.
Result placeKey(card::Handle card, std::uint16_t fid, DWORD keySpec, const char* lengthTrace, BlobSlot& slot,
                bool& present) {
  const Result selected = card::selectFile(card, fid);
  if (selected == SCARD_E_FILE_NOT_FOUND) return 0;
  if (selected != 0) return selected;
  present = true;

  PublicKey key;
  if (const Result rc = readPublicKey(card, key)) return rc;
  const std::size_t size = kBlobPrefixSize + key.modulusSize;
  trace::value(lengthTrace, static_cast<long>(size));
  if (!slot.allocate(size)) return SCARD_E_NO_MEMORY;
  return writeBlob(slot.bytes(), keySpec, key) ? 0 : SCARD_F_INTERNAL_ERROR;
}

Result getContainerInfo(const common::Session& session, BYTE index, DWORD flags, PCONTAINER_INFO info) {
  if (flags != 0) return SCARD_E_INVALID_PARAMETER;
  if (info == nullptr) return SCARD_E_INVALID_PARAMETER;
  if (info->dwVersion > 1) return ERROR_REVISION_MISMATCH;

  BlobSlot exchange(session.cardData, info->pbKeyExPublicKey, info->cbKeyExPublicKey);
  BlobSlot signature(session.cardData, info->pbSigPublicKey, info->cbSigPublicKey);
  bool present = false;
  if (const Result rc = placeKey(session.card, card::fidPlus(session.config.kxKeyFidBase, index), AT_KEYEXCHANGE,
                                 "cbKeyExPublicKey  %d \n", exchange, present))
    return rc;
  if (const Result rc = placeKey(session.card, card::fidPlus(session.config.sigKeyFidBase, index), AT_SIGNATURE,
                                 "cbSigPublicKey  %d \n", signature, present))
    return rc;
  if (!present) return SCARD_E_NO_KEY_CONTAINER;
  exchange.keep();
  signature.keep();
  return 0;
}

}  // namespace
}  // namespace vemra::keys

/*
 * CardGetContainerInfo: the public keys of container `bContainerIndex`.
 *   pCardData        the bound record.
 *   bContainerIndex  the container; its key files are kxKeyFidBase + index
 *                    and sigKeyFidBase + index.
 *   dwFlags          must be 0.
 *   pContainerInfo   dwVersion 0 or 1 (left as it is). For each key the
 *                    container holds, the pair cbKeyExPublicKey /
 *                    pbKeyExPublicKey or cbSigPublicKey / pbSigPublicKey
 *                    receives a PUBLICKEYBLOB of 148 (1024-bit) or 276
 *                    (2048-bit) bytes from pfnCspAlloc, owned by the caller.
 *                    The pair of a key the container lacks is left alone.
 * Returns 0, or: SCARD_E_INVALID_PARAMETER for non-zero flags or a NULL
 * record; ERROR_REVISION_MISMATCH for dwVersion above 1;
 * SCARD_E_NO_KEY_CONTAINER when neither key file exists; SCARD_E_NO_MEMORY;
 * SCARD_F_INTERNAL_ERROR when the card refuses a public-key read or answers
 * it with a length no key has; a PC/SC failure unchanged; and the prologue's
 * errors. On any failure no blob stays with the caller: a pair this call
 * filled is NULL and 0 again.
 */
extern "C" DWORD WINAPI CardGetContainerInfo(PCARD_DATA pCardData, BYTE bContainerIndex, DWORD dwFlags,
                                             PCONTAINER_INFO pContainerInfo) {
  return vemra::common::runEntryPoint(
      "Function CardGetContainerInfo called", "\tFunction CardGetContainerInfo is done", pCardData,
      [&](const vemra::common::Session& session) {
        return vemra::keys::getContainerInfo(session, bContainerIndex, dwFlags, pContainerInfo);
      });
}
