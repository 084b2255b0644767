// What an entry point needs from the provider's CARD_DATA: the card handle and
// the card configuration record the driver keeps in pvVendorSpecific.
#pragma once

#include "card/config.h"
#include "card/exchange.h"
#include "vemradrv/minidriver.h"

namespace vemra::common {

// The card configuration of a bound context. Only valid after the prologue
// (or CardAcquireContext) has checked the record.
inline card::CardConfig& config(PCARD_DATA pCardData) {
  return *static_cast<card::CardConfig*>(pCardData->pvVendorSpecific);
}

inline card::Handle cardHandle(PCARD_DATA pCardData) { return static_cast<card::Handle>(pCardData->hScard); }

// The challenge-issued flag as it stands before a prologue clears it; 0 for a
// NULL record or one without configuration.
inline std::uint8_t challengeIssuedBeforePrologue(PCARD_DATA pCardData) {
  if (pCardData == nullptr || pCardData->pvVendorSpecific == nullptr) return 0;
  return config(pCardData).challengeIssued;
}

}  // namespace vemra::common
