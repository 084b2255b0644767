// CardAuthenticateChallenge: the administrator logs in by answering the
// challenge of the immediately preceding CardGetChallenge.
#include "auth/credentials.h"
#include "common/entry.h"
#include "common/trace.h"

namespace vemra::auth {
namespace {

// The result of EXTERNAL AUTHENTICATE at login: 0 for 0x9000; 0x6983 traces
// "\tPIN BLOCKED\n" (SCARD_W_CHV_BLOCKED); 0x63Cx traces "\tWRONG PIN\n" and
// reports x (SCARD_W_WRONG_CHV); 0x6A91 traces "Wrong crypto parameters \n"
// and gives SCARD_W_WRONG_CHV without touching `pcAttemptsRemaining`; anything
// else SCARD_F_INTERNAL_ERROR.
[[nodiscard]] Result loginResult(std::uint16_t sw, PDWORD pcAttemptsRemaining) {
  if (sw == card::sw::kWrongCryptoParameters) {
    trace::step("Wrong crypto parameters \n");
    return SCARD_W_WRONG_CHV;
  }
  return verificationResult(sw, pcAttemptsRemaining);
}

}  // namespace
}  // namespace vemra::auth

/*
 * CardAuthenticateChallenge: authenticates the administrator on the card with
 * EXTERNAL AUTHENTICATE 00 82 00 adminPinRef 08. The caller's response is sent
 * only when this call directly follows a successful CardGetChallenge on the
 * same record; in any other position eight 0x00 bytes go to the card, which
 * refuses them.
 *   pCardData            the bound record.
 *   pbResponseData       the 8-byte response computed from the challenge.
 *   cbResponseData       must be 8.
 *   pcAttemptsRemaining  optional; receives the tries left for a wrong response.
 * Returns 0 (administrator authenticated) or SCARD_E_INVALID_PARAMETER,
 * SCARD_E_UNKNOWN_CARD, SCARD_W_WRONG_CHV (wrong response, or refused as
 * malformed with 0x6A91), SCARD_W_CHV_BLOCKED, SCARD_F_INTERNAL_ERROR, or a
 * PC/SC failure.
 */
extern "C" DWORD WINAPI CardAuthenticateChallenge(PCARD_DATA pCardData, PBYTE pbResponseData, DWORD cbResponseData,
                                                  PDWORD pcAttemptsRemaining) {
  using namespace vemra;
  return common::runEntryPoint(
      "Function CardAuthenticateChallenge called", "\tFunction CardAuthenticateChallenge is done", pCardData,
      [&](const common::Session& session) -> card::Result {
        if (pbResponseData == nullptr || cbResponseData != auth::kBlockSize) return SCARD_E_INVALID_PARAMETER;
        auth::Block response;
        auth::fillResponseBlock(response, pbResponseData, session.challengeIssued);
        std::uint16_t sw = 0;
        if (const card::Result rc = auth::presentResponse(session.card, session.config.adminPinRef, response, sw))
          return rc;
        return auth::loginResult(sw, pcAttemptsRemaining);
      });
}
