// CardRSADecrypt: the card applies a container's private key to a whole
// cipher block, which it receives in chained pieces; the raw result replaces
// the block in the caller's buffer, and for a version-2 request the provider
// strips the padding through its unpad callback.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "card/bytes.h"
#include "card/commands.h"
#include "card/secret_bytes.h"
#include "common/entry.h"
#include "keys/key_preparation.h"

namespace vemra::keys {
namespace {

// Pieces of the cipher block sent per command.
constexpr std::size_t kMaxPiece = 200;
constexpr std::size_t kMaxBlock = 256;

// Sends `block` in chained pieces, the last one without the chaining class,
// and keeps the last answer in `plain`, its length in `length`.
Result decryptBlock(card::Handle card, std::span<const std::uint8_t> block, std::span<std::uint8_t> plain,
                    std::uint16_t& length) {
  for (std::size_t sent = 0; sent < block.size();) {
    const std::size_t size = std::min(kMaxPiece, block.size() - sent);
    const bool last = sent + size == block.size();
    std::uint16_t sw = 0;
    length = 0;
    if (const Result rc =
            card::transmit(card, card::command::decryptPiece(last, block.subspan(sent, size)), plain, length, sw))
      return rc;
    if (sw != card::sw::kSuccess) return SCARD_F_INTERNAL_ERROR;
    sent += size;
  }
  return 0;
}

// Lets the provider strip the padding of the raw block now in `info.pbData`,
// and puts the unpadded bytes at its start; the bytes behind them are zeroed,
// so that nothing of the raw block outlives the call. An unpadded result
// longer than the block it came from is refused and nothing of it copied. The
// callback's buffer holds the message: it is wiped before it goes back to
// the provider, whatever happens to its content. `block` is the caller's
// buffer as it stood before the callback, which may change the record.
Result unpad(PCARD_DATA pCardData, CARD_RSA_DECRYPT_INFO& info, std::span<std::uint8_t> block) {
  if (pCardData->pfnCspUnpadData == nullptr) return SCARD_F_INTERNAL_ERROR;
  DWORD unpaddedLength = 0;
  PBYTE unpadded = nullptr;
  if (const DWORD rc = pCardData->pfnCspUnpadData(&info, &unpaddedLength, &unpadded)) return rc;
  Result rc = 0;
  if (unpaddedLength > block.size() || (unpadded == nullptr && unpaddedLength != 0)) {
    rc = SCARD_F_INTERNAL_ERROR;
  } else {
    std::copy_n(unpadded, unpaddedLength, block.begin());
    card::wipe(block.subspan(unpaddedLength));
    info.cbData = unpaddedLength;
  }
  if (unpadded != nullptr) {
    card::wipe({unpadded, unpaddedLength});
    pCardData->pfnCspFree(unpadded);
  }
  return rc;
}

// The unpad callback is a field of the version-7 part of CARD_DATA: a
// provider of an older version allocates the record without it, so a
// version-2 request, which needs the callback, cannot be served there.
// Likewise a version-7 context must pass a version-2 record.
bool recordFitsContext(const CARD_RSA_DECRYPT_INFO& info, DWORD contextVersion) {
  if (info.dwVersion > 2) return false;
  return contextVersion >= 7 ? info.dwVersion == 2 : info.dwVersion < 2;
}

Result rsaDecrypt(const common::Session& session, CARD_RSA_DECRYPT_INFO& info) {
  if (!recordFitsContext(info, session.cardData->dwVersion)) return ERROR_REVISION_MISMATCH;
  if (info.pbData == nullptr) return SCARD_E_INVALID_PARAMETER;
  if (!isRsaKeySpec(info.dwKeySpec)) return SCARD_E_INVALID_PARAMETER;

  const KeyLocation key = locateKey(session.config, info.bContainerIndex, info.dwKeySpec);
  if (const Result rc = requireUserPin(session.config, session.card)) return rc;
  std::uint16_t keyBytes = 0;
  if (const Result rc = keySize(session.card, key, keyBytes)) return rc;
  if (info.cbData != keyBytes) return SCARD_E_INSUFFICIENT_BUFFER;
  if (const Result rc = selectKeyForOperation(session.card, key.reference)) return rc;

  // The decrypted block is a secret (a session key, as a rule): it is wiped
  // from our stack once it is in the caller's buffer.
  card::SecretBytes<kMaxBlock> plain;
  std::uint16_t length = 0;
  if (const Result rc = decryptBlock(session.card, {info.pbData, info.cbData}, plain.bytes(), length)) return rc;
  if (length != info.cbData) return SCARD_F_INTERNAL_ERROR;
  std::copy_n(plain.view().begin(), length, info.pbData);
  trace::value("pInfo->cbData : %d \n", static_cast<long>(info.cbData));

  if (info.dwVersion != 2) return 0;
  // A failed unpadding leaves no plaintext behind in the caller's buffer.
  const std::span<std::uint8_t> block{info.pbData, info.cbData};
  const Result rc = unpad(session.cardData, info, block);
  if (rc != 0) card::wipe(block);
  return rc;
}

}  // namespace
}  // namespace vemra::keys

extern "C" {

// Decrypts the cipher block `pInfo->pbData` of `cbData` bytes (exactly the
// modulus length) with key `dwKeySpec` (AT_KEYEXCHANGE or AT_SIGNATURE) of
// container `bContainerIndex`, in place: the card's raw result, most
// significant byte first as the block itself, replaces the block. For a
// version-2 record the provider's pfnCspUnpadData then strips the padding:
// the unpadded bytes go to the start of `pbData`, `cbData` becomes their
// count, and the rest of the buffer is zeroed. A context of version 7 must
// pass a version-2 record, and a context of an older version, which has no
// unpad callback, a record of version 0 or 1. The user PIN must be verified.
//
// Returns 0, or: SCARD_E_INVALID_PARAMETER for a NULL record or data, a key
// type other than the two, or a container that lacks the key;
// ERROR_REVISION_MISMATCH, before anything is sent, for a record above
// version 2, below it in a version-7 context, or of version 2 in an older
// context; SCARD_W_SECURITY_VIOLATION when the user PIN is not
// verified; SCARD_E_NO_KEY_CONTAINER when the container holds no key;
// SCARD_E_INSUFFICIENT_BUFFER when `cbData` is not the modulus length;
// SCARD_F_INTERNAL_ERROR for an unexpected answer, a result that is not as
// long as the block, a missing unpad callback or an unpadded result longer
// than the block; the unpad callback's own failure; a PC/SC failure
// unchanged; and the prologue's errors. When the unpadding fails, `pbData`
// is zeroed: the raw block holds the message, padding and all.
DWORD WINAPI CardRSADecrypt(PCARD_DATA pCardData, PCARD_RSA_DECRYPT_INFO pInfo) {
  return vemra::common::runEntryPoint(
      "Function CardRSADecrypt called", "\tFunction CardRSADecrypt is done", pCardData,
      [&](const vemra::common::Session& session) -> DWORD {
        if (pInfo == nullptr) return SCARD_E_INVALID_PARAMETER;
        return vemra::keys::rsaDecrypt(session, *pInfo);
      });
}

}  // extern "C"
