// Locating a container's key and readying the card to compute with it.
#include "keys/key_preparation.h"

#include "card/commands.h"
#include "card/status.h"
#include "card/tables.h"

namespace vemra::keys {

KeyLocation locateKey(const card::CardConfig& config, BYTE bContainerIndex, DWORD dwKeySpec) {
  const std::uint16_t kxFid = card::fidPlus(config.kxKeyFidBase, bContainerIndex);
  const std::uint16_t sigFid = card::fidPlus(config.sigKeyFidBase, bContainerIndex);
  if (dwKeySpec == AT_KEYEXCHANGE)
    return {kxFid, sigFid, static_cast<std::uint8_t>(config.kxKeyRefBase + bContainerIndex)};
  return {sigFid, kxFid, static_cast<std::uint8_t>(config.sigKeyRefBase + bContainerIndex)};
}

Result requireUserPin(const card::CardConfig& config, card::Handle card) {
  std::uint16_t sw = 0;
  if (const Result rc = card::transmit(card, card::command::verifyProbe(config.userPinRef), sw)) return rc;
  return sw == card::sw::kSuccess ? 0 : SCARD_W_SECURITY_VIOLATION;
}

Result keySize(card::Handle card, const KeyLocation& key, std::uint16_t& bytes) {
  std::uint16_t size = 0;
  Result rc = card::keyModulusBytes(card, key.ownFid, size);
  if (rc == SCARD_E_FILE_NOT_FOUND) {
    // Tell an empty container from one that holds only its other key.
    std::uint16_t otherSize = 0;
    rc = card::keyModulusBytes(card, key.otherFid, otherSize);
    if (rc == SCARD_E_FILE_NOT_FOUND) return SCARD_E_NO_KEY_CONTAINER;
    // The other key file is there (readable or not); a failed transmission
    // says nothing about it and is passed up.
    if (rc == 0 || rc == SCARD_F_INTERNAL_ERROR) return SCARD_E_INVALID_PARAMETER;
    return rc;
  }
  if (rc != 0) return rc;
  if (size != 128 && size != 256) return SCARD_F_INTERNAL_ERROR;
  bytes = size;
  return 0;
}

Result selectKeyForOperation(card::Handle card, std::uint8_t reference) {
  std::uint16_t sw = 0;
  if (const Result rc = card::transmit(card, card::command::mseRestore(), sw)) return rc;
  if (sw != card::sw::kSuccess) return SCARD_F_INTERNAL_ERROR;
  if (const Result rc = card::transmit(card, card::command::mseSetKey(reference), sw)) return rc;
  return sw == card::sw::kSuccess ? 0 : SCARD_F_INTERNAL_ERROR;
}

}  // namespace vemra::keys
