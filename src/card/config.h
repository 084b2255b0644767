// The card configuration record and the card application it comes from.
//
// The card application holds three data objects (00 B1, 00 B2, 00 B3) that
// give every FID base, table size and reference the driver uses. They are read
// once per context into CardConfig, the 26-byte record the provider's
// allocator holds for the driver in CARD_DATA's pvVendorSpecific.
#pragma once

#include <cstdint>

#include "card/commands.h"
#include "card/exchange.h"

namespace vemra::card {

struct CardConfig {
  // From 00 B1, eight big-endian 16-bit values.
  std::uint16_t dirTableFid;
  std::uint16_t dirFidBase;
  std::uint16_t fileTableFidBase;
  std::uint16_t fileFidBase;
  std::uint16_t kxKeyFidBase;
  std::uint16_t sigKeyFidBase;
  std::uint16_t reservedWord1;
  std::uint16_t reservedWord2;
  // From 00 B2, three counts.
  std::uint8_t dirTableRecords;
  std::uint8_t maxContainers;
  std::uint8_t fileTableRecords;
  // From 00 B3, six references.
  std::uint8_t kxKeyRefBase;
  std::uint8_t sigKeyRefBase;
  std::uint8_t userPinRef;
  std::uint8_t adminPinRef;
  std::uint8_t userAccess;
  std::uint8_t reservedByte;
  // Not from the card: 1 while a challenge from CardGetChallenge may be answered.
  std::uint8_t challengeIssued;
};
static_assert(sizeof(CardConfig) == 26, "CardConfig is the 26-byte record the provider allocates");

// Selects the card application and reads the three configuration objects into
// `config`, then clears challengeIssued. Returns 0, a PC/SC failure unchanged,
// or SCARD_E_UNKNOWN_CARD when the application or an object does not answer
// 0x9000 with exactly its length. On failure the fields read so far are filled.
[[nodiscard]] Result readConfiguration(CardConfig& config, Handle card);

// Selects the card application again by its DF name. Returns 0, a PC/SC
// failure unchanged, or SCARD_E_UNKNOWN_CARD for any status other than 0x9000.
[[nodiscard]] Result reselectApplication(Handle card);

// The interface's PIN identifier of a reference: ROLE_USER for userPinRef
// (tested first), ROLE_ADMIN for adminPinRef, else ROLE_EVERYONE.
[[nodiscard]] std::uint32_t roleOfPinRef(const CardConfig& config, std::uint8_t reference);

}  // namespace vemra::card
