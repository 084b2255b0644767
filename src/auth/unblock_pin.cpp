// CardUnblockPin and CardUnblockPinCommon: the administrator unblocks the user
// PIN and sets a new one.
#include "auth/unblock_pin.h"

#include "auth/credentials.h"
#include "card/exchange.h"
#include "card/status.h"
#include "common/context.h"
#include "common/prologue.h"
#include "common/trace.h"

namespace vemra::auth {
namespace {

// The result of the unblock's EXTERNAL AUTHENTICATE: 0 for 0x9000; 0x6983
// traces "\tKEY BLOCKED\n" (SCARD_W_CHV_BLOCKED); every other status counts as
// a wrong response: x of 0x63Cx, or 0, is stored through
// `pcAttemptsRemaining` when it is not NULL, "\tWRONG KEY\n" is traced and the
// result is SCARD_W_WRONG_CHV.
DWORD unblockAuthenticationResult(std::uint16_t sw, PDWORD pcAttemptsRemaining) {
  if (sw == card::kSwSuccess) return 0;
  if (sw == 0x6983) {
    trace::step("\tKEY BLOCKED\n");
    return SCARD_W_CHV_BLOCKED;
  }
  if (pcAttemptsRemaining != nullptr) *pcAttemptsRemaining = card::isRetryCounter(sw) ? card::triesLeft(sw) : 0;
  trace::step("\tWRONG KEY\n");
  return SCARD_W_WRONG_CHV;
}

// The unblock's commands, inside the caller's transaction: EXTERNAL
// AUTHENTICATE, RESET RETRY COUNTER 00 2C 03 U, CHANGE REFERENCE DATA
// 00 24 01 U 08 with the new PIN block, deauthenticate 80 40 A. Stops at the
// first failure; what was done before it stays done on the card.
DWORD unblockSequence(card::Handle handle, const card::CardConfig& config, const Block& response, const Block& newPin,
                      PDWORD pcAttemptsRemaining) {
  std::uint16_t sw = 0;
  if (const DWORD rc = presentResponse(handle, config.adminPinRef, response, sw)) return rc;
  if (const DWORD rc = unblockAuthenticationResult(sw, pcAttemptsRemaining)) return rc;
  if (const DWORD rc = sendExpectingSuccess(handle, card::Apdu{0x00, 0x2C, 0x03, config.userPinRef})) return rc;
  if (const DWORD rc = sendExpectingSuccess(handle, card::Apdu{0x00, 0x24, 0x01, config.userPinRef, newPin.view()}))
    return rc;
  return sendExpectingSuccess(handle, card::Apdu{0x80, 0x40, config.adminPinRef, 0x00});
}

}  // namespace

DWORD CardUnblockPinCommon(PCARD_DATA pCardData, LPWSTR pwszUserId, PBYTE pbAuthenticationData,
                           DWORD cbAuthenticationData, PBYTE pbNewPinData, DWORD cbNewPinData, DWORD cRetryCount,
                           DWORD dwFlags, PDWORD pcAttemptsRemaining) {
  trace::function("Function CardUnblockPin called");
  const std::uint8_t challengeIssued = common::challengeIssuedBeforePrologue(pCardData);
  if (const DWORD rc = common::prologue(pCardData)) return rc;
  if (roleOfUserId(pwszUserId) != ROLE_USER) return SCARD_E_INVALID_PARAMETER;
  if (pbNewPinData == nullptr || !isPinLength(cbNewPinData)) return SCARD_E_INVALID_PARAMETER;
  if (pbAuthenticationData == nullptr) return SCARD_E_INVALID_PARAMETER;
  if (dwFlags != CARD_AUTHENTICATE_PIN_CHALLENGE_RESPONSE) return SCARD_E_INVALID_PARAMETER;
  if (cbAuthenticationData != kBlockSize) return SCARD_E_INVALID_PARAMETER;
  if (cRetryCount != 0) return SCARD_E_INVALID_PARAMETER;

  Block response;
  fillResponseBlock(response, pbAuthenticationData, challengeIssued);
  Block newPin;
  if (!fillPinBlock(newPin, pbNewPinData, cbNewPinData)) return SCARD_E_INVALID_PARAMETER;

  const card::Handle handle = common::cardHandle(pCardData);
  card::OuterTransaction transaction{handle};
  if (const DWORD rc = transaction.begin()) return rc;
  const DWORD rc = unblockSequence(handle, common::config(pCardData), response, newPin, pcAttemptsRemaining);
  if (const DWORD ended = transaction.finish(rc)) return ended;
  trace::function("\tFunction CardUnblockPinCommon is done");
  return 0;
}

}  // namespace vemra::auth

/*
 * CardUnblockPin: the administrator unblocks the user PIN and sets a new one.
 *   pCardData             the bound record.
 *   pwszUserId            must be "user".
 *   pbAuthenticationData  the administrator's 8-byte response to the challenge
 *                         of the immediately preceding CardGetChallenge.
 *   cbAuthenticationData  must be 8.
 *   pbNewPinData/cbNewPinData  the new user PIN, 4 to 8 bytes.
 *   cRetryCount           must be 0.
 *   dwFlags               must be CARD_AUTHENTICATE_PIN_CHALLENGE_RESPONSE.
 * Sends, in one transaction, EXTERNAL AUTHENTICATE, RESET RETRY COUNTER,
 * CHANGE REFERENCE DATA with the new PIN, and logs the administrator out.
 * Returns 0 or SCARD_E_INVALID_PARAMETER, SCARD_E_UNKNOWN_CARD,
 * SCARD_W_CHV_BLOCKED (administrator key blocked), SCARD_W_WRONG_CHV (any
 * other refusal of the response), SCARD_F_INTERNAL_ERROR (a later step
 * refused), or a PC/SC failure.
 */
extern "C" DWORD WINAPI CardUnblockPin(PCARD_DATA pCardData, LPWSTR pwszUserId, PBYTE pbAuthenticationData,
                                       DWORD cbAuthenticationData, PBYTE pbNewPinData, DWORD cbNewPinData,
                                       DWORD cRetryCount, DWORD dwFlags) {
  vemra::trace::function("Function CardUnblockPin called");
  return vemra::auth::CardUnblockPinCommon(pCardData, pwszUserId, pbAuthenticationData, cbAuthenticationData,
                                           pbNewPinData, cbNewPinData, cRetryCount, dwFlags, nullptr);
}
