#include "common/prologue.h"

#include "common/context.h"
#include "common/trace.h"

namespace vemra::common {

DWORD prologue(PCARD_DATA pCardData) {
  // A record without configuration (never bound, or its acquisition failed
  // and released it) is refused like a missing one rather than dereferenced.
  if (pCardData == nullptr || pCardData->hScard == 0 || pCardData->pvVendorSpecific == nullptr)
    return SCARD_E_INVALID_PARAMETER;
  trace::step("\tpCardData is checked");
  if (const DWORD rc = card::reselectApplication(cardHandle(pCardData))) return rc;
  config(pCardData).challengeIssued = 0;
  trace::step("\tconfig is checked");
  return 0;
}

}  // namespace vemra::common
