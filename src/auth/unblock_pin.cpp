// CardUnblockPin: the administrator unblocks the user
// PIN and sets a new one.
#include "auth/unblock_pin.h"

#include "card/commands.h"
#include "common/trace.h"

namespace vemra::auth {
namespace {

// The result of the unblock's EXTERNAL AUTHENTICATE: 0 for 0x9000; 0x6983
// traces "\tKEY BLOCKED\n" (SCARD_W_CHV_BLOCKED); every other status counts as
// a wrong response: x of 0x63Cx, or 0, is stored through
// `pcAttemptsRemaining` when it is not NULL, "\tWRONG KEY\n" is traced and the
// result is SCARD_W_WRONG_CHV.
[[nodiscard]] Result unblockAuthenticationResult(std::uint16_t sw, PDWORD pcAttemptsRemaining) {
  if (sw == card::sw::kSuccess) return 0;
  if (sw == card::sw::kAuthenticationBlocked) {
    trace::step("\tKEY BLOCKED\n");
    return SCARD_W_CHV_BLOCKED;
  }
  if (pcAttemptsRemaining != nullptr) *pcAttemptsRemaining = card::isRetryCounter(sw) ? card::triesLeft(sw) : 0;
  trace::step("\tWRONG KEY\n");
  return SCARD_W_WRONG_CHV;
}

}  // namespace

// In one transaction: EXTERNAL AUTHENTICATE, RESET RETRY COUNTER 00 2C 03 U,
// CHANGE REFERENCE DATA 00 24 01 U 08 with the new PIN block, deauthenticate
// 80 40 A. Stops at the first failure; what was done before it stays done.
Result CardUnblockPinCommon(const common::Session& session, const BYTE* response, const BYTE* newPin, DWORD cbNewPin,
                      PDWORD pcAttemptsRemaining) {
  Block responseBlock;
  fillResponseBlock(responseBlock, response, session.challengeIssued);
  Block newPinBlock;
  if (newPin == nullptr || !isPinLength(cbNewPin) || !fillPinBlock(newPinBlock, newPin, cbNewPin))
    return SCARD_E_INVALID_PARAMETER;

  const card::CardConfig& config = session.config;
  return card::inTransaction(session.card, [&] {
    std::uint16_t sw = 0;
    if (const Result rc = presentResponse(session.card, config.adminPinRef, responseBlock, sw)) return rc;
    if (const Result rc = unblockAuthenticationResult(sw, pcAttemptsRemaining)) return rc;
    for (const card::Apdu& apdu : {card::command::resetRetryCounter(config.userPinRef),
                                   card::command::changeReferenceData(config.userPinRef, newPinBlock.view()),
                                   card::command::deauthenticate(config.adminPinRef)}) {
      if (const Result rc = card::sendExpectingSuccess(session.card, apdu)) return rc;
    }
    return Result{0};
  });
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
  using namespace vemra;
  trace::function("Function CardUnblockPin called");
  return auth::runAsUnblock(pCardData, [&](const common::Session& session) -> card::Result {
    if (auth::roleOfUserId(pwszUserId) != ROLE_USER) return SCARD_E_INVALID_PARAMETER;
    if (pbAuthenticationData == nullptr || cbAuthenticationData != auth::kBlockSize || cRetryCount != 0 ||
        dwFlags != CARD_AUTHENTICATE_PIN_CHALLENGE_RESPONSE)
      return SCARD_E_INVALID_PARAMETER;
    return auth::CardUnblockPinCommon(session, pbAuthenticationData, pbNewPinData, cbNewPinData, nullptr);
  });
}
