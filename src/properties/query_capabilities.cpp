// CardQueryCapabilities: what the card can do beyond storing files and keys.
#include "common/entry.h"
#include "properties/records.h"

extern "C" {

// Fills `pCardCapabilities` (dwVersion 0 or 1, left as it is): no
// certificate compression, no on-card key generation (keys reach the card by
// import only).
//
// Returns 0, or: SCARD_E_INVALID_PARAMETER for a NULL record;
// ERROR_REVISION_MISMATCH for dwVersion above 1; and the prologue's errors.
DWORD WINAPI CardQueryCapabilities(PCARD_DATA pCardData, PCARD_CAPABILITIES pCardCapabilities) {
  return vemra::common::runEntryPoint(
      "Function CardQueryCapabilities called", "\tFunction CardQueryCapabilities is done", pCardData,
      [&](const vemra::common::Session&) -> DWORD {
        if (pCardCapabilities == nullptr) return SCARD_E_INVALID_PARAMETER;
        if (pCardCapabilities->dwVersion > vemra::properties::kRecordVersion) return ERROR_REVISION_MISMATCH;
        // The "Capabilities" card property answers certificate compression
        // TRUE; this record has always said FALSE, and providers may read
        // either, so each keeps its own answer.
        pCardCapabilities->fCertificateCompression = FALSE;
        pCardCapabilities->fKeyGen = FALSE;
        return 0;
      });
}

}  // extern "C"
