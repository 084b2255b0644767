// What the authentication entry points share: the 8-byte blocks in which a
// PIN or an administrator response travels to the card (wiped when they go
// out of scope), the mapping of user identifiers and PIN identifiers to the
// card's references, and the outcome of a PIN verification.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "card/bytes.h"
#include "card/config.h"
#include "card/exchange.h"
#include "card/secret_bytes.h"
#include "card/status.h"
#include "vemradrv/minidriver.h"

namespace vemra::auth {

// A PIN, an administrator response or a challenge travels as eight bytes.
inline constexpr std::size_t kBlockSize = 8;
inline constexpr DWORD kMinPinLength = 4;
inline constexpr DWORD kMaxPinLength = 8;

using card::Result;
using card::SecretBytes;
using Block = SecretBytes<kBlockSize>;

[[nodiscard]] constexpr bool isPinLength(DWORD length) { return length >= kMinPinLength && length <= kMaxPinLength; }

// Fills `block` with the `length` bytes at `pin` followed by 0x00 up to eight.
// Returns false, leaving the block all zeros, when the PIN would not fit
// (longer than eight bytes) or when `pin` is NULL with a non-zero length.
[[nodiscard]] bool fillPinBlock(Block& block, const BYTE* pin, DWORD length);

// Fills `block` with the administrator's response to send: the caller's eight
// bytes when the challenge was issued by the immediately preceding call
// (`challengeIssued` non-zero), otherwise eight 0x00 bytes, which the card
// refuses. `response` must point to eight bytes.
void fillResponseBlock(Block& block, const BYTE* response, std::uint8_t challengeIssued);

// The PIN identifier named by a user identifier: ROLE_USER for exactly
// "user", ROLE_ADMIN for exactly "admin" (whole strings, terminator included,
// case-sensitive), ROLE_EVERYONE for NULL or anything else. Reads the caller's
// string only up to its first character that differs from both names.
[[nodiscard]] PIN_ID roleOfUserId(LPCWSTR userId);

// The card's reference of ROLE_USER (userPinRef) or ROLE_ADMIN (adminPinRef).
[[nodiscard]] std::uint8_t referenceOfRole(const card::CardConfig& config, PIN_ID role);

// The result of a verification (VERIFY, the session-PIN VERIFY, or EXTERNAL
// AUTHENTICATE before a change, which traces "\tKEY BLOCKED\n" and
// "\tWRONG KEY\n" instead) from its status word: 0 for 0x9000; 0x6983 traces
// `blocked` and gives SCARD_W_CHV_BLOCKED; 0x63Cx traces `wrong`, stores x
// through `pcAttemptsRemaining` when it is not NULL and gives
// SCARD_W_WRONG_CHV; anything else SCARD_F_INTERNAL_ERROR. Nothing else is
// written.
[[nodiscard]] Result verificationResult(std::uint16_t sw, PDWORD pcAttemptsRemaining,
                                        const char* blocked = "\tPIN BLOCKED\n", const char* wrong = "\tWRONG PIN\n");

// Sends VERIFY 00 20 00 `reference` 08 with `pin`. Returns the exchange's
// failure unchanged, SCARD_F_INTERNAL_ERROR for an answer carrying data,
// otherwise the verificationResult of its status word.
[[nodiscard]] Result verifyPin(card::Handle handle, std::uint8_t reference, const Block& pin,
                               PDWORD pcAttemptsRemaining);

// Sends EXTERNAL AUTHENTICATE 00 82 00 `adminPinRef` 08 with the response
// block; returns the exchange's result, the card's status word in `sw`.
[[nodiscard]] Result presentResponse(card::Handle handle, std::uint8_t adminPinRef, const Block& response,
                                     std::uint16_t& sw);

}  // namespace vemra::auth
