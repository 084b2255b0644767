// CardDeauthenticate and CardDeauthenticateEx: logging roles out on the card
// with the card's deauthenticate command 80 40 R 00 00.
#include "auth/credentials.h"
#include "card/commands.h"
#include "common/entry.h"
#include "common/entry_points.h"

namespace vemra::auth {
namespace {

// Reference 00 logs every reference out.
constexpr std::uint8_t kAllReferences = 0x00;
constexpr PIN_SET kHighestPinSet = 0xFF;
constexpr PIN_ID kHighestPinId = 7;

// Sends deauthenticate 80 40 `reference` 00 00: 0 for 0x9000, the
// exchange's failure unchanged, or SCARD_F_INTERNAL_ERROR.
[[nodiscard]] Result deauthenticate(card::Handle handle, std::uint8_t reference) {
  return card::sendExpectingSuccess(handle, card::command::deauthenticate(reference));
}

// The card's reference of PIN identifier `pinId` (1 to 7): the configured
// user and administrator references for ROLE_USER and ROLE_ADMIN, so that a
// card numbering its PINs otherwise logs out the role asked for, and 2·i − 1
// for the further identifiers, which have no configured reference.
std::uint8_t referenceOfPinId(const card::CardConfig& config, PIN_ID pinId) {
  if (pinId == ROLE_USER || pinId == ROLE_ADMIN) return referenceOfRole(config, pinId);
  return static_cast<std::uint8_t>(2 * pinId - 1);
}

}  // namespace
}  // namespace vemra::auth

/*
 * CardDeauthenticate: logs one role out.
 *   pCardData   the bound record.
 *   pwszUserId  "user" (userPinRef) or "admin" (adminPinRef).
 *   dwFlags     must be 0.
 * Returns 0 or SCARD_E_INVALID_PARAMETER, SCARD_E_UNKNOWN_CARD,
 * SCARD_F_INTERNAL_ERROR (the card refused), or a PC/SC failure.
 */
extern "C" DWORD WINAPI CardDeauthenticate(PCARD_DATA pCardData, LPWSTR pwszUserId, DWORD dwFlags) {
  using namespace vemra;
  return common::runEntryPoint(
      "Function CardDeauthenticate called", "\tFunction CardDeauthenticate is done", pCardData,
      [&](const common::Session& session) -> card::Result {
        if (dwFlags != 0) return SCARD_E_INVALID_PARAMETER;
        const PIN_ID role = auth::roleOfUserId(pwszUserId);
        if (role == ROLE_EVERYONE) return SCARD_E_INVALID_PARAMETER;
        return auth::deauthenticate(session.card, auth::referenceOfRole(session.config, role));
      });
}

/*
 * CardDeauthenticateEx: logs out the PIN identifiers of a set.
 *   pCardData  the bound record.
 *   PinId      the PIN_SET: PIN_SET_ALL_ROLES logs every reference out with
 *              one command; otherwise bits 1 to 7 are logged out in ascending
 *              order (ROLE_USER userPinRef, ROLE_ADMIN adminPinRef, identifier
 *              i ≥ 3 reference 2·i − 1); bit 0 (ROLE_EVERYONE) sends nothing.
 *   dwFlags    must be 0.
 * Returns 0 or SCARD_E_INVALID_PARAMETER (flags, an empty set or one with bits
 * above 7), SCARD_E_UNKNOWN_CARD, SCARD_F_INTERNAL_ERROR (the card refused;
 * the roles before it stay logged out), or a PC/SC failure.
 */
extern "C" DWORD WINAPI CardDeauthenticateEx(PCARD_DATA pCardData, PIN_SET PinId, DWORD dwFlags) {
  using namespace vemra;
  return common::runEntryPoint(
      "Function CardDeauthenticateEx called", "\tFunction CardDeauthenticateEx is done", pCardData,
      [&](const common::Session& session) -> card::Result {
        if (dwFlags != 0) return SCARD_E_INVALID_PARAMETER;
        if (PinId == 0 || PinId > auth::kHighestPinSet) return SCARD_E_INVALID_PARAMETER;
        if (PinId == PIN_SET_ALL_ROLES) return auth::deauthenticate(session.card, auth::kAllReferences);
        for (PIN_ID pinId = ROLE_USER; pinId <= auth::kHighestPinId; ++pinId) {
          if ((PinId & CREATE_PIN_SET(pinId)) == 0) continue;
          if (const card::Result rc = auth::deauthenticate(session.card, auth::referenceOfPinId(session.config, pinId)))
            return rc;
        }
        return 0;
      });
}
