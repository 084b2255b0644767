// CardGetChallenge and CardGetChallengeEx: fetching the 8-byte challenge that
// the administrator answers, and marking it answerable by the next call.
#include <array>

#include "auth/credentials.h"
#include "card/commands.h"
#include "common/caller_buffer.h"
#include "common/entry.h"
#include "common/entry_points.h"
#include "common/trace.h"

namespace vemra::auth {
namespace {

// Sends GET CHALLENGE 00 84 00 00 08 and copies the challenge into
// `challenge`. Returns 0 with exactly eight bytes stored, the exchange's
// failure unchanged, or SCARD_F_INTERNAL_ERROR for a status other than 0x9000
// or an answer of any other length; on failure `challenge` is not written.
// The two-byte length is asked for, so that an oversized answer cannot pass
// for eight bytes by wrapping around.
[[nodiscard]] Result fetchChallenge(card::Handle handle, std::span<BYTE, kBlockSize> challenge) {
  std::array<std::uint8_t, kBlockSize> received{};
  std::uint16_t length = kBlockSize;
  std::uint16_t sw = 0;
  if (const Result rc = card::transmit(handle, card::command::getChallenge(), received, length, sw)) return rc;
  if (const Result rc = card::mapStatus(sw, {}, SCARD_F_INTERNAL_ERROR)) return rc;
  card::ByteReader answer{received};
  if (length != kBlockSize || !answer.readBytes(challenge)) return SCARD_F_INTERNAL_ERROR;
  return 0;
}

}  // namespace
}  // namespace vemra::auth

/*
 * CardGetChallenge: asks the card for an 8-byte challenge that the caller
 * answers with the administrator key, and makes it answerable by exactly the
 * next entry-point call on this record (CardAuthenticateChallenge, or the
 * unblock and change operations in administrator mode).
 *   pCardData         the bound record.
 *   ppbChallengeData  receives a buffer from pfnCspAlloc with the challenge,
 *                     owned by the caller; NULL on every failure.
 *   pcbChallengeData  receives 8.
 * Returns 0 or SCARD_E_INVALID_PARAMETER (NULL record, handle, allocator or
 * output pointer), SCARD_E_UNKNOWN_CARD (application not selectable),
 * SCARD_E_NO_MEMORY, SCARD_F_INTERNAL_ERROR (the card refused, or answered
 * other than eight bytes), or a PC/SC failure. On any failure no buffer is
 * left to the caller and no challenge is answerable.
 */
extern "C" DWORD WINAPI CardGetChallenge(PCARD_DATA pCardData, PBYTE* ppbChallengeData, PDWORD pcbChallengeData) {
  using namespace vemra;
  return common::runEntryPoint(
      "Function CardGetChallenge called", "\tFunction CardGetChallenge is done", pCardData,
      [&](const common::Session& session) -> card::Result {
        if (pCardData->pfnCspAlloc == nullptr || ppbChallengeData == nullptr || pcbChallengeData == nullptr)
          return SCARD_E_INVALID_PARAMETER;
        *pcbChallengeData = auth::kBlockSize;
        common::CallerBuffer<BYTE> buffer(pCardData, ppbChallengeData);
        if (!buffer.allocate(auth::kBlockSize)) return SCARD_E_NO_MEMORY;
        if (const card::Result rc = auth::fetchChallenge(session.card, buffer.bytes().first<auth::kBlockSize>()))
          return rc;
        buffer.release();
        session.config.challengeIssued = 1;
        return 0;
      });
}

/*
 * CardGetChallengeEx: CardGetChallenge for the administrator's PIN identifier.
 *   pCardData, ppbChallengeData, pcbChallengeData  as for CardGetChallenge.
 *   PinId    must be ROLE_ADMIN.
 *   dwFlags  must be 0; tested before anything else, so a refused call leaves
 *            an issued challenge answerable.
 * Returns SCARD_E_INVALID_PARAMETER for a refused PinId or dwFlags, otherwise
 * the result of CardGetChallenge.
 */
extern "C" DWORD WINAPI CardGetChallengeEx(PCARD_DATA pCardData, PIN_ID PinId, PBYTE* ppbChallengeData,
                                           PDWORD pcbChallengeData, DWORD dwFlags) {
  vemra::trace::function("Function CardGetChallengeEx called");
  if (dwFlags != 0) return SCARD_E_INVALID_PARAMETER;
  if (PinId != ROLE_ADMIN) return SCARD_E_INVALID_PARAMETER;
  return CardGetChallenge(pCardData, ppbChallengeData, pcbChallengeData);
}
