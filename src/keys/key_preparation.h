// What key import, signing and decryption share: where a container's key
// lives on the card, the check that the user PIN is verified, and the steps
// that ready the card's security environment for a private-key operation.
//
// Every command here is a bracketed exchange of its own; a PC/SC failure is
// passed up unchanged.
#pragma once

#include <cstdint>

#include "card/config.h"
#include "card/exchange.h"
#include "vemradrv/minidriver.h"

namespace vemra::keys {

using card::Result;

// The key `dwKeySpec` (AT_KEYEXCHANGE or AT_SIGNATURE) of container
// `bContainerIndex`: its own key file, the container's other key file, and
// the card key reference under which the card computes with it. FIDs are
// 16-bit sums and references 8-bit sums, both wrapping.
struct KeyLocation {
  std::uint16_t ownFid;
  std::uint16_t otherFid;
  std::uint8_t reference;
};
[[nodiscard]] KeyLocation locateKey(const card::CardConfig& config, BYTE bContainerIndex, DWORD dwKeySpec);

// True for the two RSA key types the card keeps.
[[nodiscard]] constexpr bool isRsaKeySpec(DWORD dwKeySpec) {
  return dwKeySpec == AT_KEYEXCHANGE || dwKeySpec == AT_SIGNATURE;
}

// The VERIFY probe of the user PIN reference: 0 when the user PIN is
// verified, SCARD_W_SECURITY_VIOLATION for any other status.
[[nodiscard]] Result requireUserPin(const card::CardConfig& config, card::Handle card);

// The modulus length in bytes (128 or 256) of the key at `key`, read from its
// key file's control parameters. Errors: SCARD_E_NO_KEY_CONTAINER when
// neither key file of the container exists, SCARD_E_INVALID_PARAMETER when
// only the other one does (the container lacks this key), and the lookup's
// SCARD_F_INTERNAL_ERROR for an unreadable or unknown key-type code.
[[nodiscard]] Result keySize(card::Handle card, const KeyLocation& key, std::uint16_t& bytes);

// MSE RESTORE of security environment 0, then MSE SET of `reference` for the
// next operation. Any status but 0x9000 gives SCARD_F_INTERNAL_ERROR.
[[nodiscard]] Result selectKeyForOperation(card::Handle card, std::uint8_t reference);

}  // namespace vemra::keys
