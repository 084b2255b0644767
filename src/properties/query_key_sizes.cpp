// CardQueryKeySizes: the RSA key sizes the card accepts.
#include "common/entry.h"
#include "properties/records.h"

namespace vemra::properties {
namespace {

// The elliptic-curve key types, which the card does not offer.
constexpr DWORD kFirstCurveKeySpec = AT_ECDSA_P256;
constexpr DWORD kLastCurveKeySpec = AT_ECDHE_P521;

DWORD queryKeySizes(DWORD keySpec, DWORD flags, PCARD_KEY_SIZES sizes) {
  if (flags != 0) return SCARD_E_INVALID_PARAMETER;
  if (keySpec >= kFirstCurveKeySpec && keySpec <= kLastCurveKeySpec) return SCARD_E_UNSUPPORTED_FEATURE;
  if ((keySpec != AT_KEYEXCHANGE && keySpec != AT_SIGNATURE) || sizes == nullptr) return SCARD_E_INVALID_PARAMETER;
  if (sizes->dwVersion > kRecordVersion) return ERROR_REVISION_MISMATCH;
  sizes->dwMinimumBitlen = kKeySizeMinimum;
  sizes->dwDefaultBitlen = kKeySizeDefault;
  sizes->dwMaximumBitlen = kKeySizeMaximum;
  sizes->dwIncrementalBitlen = kKeySizeIncrement;
  return 0;
}

}  // namespace
}  // namespace vemra::properties

extern "C" {

// Fills `pKeySizes` (dwVersion 0 or 1, left as it is) with the RSA key sizes
// for `dwKeySpec` AT_KEYEXCHANGE or AT_SIGNATURE: 1024 to 2048 bits in steps
// of 1024, 2048 by default. `dwFlags` must be 0.
//
// Returns 0, or: SCARD_E_INVALID_PARAMETER for non-zero flags, another key
// type or a NULL record; SCARD_E_UNSUPPORTED_FEATURE for the
// elliptic-curve key types (3 to 8); ERROR_REVISION_MISMATCH for
// dwVersion above 1; and the prologue's errors.
DWORD WINAPI CardQueryKeySizes(PCARD_DATA pCardData, DWORD dwKeySpec, DWORD dwFlags, PCARD_KEY_SIZES pKeySizes) {
  return vemra::common::runEntryPoint("Function CardQueryKeySizes called", "\tFunction CardQueryKeySizes is done",
                                      pCardData, [&](const vemra::common::Session&) -> DWORD {
                                        return vemra::properties::queryKeySizes(dwKeySpec, dwFlags, pKeySizes);
                                      });
}

}  // extern "C"
