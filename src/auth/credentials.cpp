#include "auth/credentials.h"

#include "card/commands.h"
#include "common/trace.h"
#include "common/wide_string.h"

namespace vemra::auth {
bool fillPinBlock(Block& block, const BYTE* pin, DWORD length) {
  const std::span<std::uint8_t, kBlockSize> bytes = block.bytes();
  card::wipe(bytes);
  if (length > kBlockSize || (pin == nullptr && length != 0)) return false;
  for (DWORD i = 0; i < length; ++i) bytes[i] = pin[i];
  return true;
}

void fillResponseBlock(Block& block, const BYTE* response, std::uint8_t challengeIssued) {
  const std::span<std::uint8_t, kBlockSize> bytes = block.bytes();
  card::wipe(bytes);
  if (challengeIssued == 0) return;
  for (std::size_t i = 0; i < kBlockSize; ++i) bytes[i] = response[i];
}

PIN_ID roleOfUserId(LPCWSTR userId) {
  if (userId == nullptr) return ROLE_EVERYONE;
  if (common::sameWideString(userId, u"user")) return ROLE_USER;
  if (common::sameWideString(userId, u"admin")) return ROLE_ADMIN;
  return ROLE_EVERYONE;
}

std::uint8_t referenceOfRole(const card::CardConfig& config, PIN_ID role) {
  return role == ROLE_ADMIN ? config.adminPinRef : config.userPinRef;
}

Result verificationResult(std::uint16_t sw, PDWORD pcAttemptsRemaining, const char* blocked, const char* wrong) {
  if (card::isRetryCounter(sw)) {
    trace::step(wrong);
    if (pcAttemptsRemaining != nullptr) *pcAttemptsRemaining = card::triesLeft(sw);
    return SCARD_W_WRONG_CHV;
  }
  if (sw == card::sw::kAuthenticationBlocked) trace::step(blocked);
  return card::mapStatus(sw, {{card::sw::kAuthenticationBlocked, SCARD_W_CHV_BLOCKED}}, SCARD_F_INTERNAL_ERROR);
}

Result verifyPin(card::Handle handle, std::uint8_t reference, const Block& pin, PDWORD pcAttemptsRemaining) {
  // The two-byte length (the command goes out the same): an answer of 256
  // data bytes would read as none in one byte.
  std::uint16_t length = 0;
  std::uint16_t sw = 0;
  if (const Result rc = card::transmit(handle, card::command::verify(reference, pin.view()), {}, length, sw)) return rc;
  if (length != 0) return SCARD_F_INTERNAL_ERROR;
  return verificationResult(sw, pcAttemptsRemaining);
}

Result presentResponse(card::Handle handle, std::uint8_t adminPinRef, const Block& response, std::uint16_t& sw) {
  return card::transmit(handle, card::command::externalAuthenticate(adminPinRef, response.view()), sw);
}

}  // namespace vemra::auth
