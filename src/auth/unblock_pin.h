// The unblock shared by CardUnblockPin and CardChangeAuthenticatorEx.
#pragma once

#include "auth/credentials.h"
#include "common/entry.h"
#include "vemradrv/minidriver.h"

namespace vemra::auth {

// Runs `operation` as CardUnblockPin's common part: traces "Function
// CardUnblockPin called", runs the prologue, and traces "\tFunction
// CardUnblockPinCommon is done" when the operation succeeds.
template <typename Operation>
[[nodiscard]] DWORD runAsUnblock(PCARD_DATA pCardData, Operation&& operation) {
  return common::runEntryPoint("Function CardUnblockPin called", "\tFunction CardUnblockPinCommon is done", pCardData,
                               static_cast<Operation&&>(operation));
}

// The administrator, by the 8-byte `response` to the challenge of the
// immediately preceding call, resets the user PIN's retry counter and sets
// the new user PIN `newPin` (4 to 8 bytes, else SCARD_E_INVALID_PARAMETER),
// then is logged out again, all in one transaction. The optional
// pcAttemptsRemaining receives the tries left after a wrong response (0 when
// the card gave none). A failure after the authentication leaves the
// administrator authenticated and the steps already done in effect. Results
// as CardUnblockPin.
[[nodiscard]] Result CardUnblockPinCommon(const common::Session& session, const BYTE* response, const BYTE* newPin,
                                    DWORD cbNewPin, PDWORD pcAttemptsRemaining);

}  // namespace vemra::auth
