// CardAcquireContext and CardDeleteContext: binding the driver to one card
// described by the provider's CARD_DATA, and releasing it again.
#include <new>
#include <span>

#include "card/config.h"
#include "driver/atr.h"
#include "common/context.h"
#include "driver/dispatch.h"
#include "common/trace.h"

namespace {

constexpr DWORD kHighestVersion = 7;

// The provider-side checks, in their order; the first that fails decides.
DWORD checkCardData(PCARD_DATA pCardData, DWORD dwFlags) {
  using vemra::trace::step;
  if (pCardData == nullptr) return SCARD_E_INVALID_PARAMETER;
  step("\tpCardData is checked");
  if (pCardData->dwVersion < CARD_DATA_VERSION_FOUR) return ERROR_REVISION_MISMATCH;
  step("\tdwVersion is checked");
  if (pCardData->dwVersion >= CARD_DATA_VERSION_SEVEN && dwFlags == CARD_SECURE_KEY_INJECTION_NO_CARD_MODE)
    return SCARD_E_UNSUPPORTED_FEATURE;
  if (dwFlags != 0) return SCARD_E_INVALID_PARAMETER;
  step("\tdwFlags is checked");
  if (pCardData->pbAtr == nullptr || pCardData->cbAtr == 0) return SCARD_E_INVALID_PARAMETER;
  if (!vemra::driver::isSupportedAtr(std::span<const BYTE>(pCardData->pbAtr, pCardData->cbAtr)))
    return SCARD_E_UNKNOWN_CARD;
  step("\tATR is checked");
  if (pCardData->pwszCardName == nullptr) return SCARD_E_INVALID_PARAMETER;
  step("\tpwszCardName is checked");
  if (pCardData->pfnCspAlloc == nullptr || pCardData->pfnCspFree == nullptr || pCardData->pfnCspReAlloc == nullptr)
    return SCARD_E_INVALID_PARAMETER;
  step("\tpfnCspAlloc's are checked");
  if (pCardData->hScard == 0) return SCARD_E_INVALID_HANDLE;
  if (pCardData->dwVersion >= CARD_DATA_VERSION_SIX && pCardData->hSCardCtx == 0) return SCARD_E_INVALID_HANDLE;
  step("\tScard is checked");
  return 0;
}

// Gives the configuration record back to the provider and forgets it, so
// that a later CardDeleteContext frees nothing twice.
void releaseConfig(PCARD_DATA pCardData) {
  pCardData->pfnCspFree(pCardData->pvVendorSpecific);
  pCardData->pvVendorSpecific = nullptr;
}

}  // namespace

/*
 * CardAcquireContext: binds the driver to the card of pCardData.
 *   pCardData  the provider's record: version, ATR, card name, allocator
 *              callbacks and the PC/SC handles; the driver writes dwVersion
 *              (capped at 7), the entry-point slots of that version and
 *              pvVendorSpecific (the card configuration).
 *   dwFlags    must be 0.
 * Returns 0 or SCARD_E_INVALID_PARAMETER, ERROR_REVISION_MISMATCH,
 * SCARD_E_UNSUPPORTED_FEATURE (no-card mode), SCARD_E_UNKNOWN_CARD (ATR,
 * application or configuration not recognised), SCARD_E_INVALID_HANDLE,
 * SCARD_E_NO_MEMORY, or a PC/SC failure. When the configuration cannot be
 * read, the record allocated for it is released and pvVendorSpecific is NULL.
 */
extern "C" DWORD WINAPI CardAcquireContext(PCARD_DATA pCardData, DWORD dwFlags) {
  vemra::trace::function("Function CardAcquireContext called");
  if (const DWORD rc = checkCardData(pCardData, dwFlags)) return rc;

  const DWORD requested = pCardData->dwVersion;
  pCardData->dwVersion = requested < kHighestVersion ? requested : kHighestVersion;
  vemra::driver::fillDispatchTable(*pCardData, requested);

  void* memory = pCardData->pfnCspAlloc(sizeof(vemra::card::CardConfig));
  pCardData->pvVendorSpecific = memory;
  if (memory == nullptr) return SCARD_E_NO_MEMORY;
  auto* config = new (memory) vemra::card::CardConfig{};

  vemra::trace::step("\tconfig reading...\n");
  if (const DWORD rc = vemra::card::readConfiguration(*config, vemra::common::cardHandle(pCardData))) {
    releaseConfig(pCardData);
    return rc;
  }
  vemra::trace::function("\tFunction CardAcquireContext is done");
  return 0;
}

/*
 * CardDeleteContext: releases the card configuration of pCardData through
 * pfnCspFree and clears pvVendorSpecific, so that a second call, or an entry
 * point called on the released record, touches no freed memory. Sends nothing
 * to the card. Returns 0, or SCARD_E_INVALID_PARAMETER for a NULL record.
 */
extern "C" DWORD WINAPI CardDeleteContext(PCARD_DATA pCardData) {
  vemra::trace::function("Function CardDeleteContext called");
  if (pCardData == nullptr) return SCARD_E_INVALID_PARAMETER;
  if (pCardData->pvVendorSpecific != nullptr) releaseConfig(pCardData);
  vemra::trace::function("\tFunction CardDeleteContext is done");
  return 0;
}
