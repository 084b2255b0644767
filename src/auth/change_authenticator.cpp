// CardChangeAuthenticator and CardChangeAuthenticatorEx: replacing the user
// PIN (authorised by the current PIN or by the administrator) and the
// administrator key.
#include "auth/credentials.h"
#include "auth/unblock_pin.h"
#include "card/exchange.h"
#include "card/status.h"
#include "common/context.h"
#include "common/entry_points.h"
#include "common/prologue.h"
#include "common/trace.h"

namespace vemra::auth {
namespace {

// The administrator key as the caller passes it: the 24-byte form of a
// two-key triple-DES key, whose last eight bytes repeat its first eight. Only
// the first 16 bytes go to the card.
constexpr DWORD kPassedKeySize = 24;
constexpr std::size_t kCardKeySize = 16;
using CardKey = SecretBytes<kCardKeySize>;

// The result of EXTERNAL AUTHENTICATE before a change: 0 for 0x9000; 0x6983
// traces "\tKEY BLOCKED\n" (SCARD_W_CHV_BLOCKED); 0x63Cx traces
// "\tWRONG KEY\n" and reports x (SCARD_W_WRONG_CHV); any other status
// SCARD_F_INTERNAL_ERROR.
DWORD changeAuthenticationResult(std::uint16_t sw, PDWORD pcAttemptsRemaining) {
  if (card::isRetryCounter(sw)) {
    trace::step("\tWRONG KEY\n");
    if (pcAttemptsRemaining != nullptr) *pcAttemptsRemaining = card::triesLeft(sw);
    return SCARD_W_WRONG_CHV;
  }
  if (sw == 0x6983) trace::step("\tKEY BLOCKED\n");
  return card::mapStatus(sw, {{0x6983, SCARD_W_CHV_BLOCKED}}, SCARD_F_INTERNAL_ERROR);
}

// The PIN-set command 80 72 02 R 08 with the new PIN block.
card::Apdu setPinCommand(std::uint8_t reference, const Block& pin) {
  return card::Apdu{0x80, 0x72, 0x02, reference, pin.view()};
}

// Administrator mode: checks the authenticator lengths and cRetryCount, then
// in one transaction EXTERNAL AUTHENTICATE and either CHANGE REFERENCE DATA
// 00 24 01 A 10 with the new key (role ROLE_ADMIN) or the PIN-set command for
// the user PIN. Success leaves the administrator authenticated on the card.
DWORD changeAsAdministrator(PCARD_DATA pCardData, PIN_ID role, const BYTE* current, DWORD cbCurrent, const BYTE* fresh,
                            DWORD cbFresh, DWORD cRetryCount, std::uint8_t challengeIssued,
                            PDWORD pcAttemptsRemaining) {
  if (cbCurrent != kBlockSize) return SCARD_E_INVALID_PARAMETER;
  CardKey key;
  Block pin;
  if (role == ROLE_ADMIN) {
    if (cbFresh != kPassedKeySize) return SCARD_E_INVALID_PARAMETER;
    for (std::size_t i = 0; i < kBlockSize; ++i) {
      if (fresh[i] != fresh[kCardKeySize + i]) return SCARD_E_INVALID_PARAMETER;
    }
    for (std::size_t i = 0; i < kCardKeySize; ++i) key.bytes()[i] = fresh[i];
  } else {
    if (!isPinLength(cbFresh) || !fillPinBlock(pin, fresh, cbFresh)) return SCARD_E_INVALID_PARAMETER;
  }
  if (cRetryCount != 0) return SCARD_E_INVALID_PARAMETER;

  Block response;
  fillResponseBlock(response, current, challengeIssued);
  const card::CardConfig& config = common::config(pCardData);
  const card::Handle handle = common::cardHandle(pCardData);
  card::OuterTransaction transaction{handle};
  if (const DWORD rc = transaction.begin()) return rc;
  std::uint16_t sw = 0;
  DWORD rc = presentResponse(handle, config.adminPinRef, response, sw);
  if (rc == 0) rc = changeAuthenticationResult(sw, pcAttemptsRemaining);
  if (rc == 0) {
    rc = role == ROLE_ADMIN ? sendExpectingSuccess(handle, card::Apdu{0x00, 0x24, 0x01, config.adminPinRef, key.view()})
                            : sendExpectingSuccess(handle, setPinCommand(config.userPinRef, pin));
  }
  return transaction.finish(rc);
}

// PIN mode: checks both PINs and cRetryCount, then in one transaction VERIFY
// with the current PIN and the PIN-set command with the new one, both to
// `reference`. Success leaves the reference verified on the card.
DWORD changeWithPin(PCARD_DATA pCardData, std::uint8_t reference, const BYTE* current, DWORD cbCurrent,
                    const BYTE* fresh, DWORD cbFresh, DWORD cRetryCount, PDWORD pcAttemptsRemaining) {
  Block currentPin;
  Block newPin;
  if (!isPinLength(cbCurrent) || !fillPinBlock(currentPin, current, cbCurrent)) return SCARD_E_INVALID_PARAMETER;
  if (!isPinLength(cbFresh) || !fillPinBlock(newPin, fresh, cbFresh)) return SCARD_E_INVALID_PARAMETER;
  if (cRetryCount != 0) return SCARD_E_INVALID_PARAMETER;

  const card::Handle handle = common::cardHandle(pCardData);
  card::OuterTransaction transaction{handle};
  if (const DWORD rc = transaction.begin()) return rc;
  DWORD rc = verifyPin(handle, reference, currentPin, pcAttemptsRemaining);
  if (rc == 0) rc = sendExpectingSuccess(handle, setPinCommand(reference, newPin));
  return transaction.finish(rc);
}

}  // namespace
}  // namespace vemra::auth

/*
 * CardChangeAuthenticator: replaces a credential.
 *   pCardData               the bound record.
 *   pwszUserId              "user" or "admin": whose credential is replaced.
 *   pbCurrentAuthenticator/cbCurrentAuthenticator
 *                           CARD_AUTHENTICATE_PIN_CHALLENGE_RESPONSE: the
 *                           administrator's 8-byte response to the challenge
 *                           of the immediately preceding CardGetChallenge;
 *                           CARD_AUTHENTICATE_PIN_PIN: the current PIN of the
 *                           target, 4 to 8 bytes.
 *   pbNewAuthenticator/cbNewAuthenticator
 *                           the new PIN (4 to 8 bytes) or, for "admin" in
 *                           administrator mode, the new 24-byte key whose last
 *                           eight bytes repeat its first eight.
 *   cRetryCount             must be 0.
 *   dwFlags                 the mode, one of the two above.
 *   pcAttemptsRemaining     optional; receives the tries left after a wrong
 *                           PIN or response.
 * The authentication and the change run in one transaction; nothing logs the
 * authenticated role out afterwards.
 * Returns 0 or SCARD_E_INVALID_PARAMETER, SCARD_E_UNKNOWN_CARD,
 * SCARD_W_WRONG_CHV, SCARD_W_CHV_BLOCKED, SCARD_F_INTERNAL_ERROR (any other
 * refusal), or a PC/SC failure.
 */
extern "C" DWORD WINAPI CardChangeAuthenticator(PCARD_DATA pCardData, LPWSTR pwszUserId, PBYTE pbCurrentAuthenticator,
                                                DWORD cbCurrentAuthenticator, PBYTE pbNewAuthenticator,
                                                DWORD cbNewAuthenticator, DWORD cRetryCount, DWORD dwFlags,
                                                PDWORD pcAttemptsRemaining) {
  using namespace vemra;
  trace::function("Function CardChangeAuthenticator called");
  const std::uint8_t challengeIssued = common::challengeIssuedBeforePrologue(pCardData);
  if (const DWORD rc = common::prologue(pCardData)) return rc;
  const PIN_ID role = auth::roleOfUserId(pwszUserId);
  if (role == ROLE_EVERYONE) return SCARD_E_INVALID_PARAMETER;
  if (pbCurrentAuthenticator == nullptr || pbNewAuthenticator == nullptr) return SCARD_E_INVALID_PARAMETER;

  DWORD rc = 0;
  if (dwFlags == CARD_AUTHENTICATE_PIN_CHALLENGE_RESPONSE) {
    rc =
        auth::changeAsAdministrator(pCardData, role, pbCurrentAuthenticator, cbCurrentAuthenticator, pbNewAuthenticator,
                                    cbNewAuthenticator, cRetryCount, challengeIssued, pcAttemptsRemaining);
  } else if (dwFlags == CARD_AUTHENTICATE_PIN_PIN) {
    rc = auth::changeWithPin(pCardData, auth::referenceOfRole(common::config(pCardData), role), pbCurrentAuthenticator,
                             cbCurrentAuthenticator, pbNewAuthenticator, cbNewAuthenticator, cRetryCount,
                             pcAttemptsRemaining);
  } else {
    trace::step("\tdwFlags isn't checked");
    return SCARD_E_INVALID_PARAMETER;
  }
  if (rc != 0) return rc;
  trace::function("\tFunction CardChangeAuthenticator is done");
  return 0;
}

/*
 * CardChangeAuthenticatorEx: unblocks or changes a credential by PIN
 * identifier, handing the work to the unblock or to CardChangeAuthenticator.
 *   pCardData                the bound record.
 *   dwFlags                  PIN_CHANGE_FLAG_UNBLOCK or PIN_CHANGE_FLAG_CHANGEPIN.
 *   dwAuthenticatingPinId    ROLE_USER (its current PIN) or ROLE_ADMIN (an
 *                            8-byte response to the challenge of the call
 *                            immediately before this one).
 *   pbAuthenticatingPinData/cbAuthenticatingPinData  that PIN or response.
 *   dwTargetPinId            ROLE_USER or ROLE_ADMIN: whose credential changes.
 *   pbTargetData/cbTargetData  the new PIN, or the new 24-byte key.
 *   cRetryCount              must be 0.
 *   pcAttemptsRemaining      optional; receives the tries left.
 * Unblocking is for the user PIN by the administrator only. Changing with
 * ROLE_USER authenticating uses the target's current PIN, otherwise the
 * administrator's response.
 * Returns SCARD_E_INVALID_PARAMETER for refused identifiers, pointers, retry
 * count or flags, SCARD_W_WRONG_CHV for a response other than 8 bytes (nothing
 * sent), SCARD_E_UNKNOWN_CARD, or the result of the operation delegated to.
 */
extern "C" DWORD WINAPI CardChangeAuthenticatorEx(PCARD_DATA pCardData, DWORD dwFlags, PIN_ID dwAuthenticatingPinId,
                                                  PBYTE pbAuthenticatingPinData, DWORD cbAuthenticatingPinData,
                                                  PIN_ID dwTargetPinId, PBYTE pbTargetData, DWORD cbTargetData,
                                                  DWORD cRetryCount, PDWORD pcAttemptsRemaining) {
  using namespace vemra;
  trace::function("Function CardChangeAuthenticatorEx called");
  const std::uint8_t challengeIssued = common::challengeIssuedBeforePrologue(pCardData);
  if (const DWORD rc = common::prologue(pCardData)) return rc;
  // The operation delegated to reads the flag before its own prologue, so the
  // challenge of the call before this one stays answerable for it.
  common::config(pCardData).challengeIssued = challengeIssued;

  const auto isRole = [](PIN_ID id) { return id == ROLE_USER || id == ROLE_ADMIN; };
  if (!isRole(dwAuthenticatingPinId)) return SCARD_E_INVALID_PARAMETER;
  if (!isRole(dwTargetPinId)) return SCARD_E_INVALID_PARAMETER;
  if (pbAuthenticatingPinData == nullptr || pbTargetData == nullptr || cRetryCount != 0)
    return SCARD_E_INVALID_PARAMETER;

  // The roles, not the reference values, decide: a card whose user PIN is not
  // reference 0x01 still gets the user's credential changed.
  // Spelt out: WCHAR is char16_t on Linux and wchar_t on Windows, and no one
  // literal prefix fits both.
  WCHAR userId[] = {'u', 's', 'e', 'r', 0};
  WCHAR adminId[] = {'a', 'd', 'm', 'i', 'n', 0};
  DWORD rc = 0;
  if (dwFlags == PIN_CHANGE_FLAG_UNBLOCK) {
    if (dwAuthenticatingPinId == dwTargetPinId) return SCARD_E_INVALID_PARAMETER;
    if (cbAuthenticatingPinData != auth::kBlockSize) return SCARD_W_WRONG_CHV;
    if (dwTargetPinId == ROLE_ADMIN) {
      trace::step("\tPIN_CHANGE_FLAG_UNBLOCK for ADMIN forbidden");
      return SCARD_E_INVALID_PARAMETER;
    }
    if (dwAuthenticatingPinId != ROLE_ADMIN) {
      trace::step("\tPIN_CHANGE_FLAG_UNBLOCK need ADMIN rights!");
      return SCARD_E_INVALID_PARAMETER;
    }
    rc = auth::CardUnblockPinCommon(pCardData, userId, pbAuthenticatingPinData, cbAuthenticatingPinData, pbTargetData,
                                    cbTargetData, 0, CARD_AUTHENTICATE_PIN_CHALLENGE_RESPONSE, pcAttemptsRemaining);
  } else if (dwFlags == PIN_CHANGE_FLAG_CHANGEPIN) {
    DWORD mode = CARD_AUTHENTICATE_PIN_PIN;
    if (dwAuthenticatingPinId != ROLE_USER) {
      if (cbAuthenticatingPinData != auth::kBlockSize) return SCARD_W_WRONG_CHV;
      mode = CARD_AUTHENTICATE_PIN_CHALLENGE_RESPONSE;
    }
    LPWSTR target = dwTargetPinId == ROLE_USER ? userId : adminId;
    rc = CardChangeAuthenticator(pCardData, target, pbAuthenticatingPinData, cbAuthenticatingPinData, pbTargetData,
                                 cbTargetData, 0, mode, pcAttemptsRemaining);
  } else {
    trace::step("\tdwFlags isn't checked");
    return SCARD_E_INVALID_PARAMETER;
  }
  trace::function("\tFunction CardChangeAuthenticator is done");
  return rc;
}
