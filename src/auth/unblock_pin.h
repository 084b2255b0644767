// The unblock shared by CardUnblockPin and CardChangeAuthenticatorEx.
#pragma once

#include "vemradrv/minidriver.h"

namespace vemra::auth {

// CardUnblockPinCommon: the administrator, by the response to the challenge
// of the immediately preceding call, resets the user PIN's retry counter and
// sets a new user PIN, then is logged out again, all in one transaction.
// Arguments and results as CardUnblockPin, with the optional
// pcAttemptsRemaining receiving the tries left after a wrong response (0 when
// the card gave none). A failure after the authentication leaves the
// administrator authenticated and the steps already done in effect.
[[nodiscard]] DWORD CardUnblockPinCommon(PCARD_DATA pCardData, LPWSTR pwszUserId, PBYTE pbAuthenticationData,
                                         DWORD cbAuthenticationData, PBYTE pbNewPinData, DWORD cbNewPinData,
                                         DWORD cRetryCount, DWORD dwFlags, PDWORD pcAttemptsRemaining);

}  // namespace vemra::auth
