// CardChangeAuthenticator and CardChangeAuthenticatorEx: replacing the user
// PIN (authorised by the current PIN or by the administrator) and the
// administrator key.
#include "auth/credentials.h"
#include "auth/unblock_pin.h"
#include "card/commands.h"
#include "common/entry.h"
#include "common/entry_points.h"
#include "common/trace.h"

namespace vemra::auth {
namespace {

// The administrator key as the caller passes it: the 24-byte form of a
// two-key triple-DES key, whose last eight bytes repeat its first eight. Only
// the first 16 bytes go to the card.
constexpr DWORD kPassedKeySize = 24;
constexpr std::size_t kCardKeySize = 16;
using CardKey = SecretBytes<kCardKeySize>;

// Administrator mode: checks the authenticator lengths and cRetryCount, then
// in one transaction EXTERNAL AUTHENTICATE and either CHANGE REFERENCE DATA
// 00 24 01 A 10 with the new key (role ROLE_ADMIN) or the PIN-set command for
// the user PIN. Success leaves the administrator authenticated on the card.
[[nodiscard]] Result changeAsAdministrator(const common::Session& session, PIN_ID role, const BYTE* current,
                                           DWORD cbCurrent, const BYTE* fresh, DWORD cbFresh, DWORD cRetryCount,
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
  fillResponseBlock(response, current, session.challengeIssued);
  const card::CardConfig& config = session.config;
  return card::inTransaction(session.card, [&] {
    std::uint16_t sw = 0;
    if (const Result rc = presentResponse(session.card, config.adminPinRef, response, sw)) return rc;
    if (const Result rc = verificationResult(sw, pcAttemptsRemaining, "\tKEY BLOCKED\n", "\tWRONG KEY\n")) return rc;
    return card::sendExpectingSuccess(
        session.card, role == ROLE_ADMIN ? card::command::changeReferenceData(config.adminPinRef, key.view())
                                         : card::command::setPin(config.userPinRef, pin.view()));
  });
}

// PIN mode: checks both PINs and cRetryCount, then in one transaction VERIFY
// with the current PIN and the PIN-set command with the new one, both to
// `reference`. Success leaves the reference verified on the card.
[[nodiscard]] Result changeWithPin(card::Handle handle, std::uint8_t reference, const BYTE* current, DWORD cbCurrent,
                                   const BYTE* fresh, DWORD cbFresh, DWORD cRetryCount, PDWORD pcAttemptsRemaining) {
  Block currentPin;
  Block newPin;
  if (!isPinLength(cbCurrent) || !fillPinBlock(currentPin, current, cbCurrent)) return SCARD_E_INVALID_PARAMETER;
  if (!isPinLength(cbFresh) || !fillPinBlock(newPin, fresh, cbFresh)) return SCARD_E_INVALID_PARAMETER;
  if (cRetryCount != 0) return SCARD_E_INVALID_PARAMETER;

  return card::inTransaction(handle, [&] {
    if (const Result rc = verifyPin(handle, reference, currentPin, pcAttemptsRemaining)) return rc;
    return card::sendExpectingSuccess(handle, card::command::setPin(reference, newPin.view()));
  });
}

// CardChangeAuthenticator once the role whose credential changes is known
// (ROLE_EVERYONE is refused), after the prologue.
[[nodiscard]] Result changeCredential(const common::Session& session, PIN_ID role, const BYTE* current, DWORD cbCurrent,
                                      const BYTE* fresh, DWORD cbFresh, DWORD cRetryCount, DWORD dwFlags,
                                      PDWORD pcAttemptsRemaining) {
  if (role == ROLE_EVERYONE) return SCARD_E_INVALID_PARAMETER;
  if (current == nullptr || fresh == nullptr) return SCARD_E_INVALID_PARAMETER;
  if (dwFlags == CARD_AUTHENTICATE_PIN_CHALLENGE_RESPONSE)
    return changeAsAdministrator(session, role, current, cbCurrent, fresh, cbFresh, cRetryCount, pcAttemptsRemaining);
  if (dwFlags == CARD_AUTHENTICATE_PIN_PIN) {
    return changeWithPin(session.card, referenceOfRole(session.config, role), current, cbCurrent, fresh, cbFresh,
                         cRetryCount, pcAttemptsRemaining);
  }
  trace::step("\tdwFlags isn't checked");
  return SCARD_E_INVALID_PARAMETER;
}

// Runs `operation` as CardChangeAuthenticator: its traces and its prologue.
template <typename Operation>
[[nodiscard]] DWORD runAsChange(PCARD_DATA pCardData, Operation&& operation) {
  return common::runEntryPoint("Function CardChangeAuthenticator called", "\tFunction CardChangeAuthenticator is done",
                               pCardData, static_cast<Operation&&>(operation));
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
  return auth::runAsChange(pCardData, [&](const common::Session& session) {
    return auth::changeCredential(session, auth::roleOfUserId(pwszUserId), pbCurrentAuthenticator,
                                  cbCurrentAuthenticator, pbNewAuthenticator, cbNewAuthenticator, cRetryCount, dwFlags,
                                  pcAttemptsRemaining);
  });
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
  return common::runEntryPoint(
      "Function CardChangeAuthenticatorEx called", pCardData, [&](const common::Session& session) -> card::Result {
        // The operation handed the work reads the flag before its own
        // prologue, so the challenge of the call before this one stays
        // answerable for it.
        session.config.challengeIssued = session.challengeIssued;
        const auto isRole = [](PIN_ID id) { return id == ROLE_USER || id == ROLE_ADMIN; };
        if (!isRole(dwAuthenticatingPinId)) return SCARD_E_INVALID_PARAMETER;
        if (!isRole(dwTargetPinId)) return SCARD_E_INVALID_PARAMETER;
        if (pbAuthenticatingPinData == nullptr || pbTargetData == nullptr || cRetryCount != 0)
          return SCARD_E_INVALID_PARAMETER;

        // The roles, not the reference values, decide: a card whose user PIN
        // is not reference 0x01 still gets the user's credential changed.
        card::Result rc = 0;
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
          rc = auth::runAsUnblock(pCardData, [&](const common::Session& unblocking) {
            return auth::CardUnblockPinCommon(unblocking, pbAuthenticatingPinData, pbTargetData, cbTargetData,
                                        pcAttemptsRemaining);
          });
        } else if (dwFlags == PIN_CHANGE_FLAG_CHANGEPIN) {
          DWORD mode = CARD_AUTHENTICATE_PIN_PIN;
          if (dwAuthenticatingPinId != ROLE_USER) {
            if (cbAuthenticatingPinData != auth::kBlockSize) return SCARD_W_WRONG_CHV;
            mode = CARD_AUTHENTICATE_PIN_CHALLENGE_RESPONSE;
          }
          rc = auth::runAsChange(pCardData, [&](const common::Session& changing) {
            return auth::changeCredential(changing, dwTargetPinId, pbAuthenticatingPinData, cbAuthenticatingPinData,
                                          pbTargetData, cbTargetData, 0, mode, pcAttemptsRemaining);
          });
        } else {
          trace::step("\tdwFlags isn't checked");
          return SCARD_E_INVALID_PARAMETER;
        }
        trace::function("\tFunction CardChangeAuthenticator is done");
        return rc;
      });
}
